#!/bin/sh
# Checks what `make`, `make test` and `make package` use and installs what is
# missing with apt-get when run as root; otherwise says what to install.
# Silent, and without apt-get, when everything is present.
# Usage: check-deps.sh [ARCH]. ARCH (arm64 or armhf) other than this machine's
# adds what a cross build and its emulated tests need: Debian's cross compilers,
# the target's libraries through multiarch (dpkg --add-architecture), and qemu
# user emulation registered with binfmt_misc, so that the programs the tests
# start run too.

# One dependency per line: what is looked for (a command, or a file when it
# starts with /), the Debian package that brings it, and who needs it:
#   build  the build cannot do without it: missing afterwards is an error;
#   test   a test or `make package` uses it; without it a check is skipped or
#          fails, and the build goes on (chromium: the status page test).
DEPS='
g++                             g++             build
cmake                           cmake           build
make                            make            build
pkg-config                      pkg-config      build
/usr/include/gtest/gtest.h      libgtest-dev    build
/usr/include/nlohmann/json.hpp  nlohmann-json3-dev build
/usr/include/zlib.h             zlib1g-dev      build
/usr/include/mosquitto.h        libmosquitto-dev build
dpkg-shlibdeps                  dpkg-dev        test
file                            file            test
groff                           groff-base      test
mandoc                          mandoc          test
logrotate                       logrotate       test
shellcheck                      shellcheck      test
systemd-analyze                 systemd         test
man                             man-db          test
chromium                        chromium        test
mosquitto_sub                   mosquitto-clients test
/usr/sbin/mosquitto             mosquitto       test
openssl                         openssl         test
'
# Notes on the test tools:
# - cpack needs dpkg-shlibdeps for the Depends field and `file` to find the
#   programs ("CPackDeb: file utility is not available" otherwise).
# - tests/packaging_test.sh checks the man pages with groff and mandoc, the unit
#   with systemd-analyze verify (which asks man for the pages that the unit's
#   Documentation= names), the logrotate rules with logrotate -d and the
#   maintainer scripts with shellcheck.
# - promtool (package prometheus, a whole monitoring server) is left out: the
#   metrics and alerts tests use it when present, and CI installs it (.ci/run).

native=$(dpkg --print-architecture 2>/dev/null || echo unknown)
cross=
if [ -n "${1:-}" ] && [ "$1" != "$native" ]; then
    cross=$1
    case $cross in
    arm64) triplet=aarch64-linux-gnu qemu=aarch64 ;;
    armhf) triplet=arm-linux-gnueabihf qemu=arm ;;
    *)
        echo "cross builds are for arm64 and armhf, not $cross" >&2
        exit 1
        ;;
    esac
    DEPS="$DEPS
$triplet-g++                    crossbuild-essential-$cross build
qemu-$qemu-static               qemu-user-static build
/usr/lib/$triplet/libgtest.a    libgtest-dev:$cross build
/usr/lib/$triplet/libz.so       zlib1g-dev:$cross build
/usr/lib/$triplet/libmosquitto.so libmosquitto-dev:$cross build
"
fi

# Runs the programs of the cross build's architecture through qemu, children
# included: registers the interpreter with binfmt_misc (mounted first when it is
# not), as qemu-user-static does on a machine with systemd-binfmt or
# binfmt-support. Needs root; a container may refuse.
register_qemu() {
    [ -n "$cross" ] || return 0
    [ -e "/proc/sys/fs/binfmt_misc/qemu-$qemu" ] && return 0
    if [ "$(id -u)" != 0 ]; then
        echo "qemu-$qemu is not registered with binfmt_misc; as root: update-binfmts --enable qemu-$qemu" >&2
        return 0
    fi
    [ -e /proc/sys/fs/binfmt_misc/register ] ||
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null
    if command -v update-binfmts >/dev/null 2>&1; then
        update-binfmts --enable "qemu-$qemu" 2>/dev/null
    fi
    [ -e "/proc/sys/fs/binfmt_misc/qemu-$qemu" ] && return 0
    # The ELF header of the machine (its class, byte order and e_machine), as
    # qemu-user-static registers it; F: the interpreter is opened now, so it
    # works in other mount namespaces (chroots) too.
    case $qemu in
    aarch64)
        magic='\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00'
        mask='\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
        ;;
    arm)
        magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x28\x00'
        mask='\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
        ;;
    esac
    printf ':qemu-%s:M::%s:%s:%s:POCF\n' "$qemu" "$magic" "$mask" "$(command -v "qemu-$qemu-static")" \
        >/proc/sys/fs/binfmt_misc/register 2>/dev/null ||
        echo "could not register qemu-$qemu with binfmt_misc: the tests' daemons cannot run" >&2
}

# The packages of the entries of kind $1 (build, test or all) that are missing.
missing() {
    echo "$DEPS" | while read -r what package kind; do
        [ -n "$what" ] || continue
        [ "$1" = all ] || [ "$1" = "$kind" ] || continue
        case $what in
        /*) [ -e "$what" ] && continue ;;
        *) command -v "$what" >/dev/null 2>&1 && continue ;;
        esac
        echo "$package"
    done | sort -u | tr '\n' ' ' | sed 's/ $//'
}

all=$(missing all)
if [ -z "$all" ]; then
    register_qemu
    exit 0
fi

if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "installing: $all"
    log=$(mktemp)
    export DEBIAN_FRONTEND=noninteractive
    # The target's -dev packages come from the same archive through multiarch.
    if [ -n "$cross" ] && ! dpkg --print-foreign-architectures | grep -qx "$cross"; then
        dpkg --add-architecture "$cross"
    fi
    install() {
        apt-get install -y -q --no-install-recommends -o DPkg::Lock::Timeout=300 "$@"
    }
    # All at once; when that fails, one by one, so that a test tool that cannot
    # be had does not keep the others out.
    # shellcheck disable=SC2086 # $all is a list of package names
    if ! { apt-get update -q && install $all; } >"$log" 2>&1; then
        for package in $all; do
            install "$package" >"$log" 2>&1 || {
                echo "apt-get could not install $package:" >&2
                grep '^E: ' "$log" | tail -n 2 >&2
            }
        done
    fi
    rm -f "$log"
    build=$(missing build)
    if [ -n "$build" ]; then
        echo "still missing build dependencies: $build" >&2
        exit 1
    fi
    test=$(missing test)
    [ -z "$test" ] || echo "still missing test tools (their checks are skipped or fail): $test" >&2
    register_qemu
    exit 0
fi

build=$(missing build)
if [ -n "$build" ]; then
    echo "missing build dependencies; install them (and the test tools) with:" >&2
    echo "    sudo apt-get install --no-install-recommends $all" >&2
    exit 1
fi
echo "missing test tools (their checks are skipped or fail); install them with:" >&2
echo "    sudo apt-get install --no-install-recommends $all" >&2
exit 0
