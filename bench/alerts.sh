#!/bin/bash
# Alerts benchmark: what judging the rules of [alerts] costs the query service, and whether a
# notify program that hangs holds up a query. Everything runs on 127.0.0.1 with simulated
# devices and daemons of the same build.
#
# 1. Rules: a daemon with 100 rules on its device's quantities (none ever raised: every
#    reading is judged against all of them) and the same daemon without [alerts], each
#    reading its own device at 100 lines per second, take the query load of loadgen in turns
#    (C = 1), REPS times; the ratio with/without should be >= 0.95. Before it, the CPU time
#    of each daemon per device line over IDLE_SECONDS without queries, its device sending
#    500 lines per second.
# 2. Hang: a daemon whose notify program hangs (raised at its first line; the program sleeps
#    until the 30 s time limit) and the same daemon without notify take the load in turns
#    (C = 1 and C = 16); the p99 latencies are compared. A fresh hanging daemon each run.
#
# Usage: bench/alerts.sh BUILD_DIR   (after make bench-build: bash bench/alerts.sh build-bench)
# Environment: REPS (3), DURATION (5), IDLE_SECONDS (20). Writes bench/results-alerts.md.
set -euo pipefail

build=${1:?usage: bench/alerts.sh BUILD_DIR}
build=$(cd "$build" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
reps=${REPS:-3}
duration=${DURATION:-5}
idle=${IDLE_SECONDS:-20}
out=$here/results-alerts.md
raw=$here/results-alerts.txt

daemon_bin=$build/sensomarkUSB
sim_bin=$build/tools/sensomark-sim
loadgen=$build/bench/loadgen
for program in "$daemon_bin" "$sim_bin" "$loadgen"; do
    [ -x "$program" ] || { echo "missing $program: run make bench-build" >&2; exit 1; }
done

# shellcheck source=bench/lib.sh
. "$here/lib.sh"
bench_work alerts
load1() { cut -d' ' -f1 /proc/loadavg; }
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
# lines_of WEB_PORT: the device lines the daemon has parsed.
lines_of() {
    exec 3<>"/dev/tcp/127.0.0.1/$1"
    printf 'GET /metrics HTTP/1.0\r\n\r\n' >&3
    awk '/^sensomark_device_lines_total/ { n += $2 } END { print n + 0 }' <&3
    exec 3<&-
}
# field NAME SIDE TEXT: the value of NAME on the loadgen line of SIDE (0 or 1).
field() { sed -n "s/.* side=$2 .* $1=\([0-9.]*\).*/\1/p" <<< "$3"; }

ephemeral_low=$(cut -f1 /proc/sys/net/ipv4/ip_local_port_range)
next_port=$(pick_port $((ephemeral_low > 20000 ? 17511 : 1511)))

# start_daemon NAME DEVICE [ALERTS-SECTION-LINES]: a daemon at loglevel critical on a port of
# its own and a metrics port; sets daemon_pid, daemon_port and daemon_web.
start_daemon() {
    daemon_port=$(pick_port "$next_port")
    daemon_web=$(pick_port $((daemon_port + 1)))
    next_port=$((daemon_web + 1))
    {
        printf '[main]\nport = %s\nmetricsport = %s\n' "$daemon_port" "$daemon_web"
        printf 'backlog = 1024\nloglevel = critical\n'
        printf '[sensors]\n%s = sensomark.com1\n' "$work/$2"
        if [ -n "${3:-}" ]; then printf '[alerts]\n%s\n' "$3"; fi
    } > "$work/$1.conf"
    (cd "$work" && exec "$daemon_bin" "$1.conf") > "$work/$1.log" 2>&1 &
    daemon_pid=$!
    pids+=("$daemon_pid")
    "$loadgen" --mode probe --port "$daemon_port" --expect 'valid=1;value=<num>;' --timeout 10 >/dev/null
}

# 100 rules, never raised: above 1000, 1001, ... spread over the three quantities.
declare -A keyed
for i in $(seq 0 99); do
    q=$(echo temperature humidity dewpoint | cut -d' ' -f$((i % 3 + 1)))
    keyed[$q]="${keyed[$q]:+${keyed[$q]},} above $((1000 + i))"
done
rules=""
for q in temperature humidity dewpoint; do rules="${rules}sensomark.com1.$q =${keyed[$q]}"$'\n'; done
[ "$(grep -o above <<< "$rules" | wc -l | tr -d ' ')" = 100 ] || { echo "not 100 rules" >&2; exit 1; }

: > "$raw"

# 1. CPU per line without queries, at 500 lines per second.
hz=$(getconf CLK_TCK)
start_sim ttyFAST1 2
start_sim ttyFAST2 2
start_daemon plain ttyFAST1
plain_pid=$daemon_pid plain_web=$daemon_web
start_daemon rules ttyFAST2 "$rules"
rules_pid=$daemon_pid rules_web=$daemon_web
sleep 2
# Both daemons over the same windows, so that other load on the machine falls on both alike.
plain_cpu=() rules_cpu=()
for rep in $(seq "$reps"); do
    t0p=$(cpu_ticks "$plain_pid") l0p=$(lines_of "$plain_web")
    t0r=$(cpu_ticks "$rules_pid") l0r=$(lines_of "$rules_web")
    sleep "$idle"
    t1p=$(cpu_ticks "$plain_pid") l1p=$(lines_of "$plain_web")
    t1r=$(cpu_ticks "$rules_pid") l1r=$(lines_of "$rules_web")
    per_line() { awk -v t="$1" -v hz="$hz" -v n="$2" 'BEGIN { printf "%.2f", t / hz * 1e6 / n }'; }
    plain_cpu+=("$(per_line $((t1p - t0p)) $((l1p - l0p)))")
    rules_cpu+=("$(per_line $((t1r - t0r)) $((l1r - l0r)))")
    echo "label=cpu rep=$rep seconds=$idle plain_lines=$((l1p - l0p)) plain_us_per_line=${plain_cpu[-1]} rules_lines=$((l1r - l0r)) rules_us_per_line=${rules_cpu[-1]}" >> "$raw"
    note "CPU per device line #$rep: without rules ${plain_cpu[-1]} us, with 100 rules ${rules_cpu[-1]} us"
done
us_plain=$(printf '%s\n' "${plain_cpu[@]}" | median) us_rules=$(printf '%s\n' "${rules_cpu[@]}" | median)
kill -TERM "$plain_pid" "$rules_pid" 2>/dev/null || true

# 2. Query throughput with and without 100 rules, devices at 100 lines per second.
start_sim ttyPLAIN 10
start_sim ttyRULES 10
start_daemon plain ttyPLAIN
plain_pid=$daemon_pid plain_port=$daemon_port
start_daemon rules ttyRULES "$rules"
rules_pid=$daemon_pid rules_port=$daemon_port
ratios=()
for rep in $(seq "$reps"); do
    load=$(load1)
    if ! result=$("$loadgen" --port "$plain_port" --server-pid "$plain_pid" \
        --pair-port "$rules_port" --pair-pid "$rules_pid" --connections 1 \
        --duration "$duration" --warmup 1); then
        echo "loadgen reported a failure: $result" >&2
    fi
    plain_rps=$(field rps 0 "$result") rules_rps=$(field rps 1 "$result")
    ratio=$(awk -v a="$rules_rps" -v b="$plain_rps" 'BEGIN { printf "%.3f", a / b }')
    ratios+=("$ratio")
    echo "label=rules rep=$rep load1=$load plain_rps=$plain_rps rules_rps=$rules_rps ratio=$ratio" >> "$raw"
    echo "$result" | sed "s/^/label=rules-detail rep=$rep /" >> "$raw"
    note "C=1 #$rep (load $load): without rules $plain_rps/s, with 100 rules $rules_rps/s, ratio $ratio"
done
rules_median=$(printf '%s\n' "${ratios[@]}" | median)
kill -TERM "$plain_pid" "$rules_pid" 2>/dev/null || true

# 3. Latency while the notify program hangs.
cat > "$work/hang" <<'EOF'
#!/bin/sh
echo $$ > "$0.started"
exec sleep 1000
EOF
chmod 755 "$work/hang"
start_sim ttyHANG 10
start_sim ttyCALM 10
rule='sensomark.com1.temperature = above -1000'
start_daemon calm ttyCALM "$rule"
calm_pid=$daemon_pid calm_port=$daemon_port
for rep in $(seq "$reps"); do
    rm -f "$work/hang.started"
    start_daemon hang ttyHANG "notify = hang"$'\n'"$rule"
    hang_pid=$daemon_pid hang_port=$daemon_port
    for _ in $(seq 100); do [ -s "$work/hang.started" ] && break; sleep 0.05; done
    [ -s "$work/hang.started" ] || { echo "the notify program did not start" >&2; exit 1; }
    program=$(cat "$work/hang.started")
    for c in 1 16; do
        load=$(load1)
        # 2 x (1 s warm-up + DURATION): well within the program's 30 s.
        if ! result=$("$loadgen" --port "$calm_port" --server-pid "$calm_pid" \
            --pair-port "$hang_port" --pair-pid "$hang_pid" --connections "$c" \
            --duration "$duration" --warmup 1); then
            echo "loadgen reported a failure: $result" >&2
        fi
        calm_p99=$(field p99_us 0 "$result") hang_p99=$(field p99_us 1 "$result")
        calm_rps=$(field rps 0 "$result") hang_rps=$(field rps 1 "$result")
        echo "label=hang rep=$rep c=$c load1=$load calm_p99_us=$calm_p99 hang_p99_us=$hang_p99 calm_rps=$calm_rps hang_rps=$hang_rps" >> "$raw"
        echo "$result" | sed "s/^/label=hang-detail rep=$rep c=$c /" >> "$raw"
        note "C=$c #$rep (load $load): p99 without a hanging program $calm_p99 us, with $hang_p99 us"
    done
    kill -0 "$program" 2>/dev/null || echo "warning: the notify program ended during the run" >&2
    kill -TERM "$hang_pid"
    wait "$hang_pid" 2>/dev/null || true
    ! kill -0 "$program" 2>/dev/null || echo "warning: the notify program outlived the stop" >&2
done

commit=$(git -C "$here/.." describe --always --dirty 2>/dev/null || echo unknown)
cpu=$(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //')
{
    echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC') on $(nproc) x $cpu, Linux $(uname -r); commit $commit."
    echo
    echo "### The cost of judging 100 rules on every reading"
    echo
    echo "CPU time per device line, both daemons reading their own device at up to 500 lines per"
    echo "second, over the same $idle s without queries, median of $reps: without rules $us_plain µs,"
    echo "with 100 rules $us_rules µs."
    echo
    echo "| Run | Without rules, µs per line | With 100 rules, µs per line |"
    echo "|---:|---:|---:|"
    awk '/^label=cpu / {
        for (i = 1; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] }
        printf "| %s | %s | %s |\n", f["rep"], f["plain_us_per_line"], f["rules_us_per_line"]
    }' "$raw"
    echo
    echo "Query throughput, each daemon reading its own device at 100 lines per second, loglevel"
    echo "critical, C = 1, $reps paired run(s) of $duration s per daemon in turns of 1 s:"
    echo
    echo "| Run | Load (1 min) | Without rules, replies/s | With 100 rules, replies/s | Ratio |"
    echo "|---:|---:|---:|---:|---:|"
    awk '/^label=rules / {
        for (i = 1; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] }
        printf "| %s | %s | %d | %d | %.3f |\n", f["rep"], f["load1"], f["plain_rps"], f["rules_rps"], f["ratio"]
    }' "$raw"
    echo
    echo "Median ratio $rules_median (target >= 0.95)."
    echo
    echo "### A query's latency while the notify program hangs"
    echo
    echo "The same rule raised at the first line in both daemons; one runs a notify program that"
    echo "sleeps (it is killed at the 30 s limit, after these runs), the other has no notify."
    echo
    echo "| Run | C | Load (1 min) | p99 without, µs | p99 while it hangs, µs | replies/s without | replies/s while it hangs |"
    echo "|---:|---:|---:|---:|---:|---:|---:|"
    awk '/^label=hang / {
        for (i = 1; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] }
        printf "| %s | %s | %s | %.1f | %.1f | %d | %d |\n", f["rep"], f["c"], f["load1"], f["calm_p99_us"], f["hang_p99_us"], f["calm_rps"], f["hang_rps"]
    }' "$raw"
    echo
    for c in 1 16; do
        awk -v c="$c" '/^label=hang / {
            for (i = 1; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] }
            if (f["c"] == c) print f["hang_p99_us"] / f["calm_p99_us"]
        }' "$raw" | median | awk -v c="$c" '{ printf "C = %s: median p99 while it hangs / without %.2f.\n", c, $1 }'
    done
} > "$out"
note "wrote $out"
cat "$out"
