#!/bin/bash
# Checks what `make install` and `make package` deliver: the install tree, the man pages, the
# systemd unit, the logrotate rules and the Debian package. Prints "FAIL: ..." for each failed
# check and "skipped: ..." for each check whose tool is missing.
# Usage: packaging_test.sh SRC BUILD [ARCH], ARCH the package's (default: dpkg's).
set -euo pipefail
src=$(cd "$1" && pwd) build=$(cd "$2" && pwd)
arch=${3:-$(dpkg --print-architecture 2>/dev/null || echo amd64)}
tmp=$(mktemp -d /tmp/sensomark-packaging-XXXXXX)
trap 'rm -rf "$tmp"' EXIT

failures=0
fail() { echo "FAIL: $*" >&2 && failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
have() { command -v "$1" >/dev/null 2>&1 || { echo "skipped: $1 not installed" && false; }; }
need() { grep -Eq -- "$1" "$2" || fail "$3"; }   # REGEX FILE MESSAGE: a line of FILE matches
none() { ! grep -Eq -- "$1" "$2" || fail "$3"; } # REGEX FILE MESSAGE: no line matches
has() { grep -qxF -- "$1" "$2" || fail "$3"; }   # LINE FILE MESSAGE: FILE holds exactly LINE
# quiet WHAT COMMAND...: COMMAND succeeds and says nothing; silent COMMAND...: stdout dropped.
quiet() { local out; if ! out=$("${@:2}" 2>&1) || [ -n "$out" ]; then fail "$1: $out"; fi; }
silent() { "$@" >/dev/null; }
with() { if have "$1"; then quiet "${@:2}"; fi; } # TOOL WHAT COMMAND...: quiet, if TOOL is there
install_to() { # DESTDIR PREFIX: what `make install` puts below DESTDIR
    DESTDIR=$1 cmake --install "$build" --prefix "$2" >"$tmp/install.log" 2>&1 ||
        fail "cmake --install to $1 with prefix $2: $(cat "$tmp/install.log")"
}
# gzipped FILE GZ: GZ is FILE compressed with gzip -9n (no name, no time stamp: reproducible).
gzipped() { gzip -9n -c "$1" | cmp -s - "$2" || fail "${2#"$root"} is not $1 after gzip -9n"; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt") # CMake >= 3.12

# ---- The install tree, and with the query client whenever the build has it.
root=$tmp/root
install_to "$root" /usr
doc=usr/share/doc/sensomarkusb unit_path=usr/lib/systemd/system/sensomarkUSB.service
expected="usr/sbin/sensomarkUSB usr/bin/sensomark-sim usr/share/man/man1/sensomark-sim.1.gz
usr/share/man/man8/sensomarkUSB.8.gz usr/share/man/man5/sensomarkUSB.conf.5.gz
$doc/sensomarkUSB.conf.example $doc/copyright $doc/changelog.gz
usr/share/sensomarkusb/prometheus/sensomark.rules.yml usr/share/sensomarkusb/grafana/sensomark.json
$unit_path etc/sensomarkUSB.conf etc/logrotate.d/sensomarkUSB"
[ -x "$build/tools/sensomark-query" ] &&
    expected="$expected usr/bin/sensomark-query usr/share/man/man1/sensomark-query.1.gz"
for f in $expected; do [ -f "$root/$f" ] || fail "install tree lacks /$f"; done
for f in sbin/sensomarkUSB bin/sensomark-sim; do
    [ -x "$root/usr/$f" ] || fail "/usr/$f is not executable"
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
need "edited by the user" "$root/etc/sensomarkUSB.conf" "reinstall replaced /etc/sensomarkUSB.conf"
# The unit names the daemon under the prefix it was installed with.
install_to "$tmp/opt" /opt/sensomark
has "ExecStart=/opt/sensomark/sbin/sensomarkUSB /etc/sensomarkUSB.conf" \
    "$tmp/opt/opt/sensomark/${unit_path#usr/}" "unit of prefix /opt/sensomark starts another daemon"
pass "install tree with prefix /usr, kept configuration, unit of the prefix"

# ---- Documents: a machine-readable copyright with LICENSE's text, the package's changelog.
copyright=$root/$doc/copyright
has "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" \
    <(head -n1 "$copyright") "copyright is not in the machine-readable format"
cmp -s <(sed -n '/^Permission/,$p' "$src/LICENSE") <(sed -n '/^License: Expat$/,$p' "$copyright" |
    sed -n '/^ Permission/,$p' | sed 's/^ //; s/^\.$//') ||
    fail "license text of copyright differs from LICENSE"
has "Copyright: 2026 sensomarkUSB developers" "$copyright" "copyright names no copyright holder"
changelog=$src/packaging/debian/changelog
gzipped "$changelog" "$root/$doc/changelog.gz"
[[ $(head -n1 "$changelog") == "sensomarkusb ($version) "* ]] || fail "changelog is not at $version"
with dpkg-parsechangelog dpkg-parsechangelog silent dpkg-parsechangelog -l "$changelog"

# ---- Man pages: no warning (nor mandoc's style remark), version, sections, gzip -9n installed.
for name in sensomarkUSB.8 sensomarkUSB.conf.5 sensomark-query.1 sensomark-sim.1; do
    page=$src/docs/$name
    with groff "groff on $name" groff -man -ww -z "$page"
    with mandoc "mandoc -Tlint on $name" mandoc -Tlint "$page"
    with man "man on $name" silent env LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page"
    need "^\.TH .*\"sensomarkUSB $version\"" "$page" "$name does not name version $version"
    case $name in *.1) more="OPTIONS EXIT.STATUS EXAMPLES" ;; *) more=FILES ;; esac
    for section in NAME SYNOPSIS DESCRIPTION SEE.ALSO $more; do
        need "^\.SH \"*$section" "$page" "$name lacks section $section"
    done
    gz=$root/usr/share/man/man${name##*.}/$name.gz
    [ ! -f "$gz" ] || gzipped "$page" "$gz" # a missing one is told above
done
# Every option of the tools' usage texts has a paragraph (.TP) of its own in their pages.
for tool in sensomark-query sensomark-sim; do
    [ -x "$build/tools/$tool" ] || { echo "skipped: $tool not built" && continue; }
    awk '/^\.TP/ { getline; print }' "$src/docs/$tool.1" >"$tmp/tags"
    for option in $("$build/tools/$tool" --help | grep -o -- '--[a-z-]*' | sort -u); do
        grep -qF -- "${option//-/\\-}" "$tmp/tags" || fail "$tool.1 does not describe $option"
    done
done
# Every key of the example configuration is described in the file format page.
for key in $(sed -n 's/^;*\([a-z]*\) = .*/\1/p' "$src/packaging/sensomarkUSB.conf.example"); do
    need "^\.BI $key " "$src/docs/sensomarkUSB.conf.5" "sensomarkUSB.conf.5 lacks key $key"
done
for topic in "EXIT STATUS" SIGNALS LIMITS "QUERY PROTOCOL" LOGGING; do
    need "^\.SH $topic" "$src/docs/sensomarkUSB.8" "sensomarkUSB.8 lacks $topic"
done
pass "documents and man pages"

# ---- The systemd unit; the watchdog is left to the administrator (a commented hint).
unit=$root/$unit_path
for line in Type=notify NotifyAccess=main User=sensomark Group=dialout ProtectHome=yes \
    "ExecStart=/usr/sbin/sensomarkUSB /etc/sensomarkUSB.conf" After=network-online.target \
    Wants=network-online.target NoNewPrivileges=yes ProtectSystem=strict PrivateTmp=yes \
    DevicePolicy=closed "DeviceAllow=char-ttyUSB rw" "DeviceAllow=char-ttyACM rw" \
    "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6" WantedBy=multi-user.target \
    StateDirectory=sensomarkUSB; do
    has "$line" "$unit" "unit lacks '$line'"
done
need "^#WatchdogSec=" "$unit" "unit lacks the #WatchdogSec= hint"
none "^WatchdogSec=" "$unit" "unit sets a watchdog"
need "^Restart=(always|on-failure)$" "$unit" "unit does not restart the daemon"
none "^ExecStart=.* -d" "$unit" "unit starts the daemon in the background"
# systemd-analyze verify wants the program and the man pages where the unit names them.
sed "s|^ExecStart=/usr/sbin/|ExecStart=$root/usr/sbin/|" "$unit" >"$tmp/sensomarkUSB.service"
with systemd-analyze "systemd-analyze verify" env MANPATH="$root/usr/share/man" \
    systemd-analyze verify "$tmp/sensomarkUSB.service"

# ---- The log is emptied in place (whether or not the daemon may create it anew: no signal).
rotate=$root/etc/logrotate.d/sensomarkUSB
need "^/var/log/sensomarkUSB.log [{]" "$rotate" "logrotate rules miss the log file"
need "^[[:space:]]*copytruncate$" "$rotate" "logrotate rules do not copytruncate"
none "^[[:space:]]*(postrotate|prerotate|create)" "$rotate" "logrotate rules signal or create"
if have logrotate; then
    out=$(logrotate -d -s "$tmp/logrotate.state" "$rotate" 2>&1) || fail "logrotate -d: $out"
    ! grep -qi error <<<"$out" || fail "logrotate -d reports: $out"
fi
# deb-systemd-helper and -invoke handle the unit, keeping the admin's choices; systemctl reloads.
scripts=$src/packaging/debian
for script in postinst prerm postrm; do
    sh -n "$scripts/$script" || fail "$script has a syntax error"
    with shellcheck "shellcheck $script" shellcheck -s sh "$scripts/$script"
    ! grep -v '^[[:space:]]*#' "$scripts/$script" | grep -w systemctl |
        grep -v "systemctl --system daemon-reload" || fail "$script calls systemctl for more"
done
need "deb-systemd-helper .*enable" "$scripts/postinst" "postinst does not enable the unit"
need "deb-systemd-invoke try-restart" "$scripts/postinst" "postinst does not restart on upgrades"
need "deb-systemd-invoke stop" "$scripts/prerm" "prerm does not stop the service"
need "deb-systemd-helper purge" "$scripts/postrm" "postrm does not purge the unit's state"
need "^ *adduser " "$scripts/postinst" "postinst does not create the user"
pass "systemd unit, logrotate rules and maintainer scripts"

# ---- The package of `make package`. cpack would build a Makefile tree's "preinstall" target
# (all of it, under the running tests); a generator without it (Ninja) just installs.
check_package() {
    cpack -G DEB -B "$tmp/pkg" --config "$build/CPackConfig.cmake" -D CPACK_CMAKE_GENERATOR=Ninja \
        >"$tmp/cpack.log" 2>&1 || fail "cpack: $(cat "$tmp/cpack.log")"
    none "preinstall" "$tmp/cpack.log" "cpack ran the preinstall target"
    deb=$tmp/pkg/sensomarkusb_${version}_$arch.deb
    [ -f "$deb" ] || { fail "cpack made no $(basename "$deb"): $(ls "$tmp/pkg")" && return; }
    dpkg-deb -c "$deb" | awk '{print $NF}' | sed 's|^\./|/|' >"$tmp/contents"
    for f in $expected; do has "/$f" "$tmp/contents" "package lacks /$f"; done
    dpkg-deb -I "$deb" >"$tmp/info"
    maintainer=$(sed -n 's/^SENSOMARK_MAINTAINER:STRING=//p' "$build/CMakeCache.txt")
    for f in "Package: sensomarkusb" "Version: $version" "Architecture: $arch" "Section: net" \
        "Priority: optional" "Maintainer: $maintainer"; do
        has " $f" "$tmp/info" "control lacks '$f'"
    done
    sed -n 's/^ Depends: //p' "$tmp/info" | tr -s ', ' '\n' >"$tmp/depends"
    for f in adduser libc6 libstdc++6; do has "$f" "$tmp/depends" "Depends lacks $f"; done
    dpkg-deb -e "$deb" "$tmp/control"
    for f in postinst prerm postrm; do
        [ -x "$tmp/control/$f" ] || fail "package lacks an executable $f"
    done
    has /etc/sensomarkUSB.conf "$tmp/control/conffiles" "/etc/sensomarkUSB.conf is no conffile"
    has /etc/logrotate.d/sensomarkUSB "$tmp/control/conffiles" "logrotate rules are no conffile"
    dpkg-deb -x "$deb" "$tmp/extracted"
    has "ExecStart=/usr/sbin/sensomarkUSB /etc/sensomarkUSB.conf" "$tmp/extracted/$unit_path" \
        "packaged unit does not start /usr/sbin/sensomarkUSB"
    # Every program is built for the package's architecture (a cross build's too).
    case $arch in
    amd64) machine="ELF 64-bit LSB .*x86-64" ;;
    arm64) machine="ELF 64-bit LSB .*ARM aarch64" ;;
    armhf) machine="ELF 32-bit LSB .*ARM, EABI5" ;;
    *) machine="ELF" ;;
    esac
    if have file; then
        for f in $(cd "$tmp/extracted" && find . -type f -perm -u+x | sed 's|^\./||'); do
            file -b "$tmp/extracted/$f" | grep -Eq "$machine" ||
                fail "/$f is no $arch program: $(file -b "$tmp/extracted/$f")"
        done
    fi
    pass "Debian package $(basename "$deb")"
}
if have dpkg-deb; then check_package; fi

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2 && exit 1; }
echo "all packaging checks passed"
