#!/bin/bash
# Idle silence, stop latency and throughput of the daemon against an earlier build of itself
# (BASELINE, a commit): wake-ups of an idle daemon with two silent devices, CPU of 1,000 idle
# clients, SIGTERM to exit idle and under 256 busy clients, and query throughput at
# C = 1..256 with the two binaries taking the load in turns. Appends to bench/results.md.
# Usage: bench/core.sh [--quick] BUILD_DIR   (make bench and make bench-core call it)
set -euo pipefail

quick=0
if [ "${1:-}" = "--quick" ]; then
    quick=1
    shift
fi
build=$(cd "${1:?usage: bench/core.sh [--quick] BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
baseline=${BASELINE:-1b035e3}
daemon_bin=$build/sensomarkUSB
sim_bin=$build/tools/sensomark-sim
loadgen=$build/bench/loadgen
if [ $quick = 1 ]; then
    quiet_secs=10 idle_hold=10 duration=2 reps=1 out=$here/results-core-quick.txt
else
    quiet_secs=30 idle_hold=30 duration=5 reps=3 out=$here/results.md
fi

ulimit -n 65536 2>/dev/null || ulimit -n "$(ulimit -Hn)"
work=$(mktemp -d /tmp/sensomark-core-XXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    git -C "$here/.." worktree remove --force "$work/baseline-src" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
note() { printf '%s  %s\n' "$(date +%H:%M:%S)" "$*" >&2; }

# The baseline daemon, built from its commit with the same build type.
note "building the baseline daemon of $baseline"
git -C "$here/.." worktree add --detach -f "$work/baseline-src" "$baseline" >/dev/null 2>&1
cmake -S "$work/baseline-src" -B "$work/baseline-build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBUILD_TESTING=OFF >/dev/null
cmake --build "$work/baseline-build" -j2 --target sensomarkUSB >/dev/null
old_bin=$work/baseline-build/sensomarkUSB

# Two devices that sent one line and then stay silent, and one that streams.
for dev in 1 2; do
    "$sim_bin" --link "$work/ttyQUIET$dev" --interval 100 --silence-after 1 \
        --silence-secs 1000000 --quiet >/dev/null 2>&1 &
    pids+=($!)
done
"$sim_bin" --link "$work/ttySIM0" --interval 200 --quiet >/dev/null 2>&1 &
pids+=($!)
for link in ttyQUIET1 ttyQUIET2 ttySIM0; do
    for _ in $(seq 100); do [ -L "$work/$link" ] && break; sleep 0.05; done
done

port=17411
# start BINARY NAME DEVICES...: the daemon at level critical on its own port; sets started_pid.
start() {
    local bin=$1 name=$2
    shift 2
    port=$((port + 1))
    {
        printf '[main]\nport = %s\nbacklog = 1024\nloglevel = critical\n[sensors]\n' "$port"
        for dev in "$@"; do echo "$work/$dev = $dev"; done
    } > "$work/$name.conf"
    (cd "$work" && exec "$bin" "$name.conf") > "$work/$name.log" 2>&1 &
    started_pid=$!
    started_port=$port
    for _ in $(seq 200); do
        (exec 3<>/dev/tcp/127.0.0.1/"$port") 2>/dev/null && return 0
        sleep 0.05
    done
    echo "the daemon $name did not start" >&2
    exit 1
}
# Voluntary and involuntary context switches of all threads of PID so far.
switches() {
    cat /proc/"$1"/task/*/status | awk '/ctxt_switches/ { n += $2 } END { print n }'
}
stop_timed_ms() {  # SIGTERM to exit of PID, in ms
    local t0 t1
    t0=$(date +%s%N)
    kill -TERM "$1"
    wait "$1" || true
    t1=$(date +%s%N)
    echo $(((t1 - t0) / 1000)) | awk '{ printf "%.1f", $1 / 1000 }'
}

declare -A wake idle_cpu stop_idle stop_busy
for which in old new; do
    bin=$daemon_bin
    [ $which = old ] && bin=$old_bin
    start "$bin" quiet-$which ttyQUIET1 ttyQUIET2
    sleep 2
    a=$(switches "$started_pid")
    sleep "$quiet_secs"
    b=$(switches "$started_pid")
    wake[$which]=$(awk -v d=$((b - a)) -v s="$quiet_secs" 'BEGIN { printf "%.2f", d / s }')
    note "$which: $((b - a)) context switches in $quiet_secs s with two silent devices"
    stop_idle[$which]=$(stop_timed_ms "$started_pid")

    start "$bin" idle-$which ttySIM0
    line=$("$loadgen" --port "$started_port" --query ttySIM0.1 --expect 'valid=1;value=<num>;' \
        --server-pid "$started_pid" --mode idle --connections 1000 --hold "$idle_hold" || true)
    idle_cpu[$which]=$(sed -n 's/.*cpu_pct=\([0-9.]*\).*/\1/p' <<< "$line")
    note "$which idle: $line"
    kill -TERM "$started_pid"
    wait "$started_pid" || true

    start "$bin" busy-$which ttySIM0
    line=$("$loadgen" --port "$started_port" --query ttySIM0.1 --expect 'valid=1;value=<num>;' \
        --server-pid "$started_pid" --mode shutdown --connections 256 --signal-after 2 || true)
    stop_busy[$which]=$(sed -n 's/.*shutdown_ms=\([0-9.]*\).*/\1/p' <<< "$line")
    wait "$started_pid" || true
    note "$which busy stop: $line"
done

# Throughput: old and new take the load in turns of one second.
start "$old_bin" pair-old ttySIM0
old_pid=$started_pid old_port=$started_port
start "$daemon_bin" pair-new ttySIM0
new_pid=$started_pid new_port=$started_port
pids+=("$old_pid" "$new_pid")
declare -A ratio
for c in 1 16 64 256; do
    list=""
    for rep in $(seq $reps); do
        result=$("$loadgen" --port "$old_port" --server-pid "$old_pid" --pair-port "$new_port" \
            --pair-pid "$new_pid" --query ttySIM0.1 --expect 'valid=1;value=<num>;' \
            --connections "$c" --duration $duration --warmup 1 || true)
        o=$(sed -n 's/.* side=0 .*[^_]rps=\([0-9.]*\).*/\1/p' <<< "$result")
        n=$(sed -n 's/.* side=1 .*[^_]rps=\([0-9.]*\).*/\1/p' <<< "$result")
        note "C=$c #$rep: old $o new $n replies/s"
        list="$list $(awk -v o="$o" -v n="$n" 'BEGIN { printf "%.3f", n / o }')"
    done
    ratio[$c]=$(tr ' ' '\n' <<< "$list" | sed '/^$/d' | sort -n | awk '{ v[NR] = $1 }
        END { print v[int((NR + 1) / 2)] }')
done

{
    echo
    echo "## Idle silence and stop (bench/core.sh)"
    echo
    echo "Baseline: commit $baseline (every wait a 200 ms step), against"
    echo "$(git -C "$here/.." describe --always --dirty); measured $(date -u '+%Y-%m-%d %H:%M UTC')."
    echo
    echo "| target | baseline | now | limit |"
    echo "|---|---:|---:|---:|"
    echo "| wake-ups per second, two silent devices, no client | ${wake[old]} | ${wake[new]} | <= 1 |"
    echo "| CPU of 1,000 idle clients, % of a core | ${idle_cpu[old]} | ${idle_cpu[new]} | <= 0.1 |"
    echo "| SIGTERM to exit, idle, ms | ${stop_idle[old]} | ${stop_idle[new]} | <= 20 |"
    echo "| SIGTERM to exit, 256 busy clients, ms | ${stop_busy[old]} | ${stop_busy[new]} | <= 20 |"
    for c in 1 16 64 256; do
        echo "| throughput now / baseline, C = $c (median of $reps) | 1 | ${ratio[$c]} | >= 0.95 |"
    done
} > "$work/section.md"
if [ $quick = 1 ]; then cp "$work/section.md" "$out"; else cat "$work/section.md" >> "$out"; fi
cat "$work/section.md"
