#!/bin/bash
# A short soak (bench/soak.cpp) with the daemon of BUILD_DIR under valgrind memcheck:
# tools/check-valgrind.sh BUILD_DIR. Fails on any invalid read or write, any definitely or
# indirectly lost block, or any other memcheck error. Installs valgrind when root.
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
seconds=${VALGRIND_SECONDS:-20}

if ! command -v valgrind >/dev/null 2>&1; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
        echo "installing valgrind"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -q >/dev/null && apt-get install -y -q --no-install-recommends valgrind \
            >/dev/null || {
            echo "apt-get could not install valgrind" >&2
            exit 1
        }
    else
        echo "valgrind is missing; install it with: sudo apt-get install valgrind" >&2
        exit 1
    fi
fi

out="$(pwd)/$build/valgrind"
rm -rf "$out"
mkdir -p "$out"
log="$out/memcheck.log"
# A handful of clients of every kind; the time-outs stretched for the slower daemon.
"./$build/sensomark-soak" --seconds "$seconds" --daemon "$build/sensomarkUSB" \
    --sim "$build/tools/sensomark-sim" --churn 4 --pipeline 2 --rude 1 --slow 20 \
    --rss-bound-kib 0 \
    --wrapper "valgrind --tool=memcheck --leak-check=full --errors-for-leak-kinds=definite,indirect --error-exitcode=99 --log-file=$log"
soak=$?

echo "valgrind summary ($log):"
grep -E 'ERROR SUMMARY|definitely lost|indirectly lost|possibly lost|still reachable|All heap blocks' \
    "$log" | sed 's/^==[0-9]*== */  /'
status=0
if grep -qE 'Invalid (read|write)|uninitialised|Invalid free|Mismatched free' "$log"; then
    echo "memcheck found invalid accesses:"
    grep -E -A12 'Invalid (read|write)|uninitialised|Invalid free|Mismatched free' "$log" | head -80
    status=1
fi
if grep -qE '(definitely|indirectly) lost: [1-9]' "$log"; then
    echo "memcheck found lost blocks"
    status=1
fi
if ! grep -qE 'ERROR SUMMARY: 0 errors' "$log"; then
    echo "memcheck reported errors"
    status=1
fi
[ "$soak" = 0 ] || status=1
[ "$status" = 0 ] && echo "valgrind: no errors, no leaks"
exit $status
