#!/bin/bash
# Mutation check: plants the faults listed in tools/mutants.txt into the daemon,
# one at a time, and reports which of them the test suite notices.
#
# Usage: tools/mutants.sh [--keep] [--check] [--list] [ID...]
#   ID...    run only these mutants, in the order given (default: all, in file order)
#   --keep   keep the work folder (sources, build, logs) and print where it is
#   --check  only check that each mutant still applies to the tree; no build, no tests
#   --list   print the mutants and exit
#
# The user's tree is never touched. The work copy is made of the files git
# tracks, as they are in the working tree (uncommitted edits of tracked files
# included, untracked files left out), in a folder below ${TMPDIR:-/tmp}. It is
# configured and built once (RelWithDebInfo), the unmutated suite must pass
# there, and then for every mutant: the exact text is replaced once, the build is
# brought up to date, the suite runs, and the file gets its original bytes back.
#
# The suite runs as `make test` runs it: ctest in the build folder with the
# arguments of the Makefile's test recipe (read with `make -n test`), or with
# MUTANTS_CTEST_ARGS when that is set (say "-j2 -LE slow"). For mutants the
# tool adds --stop-on-failure, so a killed mutant ends at its first failing test.
# Tests start in their declaration order (ctest's timing data is removed before
# each run), so the quick unit tests come first.
#
# Results: KILLED (a test failed or the suite ran out of time), SURVIVED (the
# suite passed), NO BUILD (the mutant does not compile: fix the mutant), NOT
# APPLIED (its text is not found exactly once: update it to the moved code).
# The last line is "N of M mutants killed", M counting the mutants that were
# applied and built.
#
# Environment:
#   MUTANTS_CTEST_ARGS     ctest arguments instead of those of `make test`
#   MUTANTS_JOBS           parallel build jobs (default 2)
#   MUTANTS_TEST_TIMEOUT   seconds for a test without a TIMEOUT property (default 120)
#   MUTANTS_SUITE_TIMEOUT  seconds for one mutant's whole suite (default: three times
#                          the unmutated suite's time, at least 600)
#   MUTANTS_FILE           the mutant list (default tools/mutants.txt)
#
# Exit code: 0 when the run worked (whatever survived), 1 when the unmutated
# suite fails, 2 when the tool itself fails (bad arguments or mutant list, no
# copy, no build).
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
mutants_file=${MUTANTS_FILE:-$here/mutants.txt}
jobs=${MUTANTS_JOBS:-2}
test_timeout=${MUTANTS_TEST_TIMEOUT:-120}

fail() {
    echo "mutants: $*" >&2
    exit 2
}

# ---------------------------------------------------------------- mutant list
# One python3 program reads the list and applies a mutant; the edit is an exact
# byte string replacement, never a pattern.
read -r -d '' MUTANT_PY <<'PYTHON'
import re, sys

FIELDS = ("id", "file", "desc", "find", "replace", "expect")
REQUIRED = ("id", "file", "desc", "find", "replace")

def die(message):
    sys.stderr.write("mutants: %s\n" % message)
    sys.exit(2)

def parse(path):
    try:
        with open(path, encoding="utf-8") as f:
            lines = f.read().split("\n")
    except OSError as e:
        die("cannot read %s: %s" % (path, e.strerror))
    records, current, block = [], None, None

    def finish():
        if current is None:
            return
        where = "%s:%d" % (path, current["line"])
        for field in REQUIRED:
            if field not in current:
                die("%s: mutant without '%s:'" % (where, field))
        for field in FIELDS:
            if isinstance(current.get(field), list):
                current[field] = "\n".join(current[field])
        if not re.fullmatch(r"[A-Za-z0-9_.-]+", current["id"]):
            die("%s: id '%s' is not a plain word" % (where, current["id"]))
        if current["find"] == "":
            die("%s: mutant %s has an empty find text" % (where, current["id"]))
        if current["find"] == current["replace"]:
            die("%s: mutant %s replaces its text by itself" % (where, current["id"]))
        if "\t" in current["desc"] or "\t" in current["file"]:
            die("%s: tab in desc or file" % where)
        if any(r["id"] == current["id"] for r in records):
            die("%s: id %s given twice" % (where, current["id"]))
        records.append(current)

    for number, line in enumerate(lines, 1):
        if line.startswith("|"):
            if block is None:
                die("%s:%d: '|' line outside a multi-line field" % (path, number))
            text = line[1:]
            current[block].append(text[1:] if text.startswith(" ") else text)
            continue
        block = None
        if line.strip() == "":
            finish()
            current = None
            continue
        if line.startswith("#"):
            continue
        key, colon, value = line.partition(":")
        if not colon or key not in FIELDS:
            die("%s:%d: expected one of %s, got: %s" % (path, number, ", ".join(FIELDS), line))
        if current is None:
            current = {"line": number}
        if key in current:
            die("%s:%d: field '%s' given twice" % (path, number, key))
        if value == "":
            current[key] = []
            block = key
        else:
            current[key] = value[1:] if value.startswith(" ") else value
    finish()
    return records

def occurrences(data, part):
    count, at = 0, data.find(part)
    while at >= 0:
        count += 1
        at = data.find(part, at + 1)
    return count

def main():
    command, path = sys.argv[1], sys.argv[2]
    records = parse(path)
    if command == "list":
        # id, file, description, expected result: one line each, tab-separated.
        for r in records:
            print("\t".join((r["id"], r["file"], r["desc"], r.get("expect", ""))))
        return 0
    if command == "apply":
        # apply LIST ID ROOT BACKUP: edits ROOT/file, keeps its bytes in BACKUP.
        wanted, root, backup = sys.argv[3], sys.argv[4], sys.argv[5]
        r = next((r for r in records if r["id"] == wanted), None)
        if r is None:
            die("no mutant %s" % wanted)
        target = root + "/" + r["file"]
        try:
            with open(target, "rb") as f:
                data = f.read()
        except OSError:
            print("file %s not found" % r["file"])
            return 3
        find, replace = r["find"].encode(), r["replace"].encode()
        count = occurrences(data, find)
        if count != 1:
            print("find text occurs %d times in %s" % (count, r["file"]))
            return 3
        if backup != "-":
            with open(backup, "wb") as f:
                f.write(data)
            with open(target, "wb") as f:
                f.write(data.replace(find, replace, 1))
        return 0
    die("unknown command %s" % command)

sys.exit(main())
PYTHON

mutant_py() {
    python3 -c "$MUTANT_PY" "$@"
}

# The whole run is one function, read completely before it starts: editing
# this file while it runs cannot change what the run does.
main() {
    # ---------------------------------------------------------------- arguments
    keep=0
    check_only=0
    list_only=0
    wanted=()
    for arg in "$@"; do
        case $arg in
            --keep) keep=1 ;;
            --check) check_only=1 ;;
            --list) list_only=1 ;;
            -h | --help)
                sed -n '2,/^set -uo/{/^set -uo/d;s/^# \{0,1\}//;p}' "${BASH_SOURCE[0]}"
                exit 0
                ;;
            -*) fail "unknown option $arg (try --help)" ;;
            *) wanted+=("$arg") ;;
        esac
    done
    case $jobs in
        1 | 2) ;;
        *) fail "MUTANTS_JOBS must be 1 or 2" ;;
    esac

    command -v python3 >/dev/null || fail "python3 is needed"
    listing=$(mutant_py list "$mutants_file") || exit 2
    declare -gA mfile mdesc mexpect
    all_ids=()
    while IFS=$'\t' read -r id file desc expect; do
        all_ids+=("$id")
        mfile[$id]=$file
        mdesc[$id]=$desc
        mexpect[$id]=$expect
    done <<<"$listing"
    [ ${#all_ids[@]} -gt 0 ] || fail "no mutants in $mutants_file"
    if [ ${#wanted[@]} -eq 0 ]; then
        wanted=("${all_ids[@]}")
    else
        for id in "${wanted[@]}"; do
            [ -n "${mfile[$id]+x}" ] || fail "no mutant with id '$id' in $mutants_file"
        done
    fi

    if [ $list_only = 1 ]; then
        for id in "${wanted[@]}"; do
            printf '%-4s %-28s %s\n' "$id" "${mfile[$id]}" "${mdesc[$id]}"
        done
        exit 0
    fi

    top=$(git -C "$here" rev-parse --show-toplevel 2>/dev/null) || fail "$here is not in a git tree"

    if [ $check_only = 1 ]; then
        # Against the user's tree as it is; nothing is written.
        bad=0
        for id in "${wanted[@]}"; do
            if reason=$(mutant_py apply "$mutants_file" "$id" "$top" -); then
                printf '%-4s %-28s applies\n' "$id" "${mfile[$id]}"
            else
                [ $? -eq 3 ] || exit 2
                printf '%-4s %-28s NOT APPLIED: %s\n' "$id" "${mfile[$id]}" "$reason"
                bad=$((bad + 1))
            fi
        done
        echo "$bad of ${#wanted[@]} mutants do not apply"
        exit 0
    fi

    command -v cmake >/dev/null || fail "cmake is needed"
    command -v ctest >/dev/null || fail "ctest is needed"

    # ---------------------------------------------------------------- work copy
    started=$(date +%s)
    work=$(mktemp -d "${TMPDIR:-/tmp}/sensomark-mutants-XXXXXX") || fail "no temporary folder"
    src=$work/src
    build=$work/build
    logs=$work/logs
    mkdir -p "$src" "$logs"

    # Ends what the run left behind: any process running a program of the work
    # folder (a daemon a killed test did not stop, one that detached itself).
    kill_strays() {
        local p exe
        for p in /proc/[0-9]*; do
            exe=$(readlink "$p/exe" 2>/dev/null) || continue
            case $exe in
                "$work"/*) kill -KILL "${p#/proc/}" 2>/dev/null ;;
            esac
        done
    }

    cleanup() {
        kill_strays
        if [ "$keep" = 1 ]; then
            echo "work folder kept: $work"
        else
            rm -rf "$work"
        fi
    }
    trap cleanup EXIT
    trap 'exit 130' INT TERM

    head_commit=$(git -C "$top" rev-parse --short HEAD)
    if [ -n "$(git -C "$top" status --porcelain --untracked-files=no)" ]; then
        tree_state="$head_commit plus uncommitted edits of tracked files"
    else
        tree_state="$head_commit"
    fi
    # Files deleted in the working tree but not yet in the index are left out.
    (cd "$top" && git ls-files -z --cached |
        while IFS= read -r -d '' f; do
            [ -e "$f" ] || [ -L "$f" ] && printf '%s\0' "$f"
        done | tar --null -T - -cf -) | tar -C "$src" -xf - || fail "cannot copy the tree to $src"
    echo "mutants: tree $top at $tree_state, work folder $work"
    # The list as it was at the start: editing it during a run changes nothing.
    cp "$mutants_file" "$work/mutants.txt" || fail "cannot read $mutants_file"
    mutants_file=$work/mutants.txt

    # ---------------------------------------------------------------- suite
    if [ -n "${MUTANTS_CTEST_ARGS+x}" ]; then
        ctest_line=$MUTANTS_CTEST_ARGS
    else
        ctest_line=$(make -s -n -C "$src" test BUILD="$build" JOBS="$jobs" 2>/dev/null |
            sed -n 's/^.*[[:space:]&;]ctest\([[:space:]].*\)\{0,1\}$/\1/p')
        ctest_line=${ctest_line%%$'\n'*}
        [ -n "$ctest_line" ] || ctest_line="--output-on-failure -j$jobs"
    fi
    read -r -a ctest_args <<<"$ctest_line"
    stop_early=()
    # The help text is read whole: grep -q would close the pipe early, and with
    # pipefail ctest's SIGPIPE would make the test fail at random.
    ctest_help=$(ctest --help 2>/dev/null)
    case $ctest_help in *--stop-on-failure*) stop_early=(--stop-on-failure) ;; esac

    # run_suite LOG LIMIT [ARGS...]: ctest in the build folder; its exit code, 124
    # when the whole run took longer than LIMIT seconds.
    run_suite() {
        local log=$1 limit=$2
        shift 2
        rm -f "$build/Testing/Temporary/CTestCostData.txt"
        (cd "$build" && timeout -k 10 "$limit" ctest "${ctest_args[@]}" "$@" \
            --timeout "$test_timeout" </dev/null >"$log" 2>&1)
        local rc=$?
        kill_strays
        return $rc
    }

    # The tests ctest lists as failed in LOG, comma-separated.
    failed_tests() {
        sed -n '/The following tests FAILED:/,$p' "$1" | sed -n 's/^[[:space:]]*[0-9]* - //p' |
            tr '\n' ',' | sed 's/,$//; s/,/, /g'
    }

    duration() {
        local s=$1
        if [ "$s" -ge 3600 ]; then
            printf '%dh %02dm %02ds' $((s / 3600)) $((s % 3600 / 60)) $((s % 60))
        else
            printf '%dm %02ds' $((s / 60)) $((s % 60))
        fi
    }

    echo "mutants: configuring and building the unmutated tree (-j$jobs)"
    cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$logs/configure.log" 2>&1 ||
        {
            tail -n 30 "$logs/configure.log" >&2
            fail "configuring the work copy failed"
        }
    cmake --build "$build" -j"$jobs" >"$logs/build.log" 2>&1 ||
        {
            tail -n 30 "$logs/build.log" >&2
            fail "building the work copy failed"
        }

    echo "mutants: running the unmutated suite (ctest ${ctest_args[*]})"
    t0=$(date +%s)
    run_suite "$logs/unmutated.log" "${MUTANTS_BASELINE_TIMEOUT:-1800}"
    rc=$?
    suite_seconds=$(($(date +%s) - t0))
    if [ $rc -ne 0 ]; then
        echo "mutants: the unmutated suite FAILED (exit $rc, $(duration $suite_seconds)):" \
            "$(failed_tests "$logs/unmutated.log")" >&2
        sed -n '/tests passed/,$p' "$logs/unmutated.log" >&2
        keep=1
        exit 1
    fi
    echo "mutants: unmutated suite passed in $(duration $suite_seconds)"
    suite_limit=${MUTANTS_SUITE_TIMEOUT:-$((suite_seconds * 3 > 600 ? suite_seconds * 3 : 600))}
    echo "mutants: each mutant: ctest ${ctest_args[*]} ${stop_early[*]} --timeout $test_timeout," \
        "at most $suite_limit s"

    # ---------------------------------------------------------------- mutants
    declare -gA result detail
    total=${#wanted[@]}
    n=0
    for id in "${wanted[@]}"; do
        n=$((n + 1))
        file=${mfile[$id]}
        backup=$work/original
        prefix="[$n/$total] mutant $id ($file)"
        t0=$(date +%s)
        reason=$(mutant_py apply "$mutants_file" "$id" "$src" "$backup")
        rc=$?
        if [ $rc -ne 0 ]; then
            [ $rc -eq 3 ] || exit 2
            result[$id]="NOT APPLIED"
            detail[$id]=$reason
            echo "$prefix: NOT APPLIED: $reason"
            continue
        fi
        if ! cmake --build "$build" -j"$jobs" >"$logs/$id-build.log" 2>&1; then
            result[$id]="NO BUILD"
            detail[$id]=$(grep -m 1 -E 'error|Error' "$logs/$id-build.log" |
                sed "s|$src/||g" | cut -c 1-100)
        else
            built=$(date +%s)
            run_suite "$logs/$id-test.log" "$suite_limit" "${stop_early[@]}"
            rc=$?
            secs="build $((built - t0))s, suite $(($(date +%s) - built))s"
            if [ $rc -eq 0 ]; then
                result[$id]=SURVIVED
                detail[$id]=$secs
            elif [ $rc -eq 124 ] || [ $rc -eq 137 ]; then
                result[$id]=KILLED
                detail[$id]="suite ran out of time ($suite_limit s); $secs"
            else
                result[$id]=KILLED
                failed=$(failed_tests "$logs/$id-test.log")
                detail[$id]="by ${failed:-ctest exit $rc}; $secs"
            fi
        fi
        # The original bytes again, with a new time stamp, so the next build
        # compiles the file afresh.
        if ! cat "$backup" >"$src/$file" || ! cmp -s "$backup" "$src/$file"; then
            fail "could not restore $file after mutant $id"
        fi
        rm -f "$backup"
        echo "$prefix: ${result[$id]} (${detail[$id]})"
    done

    # ---------------------------------------------------------------- report
    wfile=4
    wdesc=11
    for id in "${wanted[@]}"; do
        [ "${#mfile[$id]}" -le "$wfile" ] || wfile=${#mfile[$id]}
        [ "${#mdesc[$id]}" -le "$wdesc" ] || wdesc=${#mdesc[$id]}
    done
    killed=0 survived=0 unapplied=0 nobuild=0
    echo
    printf '%-4s  %-*s  %-*s  %-11s  %s\n' id "$wfile" file "$wdesc" description result detail
    for id in "${wanted[@]}"; do
        r=${result[$id]}
        d=${detail[$id]}
        case $r in
            KILLED) killed=$((killed + 1)) ;;
            SURVIVED) survived=$((survived + 1)) ;;
            "NOT APPLIED") unapplied=$((unapplied + 1)) ;;
            "NO BUILD") nobuild=$((nobuild + 1)) ;;
        esac
        expect=${mexpect[$id]}
        if [ -n "$expect" ] && [ "$expect" != "$r" ]; then
            d="expected $expect; $d"
        elif [ -n "$expect" ]; then
            d="expected; $d"
        fi
        printf '%-4s  %-*s  %-*s  %-11s  %s\n' "$id" "$wfile" "${mfile[$id]}" "$wdesc" \
            "${mdesc[$id]}" "$r" "$d"
    done
    echo
    echo "tree: $tree_state; unmutated suite: $(duration $suite_seconds);" \
        "wall time: $(duration $(($(date +%s) - started)))"
    echo "$survived survived, $unapplied not applied," \
        "$nobuild did not compile (NO BUILD: the mutant needs fixing)"
    echo "$killed of $((killed + survived)) mutants killed"
    exit 0
}

main "$@"
exit
