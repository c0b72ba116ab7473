#!/usr/bin/env bash
# Prints the path of a usable python3.13 (on PATH, a pyenv build that is not
# the active pyenv version, or the system's), or says in one line what to
# install and exits 1. Usable means it can create a venv with pip in it.
set -u
candidates=(python3.13)
if root=$(pyenv root 2>/dev/null); then
  candidates+=("$root"/versions/3.13*/bin/python3.13)
fi
candidates+=(/usr/local/bin/python3.13 /usr/bin/python3.13)

found=""
for p in "${candidates[@]}"; do
  exe=$("$p" -c 'import sys; assert sys.version_info[:2] == (3, 13); print(sys.executable)' 2>/dev/null) || continue
  [ -n "$found" ] || found=$exe
  if "$exe" -c 'import venv, ensurepip' 2>/dev/null; then
    echo "$exe"
    exit 0
  fi
done

if [ -n "$found" ]; then
  echo "error: $found has no venv/ensurepip: install python3.13-venv (Debian/Ubuntu: apt-get install python3.13-venv) or use a pyenv build (pyenv install 3.13)" >&2
else
  echo "error: python3.13 not found: install it (Debian/Ubuntu: apt-get install python3.13 python3.13-venv python3.13-dev) or with pyenv (pyenv install 3.13)" >&2
fi
exit 1
