#!/bin/bash
# Benchmark driver: runs the daemon and the reference server turn about under the same load
# and writes the figures, as ratios to the reference, to bench/results.md.
# Usage: bench/run.sh [--quick] BUILD_DIR   (make bench / make bench-quick build and call it)
set -euo pipefail

quick=0
if [ "${1:-}" = "--quick" ]; then
    quick=1
    shift
fi
build=${1:?usage: bench/run.sh [--quick] BUILD_DIR}
build=$(cd "$build" && pwd)
here=$(cd "$(dirname "$0")" && pwd)

daemon_bin=$build/sensomarkUSB
sim_bin=$build/tools/sensomark-sim
loadgen=$build/bench/loadgen
refserver=$build/bench/refserver
for program in "$daemon_bin" "$sim_bin" "$loadgen" "$refserver"; do
    [ -x "$program" ] || { echo "missing $program: run make bench" >&2; exit 1; }
done

# Listen backlog of both servers, so a burst of connects is never dropped by either.
backlog=1024
query=sensomark.com1.1
daemon_expect='valid=1;value=<num>;'
ref_reply='valid=1;value=21.5;'
if [ $quick = 1 ]; then
    conns="1 16 64 256"
    duration=2 warmup=0.5 reps=1
    storm_secs=2 idle_small_hold=3 idle_big=10000 idle_big_hold=2
    out=$here/results-quick.txt raw=$here/results-quick-raw.txt
else
    conns="1 16 64 256 1000"
    duration=5 warmup=1 reps=3
    storm_secs=5 idle_small_hold=10 idle_big=10000 idle_big_hold=5
    out=$here/results.md raw=$here/results-raw.txt
fi
storm_slots=64
idle_small=1000
shutdown_conns=256
shutdown_after=2

# Descriptors for 10,000 clients on each side.
ulimit -n 65536 2>/dev/null || ulimit -n "$(ulimit -Hn)"
if [ "$(ulimit -n)" != unlimited ] && [ "$(ulimit -n)" -lt $((idle_big + 100)) ]; then
    echo "descriptor limit $(ulimit -n) is too low for $idle_big clients" >&2
    exit 1
fi

# The storm closes some hundred thousand client sockets within a minute; without reuse of
# loopback ports in TIME_WAIT (Linux's default tcp_tw_reuse = 2) connects would fail.
if [ "$(cat /proc/sys/net/ipv4/tcp_tw_reuse 2>/dev/null || echo 2)" = 0 ]; then
    echo "warning: net.ipv4.tcp_tw_reuse is 0; the connect storm may run out of ports" >&2
fi

work=$(mktemp -d /tmp/sensomark-bench-XXXXXX)
sim_pid= daemon_pid= ref_pid=
stop() {  # stop PID: SIGTERM and wait for it
    [ -n "$1" ] || return 0
    kill -TERM "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}
cleanup() {
    stop "$daemon_pid"
    stop "$ref_pid"
    stop "$sim_pid"
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A TCP port that no socket uses now. The servers' ports lie below the ephemeral range: thousands
# of client sockets in TIME_WAIT would otherwise soon hold the port and make bind fail.
port_free() {
    ! ss -Htan "sport = :$1" 2>/dev/null | grep -q .
}
pick_port() {
    local port=$1
    while ! port_free "$port"; do port=$((port + 1)); done
    echo "$port"
}
ephemeral_low=$(cut -f1 /proc/sys/net/ipv4/ip_local_port_range)
daemon_port=$(pick_port $((ephemeral_low > 20000 ? 17311 : 1311)))
ref_port=$(pick_port $((daemon_port + 1)))

note() { printf '%s  %s\n' "$(date +%H:%M:%S)" "$*" >&2; }

"$sim_bin" --link "$work/ttySIM0" --interval 200 --quiet > "$work/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do [ -L "$work/ttySIM0" ] && break; sleep 0.05; done
[ -L "$work/ttySIM0" ] || { echo "sensomark-sim did not start" >&2; exit 1; }

# start_daemon LEVEL: the daemon in the foreground, LEVEL critical or default, output to a file.
start_daemon() {
    local level=$1
    {
        echo "[main]"
        echo "port = $daemon_port"
        echo "backlog = $backlog"
        [ "$level" = critical ] && echo "loglevel = critical"
        echo "[sensors]"
        echo "$work/ttySIM0 = sensomark.com1"
    } > "$work/daemon-$level.conf"
    daemon_log=$work/daemon-$level.log
    : > "$daemon_log"
    (cd "$work" && exec "$daemon_bin" "daemon-$level.conf") >> "$daemon_log" 2>&1 &
    daemon_pid=$!
    "$loadgen" --mode probe --port "$daemon_port" --expect "$daemon_expect" --timeout 10 >/dev/null
}
start_ref() {  # extra refserver options, if any
    "$refserver" --port "$ref_port" --backlog $backlog --reply "$ref_reply" "$@" \
        > "$work/ref.log" 2>&1 &
    ref_pid=$!
    "$loadgen" --mode probe --port "$ref_port" --expect "$ref_reply" --timeout 10 >/dev/null
}
stop_daemon() { stop "$daemon_pid"; daemon_pid=; }
stop_ref() { stop "$ref_pid"; ref_pid=; }

# measure LABEL SERVER REP LOADGEN-ARGS...: one loadgen run against SERVER: daemon, or ref or
# wake (the reference server, the latter waking its idle threads every 200 ms).
measure() {
    local label=$1 server=$2 rep=$3 result
    shift 3
    local port=$daemon_port expect=$daemon_expect pid=$daemon_pid
    if [ "$server" != daemon ]; then port=$ref_port expect=$ref_reply pid=$ref_pid; fi
    if ! result=$("$loadgen" --port "$port" --query "$query" --expect "$expect" \
        --server-pid "$pid" "$@"); then
        echo "loadgen reported a failure: $label $server: $result" >&2
    fi
    echo "label=$label server=$server rep=$rep $result" >> "$raw"
    note "$label $server #$rep: $result"
    return 0
}

# pairs LABEL LOADGEN-ARGS...: REPS paired runs against the running reference and daemon. In
# each, loadgen gives the two servers the load in turns of one second until each has had the
# measured seconds, so that other load on the machine falls on both alike.
pairs() {
    local label=$1 rep result line server
    shift
    for rep in $(seq "$reps"); do
        if ! result=$("$loadgen" --port "$ref_port" --server-pid "$ref_pid" \
            --pair-port "$daemon_port" --pair-pid "$daemon_pid" --query "$query" \
            --expect "$daemon_expect" "$@"); then
            echo "loadgen reported a failure: $label: $result" >&2
        fi
        while IFS= read -r line; do
            case $line in
                *" side=0 "*) server=ref ;;
                *" side=1 "*) server=daemon ;;
                *) continue ;;
            esac
            echo "label=$label server=$server rep=$rep $line" >> "$raw"
            note "$label $server #$rep: $line"
        done <<< "$result"
        # The default level writes every request twice; keep the disk out of it.
        : > "$daemon_log"
    done
}

: > "$raw"
started=$(date +%s)
note "daemon on port $daemon_port, reference on port $ref_port, results in $out"

for level in critical default; do
    start_ref
    start_daemon $level
    for c in $conns; do
        pairs "run-$level-c$c" --connections "$c" --duration $duration --warmup $warmup
    done
    pairs "storm-$level" --mode storm --connections $storm_slots --duration $storm_secs \
        --warmup $warmup
    stop_daemon
    stop_ref
done

# Idle clients: fresh servers each time, so memory counts from a clean start. The reference runs
# twice: as it is, and with every idle client thread waking every 200 ms, which shows what such
# polling alone costs on this machine.
for n in $idle_small $idle_big; do
    hold=$idle_small_hold
    [ "$n" = "$idle_small" ] || hold=$idle_big_hold
    for rep in $(seq "$reps"); do
        start_ref
        measure "idle-$n" ref "$rep" --mode idle --connections "$n" --hold "$hold"
        stop_ref
        start_ref --wake-ms 200
        measure "idle-$n" wake "$rep" --mode idle --connections "$n" --hold "$hold"
        stop_ref
        start_daemon default
        measure "idle-$n" daemon "$rep" --mode idle --connections "$n" --hold "$hold"
        stop_daemon
    done
done

# SIGTERM under load: the loadgen signals the server and times its exit.
for rep in $(seq "$reps"); do
    start_ref
    measure shutdown ref "$rep" --mode shutdown --connections $shutdown_conns \
        --signal-after $shutdown_after
    wait "$ref_pid" 2>/dev/null || true
    ref_pid=
    start_daemon default
    measure shutdown daemon "$rep" --mode shutdown --connections $shutdown_conns \
        --signal-after $shutdown_after
    status=0
    wait "$daemon_pid" || status=$?
    last=$(tail -n 1 "$work/daemon-default.log")
    echo "label=shutdown-exit server=daemon rep=$rep status=$status last_line_ok=$(
        case "$last" in *" - ending daemon") echo 1 ;; *) echo 0 ;; esac)" >> "$raw"
    daemon_pid=
done

elapsed=$(($(date +%s) - started))
commit=$(git -C "$here/.." describe --always --dirty 2>/dev/null || echo unknown)
cpu=$(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //')
{
    echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC') on $(nproc) x $cpu, Linux $(uname -r);"
    echo "commit $commit; $reps repetition(s) of ${duration} s per server after ${warmup} s warm-up,"
    echo "in turns of 1 s (after 0.2 s to settle);"
    echo "run took ${elapsed} s."
    echo
    awk -v reps="$reps" -v conns="$conns" -v idle_small=$idle_small -v idle_big=$idle_big \
        -v slots=$storm_slots -v backlog=$backlog -v shutdown_conns=$shutdown_conns \
        -f "$here/summarize.awk" "$raw"
} > "$out"
note "wrote $out"
cat "$out"
