#!/bin/sh
# Builds the Debian package (make package) and checks it with lintian, Debian's
# package checker: any error or warning fails, informational tags are shown.
# Installs lintian with apt-get when it is missing and this runs as root.
# Checks too that every program in it is built for the package's architecture,
# and that none holds the test seams (the daemon of the tests reads variables
# SENSOMARK_TEST_*; the packaged one must not even name them).
# Usage: check-package.sh, from `make check-package` (which sets MAKE, BUILD and
# ARCH, the latter empty for this machine's architecture).
set -eu
cd "$(dirname "$0")/.."
build=${BUILD:-build}
arch=${ARCH:-$(dpkg --print-architecture)}

if ! command -v lintian >/dev/null 2>&1; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
        echo "installing lintian"
        export DEBIAN_FRONTEND=noninteractive
        if ! { apt-get update -q >/dev/null &&
            apt-get install -y -q --no-install-recommends lintian >/dev/null; }; then
            echo "apt-get could not install lintian" >&2
            exit 1
        fi
    else
        echo "lintian is missing; install it with: sudo apt-get install lintian" >&2
        exit 1
    fi
fi

${MAKE:-make} --no-print-directory package BUILD="$build" ARCH="${ARCH:-}"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
deb=$build/sensomarkusb_${version}_$arch.deb
[ -f "$deb" ] || {
    echo "make package made no $deb" >&2
    exit 1
}
echo "lintian $deb"
lintian --fail-on error,warning --display-info "$deb"
echo "lintian: no errors, no warnings"

case $arch in
amd64) machine="ELF 64-bit LSB .*x86-64" ;;
arm64) machine="ELF 64-bit LSB .*ARM aarch64" ;;
armhf) machine="ELF 32-bit LSB .*ARM, EABI5" ;;
*) machine="ELF" ;;
esac
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
dpkg-deb -x "$deb" "$tree"
programs=0
for f in $(cd "$tree" && find . -type f -perm -u+x | sed 's|^\./||'); do
    kind=$(file -b "$tree/$f")
    echo "$kind" | grep -Eq "$machine" || {
        echo "/$f is no $arch program: $kind" >&2
        exit 1
    }
    programs=$((programs + 1))
done
echo "file: all $programs programs are $arch ($machine)"

# The names of the test seams are string constants of the daemon that reads
# them; the test build's daemon, when there is one, shows that grep finds them.
seams=SENSOMARK_TEST_
seamed=$build/tests/seams/sensomarkUSB
if [ -f "$seamed" ] && ! grep -qa "$seams" "$seamed"; then
    echo "the test daemon $seamed names no $seams variable: the check below would prove nothing" >&2
    exit 1
fi
found=$(grep -rla "$seams" "$tree" | sed "s|^$tree||")
if [ -n "$found" ]; then
    echo "the package holds the test seams ($seams...): $found" >&2
    exit 1
fi
echo "no test seams: no file of the package names $seams"
