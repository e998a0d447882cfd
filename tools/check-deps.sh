#!/bin/sh
# Checks what `make`, `make test` and `make package` use and installs what is
# missing with apt-get when run as root; otherwise says what to install.
# Silent, and without apt-get, when everything is present.
# Usage: check-deps.sh [--programs] [ARCH]. ARCH (arm64 or armhf) other than this
# machine's adds what a cross build and its emulated tests need: Debian's cross
# compilers, the target's libraries through multiarch (dpkg --add-architecture),
# its run-time libraries and GoogleTest, and qemu user emulation registered with
# binfmt_misc, so that the tests and the programs they start run too.
# --programs: only what building and packaging the programs of a cross build
# takes (make run, install, package): no emulator, no GoogleTest and no test
# tools, since nothing of the target runs; of the target's run-time libraries
# only libstdc++, whose package the Depends field is computed from. A native
# build asks for the same either way.

# One dependency per line: what is looked for (a command, or a file when it
# starts with /), the Debian package that brings it, and who needs it:
#   build  the build cannot do without it: missing afterwards is an error;
#   test   a test or `make package` uses it; without it a check is skipped or
#          fails, and the build goes on (chromium: the status page test);
#   tests  the build of the tests cannot do without it (GoogleTest);
#   package  `make package` uses it (Debian's package tools).
DEPS='
g++                             g++             build
cmake                           cmake           build
make                            make            build
pkg-config                      pkg-config      build
/usr/include/gtest/gtest.h      libgtest-dev    tests
/usr/include/nlohmann/json.hpp  nlohmann-json3-dev build
/usr/include/zlib.h             zlib1g-dev      build
/usr/include/mosquitto.h        libmosquitto-dev build
dpkg-shlibdeps                  dpkg-dev        package
file                            file            package
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
ss                              iproute2        test
'
# Notes on the test tools:
# - cpack needs dpkg-shlibdeps for the Depends field and `file` to find the
#   programs ("CPackDeb: file utility is not available" otherwise).
# - tests/packaging_test.sh checks the man pages with groff and mandoc, the unit
#   with systemd-analyze verify (which asks man for the pages that the unit's
#   Documentation= names), the logrotate rules with logrotate -d and the
#   maintainer scripts with shellcheck.
# - ss shows the queue length that a port listens with (the backlog tests).
# - promtool (package prometheus, a whole monitoring server) is left out: the
#   metrics and alerts tests use it when present, and CI installs it (.ci/run).

programs=0
if [ "${1:-}" = --programs ]; then
    programs=1
    shift
fi
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
    # libstdc++ of the target comes with none of the -dev packages (the cross
    # compiler links its own copy below /usr/$triplet), yet dpkg-shlibdeps
    # reads its package to write the Depends field of the package, and the
    # tests' programs load it from multiarch under the emulator.
    DEPS="$DEPS
$triplet-g++                    crossbuild-essential-$cross build
/usr/lib/$triplet/libz.so       zlib1g-dev:$cross build
/usr/lib/$triplet/libmosquitto.so libmosquitto-dev:$cross build
qemu-$qemu-static               qemu-user-static tests
/usr/lib/$triplet/libgtest.a    libgtest-dev:$cross tests
/usr/lib/$triplet/libstdc++.so.6 libstdc++6:$cross package
"
    if [ "$programs" = 1 ]; then
        # Only the target's programs are built, and nothing of it runs: the
        # build and the package tools, not the host's compiler nor the tests'.
        DEPS=$(echo "$DEPS" | awk '$3 == "build" && $1 != "g++" || $3 == "package"')
    fi
fi

# Runs the programs of the cross build's architecture through qemu, children
# included: registers the interpreter with binfmt_misc (mounted first when it is
# not), as qemu-user-static does on a machine with systemd-binfmt or
# binfmt-support. Needs root; a container may refuse.
register_qemu() {
    [ -n "$cross" ] && [ "$programs" = 0 ] || return 0
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

# The packages of the entries of kind $1 (needed: build or tests; optional: test
# or package; all) that are missing.
missing() {
    echo "$DEPS" | while read -r what package kind; do
        [ -n "$what" ] || continue
        case $1:$kind in
        all:* | needed:build | needed:tests | optional:test | optional:package) ;;
        *) continue ;;
        esac
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
    build=$(missing needed)
    if [ -n "$build" ]; then
        echo "still missing build dependencies: $build" >&2
        exit 1
    fi
    test=$(missing optional)
    [ -z "$test" ] || echo "still missing test tools (their checks are skipped or fail): $test" >&2
    register_qemu
    exit 0
fi

build=$(missing needed)
if [ -n "$build" ]; then
    echo "missing build dependencies; install them (and the test tools) with:" >&2
    echo "    sudo apt-get install --no-install-recommends $all" >&2
    exit 1
fi
echo "missing test tools (their checks are skipped or fail); install them with:" >&2
echo "    sudo apt-get install --no-install-recommends $all" >&2
exit 0
