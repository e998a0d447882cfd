#!/bin/bash
# Checks what `make install` and `make package` deliver: the install tree, the
# man pages, the systemd unit, the logrotate rules and the Debian package.
# Usage: packaging_test.sh SOURCE_DIR BUILD_DIR
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
pass() { echo "ok: $*"; }
skip() { echo "skipped: $*"; }
have() { command -v "$1" >/dev/null 2>&1; }

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || version=$(sed -n 's/^project(sensomarkUSB VERSION \([0-9.]*\).*/\1/p' \
    "$src/CMakeLists.txt")

# ---------------------------------------------------------------- install tree
root=$tmp/root
DESTDIR=$root cmake --install "$build" --prefix /usr >"$tmp/install.log" 2>&1 ||
    { cat "$tmp/install.log" >&2; fail "cmake --install"; }

expected="usr/sbin/sensomarkUSB
usr/bin/sensomark-sim
usr/share/man/man1/sensomark-sim.1.gz
usr/share/man/man8/sensomarkUSB.8.gz
usr/share/man/man5/sensomarkUSB.conf.5.gz
usr/share/doc/sensomarkusb/sensomarkUSB.conf.example
usr/share/doc/sensomarkusb/copyright
usr/share/doc/sensomarkusb/changelog.gz
usr/lib/systemd/system/sensomarkUSB.service
etc/sensomarkUSB.conf
etc/logrotate.d/sensomarkUSB"
# The query client is installed whenever the build has it.
[ -x "$build/tools/sensomark-query" ] && expected="$expected
usr/bin/sensomark-query
usr/share/man/man1/sensomark-query.1.gz"
for f in $expected; do
    [ -f "$root/$f" ] || fail "install tree lacks /$f"
done
for f in usr/sbin/sensomarkUSB usr/bin/sensomark-sim; do
    [ -x "$root/$f" ] || fail "/$f is not executable"
done
extra=$(cd "$root" && find . -type f | sed 's|^\./||' | sort |
    comm -13 <(echo "$expected" | sort) -)
[ -z "$extra" ] || fail "unexpected files in the install tree: $extra"
cmp -s "$root/etc/sensomarkUSB.conf" "$src/packaging/sensomarkUSB.conf.example" ||
    fail "/etc/sensomarkUSB.conf is not the example configuration"
"$root/usr/sbin/sensomarkUSB" -h >/dev/null || fail "installed daemon does not run"
pass "install tree with prefix /usr"

# An existing configuration holds the user's settings and survives a reinstall.
echo "; edited by the user" >>"$root/etc/sensomarkUSB.conf"
DESTDIR=$root cmake --install "$build" --prefix /usr >"$tmp/install.log" 2>&1 ||
    fail "second cmake --install"
grep -q "edited by the user" "$root/etc/sensomarkUSB.conf" ||
    fail "reinstall replaced an existing /etc/sensomarkUSB.conf"
pass "reinstall keeps /etc/sensomarkUSB.conf"

# The unit names the daemon under the prefix it was installed with.
DESTDIR=$tmp/opt cmake --install "$build" --prefix /opt/sensomark >/dev/null 2>&1 ||
    fail "cmake --install --prefix /opt/sensomark"
grep -qx "ExecStart=/opt/sensomark/sbin/sensomarkUSB /etc/sensomarkUSB.conf" \
    "$tmp/opt/opt/sensomark/lib/systemd/system/sensomarkUSB.service" ||
    fail "unit of prefix /opt/sensomark does not start /opt/sensomark/sbin/sensomarkUSB"
pass "unit follows the install prefix"

# ------------------------------------------------------------------- documents
# Where Debian wants them (/usr/share/doc/PACKAGE): the copyright file in the
# machine-readable format with the license of LICENSE, and the changelog of the
# package, gzip -9n compressed (no name, no time stamp: reproducible).
doc=$root/usr/share/doc/sensomarkusb
head -n1 "$doc/copyright" |
    grep -qx "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" ||
    fail "copyright is not in the machine-readable format"
cmp -s <(sed -n '/^Permission/,$p' "$src/LICENSE") \
    <(sed -n '/^License: Expat$/,$p' "$doc/copyright" | sed -n '/^ Permission/,$p' |
        sed 's/^ //; s/^\.$//') ||
    fail "license text of copyright differs from LICENSE"
grep -q "^Copyright: 2026 sensomarkUSB developers$" "$doc/copyright" ||
    fail "copyright names no copyright holder"
gzip -9n -c "$src/packaging/debian/changelog" | cmp -s - "$doc/changelog.gz" ||
    fail "changelog.gz is not packaging/debian/changelog compressed with gzip -9n"
top=$(head -n1 "$src/packaging/debian/changelog")
case $top in
    "sensomarkusb ($version) "*) ;;
    *) fail "changelog does not start with version $version: $top" ;;
esac
if have dpkg-parsechangelog; then
    dpkg-parsechangelog -l "$src/packaging/debian/changelog" >/dev/null 2>"$tmp/parse" &&
        [ ! -s "$tmp/parse" ] || fail "dpkg-parsechangelog: $(cat "$tmp/parse")"
fi
pass "documents"

# ------------------------------------------------------------------- man pages
pages="sensomarkUSB.8 sensomarkUSB.conf.5 sensomark-query.1 sensomark-sim.1"
for name in $pages; do
    page=$src/docs/$name
    if have groff; then
        out=$(groff -man -ww -z "$page" 2>&1) || fail "groff on $name"
        [ -z "$out" ] || fail "groff warns on $name: $out"
    else
        skip "groff not installed"
    fi
    if have mandoc; then
        # Style remarks (such as over-long lines) count as well.
        out=$(mandoc -Tlint "$page" 2>&1) || fail "mandoc -Tlint on $name: $out"
        [ -z "$out" ] || fail "mandoc -Tlint remarks on $name: $out"
    else
        skip "mandoc not installed"
    fi
    if have man; then
        out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) ||
            fail "man -l on $name"
        [ -z "$out" ] || fail "man --warnings warns on $name: $out"
    else
        skip "man not installed"
    fi
    grep -q "^\.TH .*\"sensomarkUSB $version\"" "$page" || fail "$name does not name version $version"
    sections="NAME SYNOPSIS DESCRIPTION SEE.ALSO"
    case $name in
        *.1) sections="$sections OPTIONS EXIT.STATUS EXAMPLES" ;;
        *) sections="$sections FILES" ;;
    esac
    for section in $sections; do
        grep -q "^\.SH \"*$section" "$page" || fail "$name lacks section $section"
    done
done
# Installed gzip -9n compressed, each page in the directory of its section.
for name in $pages; do
    gz=$root/usr/share/man/man${name##*.}/$name.gz
    [ -f "$gz" ] || continue  # told above
    gzip -9n -c "$src/docs/$name" | cmp -s - "$gz" ||
        fail "/${gz#"$root"/} is not docs/$name compressed with gzip -9n"
done
# Every option of the tools' usage texts has a paragraph (.TP) of its own in their pages.
for tool in sensomark-query sensomark-sim; do
    [ -x "$build/tools/$tool" ] || { skip "$tool not built"; continue; }
    tags=$(awk '/^\.TP/ { getline; print }' "$src/docs/$tool.1")
    for option in $("$build/tools/$tool" --help | grep -o -- '--[a-z-]*' | sort -u); do
        echo "$tags" | grep -qF -- "$(echo "$option" | sed 's/-/\\-/g')" ||
            fail "$tool.1 does not describe $option"
    done
done
# Every key of the example configuration is described in the file format page.
for key in $(sed -n 's/^;*\([a-z]*\) = .*/\1/p' "$src/packaging/sensomarkUSB.conf.example"); do
    grep -q "^\.BI $key " "$src/docs/sensomarkUSB.conf.5" ||
        fail "sensomarkUSB.conf.5 does not describe key $key"
done
for topic in "EXIT STATUS" SIGNALS LIMITS "QUERY PROTOCOL" LOGGING; do
    grep -q "^\.SH $topic" "$src/docs/sensomarkUSB.8" || fail "sensomarkUSB.8 lacks $topic"
done
pass "man pages"

# ---------------------------------------------------------------- systemd unit
unit=$root/usr/lib/systemd/system/sensomarkUSB.service
for line in \
    "Type=notify" "NotifyAccess=main" \
    "ExecStart=/usr/sbin/sensomarkUSB /etc/sensomarkUSB.conf" \
    "User=sensomark" "Group=dialout" \
    "After=network-online.target" "Wants=network-online.target" \
    "NoNewPrivileges=yes" "ProtectSystem=strict" "ProtectHome=yes" "PrivateTmp=yes" \
    "DevicePolicy=closed" "DeviceAllow=char-ttyUSB rw" "DeviceAllow=char-ttyACM rw" \
    "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6" "WantedBy=multi-user.target"; do
    grep -qx "$line" "$unit" || fail "unit lacks '$line'"
done
# The watchdog is left to the administrator: a commented hint, no setting.
grep -q "^#WatchdogSec=" "$unit" || fail "unit lacks the #WatchdogSec= hint"
grep -q "^WatchdogSec=" "$unit" && fail "unit sets a watchdog"
grep -q "^Restart=\(always\|on-failure\)$" "$unit" || fail "unit does not restart the daemon"
grep -q "^ExecStart=.* -d" "$unit" && fail "unit starts the daemon in the background"
if have systemd-analyze; then
    # verify wants the program and the man pages where the unit names them.
    mkdir -p "$tmp/verify"
    sed "s|^ExecStart=/usr/sbin/|ExecStart=$root/usr/sbin/|" "$unit" \
        >"$tmp/verify/sensomarkUSB.service"
    out=$(MANPATH=$root/usr/share/man systemd-analyze verify \
        "$tmp/verify/sensomarkUSB.service" 2>&1) || fail "systemd-analyze verify: $out"
    [ -z "$out" ] || fail "systemd-analyze verify complains: $out"
else
    skip "systemd-analyze not installed"
fi
pass "systemd unit"

# ------------------------------------------------------- logrotate and scripts
rotate=$root/etc/logrotate.d/sensomarkUSB
grep -q "^/var/log/sensomarkUSB.log {" "$rotate" || fail "logrotate rules miss the log file"
# The file is emptied in place, which works whether or not the daemon may
# create it anew; the daemon needs no signal.
grep -Eq "^[[:space:]]*copytruncate$" "$rotate" || fail "logrotate rules do not copytruncate"
grep -Eq "^[[:space:]]*(postrotate|prerotate|create)" "$rotate" &&
    fail "logrotate rules signal the daemon or create the file"
if have logrotate; then
    out=$(logrotate -d -s "$tmp/logrotate.state" "$rotate" 2>&1) ||
        fail "logrotate -d: $out"
    echo "$out" | grep -qi "error" && fail "logrotate -d reports: $out"
else
    skip "logrotate not installed"
fi
for script in postinst prerm postrm; do
    sh -n "$src/packaging/debian/$script" || fail "$script has a syntax error"
    have shellcheck && { shellcheck -s sh "$src/packaging/debian/$script" || fail "shellcheck $script"; }
    # The unit is handled by deb-systemd-helper and deb-systemd-invoke, which
    # keep the administrator's choices; systemctl only reloads.
    grep -v '^[[:space:]]*#' "$src/packaging/debian/$script" | grep -w systemctl |
        grep -v "systemctl --system daemon-reload" &&
        fail "$script calls systemctl for more than daemon-reload"
done
grep -q "deb-systemd-helper .*enable" "$src/packaging/debian/postinst" ||
    fail "postinst does not enable the unit with deb-systemd-helper"
grep -q "deb-systemd-invoke try-restart" "$src/packaging/debian/postinst" ||
    fail "postinst does not restart the service on an upgrade"
grep -q "deb-systemd-invoke stop" "$src/packaging/debian/prerm" || fail "prerm does not stop the service"
grep -q "deb-systemd-helper purge" "$src/packaging/debian/postrm" ||
    fail "postrm does not purge the unit's state"
grep -q "^ *adduser " "$src/packaging/debian/postinst" || fail "postinst does not create the user"
pass "logrotate rules and maintainer scripts"

# -------------------------------------------------------------- Debian package
if have dpkg-deb; then
    # The package of `make package`, made in a directory of its own. cpack first
    # builds the "preinstall" target of a Makefile tree, which would rebuild the
    # whole tree under the running tests whenever a source changed since the
    # build; the build is done before the tests, and a generator without that
    # target (Ninja) makes cpack go straight to the install rules.
    cpack -G DEB -B "$tmp/pkg" --config "$build/CPackConfig.cmake" \
        -D CPACK_CMAKE_GENERATOR=Ninja >"$tmp/cpack.log" 2>&1 ||
        { cat "$tmp/cpack.log" >&2; fail "cpack"; }
    grep -q "preinstall" "$tmp/cpack.log" && fail "cpack ran the preinstall target"
    arch=$(dpkg --print-architecture)
    deb=$tmp/pkg/sensomarkusb_${version}_$arch.deb
    if [ -f "$deb" ]; then
        dpkg-deb -c "$deb" | awk '{print $NF}' | sed 's|^\./|/|' >"$tmp/contents"
        for f in $expected; do
            grep -qx "/$f" "$tmp/contents" || fail "package lacks /$f"
        done
        dpkg-deb -I "$deb" >"$tmp/info"
        for field in "Package: sensomarkusb" "Version: $version" "Architecture: $arch" \
            "Section: net" "Priority: optional"; do
            grep -q "^ $field$" "$tmp/info" || fail "control lacks '$field'"
        done
        depends=$(sed -n 's/^ Depends: //p' "$tmp/info")
        for lib in adduser libc6 libstdc++6; do
            echo "$depends" | grep -q "\b$lib\b" || fail "Depends '$depends' lacks $lib"
        done
        # The Maintainer is the configured SENSOMARK_MAINTAINER.
        maintainer=$(sed -n 's/^SENSOMARK_MAINTAINER:STRING=//p' "$build/CMakeCache.txt")
        grep -qxF " Maintainer: $maintainer" "$tmp/info" ||
            fail "control lacks 'Maintainer: $maintainer': $(grep Maintainer "$tmp/info")"
        dpkg-deb -e "$deb" "$tmp/control"
        for script in postinst prerm postrm; do
            [ -x "$tmp/control/$script" ] || fail "package lacks an executable $script"
        done
        for f in /etc/sensomarkUSB.conf /etc/logrotate.d/sensomarkUSB; do
            grep -qx "$f" "$tmp/control/conffiles" || fail "$f is no conffile"
        done
        dpkg-deb -x "$deb" "$tmp/extracted"
        grep -qx "ExecStart=/usr/sbin/sensomarkUSB /etc/sensomarkUSB.conf" \
            "$tmp/extracted/usr/lib/systemd/system/sensomarkUSB.service" ||
            fail "packaged unit does not start /usr/sbin/sensomarkUSB"
        pass "Debian package $(basename "$deb")"
    else
        fail "cpack made no $(basename "$deb"): $(ls "$tmp/pkg")"
    fi
else
    skip "dpkg-deb not installed: no package built"
fi

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "all packaging checks passed"
