#!/bin/bash
# A live look at the daemon without hardware: a simulated device on a
# pseudo-terminal, the daemon configured for it, a few queries, a clean stop.
set -euo pipefail
build=${1:-build}
port=${DEMO_PORT:-4711}
work=$(mktemp -d /tmp/sensomark-demo-XXXXXX)
sim_pid= daemon_pid=
cleanup() {
    [ -n "$daemon_pid" ] && kill -TERM "$daemon_pid" 2>/dev/null && wait "$daemon_pid" || true
    [ -n "$sim_pid" ] && kill -TERM "$sim_pid" 2>/dev/null && wait "$sim_pid" || true
    rm -rf "$work"
}
trap cleanup EXIT

"$build/tools/sensomark-sim" --link "$work/ttySIM0" --interval 500 --quiet > "$work/sim.log" &
sim_pid=$!
for _ in $(seq 50); do [ -L "$work/ttySIM0" ] && break; sleep 0.1; done

cat > "$work/sensomarkUSB.conf" <<CONF
[main]
port = $port
loglevel = stat
[sensors]
$work/ttySIM0 = livingroom demo.com1
CONF
(cd "$work" && exec "$OLDPWD/$build/sensomarkUSB") > "$work/daemon.log" &
daemon_pid=$!

ask() {  # one query over bash's own TCP client
    exec 3<>"/dev/tcp/127.0.0.1/$port"
    printf '%s\r\n' "$1" >&3
    IFS= read -r reply <&3
    exec 3>&-
    printf '  %-20s -> %s\n' "$1" "${reply%$'\r'}"
}
for _ in $(seq 50); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break; sleep 0.1; done
sleep 1  # let the first device lines arrive

echo "daemon on port $port, device $(readlink "$work/ttySIM0")"
for round in 1 2 3; do
    echo "round $round:"
    for q in livingroom.1 livingroom.2 livingroom.3 demo.com1.1 unknown.1; do ask "$q"; done
    sleep 1
done
kill -TERM "$daemon_pid"
wait "$daemon_pid" && echo "daemon stopped: $(tail -n1 "$work/daemon.log")"
daemon_pid=
