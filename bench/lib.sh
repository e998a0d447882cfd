# The shell helpers the daemon benchmarks share; sourced by bench/alerts.sh and
# bench/mqtt.sh after they have set sim_bin.
#
# bench_work NAME: a work folder $work (/tmp/sensomark-bench-NAME-*) and the list
# $pids of the programs started there; at the exit both go.
bench_work() {
    work=$(mktemp -d "/tmp/sensomark-bench-$1-XXXXXX")
    pids=()
    trap bench_cleanup EXIT
    trap 'exit 130' INT TERM
}
bench_cleanup() {
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}

note() { printf '%s  %s\n' "$(date +%H:%M:%S)" "$*" >&2; }
port_free() { ! ss -Htan "sport = :$1" 2>/dev/null | grep -q .; }
# pick_port FROM: the first port from FROM on that nothing uses.
pick_port() {
    local port=$1
    while ! port_free "$port"; do port=$((port + 1)); done
    echo "$port"
}
median() { sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }

# start_sim NAME INTERVAL_MS: a simulated device at $work/NAME.
start_sim() {
    "$sim_bin" --link "$work/$1" --interval "$2" --quiet > "$work/$1.log" 2>&1 &
    pids+=("$!")
    local i
    for i in $(seq 100); do [ -L "$work/$1" ] && return 0; sleep 0.05; done
    echo "sensomark-sim did not start" >&2
    exit 1
}
