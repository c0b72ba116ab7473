#!/usr/bin/env bash
# The project's `make test` and `make test-sanitize` on a 32-bit CPython 3.13:
# inside a Debian 13 ("trixie") i386 system, made with debootstrap into
# build/i386/root on the first run and reused afterwards (rebuilt when the
# package list below changes). The module is built there by 32-bit GCC with
# -m32, the conversion warnings (TESSADYN_STRICT_WARNINGS) and warnings as
# errors.
#
# The project is copied to /srv/tessadyn in that system (its own .venv stays
# there between runs). The chroot gets /proc, /dev and /dev/pts mounted (and
# always unmounted again), the host's resolv.conf, CA bundles and pip
# configuration, so that pip reaches the package index as on the host.
#
# Needs root and the Debian mirror of the machine's apt sources (or
# I386_MIRROR). Where either is missing it says so in one line and exits 0,
# unless I386_REQUIRED=1.
#
# With arguments, runs that command in the project's copy in the i386 system
# instead (a shell: tools/test-i386.sh bash).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
top=$root/build/i386
sys=$top/root
suite=trixie
packages=python3.13,python3.13-dev,python3.13-venv,g++,make,cmake,git,ca-certificates
stamp=$sys/.tessadyn-system
dest=/srv/tessadyn

skip() {
    echo "test-i386: not run: $*"
    [[ ${I386_REQUIRED:-0} == 1 ]] && exit 1
    exit 0
}

[[ $(id -u) == 0 ]] || skip "needs root (debootstrap, chroot, mount)"
command -v linux32 >/dev/null || skip "linux32 (util-linux) not found"

# The first Debian archive of the machine's apt sources (deb822 or one-line).
apt_mirror() {
    local f
    for f in /etc/apt/sources.list.d/*.sources; do
        [[ -e $f ]] || continue
        awk 'BEGIN { RS = ""; FS = "\n" }
             /(^|\n)Types:[^\n]*deb/ && !/Suites:[^\n]*security/ {
                 for (i = 1; i <= NF; i++) if ($i ~ /^URIs:/) {
                     split($i, u, /[ \t]+/); if (u[2] ~ /\/debian\/?$/) { print u[2]; exit } } }' "$f"
    done
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [[ -e $f ]] || continue
        awk '$1 == "deb" && $0 !~ /security/ {
                 for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) {
                     if ($i ~ /\/debian\/?$/) { print $i; exit } break } }' "$f"
    done
}

# Unmounts whatever is mounted below the system, innermost first.
unmount_all() {
    local m
    while read -r m; do
        umount "$m" 2>/dev/null || umount -l "$m"
    done < <(awk -v top="$sys/" 'index($2 "/", top) == 1 { print $2 }' /proc/mounts | sort -r)
}

if [[ ! -f $stamp || $(cat "$stamp") != "$suite $packages" ]]; then
    mirror=${I386_MIRROR:-$(apt_mirror | head -n 1)}
    [[ -n $mirror ]] || skip "no Debian mirror in the apt sources (set I386_MIRROR)"
    if ! command -v debootstrap >/dev/null; then
        echo "== installing debootstrap"
        { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap; } \
            >/dev/null 2>&1 || skip "debootstrap cannot be installed"
    fi
    ls /usr/share/debootstrap/scripts/$suite >/dev/null 2>&1 \
        || skip "this debootstrap does not know $suite"
    echo "== debootstrap $suite i386 from $mirror into $sys"
    unmount_all
    rm -rf "$sys"
    mkdir -p "$top"
    log=$top/debootstrap.log
    if ! debootstrap --arch=i386 --variant=minbase --include="$packages" \
            "$suite" "$sys" "$mirror" >"$log" 2>&1; then
        tail -n 20 "$log"
        if grep -q -E 'Failed getting release file|Couldn.t download|Could not resolve|Connection refused|timed out' "$log"; then
            skip "the mirror $mirror cannot be reached"
        fi
        echo "test-i386: debootstrap failed (log: $log)" >&2
        exit 1
    fi
    echo "$suite $packages" >"$stamp"
fi

# The project: what git tracks or would track, as it is in the work tree.
echo "== copying the project to $dest"
mkdir -p "$sys$dest"
find "$sys$dest" -mindepth 1 -maxdepth 1 ! -name .venv ! -name build -exec rm -rf {} +
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files -z --cached --others --exclude-standard \
        | tar --null --files-from=- --ignore-failed-read -cf - 2>/dev/null \
        | tar -xf - -C "$sys$dest"
else
    tar --exclude=./.venv --exclude=./build --exclude=./dist -cf - . | tar -xf - -C "$sys$dest"
fi

# The REST API description beside the project, where the tests look for it.
rm -rf "$sys/srv/shared"
shared=${I386_SHARED:-$root/../shared}
if [[ -d $shared/iolink-json ]]; then
    mkdir -p "$sys/srv/shared"
    cp -r "$shared/iolink-json" "$sys/srv/shared/"
fi

# Name resolution, CA bundles and pip settings of the host, at the same paths.
cp -L /etc/resolv.conf "$sys/etc/resolv.conf"
for var in PIP_CERT SSL_CERT_FILE REQUESTS_CA_BUNDLE CURL_CA_BUNDLE; do
    file=${!var:-}
    if [[ $file == /* && -f $file ]]; then
        mkdir -p "$sys$(dirname "$file")"
        cp -L "$file" "$sys$file"
    fi
done
[[ -f /etc/pip.conf ]] && cp -L /etc/pip.conf "$sys/etc/pip.conf"
if [[ -d /etc/xdg/pip ]]; then
    rm -rf "$sys/etc/xdg/pip"
    mkdir -p "$sys/etc/xdg"
    cp -rL /etc/xdg/pip "$sys/etc/xdg/pip"
fi

# A clean environment, with the host's pip and proxy settings that make sense
# inside: paths only when they exist there too. Not CI: the GUI tests, which
# CI requires, need Kivy, which has no i686 wheel; make test skips them here.
envs=(HOME=/root LANG=C.UTF-8 TERM=dumb PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin)
while IFS='=' read -r name value; do
    case $name in
    PIP_CACHE_DIR) continue ;;
    PIP_* | SSL_CERT_FILE | SSL_CERT_DIR | REQUESTS_CA_BUNDLE | CURL_CA_BUNDLE | \
    http_proxy | https_proxy | no_proxy | HTTP_PROXY | HTTPS_PROXY | NO_PROXY | \
    TESSADYN_STRESS) ;;
    *) continue ;;
    esac
    [[ $value == file:* ]] && continue
    [[ $value == /* && ! -e $sys$value ]] && continue
    envs+=("$name=$value")
done < <(env)

trap unmount_all EXIT
unmount_all
mount -t proc proc "$sys/proc"
mount --bind /dev "$sys/dev"
mount --bind /dev/pts "$sys/dev/pts"

if (($#)); then
    linux32 chroot "$sys" /usr/bin/env -i "${envs[@]}" CXXFLAGS=-m32 /bin/bash -c 'cd "$0" && exec "$@"' "$dest" "$@"
    exit
fi

log=$top/test.log
echo "== make test and make test-sanitize in the i386 system (log: $log)"
status=0
linux32 chroot "$sys" /usr/bin/env -i "${envs[@]}" CXXFLAGS=-m32 /bin/bash -c '
set -euo pipefail
cd '"$dest"'
python=/usr/bin/python3.13
"$python" -c "import platform, struct, sys
assert struct.calcsize(\"P\") == 4, \"not a 32-bit interpreter\"
print(\"== python\", sys.version.split()[0], platform.machine(), struct.calcsize(\"P\") * 8, \"bit\")"
make test PYTHON="$python" BUILD_FLAGS="--config-settings=cmake.define.TESSADYN_WERROR=ON --config-settings=cmake.define.TESSADYN_STRICT_WARNINGS=ON"
# The module that was tested, and the flags it was compiled with.
.venv/bin/python -c "import struct, velmora.tools.TessadynChecker as m
assert struct.calcsize(\"P\") == 4
print(\"== tested module:\", m.__file__)"
flags=$(grep -h -m 1 "^  FLAGS = " build/*i686*/build.ninja)
for flag in -m32 -Wconversion -Wsign-conversion -Werror; do
    [[ " $flags " == *" $flag "* ]] || { echo "not built with $flag: $flags" >&2; exit 1; }
done
echo "== module compiled with:$flags"
make test-sanitize
' 2>&1 | tee "$log" || status=$?
echo "== i386 results:"
grep -E '^(=+ )?[0-9]+ (passed|failed)' "$log" || true
exit "$status"
