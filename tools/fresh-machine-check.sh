#!/bin/bash
# Runs the set-up lines of the README ("Build, run, test") as written on a
# freshly bootstrapped minimal Debian 12, in a chroot: the install line, then
# `make test`, then `make run` until the daemon listens, a query, SIGTERM, and
# exit code 0 with "ending daemon" as the last line; then `make package`, and
# the ARM lines of "Raspberry Pi and other ARM boards": `make package ARCH=A`
# (which must install neither qemu nor what only the tests need) and
# `make test ARCH=A`. No package may hold the test seams. Any failing step
# fails the check (exit 1). Needs root (debootstrap, mounts, chroot) and
# Debian's archive.
#
# Usage: tools/fresh-machine-check.sh [--keep]
#   --keep  leave the chroot in place afterwards (its path is printed).
# SENSOMARK_FRESH_ARCHES: the boards' architectures checked (default arm64;
# "arm64 armhf" both, empty none). Their emulated tests start the board's
# programs through binfmt_misc, whose registrations are the kernel's, shared
# by every mount namespace: one made with the F flag (as qemu-user-static and
# tools/check-deps.sh make them) works in the chroot. Those that the chroot
# adds are removed again at the end.
# The bootstrapped base is cached as a tarball in $SENSOMARK_FRESH_CACHE
# (default /var/cache/sensomark-fresh) and made again when older than 30 days;
# every check unpacks it into a new directory below $SENSOMARK_FRESH_TMP
# (default /var/tmp; a tmpfs there when memory allows, unless
# SENSOMARK_FRESH_TMPFS=0), so each starts from the pristine base. It tests the
# committed HEAD: the repository is cloned into the chroot. Step logs go to
# build-fresh/.
set -uo pipefail

suite=bookworm
default_mirror=http://deb.debian.org/debian
cache=${SENSOMARK_FRESH_CACHE:-/var/cache/sensomark-fresh}
tmpbase=${SENSOMARK_FRESH_TMP:-/var/tmp}
keep=0
[ "${1:-}" = --keep ] && keep=1
arches=${SENSOMARK_FRESH_ARCHES-arm64}

repo=$(cd "$(dirname "$0")/.." && pwd)
logs=$repo/build-fresh
listen_line="waiting for incoming connections on port"
chroot_path=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin

# ------------------------------------------------------------------ helpers
usec() { echo "${EPOCHREALTIME//[!0-9]/}"; }
seconds_since() { # START_USEC: elapsed seconds with one decimal
    local d=$(($(usec) - $1))
    printf '%d.%d' $((d / 1000000)) $((d / 100000 % 10))
}
timings=()
step_started=0
step() { # NAME [COMMAND]: starts a step
    step_name=$1
    step_started=$(usec)
    printf '\n==== %s\n' "${2:-$1}"
}
step_done() {
    local t
    t=$(seconds_since "$step_started")
    timings+=("$(printf '%-16s %7s s' "$step_name" "$t")")
    printf '==== %s: %s s\n' "$step_name" "$t"
}
fail() {
    echo "FRESH-MACHINE CHECK FAILED: $*" >&2
    exit 1
}

# The PIDs of the processes whose root directory is DIR or below it.
rooted_in() {
    local d r
    for d in /proc/[0-9]*; do
        r=$(readlink "$d/root" 2>/dev/null) || continue
        case $r in "$1" | "$1"/*) echo "${d#/proc/}" ;; esac
    done
}
# The mount points at DIR or below it, deepest first.
mounts_below() {
    awk -v d="$1" '$5 == d || index($5, d "/") == 1 { print $5 }' /proc/self/mountinfo | sort -r
}
# Ends the processes running in DIR (started there by this check), unmounts
# everything below it and removes it unless KEEP is 1.
cleanup_dir() { # DIR KEEP
    local dir=$1 sig pids m i
    [ -n "$dir" ] && [ -d "$dir" ] || return 0
    for sig in TERM KILL; do
        pids=$(rooted_in "$dir")
        [ -n "$pids" ] || break
        # shellcheck disable=SC2086 # a list of PIDs
        kill -s $sig $pids 2>/dev/null
        for i in $(seq 50); do
            [ -z "$(rooted_in "$dir")" ] && break
            sleep 0.1
        done
    done
    for i in 1 2 3; do
        for m in $(mounts_below "$dir"); do
            umount "$m" 2>/dev/null || [ "$i" -lt 3 ] || umount -l "$m"
        done
        [ -z "$(mounts_below "$dir")" ] && break
        sleep 0.5
    done
    if [ -n "$(mounts_below "$dir")" ]; then
        echo "still mounted below $dir, left in place: $(mounts_below "$dir" | tr '\n' ' ')" >&2
        return 1
    fi
    [ "$2" = 1 ] || rm -rf --one-file-system "$dir"
}

# COMMAND in the background, waited for: a signal to this script ends the
# wait at once (a foreground command would delay the traps until it ends).
bg=
in_background() { # COMMAND...
    "$@" &
    bg=$!
    wait "$bg"
    local status=$?
    bg=
    return "$status"
}

# The binfmt_misc registrations made while the check ran: by the chroot's
# dependency step, with the chroot's emulator held open (F flag). Removed, so
# that this machine is left as it was and the chroot's files are let go.
binfmt=/proc/sys/fs/binfmt_misc
binfmt_before=
binfmt_mounted=0
forget_registrations() {
    local entry
    [ "$binfmt_mounted" = 1 ] || return 0
    for entry in "$root$binfmt"/qemu-*; do
        [ -e "$entry" ] || continue
        case " $binfmt_before " in *" ${entry##*/} "*) continue ;; esac
        echo -1 >"$entry" 2>/dev/null && echo "removed the chroot's binfmt_misc entry ${entry##*/}"
    done
    binfmt_mounted=0
}

root=
bootstrap_dir=
run_pid=
cleanup() {
    local status=$?
    for pid in $bg $run_pid; do
        kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    done
    forget_registrations
    cleanup_dir "$bootstrap_dir" 0
    cleanup_dir "$root" "$keep" || status=1
    [ "$keep" = 1 ] && [ -n "$root" ] && echo "chroot kept: $root"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# "URI SUITE COMPONENTS..." of each deb entry of this machine's apt sources,
# in the one-line and in the deb822 format.
apt_entries() {
    local f
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$f" ] || continue
        sed -e 's/#.*//' -e 's/\[[^]]*\]//' "$f" | awk '$1 == "deb" { $1 = ""; print substr($0, 2) }'
    done
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        awk '
            function flush(  n, m, i, j, u, s) {
                if (types ~ /(^| )deb( |$)/ && enabled != "no") {
                    n = split(uris, u, " "); m = split(suites, s, " ")
                    for (i = 1; i <= n; i++) for (j = 1; j <= m; j++) print u[i], s[j], comps
                }
                types = uris = suites = comps = enabled = ""
            }
            /^[ \t]*#/ { next }
            /^[ \t]*$/ { flush(); next }
            /^[ \t]/ { next }
            {
                key = tolower($1); sub(/:$/, "", key); $1 = ""; val = substr($0, 2)
                if (key == "types") types = val
                else if (key == "uris") uris = val
                else if (key == "suites") suites = val
                else if (key == "components") comps = val
                else if (key == "enabled") enabled = tolower(val)
            }
            END { flush() }' "$f"
    done
}

# --------------------------------------------------------------- the check
[ "$(id -u)" = 0 ] || fail "needs root (debootstrap, mounts, chroot): sudo make fresh-machine-check"
total_started=$(usec)
mkdir -p "$logs" "$cache" "$tmpbase"
arch=$(dpkg --print-architecture) || fail "dpkg --print-architecture"
base=$cache/$suite-minbase-$arch.tar.gz

# Debian entries of this machine for the suite and its -updates and -security.
entries=$(apt_entries | awk -v s="$suite" '$2 == s || $2 == s "-updates" || $2 == s "-security"' |
    awk '!seen[$0]++')
mirror=$(echo "$entries" | awk -v s="$suite" '$2 == s { print $1; exit }')
mirror=${mirror:-$default_mirror}
head=$(git -C "$repo" rev-parse HEAD) || fail "$repo is no git repository"
[ -z "$(git -C "$repo" status --porcelain)" ] ||
    echo "note: uncommitted changes are not part of the check; it tests HEAD $head"
echo "fresh-machine check of $head: Debian $suite ($arch) from $mirror"

# The pristine base: made once with debootstrap, then unpacked from the cache.
step "base system"
[ -f "$base" ] && [ -n "$(find "$base" -mtime +30)" ] && rm -f "$base"
if [ ! -f "$base" ]; then
    exec 9>"$cache/lock"
    flock 9
    if [ ! -f "$base" ]; then # or another check made it meanwhile
        if ! command -v debootstrap >/dev/null 2>&1; then
            echo "installing debootstrap"
            { DEBIAN_FRONTEND=noninteractive apt-get install -y -q debootstrap ||
                { apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q debootstrap; }
            } </dev/null >"$logs/debootstrap-install.log" 2>&1 ||
                { tail -n 20 "$logs/debootstrap-install.log"; fail "apt-get install debootstrap"; }
        fi
        bootstrap_dir=$(mktemp -d "$tmpbase/sensomark-bootstrap.XXXXXX")
        chmod 755 "$bootstrap_dir" # the root directory of the machine
        echo "debootstrap --variant=minbase $suite $bootstrap_dir $mirror"
        in_background timeout -k 10 1800 \
            debootstrap --variant=minbase "$suite" "$bootstrap_dir" "$mirror" \
            </dev/null >"$logs/debootstrap.log" 2>&1 ||
            { tail -n 30 "$logs/debootstrap.log"; fail "debootstrap (log: $logs/debootstrap.log)"; }
        cleanup_dir "$bootstrap_dir" 1 || fail "debootstrap left mounts behind"
        tar -C "$bootstrap_dir" --numeric-owner -czf "$base.tmp" . || fail "tar of the base"
        mv "$base.tmp" "$base"
        cleanup_dir "$bootstrap_dir" 0
        bootstrap_dir=
        echo "cached as $base ($(du -h "$base" | cut -f1))"
    fi
    flock -u 9
    exec 9>&-
else
    echo "cached base $base"
fi
root=$(mktemp -d "$tmpbase/sensomark-fresh.XXXXXX")
chmod 755 "$root"
# The machine lives in memory when there is plenty (it grows to about 1.5 GB,
# and by about 1.5 GB more with each board's architecture):
# unpacking is quicker, and the clean-up is an unmount instead of deleting
# tens of thousands of files, which takes over half a minute on a disk
# mounted with online discard.
avail_kb=$(awk '/^MemAvailable:/ { print $2 }' /proc/meminfo)
if [ "${SENSOMARK_FRESH_TMPFS:-1}" = 1 ] && [ "$keep" = 0 ] &&
    [ "${avail_kb:-0}" -ge $((12 * 1024 * 1024)) ]; then
    mount -t tmpfs -o size=8g,mode=755 sensomark-fresh "$root" || fail "mount -t tmpfs"
    echo "in memory (tmpfs)"
fi
tar -C "$root" --numeric-owner -xzf "$base" || fail "unpacking $base"
step_done

step "machine set-up"
# What a fresh machine has besides the base: name resolution and the sources
# of this machine. Services that packages install are not started in a chroot.
cp /etc/resolv.conf "$root/etc/resolv.conf"
if [ -n "$entries" ]; then
    echo "$entries" | while read -r entry; do echo "deb $entry"; done >"$root/etc/apt/sources.list"
fi
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod 755 "$root/usr/sbin/policy-rc.d"
cat "$root/etc/apt/sources.list"
# The committed tree, cloned as a user would.
clone=/root/sensomarkUSB
git clone -q --no-hardlinks "$repo" "$root$clone" || fail "git clone"
git -C "$root$clone" checkout -q --detach "$head" || fail "git checkout $head"
# /dev/pts for the pseudo-terminals of the tests; each bind mount is made a
# slave, so nothing mounted or unmounted below it reaches this machine.
for m in /proc /sys /dev /dev/pts; do
    mount --bind "$m" "$root$m" || fail "mount --bind $m"
    mount --make-rslave "$root$m" || fail "mount --make-rslave $root$m"
done
# The kernel's binfmt_misc (the same registrations as this machine's) where
# the chroot looks for it.
if [ -n "$arches" ]; then
    mount -t binfmt_misc binfmt_misc "$root$binfmt" || fail "mount -t binfmt_misc in the chroot"
    binfmt_mounted=1
    for entry in "$root$binfmt"/qemu-*; do
        [ -e "$entry" ] && binfmt_before+="${entry##*/} "
    done
fi
step_done

# The set-up lines: the first indented block of the README's "Build, run, test".
mapfile -t lines < <(awk '
    /^## Build, run, test/ { s = 1; next }
    s && /^## / { exit }
    s && /^    / { b = 1; print substr($0, 5); next }
    s && b { exit }' "$root$clone/README.md")
install_line=${lines[0]:-}
run_line=
test_line=
for l in "${lines[@]}"; do
    case $l in
    "make run "* | "make run") run_line=$l ;;
    "make test "* | "make test") test_line=$l ;;
    esac
done
case $install_line in make*) install_line= ;; esac
if [ -z "$install_line" ] || [ -z "$run_line" ] || [ -z "$test_line" ]; then
    fail "README's 'Build, run, test' lacks the install line, 'make run' or 'make test': ${lines[*]}"
fi

# LINE in the clone within SECONDS, as root with a login's environment and
# no standard input; its output also goes to LOG.
in_chroot() { # SECONDS LINE LOG
    timeout -k 10 "$1" chroot "$root" /usr/bin/env -i HOME=/root PATH="$chroot_path" \
        /bin/sh -c "cd $clone && $2" </dev/null 2>&1 | tee "$3"
}

step "install line" "$install_line"
in_background in_chroot 900 "$install_line" "$logs/install.log" || fail "$install_line"
[ -x "$root/usr/bin/make" ] || fail "no make after '$install_line'"
step_done

step "make test" "$test_line"
in_background in_chroot 2400 "$test_line" "$logs/test.log" || fail "$test_line"
# Every check of the packaging test ran: the tools it uses were installed.
skipped=$(grep '^skipped: ' "$root$clone/build/Testing/Temporary/LastTest.log" 2>/dev/null)
[ -z "$skipped" ] || fail "the packaging test skipped checks on a fresh machine: $skipped"
# Tests that skip themselves (port 4000 taken on this machine, say) are told.
grep -E '\*\*\*Skipped|Not Run' "$logs/test.log" | sed 's/^/note: /'
step_done

# ------------------------------------------------------------------- make run
step "make run" "$run_line"
run_log=$logs/run.log
# In a network namespace of its own (loopback only) when possible, so port 4000
# of this machine, possibly taken, does not matter.
netns=()
if command -v ip >/dev/null 2>&1 && unshare --net true 2>/dev/null; then
    netns=(unshare --net sh -c 'ip link set lo up && exec "$@"' sh)
else
    echo "note: no network namespace (unshare or ip missing); the daemon uses this machine's port"
fi
"${netns[@]}" chroot "$root" /usr/bin/env -i HOME=/root PATH="$chroot_path" \
    /bin/sh -c "cd $clone && $run_line" </dev/null >"$run_log" 2>&1 &
run_pid=$!
deadline=$((SECONDS + 300))
until grep -q "$listen_line" "$run_log"; do
    kill -0 "$run_pid" 2>/dev/null || { cat "$run_log"; fail "'$run_line' ended before the daemon listened"; }
    [ "$SECONDS" -lt "$deadline" ] || { cat "$run_log"; fail "no '$listen_line' within 300 s"; }
    sleep 0.2
done
cat "$run_log"
grep -q "^installing" "$run_log" && fail "'$run_line' installed packages after '$test_line'"
port=$(sed -n "s/.*$listen_line \([0-9]*\).*/\1/p" "$run_log" | head -n 1)

# The daemon: the process sensomarkUSB below run_pid.
daemon=
for d in /proc/[0-9]*; do
    [ "$(cat "$d/comm" 2>/dev/null)" = sensomarkUSB ] || continue
    p=${d#/proc/}
    while [ -n "$p" ] && [ "$p" -gt 1 ]; do
        p=$(awk '{ sub(/.*\) /, ""); print $2 }' "/proc/$p/stat" 2>/dev/null)
        [ "$p" = "$run_pid" ] && { daemon=${d#/proc/}; break 2; }
    done
done
[ -n "$daemon" ] || fail "no daemon process below '$run_line' (pid $run_pid)"

# One query over loopback: no device is attached, so the reading is not valid.
ask() {
    # shellcheck disable=SC2016 # the inner shell expands them
    timeout 10 bash -c 'exec 3<>"/dev/tcp/127.0.0.1/$1" && printf "sensomark.com1.1\n" >&3 &&
        IFS= read -r -t 5 line <&3 && echo "$line"' _ "$port" | tr -d '\r'
}
if [ ${#netns[@]} -gt 0 ]; then
    reply=$(nsenter --net="/proc/$daemon/ns/net" bash -c "$(declare -f ask); port=$port ask")
else
    reply=$(ask)
fi
echo "query sensomark.com1.1 on port $port: '$reply'"
[ "$reply" = "valid=0" ] || fail "reply '$reply' to sensomark.com1.1, expected 'valid=0'"

kill -TERM "$daemon"
deadline=$((SECONDS + 10))
while kill -0 "$run_pid" 2>/dev/null; do
    [ "$SECONDS" -lt "$deadline" ] || fail "'$run_line' still runs 10 s after SIGTERM to the daemon"
    sleep 0.1
done
wait "$run_pid"
status=$?
run_pid=
tail -n +"$(($(grep -n "$listen_line" "$run_log" | head -n 1 | cut -d: -f1) + 1))" "$run_log"
[ "$status" = 0 ] || fail "'$run_line' exited $status after SIGTERM to the daemon"
last=$(tail -n 1 "$run_log")
case $last in *"ending daemon"*) ;; *) fail "last line after SIGTERM is '$last', not 'ending daemon'" ;; esac
step_done

# ------------------------------------------------- the package, the boards
# Fails unless DEB exists and none of its files names a test seam.
no_seams() { # DEB
    local tree found
    [ -f "$1" ] || fail "no package $1"
    tree=$(mktemp -d)
    dpkg-deb -x "$1" "$tree" || fail "dpkg-deb -x $1"
    found=$(grep -rla SENSOMARK_TEST_ "$tree" | sed "s|^$tree||")
    rm -rf "$tree"
    [ -z "$found" ] || fail "${1##*/} holds the test seams (SENSOMARK_TEST_): $found"
    echo "${1##*/}: no test seams"
}
# Fails when PACKAGE is installed in the chroot.
not_installed() { # PACKAGE WHY
    # shellcheck disable=SC2016 # a field of dpkg-query's format
    chroot "$root" dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q ' installed$' &&
        fail "$1 is installed: $2"
    return 0
}
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$root$clone/build/CMakeCache.txt")

step "make package"
in_background in_chroot 600 "make package" "$logs/package.log" || fail "make package"
grep -q "^installing" "$logs/package.log" && fail "'make package' installed packages after '$test_line'"
no_seams "$root$clone/build/sensomarkusb_${version}_$arch.deb"
step_done

for board in $arches; do
    step "package $board" "make package ARCH=$board"
    in_background in_chroot 1800 "make package ARCH=$board" "$logs/package-$board.log" ||
        fail "make package ARCH=$board"
    # It builds the programs only and runs none of them.
    for p in qemu-user-static "libgtest-dev:$board"; do
        not_installed "$p" "'make package ARCH=$board' needs neither the emulator nor the tests"
    done
    no_seams "$root$clone/build-$board/sensomarkusb_${version}_$board.deb"
    step_done

    step "test $board" "make test ARCH=$board"
    in_background in_chroot 3600 "make test ARCH=$board" "$logs/test-$board.log" ||
        fail "make test ARCH=$board"
    skipped=$(grep '^skipped: ' "$root$clone/build-$board/Testing/Temporary/LastTest.log" 2>/dev/null)
    [ -z "$skipped" ] || fail "the packaging test of $board skipped checks on a fresh machine: $skipped"
    grep -E '\*\*\*Skipped|Not Run' "$logs/test-$board.log" | sed 's/^/note: /'
    step_done
done

step "clean-up"
echo "size of the machine: $(du -sx --block-size=1M "$root" | cut -f1) MB"
forget_registrations
cleanup_dir "$root" "$keep" || fail "clean-up of $root"
[ "$keep" = 1 ] && echo "chroot kept: $root"
root=
step_done

echo
echo "fresh-machine check passed"
printf '  %s\n' "${timings[@]}"
printf '  %-16s %7s s\n' total "$(seconds_since "$total_started")"
