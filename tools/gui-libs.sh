#!/usr/bin/env bash
# The GUI tests render offscreen (SDL) through EGL with Mesa's software
# renderer, from Debian's libegl1 and libgl1 (libmtdev1 and xsel only quieten
# Kivy's start-up). Exit 0 when they are there, after installing them with
# apt-get where this runs as root; otherwise say what to install and exit 1.
set -uo pipefail
packages=(libegl1 libgl1 libmtdev1 xsel)
have() { ldconfig -p 2>/dev/null | grep -qF "$1 ("; }
present() { have libEGL.so.1 && have libGL.so.1; }

present && exit 0
if [[ $(id -u) == 0 ]] && command -v apt-get >/dev/null; then
    echo "== installing ${packages[*]} for the GUI tests"
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${packages[@]}" >/dev/null
    present && exit 0
fi
echo "GUI tests skipped: they need EGL and OpenGL (Debian: apt-get install ${packages[*]})"
exit 1
