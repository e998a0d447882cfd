#!/bin/bash
# The history views on a full year (bench/histview.cpp): the status page of 16 devices for
# each range, and a device's year as JSON and as CSV, drawn alone and drawn and compressed as
# a browser gets them; the median of 21 runs, wall and CPU time. Appends to bench/results.md.
# Usage: bench/historyweb.sh BUILD_DIR   (make bench and make bench-history-web call it)
set -euo pipefail

build=$(cd "${1:?usage: bench/historyweb.sh BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
histview=$build/bench/histview
[ -x "$histview" ] || { echo "missing $histview: run make bench-build" >&2; exit 1; }

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
} > /tmp/sensomark-history-bench.$$
cat /tmp/sensomark-history-bench.$$ >> "$here/results.md"
cat /tmp/sensomark-history-bench.$$
rm -f /tmp/sensomark-history-bench.$$
