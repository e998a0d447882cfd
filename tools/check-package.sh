#!/bin/sh
# Builds the Debian package (make package) and checks it with lintian, Debian's
# package checker: any error or warning fails, informational tags are shown.
# Installs lintian with apt-get when it is missing and this runs as root.
# Usage: check-package.sh, from `make check-package` (which sets MAKE and BUILD).
set -eu
cd "$(dirname "$0")/.."
build=${BUILD:-build}

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

${MAKE:-make} --no-print-directory package BUILD="$build"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
deb=$build/sensomarkusb_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || {
    echo "make package made no $deb" >&2
    exit 1
}
echo "lintian $deb"
lintian --fail-on error,warning --display-info "$deb"
echo "lintian: no errors, no warnings"
