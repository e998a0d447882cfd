#!/bin/bash
# The history views on a full year (bench/histview.cpp): the status page of 16 devices for
# each range, and a device's year as JSON and as CSV, drawn alone and drawn and compressed as
# a browser gets them; the median of 21 runs, wall and CPU time. Then the same through the
# daemon: 16 devices with a year each on disk (bench/historybench year), loaded at start-up,
# the year page and a year of JSON asked for with curl (gzip), the median of 7 requests each
# a second apart (a response is shared for a second). Appends to bench/results.md.
# Usage: bench/historyweb.sh BUILD_DIR   (make bench and make bench-history-web call it)
set -euo pipefail

build=$(cd "${1:?usage: bench/historyweb.sh BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
histview=$build/bench/histview
[ -x "$histview" ] || { echo "missing $histview: run make bench-build" >&2; exit 1; }
work=$(mktemp -d "$build/historyweb-bench-XXXXXX")
pid=""
cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

out=$("$histview" --runs 21)
echo "$out" >&2
field() { sed -n "s/.* $1=\([^ ]*\).*/\1/p" <<< "$2"; }
kb() { awk -v b="$1" 'BEGIN { printf "%.0f", b / 1000 }'; }
{
    echo
    echo "## History views on a full year (bench/historyweb.sh)"
    echo
    echo "$(git -C "$here/.." describe --always --dirty), measured $(date -u '+%Y-%m-%d %H:%M UTC'),"
    echo "load average $(cut -d' ' -f1 /proc/loadavg) on $(nproc) cores. Made-up series (a daily"
    echo "curve with noise and a day's gap); medians of 21 runs; wall time (CPU time of the thread)."
    echo
    echo "| view | size, kB (gzip) | drawn, ms | drawn and compressed, ms | limit |"
    echo "|---|---:|---:|---:|---:|"
    while read -r line; do
        name=$(field name " $line")
        limit=""
        case $name in page_year_16 | json_year) limit="< 50" ;; esac
        echo "| $name | $(kb "$(field bytes "$line")") ($(kb "$(field gzip_bytes "$line")")) |" \
            "$(field draw_ms "$line") ($(field draw_cpu_ms "$line")) |" \
            "$(field gzip_ms "$line") ($(field gzip_cpu_ms "$line")) | $limit |"
    done <<< "$out"
} > "$work/section.md"

# Through the daemon, from a year of every device loaded from disk.
"$build/bench/historybench" year "$work" 16 >/dev/null
port=$((20000 + RANDOM % 20000))
web=$((port + 1))
{
    printf '[main]\nport = %d\nmetricsport = %d\nloglevel = critical\nstatedir = %s\n' \
        "$port" "$web" "$work"
    printf '[sensors]\n'
    for k in $(seq 16); do printf '/dev/bench%d = bench%d\n' "$k" "$k"; done
} > "$work/sensomarkUSB.conf"
"$build/sensomarkUSB" "$work/sensomarkUSB.conf" >/dev/null 2>&1 &
pid=$!
until curl -s -o /dev/null "http://127.0.0.1:$web/metrics"; do sleep 0.1; done
served() {  # the median of 7 times to serve target, in ms, and its size as sent
    local times="" size=0
    for i in $(seq 7); do
        sleep 1.1
        read -r t size < <(curl -s -o /dev/null -H 'Accept-Encoding: gzip' \
            -w '%{time_total} %{size_download}\n' "http://127.0.0.1:$web$1")
        times+="$t"$'\n'
    done
    ms=$(awk 'NF { printf "%.1f\n", $1 * 1000 }' <<< "$times" | sort -n | awk '{ v[NR] = $1 } END { print v[4] }')
    echo "$ms $size"
}
read -r page_ms page_size < <(served "/?range=year")
read -r json_ms json_size < <(served "/history.json?name=bench1&range=year")
kill -TERM "$pid"
wait "$pid" || true
pid=""
{
    echo
    echo "Through the daemon (16 devices, a year each loaded from statedir; curl, gzip, median"
    echo "of 7, each made afresh):"
    echo
    echo "| request | served, ms | sent, kB | limit |"
    echo "|---|---:|---:|---:|"
    echo "| GET /?range=year | $page_ms | $(kb "$page_size") | < 50 |"
    echo "| GET /history.json?name=bench1&range=year | $json_ms | $(kb "$json_size") | < 50 |"
} >> "$work/section.md"
cat "$work/section.md" >> "$here/results.md"
cat "$work/section.md"
