#!/bin/bash
# MQTT benchmark: what publishing costs the query service, and whether memory stays flat while
# the broker is away. Everything runs on 127.0.0.1: a mosquitto broker, simulated devices and
# two daemons of the same build.
#
# 1. Throughput: a daemon publishing to the broker (one device, 10 lines per second) and the
#    same daemon without [mqtt] (its own device at the same rate) take the query load of
#    loadgen in turns (C = 64 by default), REPS times; the ratio with/without should be >= 0.95.
# 2. Outage: a publishing daemon whose device sends 100 lines per second; its resident memory
#    (VmRSS) is read, the broker is stopped for OUTAGE_SECONDS (default 300: 30,000 lines, an
#    hour of a device at 8 lines per second), read again, the broker started again; the daemon
#    must reconnect, and its memory after the outage should be within 1 MiB of before.
#
# Usage: bench/mqtt.sh BUILD_DIR   (make bench-mqtt builds and calls it)
# Environment: OUTAGE_SECONDS (300), CONNECTIONS (64), DURATION (5), REPS (3).
set -euo pipefail

build=${1:?usage: bench/mqtt.sh BUILD_DIR}
build=$(cd "$build" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
outage=${OUTAGE_SECONDS:-300}
connections=${CONNECTIONS:-64}
duration=${DURATION:-5}
reps=${REPS:-3}
out=$here/results-mqtt.md
raw=$here/results-mqtt.txt

daemon_bin=$build/sensomarkUSB
sim_bin=$build/tools/sensomark-sim
loadgen=$build/bench/loadgen
broker_bin=$(command -v mosquitto || echo /usr/sbin/mosquitto)
for program in "$daemon_bin" "$sim_bin" "$loadgen" "$broker_bin"; do
    [ -x "$program" ] || { echo "missing $program: run make bench-build (and tools/check-deps.sh)" >&2; exit 1; }
done
command -v mosquitto_sub >/dev/null || { echo "missing mosquitto_sub (mosquitto-clients)" >&2; exit 1; }

# shellcheck source=bench/lib.sh
. "$here/lib.sh"
bench_work mqtt
rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }
# wait_for FILE TEXT SECONDS: until FILE holds TEXT; fails after SECONDS.
wait_for() {
    local i
    for i in $(seq $(($3 * 20))); do
        grep -qF -- "$2" "$1" 2>/dev/null && return 0
        sleep 0.05
    done
    echo "no '$2' in $1 within $3 s" >&2
    return 1
}

ephemeral_low=$(cut -f1 /proc/sys/net/ipv4/ip_local_port_range)
base=$((ephemeral_low > 20000 ? 17411 : 1411))
broker_port=$(pick_port "$base")
plain_port=$(pick_port $((broker_port + 1)))
mqtt_port=$(pick_port $((plain_port + 1)))

broker_pid=
start_broker() {
    "$broker_bin" -c "$work/broker.conf" >> "$work/broker.log" 2>&1 &
    broker_pid=$!
    pids+=("$broker_pid")
    local i
    for i in $(seq 100); do port_free "$broker_port" || return 0; sleep 0.05; done
    echo "mosquitto did not start" >&2
    exit 1
}
{
    echo "listener $broker_port 127.0.0.1"
    echo "allow_anonymous true"
    echo "persistence false"
    # As root the broker would switch to the user mosquitto, who cannot read the work directory.
    [ "$(id -u)" = 0 ] && echo "user root"
} > "$work/broker.conf"
start_broker

# start_daemon NAME PORT DEVICE [MQTT_PREFIX]: a daemon at loglevel stat (its MQTT lines are
# logged at that level; the service logs nothing per request there either way).
start_daemon() {
    {
        echo "[main]"
        echo "port = $2"
        echo "backlog = 1024"
        echo "loglevel = stat"
        echo "[sensors]"
        echo "$work/$3 = sensomark.com1"
        if [ -n "${4:-}" ]; then
            echo "[mqtt]"
            echo "host = 127.0.0.1"
            echo "port = $broker_port"
            echo "clientid = $4"
            echo "topic = bench/$4"
            echo "qos = 1"
        fi
    } > "$work/$1.conf"
    (cd "$work" && exec "$daemon_bin" "$1.conf") > "$work/$1.log" 2>&1 &
    daemon_pid=$!
    pids+=("$daemon_pid")
    "$loadgen" --mode probe --port "$2" --expect 'valid=1;value=<num>;' --timeout 10 >/dev/null
}

: > "$raw"
note "broker on $broker_port; daemons on $plain_port (no MQTT) and $mqtt_port (MQTT)"

# 1. Throughput with and without publishing.
start_sim tty10a 100
start_sim tty10b 100
start_daemon plain "$plain_port" tty10a
plain_pid=$daemon_pid
start_daemon mqtt "$mqtt_port" tty10b board1
mqtt_pid=$daemon_pid
wait_for "$work/mqtt.log" "connected to MQTT broker" 10
mosquitto_sub -h 127.0.0.1 -p "$broker_port" -v -t 'bench/#' > "$work/sub.txt" 2>&1 &
sub_pid=$!
pids+=("$sub_pid")
ratios=()
for rep in $(seq "$reps"); do
    before=$(wc -l < "$work/sub.txt")
    if ! result=$("$loadgen" --port "$plain_port" --server-pid "$plain_pid" \
        --pair-port "$mqtt_port" --pair-pid "$mqtt_pid" --connections "$connections" \
        --duration "$duration" --warmup 1); then
        echo "loadgen reported a failure: $result" >&2
    fi
    messages=$(($(wc -l < "$work/sub.txt") - before))
    plain_rps=$(sed -n 's/.* side=0 .* rps=\([0-9.]*\).*/\1/p' <<< "$result")
    mqtt_rps=$(sed -n 's/.* side=1 .* rps=\([0-9.]*\).*/\1/p' <<< "$result")
    ratio=$(awk -v a="$mqtt_rps" -v b="$plain_rps" 'BEGIN { printf "%.3f", a / b }')
    ratios+=("$ratio")
    echo "label=throughput rep=$rep plain_rps=$plain_rps mqtt_rps=$mqtt_rps ratio=$ratio mqtt_messages=$messages" >> "$raw"
    echo "$result" | sed "s/^/label=throughput-detail rep=$rep /" >> "$raw"
    note "C=$connections #$rep: without MQTT $plain_rps/s, with MQTT $mqtt_rps/s, ratio $ratio ($messages MQTT messages meanwhile)"
done
median=$(printf '%s\n' "${ratios[@]}" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }')
kill -TERM "$plain_pid" "$mqtt_pid" 2>/dev/null || true

# 2. Memory across a broker outage at 100 lines per second.
start_sim tty100 10
out_port=$(pick_port $((mqtt_port + 1)))
start_daemon outage "$out_port" tty100 board2
outage_pid=$daemon_pid
wait_for "$work/outage.log" "connected to MQTT broker" 10
sleep 20  # let the allocator and the broker connection settle
rss_before=$(rss_kib "$outage_pid")
note "outage: VmRSS $rss_before KiB before; stopping the broker for $outage s"
kill -TERM "$broker_pid"
wait "$broker_pid" 2>/dev/null || true
wait_for "$work/outage.log" "lost MQTT broker" 10
rss_peak=$rss_before
for _ in $(seq "$((outage / 10))"); do
    sleep 10
    rss=$(rss_kib "$outage_pid")
    [ "$rss" -gt "$rss_peak" ] && rss_peak=$rss
done
rss_during=$(rss_kib "$outage_pid")
# The device kept sending throughout: the daemon still serves a fresh value.
fresh=0
"$loadgen" --mode probe --port "$out_port" --expect 'valid=1;value=<num>;' --timeout 5 \
    >/dev/null 2>&1 && fresh=1
start_broker
for i in $(seq 130); do
    [ "$(grep -c 'connected to MQTT broker' "$work/outage.log")" -ge 2 ] && break
    sleep 0.5
done
reconnected=$(grep -c 'connected to MQTT broker' "$work/outage.log" || true)
sleep 5
rss_after=$(rss_kib "$outage_pid")
delta_during=$((rss_during - rss_before))
delta_after=$((rss_after - rss_before))
echo "label=outage seconds=$outage rss_before_kib=$rss_before rss_peak_kib=$rss_peak rss_end_of_outage_kib=$rss_during rss_after_reconnect_kib=$rss_after reconnected=$((reconnected >= 2)) fresh_at_end=$fresh" >> "$raw"
note "outage: VmRSS $rss_before KiB before, $rss_during at its end (peak $rss_peak), $rss_after after reconnecting"

commit=$(git -C "$here/.." describe --always --dirty 2>/dev/null || echo unknown)
cpu=$(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //')
verdict() { awk -v v="$1" -v limit="$2" -v dir="$3" 'BEGIN { ok = dir == "ge" ? v >= limit : v <= limit; print ok ? "met" : "NOT met" }'; }
{
    echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC') on $(nproc) x $cpu, Linux $(uname -r);"
    echo "commit $commit; mosquitto $("$broker_bin" -h 2>/dev/null | sed -n 's/^mosquitto version //p' | head -1) on 127.0.0.1."
    echo
    echo "### Query throughput with MQTT publishing"
    echo
    echo "One device at 10 lines per second per daemon, both at loglevel stat; QoS 1; closed loop,"
    echo "C = $connections,"
    echo "$reps paired run(s) of $duration s per daemon in turns of 1 s (loadgen --pair-port)."
    echo
    echo "| Run | Without MQTT, replies/s | With MQTT, replies/s | Ratio | MQTT messages during the run |"
    echo "|---:|---:|---:|---:|---:|"
    awk '/^label=throughput / {
        for (i = 1; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] }
        printf "| %s | %d | %d | %.3f | %s |\n", f["rep"], f["plain_rps"], f["mqtt_rps"], f["ratio"], f["mqtt_messages"]
    }' "$raw"
    echo
    echo "Median ratio $median (target >= 0.95: $(verdict "$median" 0.95 ge))."
    echo
    echo "### Resident memory across a broker outage"
    echo
    echo "Device at 100 lines per second; broker stopped for $outage s ($((outage * 100)) device lines)."
    echo
    echo "| VmRSS before | end of outage | peak | after reconnecting | change at the end | change after |"
    echo "|---:|---:|---:|---:|---:|---:|"
    echo "| $rss_before KiB | $rss_during KiB | $rss_peak KiB | $rss_after KiB | $delta_during KiB | $delta_after KiB |"
    echo
    echo "Fresh device data served at the end of the outage: $([ "$fresh" = 1 ] && echo yes || echo NO)."
    echo "Reconnected after the outage: $([ "$reconnected" -ge 2 ] && echo yes || echo NO)."
    echo "Within 1 MiB of before (end of outage and after): $(verdict "$(( delta_during > delta_after ? delta_during : delta_after ))" 1024 le)."
} > "$out"
note "wrote $out"
cat "$out"
