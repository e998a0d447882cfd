#!/bin/sh
# Builds and runs the whole test suite instrumented: tools/check-sanitized.sh
# BUILD_DIR address|thread. Every process (test programs and the daemons and
# simulators they start) writes its sanitizer reports to BUILD_DIR/sanitizer-reports,
# so a report fails the run even when the test killed that process afterwards.
set -u
build=$1
kind=$2
reports="$(pwd)/$build/sanitizer-reports"
rm -rf "$reports"
mkdir -p "$reports"

common="log_path=$reports/report:print_stacktrace=1"
export ASAN_OPTIONS="$common:detect_leaks=1:check_initialization_order=1:strict_init_order=1"
export UBSAN_OPTIONS="$common"
export LSAN_OPTIONS="$common:suppressions=$(pwd)/tools/lsan.supp:print_suppressions=0"
export TSAN_OPTIONS="$common:second_deadlock_stack=1:suppressions=$(pwd)/tools/tsan.supp:print_suppressions=0"

sh tools/no-aslr.sh "${MAKE:-make}" test BUILD="$build" CMAKE_FLAGS="-DSANITIZE=$kind"
status=$?

found=$(ls "$reports")
if [ -n "$found" ]; then
    for f in "$reports"/*; do
        echo "==== $f"
        cat "$f"
    done
    echo "sanitizer reports: $(echo "$found" | wc -l) (in $reports)" >&2
    exit 1
fi
[ "$status" = 0 ] && echo "no sanitizer reports"
exit "$status"
