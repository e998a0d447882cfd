#!/bin/bash
# Checks what `make install` and `make package` deliver: the install tree, the
# man pages, the systemd unit, the logrotate rules and the Debian package.
# Checks whose tool is missing are skipped. Usage: packaging_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail

src=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
tmp=$(mktemp -d /tmp/sensomark-packaging-XXXXXX)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
have() { command -v "$1" >/dev/null 2>&1 || { echo "skipped: $1 not installed" && false; }; }
# need PATTERN FILE [x]: FILE has a line matching PATTERN (with x: a line that is PATTERN).
need() { grep -q"${3:-}" -- "$1" "$2" || fail "${2#"$tmp"/} lacks '$1'"; }
install_to() { DESTDIR=$1 cmake --install "$build" --prefix "$2" >"$tmp/install.log" 2>&1 ||
    { cat "$tmp/install.log" >&2; fail "cmake --install --prefix $2"; }; }

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || version=$(sed -n 's/^project(sensomarkUSB VERSION \([0-9.]*\).*/\1/p' \
    "$src/CMakeLists.txt")

# ---------------------------------------------------------------- install tree
root=$tmp/root
install_to "$root" /usr
expected="usr/sbin/sensomarkUSB usr/bin/sensomark-sim usr/share/man/man8/sensomarkUSB.8
usr/share/man/man5/sensomarkUSB.conf.5 usr/share/doc/sensomarkUSB/sensomarkUSB.conf.example
usr/lib/systemd/system/sensomarkUSB.service etc/sensomarkUSB.conf etc/logrotate.d/sensomarkUSB"
# The query client is installed whenever the build has it.
[ -x "$build/tools/sensomark-query" ] && expected="$expected usr/bin/sensomark-query"
for f in $expected; do [ -f "$root/$f" ] || fail "install tree lacks /$f"; done
for f in usr/sbin/sensomarkUSB usr/bin/sensomark-sim; do
    [ -x "$root/$f" ] || fail "/$f is not executable"
done
extra=$(cd "$root" && find . -type f | sed 's|^\./||' | sort |
    comm -13 <(tr ' ' '\n' <<<"$expected" | sort) -)
[ -z "$extra" ] || fail "unexpected files in the install tree: $extra"
cmp -s "$root/etc/sensomarkUSB.conf" "$src/packaging/sensomarkUSB.conf.example" ||
    fail "/etc/sensomarkUSB.conf is not the example configuration"
"$root/usr/sbin/sensomarkUSB" -h >/dev/null || fail "installed daemon does not run"
# An existing configuration holds the user's settings and survives a reinstall.
echo "; edited by the user" >>"$root/etc/sensomarkUSB.conf"
install_to "$root" /usr
need "edited by the user" "$root/etc/sensomarkUSB.conf"
# The unit names the daemon under the prefix it was installed with.
install_to "$tmp/opt" /opt/sensomark
need "ExecStart=/opt/sensomark/sbin/sensomarkUSB /etc/sensomarkUSB.conf" \
    "$tmp/opt/opt/sensomark/lib/systemd/system/sensomarkUSB.service" x

# ------------------------------------------------------------------- man pages
for page in "$src/docs/sensomarkUSB.8" "$src/docs/sensomarkUSB.conf.5"; do
    name=$(basename "$page")
    if have groff; then
        out=$(groff -man -ww -z "$page" 2>&1) || fail "groff on $name"
        [ -z "$out" ] || fail "groff warns on $name: $out"
    fi
    if have mandoc; then
        out=$(mandoc -Tlint -Wwarning "$page" 2>&1) || fail "mandoc -Tlint on $name: $out"
    fi
    need "^\.TH .*\"sensomarkUSB $version\"" "$page"
    for section in NAME SYNOPSIS DESCRIPTION FILES "SEE ALSO"; do need "^\.SH \"*$section" "$page"; done
done
# Every key of the example configuration is described in the file format page.
for key in $(sed -n 's/^;*\([a-z]*\) = .*/\1/p' "$src/packaging/sensomarkUSB.conf.example"); do
    need "^\.BI $key " "$src/docs/sensomarkUSB.conf.5"
done
for topic in "EXIT STATUS" SIGNALS LIMITS "QUERY PROTOCOL" LOGGING; do
    need "^\.SH $topic" "$src/docs/sensomarkUSB.8"
done

# ---------------------------------------------------------------- systemd unit
unit=$root/usr/lib/systemd/system/sensomarkUSB.service
for line in "ExecStart=/usr/sbin/sensomarkUSB /etc/sensomarkUSB.conf" "User=sensomark" \
    "Group=dialout" "After=network-online.target" "Wants=network-online.target" \
    "NoNewPrivileges=yes" "ProtectSystem=strict" "ProtectHome=yes" "PrivateTmp=yes" \
    "DevicePolicy=closed" "DeviceAllow=char-ttyUSB rw" "DeviceAllow=char-ttyACM rw" \
    "RestrictAddressFamilies=AF_INET AF_UNIX" "WantedBy=multi-user.target"; do
    need "$line" "$unit" x
done
need "^Restart=\(always\|on-failure\)$" "$unit"
grep -q "^ExecStart=.* -d" "$unit" && fail "unit starts the daemon in the background"
if have systemd-analyze; then
    # verify wants the program and the man pages where the unit names them.
    mkdir -p "$tmp/verify"
    verify=$tmp/verify/sensomarkUSB.service
    sed "s|^ExecStart=/usr/sbin/|ExecStart=$root/usr/sbin/|" "$unit" >"$verify"
    out=$(MANPATH=$root/usr/share/man systemd-analyze verify "$verify" 2>&1) ||
        fail "systemd-analyze verify: $out"
    [ -z "$out" ] || fail "systemd-analyze verify complains: $out"
fi

# ------------------------------------------------------- logrotate and scripts
rotate=$root/etc/logrotate.d/sensomarkUSB
need "^/var/log/sensomarkUSB.log {" "$rotate"
grep -Eq "^[[:space:]]*(copytruncate|postrotate)" "$rotate" &&
    fail "logrotate rules signal or copy, which the daemon does not need"
if have logrotate; then
    out=$(logrotate -d -s "$tmp/logrotate.state" "$rotate" 2>&1) || fail "logrotate -d: $out"
    echo "$out" | grep -qi "error" && fail "logrotate -d reports: $out"
fi
for script in postinst prerm postrm; do
    sh -n "$src/packaging/debian/$script" || fail "$script has a syntax error"
    if have shellcheck; then
        shellcheck -s sh "$src/packaging/debian/$script" || fail "shellcheck $script"
    fi
done

# -------------------------------------------------------------- Debian package
# The package of `make package`, made in a directory of its own. cpack first
# builds the "preinstall" target of a Makefile tree, which would rebuild the
# whole tree under the running tests whenever a source changed since the build;
# a generator without that target (Ninja) makes cpack go straight to the install rules.
if have dpkg-deb; then
    cpack -G DEB -B "$tmp/pkg" --config "$build/CPackConfig.cmake" \
        -D CPACK_CMAKE_GENERATOR=Ninja >"$tmp/cpack.log" 2>&1 ||
        { cat "$tmp/cpack.log" >&2; fail "cpack"; }
    grep -q "preinstall" "$tmp/cpack.log" && fail "cpack ran the preinstall target"
    arch=$(dpkg --print-architecture)
    deb=$tmp/pkg/sensomarkusb_${version}_$arch.deb
    [ -f "$deb" ] || { fail "cpack made no $(basename "$deb"): $(ls "$tmp/pkg")" && exit 1; }
    dpkg-deb -c "$deb" | awk '{print $NF}' | sed 's|^\./|/|' >"$tmp/contents"
    for f in $expected; do need "/$f" "$tmp/contents" x; done
    dpkg-deb -I "$deb" >"$tmp/info"
    for field in "Package: sensomarkusb" "Version: $version" "Architecture: $arch" \
        "Section: net" "Priority: optional" "Maintainer: .*"; do
        need "^ $field$" "$tmp/info"
    done
    depends=$(sed -n 's/^ Depends: //p' "$tmp/info")
    for lib in libc6 libstdc++6; do
        echo "$depends" | grep -q "\b$lib\b" || fail "Depends '$depends' lacks $lib"
    done
    dpkg-deb -e "$deb" "$tmp/control"
    for script in postinst prerm postrm; do
        [ -x "$tmp/control/$script" ] || fail "package lacks an executable $script"
    done
    for f in /etc/sensomarkUSB.conf /etc/logrotate.d/sensomarkUSB; do
        need "$f" "$tmp/control/conffiles" x
    done
    dpkg-deb -x "$deb" "$tmp/extracted"
    need "ExecStart=/usr/sbin/sensomarkUSB /etc/sensomarkUSB.conf" \
        "$tmp/extracted/usr/lib/systemd/system/sensomarkUSB.service" x
fi

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2 && exit 1; }
echo "all packaging checks passed"
