#!/bin/bash
# The web port against an earlier build of itself (BASELINE, a commit that has the benchmark's
# full-day hook): the latency of /metrics scrapes while 4 clients loop on the status page of 100
# devices holding a full day of history, SIGTERM to exit under that load, and resident memory
# while 64 clients that never read hold a 5 MB /metrics (10,000 names). The devices are
# pseudo-terminals that bench/webload.cpp feeds. Appends to bench/results.md.
# Usage: bench/web.sh [--quick] BUILD_DIR   (make bench and make bench-web call it)
set -euo pipefail

quick=0
if [ "${1:-}" = "--quick" ]; then
    quick=1
    shift
fi
build=$(cd "${1:?usage: bench/web.sh [--quick] BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
baseline=${BASELINE:-1781280}
webload=$build/bench/webload
[ -x "$webload" ] || { echo "missing $webload: run make bench-build" >&2; exit 1; }
if [ $quick = 1 ]; then
    reps=1 seconds=5 out=$here/results-web-quick.txt
else
    reps=3 seconds=15 out=$here/results.md
fi

work=$(mktemp -d /tmp/sensomark-web-XXXXXX)
cleanup() {
    git -C "$here/.." worktree remove --force "$work/baseline-src" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
note() { printf '%s  %s\n' "$(date +%H:%M:%S)" "$*" >&2; }

note "building the baseline daemon of $baseline"
git -C "$here/.." worktree add --detach -f "$work/baseline-src" "$baseline" >/dev/null 2>&1
cmake -S "$work/baseline-src" -B "$work/baseline-build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DSENSOMARK_BENCH=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$work/baseline-build" -j2 --target sensomarkUSB >/dev/null

field() { sed -n "s/.* $1=\([^ ]*\).*/\1/p" <<< "$2"; }
# The median and the largest of numbers on standard input.
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
largest() { sort -n | tail -n 1; }

declare -A p50 p99 worst stop page gzip pages grown grown_spread before_scrape
for which in old new; do
    bin=$build/sensomarkUSB
    [ $which = old ] && bin=$work/baseline-build/sensomarkUSB
    lines=""
    for rep in $(seq $reps); do
        line=$("$webload" --daemon "$bin" --mode scrape --full-day --devices 100 \
            --page-clients 4 --seconds "$seconds")
        note "$which scrape #$rep: $line"
        lines+="$line"$'\n'
    done
    p50[$which]=$(while read -r l; do field p50_ms "$l"; done <<< "${lines%$'\n'}" | median)
    p99[$which]=$(while read -r l; do field p99_ms "$l"; done <<< "${lines%$'\n'}" | largest)
    worst[$which]=$(while read -r l; do field max_ms "$l"; done <<< "${lines%$'\n'}" | largest)
    stop[$which]=$(while read -r l; do field stop_ms "$l"; done <<< "${lines%$'\n'}" | largest)
    pages[$which]=$(while read -r l; do field pages_per_s "$l"; done <<< "${lines%$'\n'}" | median)
    page[$which]=$(field page_bytes "$line")
    gzip[$which]=$(field page_gzip_bytes "$line")

    line=$("$webload" --daemon "$bin" --mode stall --devices 200 --names 50)
    note "$which stall: $line"
    grown[$which]=$(field grown_kib "$line")
    before_scrape[$which]=$(field rss_idle_kib "$line")
    metrics_bytes=$(field metrics_bytes "$line")
    line=$("$webload" --daemon "$bin" --mode stall --devices 200 --names 50 --spread-ms 5000 \
        --hold 1)
    note "$which stall, spread over 5 s: $line"
    grown_spread[$which]=$(field grown_kib "$line")
done

mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
kb() { awk -v b="$1" 'BEGIN { printf "%.0f", b / 1000 }'; }
{
    echo
    echo "## Web port under load (bench/web.sh)"
    echo
    echo "Baseline: commit $baseline (a new page and compression per request, the stop seen"
    echo "between rounds), against $(git -C "$here/.." describe --always --dirty); measured"
    echo "$(date -u '+%Y-%m-%d %H:%M UTC'). Scrapes of /metrics every 50 ms for ${seconds} s"
    echo "while 4 clients loop on GET / (gzip) of 100 devices with a full day; $reps run(s), the"
    echo "largest p99 and stop. Memory: 64 clients ask for /metrics of 10,000 names"
    echo "($(kb "$metrics_bytes") kB) and never read; resident memory above the daemon's before"
    echo "any web request ($(mib "${before_scrape[new]}") MiB)."
    echo
    echo "| target | baseline | now | limit |"
    echo "|---|---:|---:|---:|"
    echo "| status page of 100 devices, kB (gzip) | $(kb "${page[old]}") ($(kb "${gzip[old]}")) |" \
        "$(kb "${page[new]}") ($(kb "${gzip[new]}")) | |"
    echo "| pages served per second to the 4 clients | ${pages[old]} | ${pages[new]} | |"
    echo "| scrape latency p50 / p99 / max, ms | ${p50[old]} / ${p99[old]} / ${worst[old]} |" \
        "${p50[new]} / ${p99[new]} / ${worst[new]} | p99 < 50 |"
    echo "| SIGTERM to exit under that load, ms | ${stop[old]} | ${stop[new]} | < 100 |"
    echo "| memory with 64 stalled readers, MiB above idle | $(mib "${grown[old]}") |" \
        "$(mib "${grown[new]}") | < 20 |"
    echo "| the same, the 64 arriving over 5 s, MiB | $(mib "${grown_spread[old]}") |" \
        "$(mib "${grown_spread[new]}") | |"
} > "$work/section.md"
if [ $quick = 1 ]; then cp "$work/section.md" "$out"; else cat "$work/section.md" >> "$out"; fi
cat "$work/section.md"
