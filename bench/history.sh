#!/bin/bash
# The history's disk and memory costs (bench/historybench.cpp and the daemon):
# - bytes written and fsyncs per device and day at the default historysync
#   (600 s) of a device that holds a full year, averaged over a simulated week:
#   the values carry their UTC minute and the writer is driven with the
#   simulated time, so the writes are those of a real week, compressed into
#   seconds;
# - the whole file of a full year at every zlib level: time and size;
# - the daemon's start-up time (launch to an accepting query port, polled every
#   10 ms so that the poll does not take the CPU the start needs) with a
#   full year of history for 16 devices against an empty statedir, median of 5;
# - resident memory per device with a full year (16 devices against none);
# - SIGTERM to exit with 16 and 200 devices holding a year each and the last
#   ten minutes not yet written (the most a sync interval leaves), median of 5
#   (3 for 200), every file checked to have grown.
# Appends to bench/results.md (--quick: one run each, to results-history-quick.txt).
# Usage: bench/history.sh [--quick] BUILD_DIR   (make bench-history calls it)
set -euo pipefail

quick=0
if [ "${1:-}" = "--quick" ]; then
    quick=1
    shift
fi
build=$(cd "${1:?usage: bench/history.sh [--quick] BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
tool=$build/bench/historybench
[ -x "$tool" ] || { echo "missing $tool: run make bench-build" >&2; exit 1; }
if [ $quick = 1 ]; then
    reps=1 out=$here/results-history-quick.txt
else
    reps=5 out=$here/results.md
fi
# On the build's disk, not a tmpfs: /proc/PID/io counts what reaches a block device.
work=$(mktemp -d "$build/history-bench-XXXXXX")
pid=""
cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
note() { printf '%s  %s\n' "$(date +%H:%M:%S)" "$*" >&2; }
field() { sed -n "s/.*\b$1=\([^ ]*\).*/\1/p" <<< "$2"; }
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

mkdir -p "$work/day" "$work/full" "$work/empty"
dayline=$("$tool" day "$work/day")
note "day: $dayline"
levels=$("$tool" levels)
note "levels: $(tr '\n' ' ' <<< "$levels")"
yearline=$("$tool" year "$work/full" 16)
note "year: $yearline"
loadline=$("$tool" load "$work/full" 16)
note "load: $loadline"

port=$((20000 + RANDOM % 20000))
# The configuration of $2 (default 16) devices with statedir $1.
config() {
    printf '[main]\nport = %d\nloglevel = critical\nstatedir = %s\n[sensors]\n' "$port" "$1"
    for k in $(seq "${2:-16}"); do printf '/dev/bench%d = bench%d\n' "$k" "$k"; done
}
# Starts the daemon on statedir $1; prints "start_ms rss_kb".
run() {
    config "$1" >"$work/sensomarkUSB.conf"
    local t0 t1
    t0=$(date +%s%N)
    "$build/sensomarkUSB" "$work/sensomarkUSB.conf" >/dev/null 2>&1 &
    pid=$!
    until (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do sleep 0.01; done
    t1=$(date +%s%N)
    sleep 0.3
    local rss
    rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status")
    kill -TERM "$pid"
    wait "$pid" || true
    pid=""
    echo "$(( (t1 - t0) / 1000000 )) $rss"
}
declare -A ms rss
for which in empty full; do
    results=""
    for rep in $(seq $reps); do
        r=$(run "$work/$which")
        note "$which #$rep: start_ms rss_kb = $r"
        results+="$r"$'\n'
    done
    ms[$which]=$(awk 'NF { print $1 }' <<< "$results" | median)
    rss[$which]=$(awk 'NF { print $2 }' <<< "$results" | median)
done

# SIGTERM to exit of $1 devices, each with a year on disk (ending a day ago)
# and its last ten minutes filled by the benchmark hook, not yet written;
# prints "ms files_grown load_average".
stop() {
    local n=$1 dir=$work/stop$1 t0 t1 grown=0 k
    if [ ! -d "$work/years$n" ]; then
        mkdir -p "$work/years$n"
        "$tool" year "$work/years$n" "$n" >/dev/null
    fi
    rm -rf "$dir"
    cp -r "$work/years$n" "$dir"
    declare -A before
    for k in $(seq "$n"); do before[$k]=$(stat -c %s "$dir/dev_bench$k.history"); done
    config "$dir" "$n" >"$work/sensomarkUSB.conf"
    SENSOMARK_BENCH_FULL_DAY=1 SENSOMARK_BENCH_MINUTES=10 \
        "$build/sensomarkUSB" "$work/sensomarkUSB.conf" >"$work/stop.log" 2>&1 &
    pid=$!
    until (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do sleep 0.01; done
    local load=$(cut -d' ' -f1 /proc/loadavg)
    t0=$(date +%s%N)
    kill -TERM "$pid"
    wait "$pid" || true
    t1=$(date +%s%N)
    pid=""
    for k in $(seq "$n"); do
        [ "$(stat -c %s "$dir/dev_bench$k.history")" -gt "${before[$k]}" ] && grown=$((grown + 1))
    done
    grep -q "not written" "$work/stop.log" && grown="$grown (log: $(grep -c "not written" "$work/stop.log") not written)"
    echo "$(( (t1 - t0) / 1000000 )) $grown $load"
}
declare -A stopms stopgrown stopload
for n in 16 200; do
    results=""
    for rep in $(seq $([ $n = 200 ] && [ $reps -gt 3 ] && echo 3 || echo $reps)); do
        r=$(stop "$n")
        note "stop $n #$rep: ms files_grown load = $r"
        results+="$r"$'\n'
    done
    stopms[$n]=$(awk 'NF { print $1 }' <<< "$results" | median)
    stopgrown[$n]=$(awk 'NF { $1 = ""; $NF = ""; print }' <<< "$results" | tr -s ' \n' ' ')
    stopload[$n]=$(awk 'NF { print $NF }' <<< "$results" | tr '\n' ' ')
done

{
    echo
    echo "## History on disk ($(date -u +%Y-%m-%d), $(git -C "$here/.." rev-parse --short HEAD))"
    echo
    echo "A simulated week ($(field simulated_minutes "$dayline") minutes, so that the whole rewrite"
    echo "its appends make due is in it) of a device holding a full year, six lines a minute,"
    echo "historysync 600 s, per day:"
    echo
    echo "| per device and day | value |"
    echo "|---|---|"
    echo "| bytes written (writer's count) | $(field bytes "$dayline") |"
    echo "| bytes written (/proc/self/io write_bytes) | $(field proc_write_bytes "$dayline") |"
    echo "| bytes handed to write() (/proc/self/io wchar) | $(field proc_wchar "$dayline") |"
    echo "| fsync calls | $(field fsyncs "$dayline") |"
    echo "| file size after the day | $(field file_bytes "$dayline") |"
    echo
    echo "16 devices with a full year each (file $(field file_bytes_per_device "$yearline") bytes per"
    echo "device; tiers $(field memory_bytes_per_device "$yearline") bytes per device), median of $reps starts:"
    echo
    echo "| statedir | start-up to accepting (ms) | VmRSS (KiB) |"
    echo "|---|---|---|"
    echo "| empty | ${ms[empty]} | ${rss[empty]} |"
    echo "| 16 devices, a year each | ${ms[full]} | ${rss[full]} |"
    echo
    echo "Start-up with a full year: $(( ${ms[full]} - ${ms[empty]} )) ms over empty; reading the 16"
    echo "files alone (historybench load): $(field load_ms "$loadline") ms, of it"
    echo "$(field load_cpu_ms "$loadline") ms of CPU time (load average $(cut -d' ' -f1 /proc/loadavg))."
    echo "resident memory $(( (${rss[full]} - ${rss[empty]}) / 16 )) KiB per device."
    echo
    echo "A full year written whole at each zlib level (median of 5):"
    echo
    echo "| level | ms | bytes |"
    echo "|---|---|---|"
    while read -r line; do
        echo "| $(field level "$line") | $(field ms "$line") | $(field bytes "$line") |"
    done <<< "$levels"
    echo
    echo "SIGTERM to exit, every device holding a year with its last ten minutes not yet written:"
    echo
    echo "| devices | ms (median) | files that grew, each run | load average at each SIGTERM |"
    echo "|---|---|---|---|"
    for n in 16 200; do echo "| $n | ${stopms[$n]} | ${stopgrown[$n]} | ${stopload[$n]}|"; done
} | tee -a "$out"
