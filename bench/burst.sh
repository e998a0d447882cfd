#!/bin/bash
# A burst of clients on a busy machine: CLIENTS clients (default 1,500) connect to the
# daemon at once from 127.0.0.1 (bench/loadgen.cpp, mode idle, every connect pending
# together), each then sends one query; counted are the clients answered within two
# minutes (a client the daemon never accepted is never answered). Each run is made with
# the listen backlog that earlier versions had (5) and with the default, while a parallel
# build of this tree (make -j4 of the programs, ccache off) keeps both cores busy.
# Appends a table to bench/results.md (--quick: one run each, to results-burst-quick.txt).
# Usage: bench/burst.sh [--quick] [--no-load] BUILD_DIR   (make bench-burst calls it)
set -euo pipefail

quick=0 load=1
while [ $# -gt 1 ]; do
    case $1 in
    --quick) quick=1 ;;
    --no-load) load=0 ;;
    *) break ;;
    esac
    shift
done
build=$(cd "${1:?usage: bench/burst.sh [--quick] [--no-load] BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
loadgen=$build/bench/loadgen daemon=$build/sensomarkUSB
for program in "$loadgen" "$daemon"; do
    [ -x "$program" ] || { echo "missing $program: run make bench-build" >&2; exit 1; }
done
clients=${CLIENTS:-1500}
if [ $quick = 1 ]; then
    runs=1 out=$here/results-burst-quick.txt
else
    runs=3 out=$here/results.md
fi
# The daemon serves every client with a thread and a descriptor; it inherits the limit.
ulimit -n 8192 2>/dev/null || ulimit -n "$(ulimit -Hn)"
[ "$(ulimit -n)" -gt $((clients + 100)) ] || {
    echo "descriptor limit $(ulimit -n) is too low for $clients clients" >&2
    exit 1
}

work=$(mktemp -d /tmp/sensomark-burst-XXXXXX)
pid="" loader=""
cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
    # The build runs in a process group of its own.
    [ -n "$loader" ] && kill -- "-$loader" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
note() { printf '%s  %s\n' "$(date +%H:%M:%S)" "$*" >&2; }
field() { sed -n "s/.*\b$1=\([^ ]*\).*/\1/p" <<<"$2"; }

if [ $load = 1 ]; then
    cmake -S "$repo" -B "$work/load" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
        >/dev/null
    # Rebuilt from scratch, over and over, until the bursts are done.
    # shellcheck disable=SC2016 # the inner shell expands $1
    setsid bash -c 'while :; do CCACHE_DISABLE=1 cmake --build "$1" -j4 --clean-first \
        --target sensomark-programs >/dev/null 2>&1; done' _ "$work/load" &
    loader=$!
    note "a parallel build (make -j4) runs beside the bursts"
    sleep 10 # under way
fi

# One burst against a fresh daemon with backlog $1 (empty: the default); prints loadgen's line.
burst() {
    local port=$((20000 + RANDOM % 20000))
    {
        printf '[main]\nport = %d\nloglevel = critical\n' "$port"
        [ -z "$1" ] || printf 'backlog = %d\n' "$1"
        printf '[sensors]\n/nonexistent/burst = probe\n'
    } >"$work/sensomarkUSB.conf"
    "$daemon" "$work/sensomarkUSB.conf" >/dev/null 2>&1 &
    pid=$!
    "$loadgen" --mode probe --port "$port" --query probe.1 --expect 'valid=0' --timeout 30 \
        >/dev/null
    "$loadgen" --mode idle --port "$port" --connections "$clients" --burst "$clients" \
        --hold 0 --query probe.1 --expect 'valid=0' --server-pid "$pid" || true
    kill "$pid"
    wait "$pid" 2>/dev/null || true
    pid=""
}

# The default as the kernel applies it: net.core.somaxconn caps it.
default="default ($(awk '{ print ($1 < 4096) ? $1 : 4096 }' /proc/sys/net/core/somaxconn))"
rows=""
for run in $(seq "$runs"); do
    for backlog in 5 ""; do
        line=$(burst "$backlog")
        note "run $run, backlog ${backlog:-default}: $line"
        rows+="| $run | ${backlog:-$default} |"
        rows+=" $(field answered "$line") of $clients | $(field setup_s "$line") |"$'\n'
    done
done

{
    echo
    echo "## Burst of $clients clients ($(date -u +%Y-%m-%d), $(nproc) cores," \
        "$([ $load = 1 ] && echo "a make -j4 beside it" || echo "no other load"))"
    echo
    echo "Each client connects at once, sends one query and waits up to two minutes for the"
    echo "reply (bench/burst.sh); answered counts the clients that the daemon accepted."
    echo
    echo "| Run | backlog | answered | seconds until the last answer or the give-up |"
    echo "|---:|---|---:|---:|"
    printf '%s' "$rows"
} | tee -a "$out"
