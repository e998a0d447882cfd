#!/bin/bash
# Mutation check: plants the faults listed in tools/mutants.txt into the daemon,
# one at a time, and records which tests notice each of them (a kill matrix).
#
# Usage: tools/mutants.sh [--quick] [--first MATRIX] [--matrix FILE] [--keep] [ID...]
#        tools/mutants.sh --check | --list [ID...]
#        tools/mutants.sh --summary FILE
#        tools/mutants.sh --compare OLD NEW
#   ID...            run only these mutants, in the order given (default: all, in file order)
#   --quick          stop at the first test that kills the mutant (confirmed on its own):
#                    much faster, but the matrix then names one killer, not all. The
#                    likely killers run first: the killers of the other mutants of its
#                    file so far, else the tests of the mutated file's own test file
#                    (src/x/name.cpp: tests/name_test.cpp); then the rest of the suite
#   --first MATRIX   in quick mode, the tests that killed each mutant in MATRIX (an
#                    earlier run, of this tree or an older one) are its likely killers,
#                    and those of the other mutants of its file there count too
#   --matrix FILE    where the kill matrix goes (default build/mutants-matrix.tsv of the tree)
#   --keep           keep the work folder (sources, build, logs) and print where it is
#   --check          only check that each mutant still applies to the tree; no build, no tests
#   --list           print the mutants and exit
#   --summary FILE   print the summary of a kill matrix written earlier, and exit
#   --compare OLD NEW  the mutants matrix OLD has killed that matrix NEW has not; exit
#                    code 1 when there is one
#   --merge OUT FILE...  joins kill matrices of one commit, run in parts (say one part
#                    per session, each with its own IDs), into OUT; a mutant in
#                    several parts keeps its last record
#
# The user's tree is never touched. The work copy is made of the files git
# tracks, as they are in the working tree (uncommitted edits of tracked files
# included, untracked files left out), in a folder below ${TMPDIR:-/tmp}. It is
# configured and built once (-O1, no debug information), the unmutated suite must pass
# there, and then for every mutant: the exact text is replaced once, the build is
# brought up to date, the suite runs, and the file gets its original bytes back.
#
# The suite runs as `make test` runs it: ctest in the build folder with the
# arguments of the Makefile's test recipe (read with `make -n test`), or with
# MUTANTS_CTEST_ARGS when that is set (say "-j2 -LE slow"). Tests start in their
# declaration order (ctest's timing data is removed before each run), so the
# quick unit tests come first.
#
# A busy machine makes tests fail now and then; such a failure is no kill. Every
# test that fails (or is cut off by the suite's time limit) is run again on its
# own, and only one that fails again counts as a killer of the mutant; one that
# passes then is listed as "unconfirmed". A test that fails in the unmutated
# suite and passes on its own is "flaky": it is reported and never counted as a
# killer. One that fails on its own too stops the run (the tree is broken).
#
# Results: KILLED (a test failed, confirmed on its own; or the suite ran out of
# time), SURVIVED (no confirmed failure), NO BUILD (the mutant does not compile:
# fix the mutant), NOT APPLIED (its text is not found exactly once: update it to
# the moved code). The last line is "N of M mutants killed", M counting the
# mutants that were applied and built.
#
# The kill matrix is plain text, one record a line, tab-separated, "-" for an
# empty field, written as the run goes:
#   meta    KEY  VALUE                      (tree, date, command, times, load)
#   test    NAME  FILE  SECONDS  STATE  (every test of the suite, its time unmutated,
#                                        ok, skipped (by the unmutated suite) or flaky)
#   mutant  ID  FILE  RESULT  KILLERS  UNCONFIRMED  DETAIL   (test lists comma-separated)
# At the end of a run its summary is printed: for every test file and every test
# the mutants it kills and those it alone kills, the tests that kill nothing and
# those that kill only what other tests kill too.
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
# suite fails (or --compare finds a mutant no longer killed), 2 when the tool
# itself fails (bad arguments or mutant list, no copy, no build).
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
import json, os, re, sys

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
    records = parse(path) if command in ("list", "apply") else []
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
    if command == "tests":
        # tests TOP < ctest --show-only=json-v1: each test's name, its source file and
        # the program it runs (the build target of that name).
        for test in json.load(sys.stdin)["tests"]:
            found = "-"
            command = test.get("command", [])
            program = os.path.basename(command[0]) if command else "-"
            if not program.endswith("_test"):
                program = "-"  # not a program of the build (a script)
            for arg in command:
                base = os.path.basename(arg)
                for name in (base, base + ".cpp"):
                    if os.path.isfile(os.path.join(path, "tests", name)):
                        found = "tests/" + name
                if found != "-":
                    break
            print("%s\t%s\t%s" % (test["name"], found, program))
        return 0
    if command == "summary":
        summary(read_matrix(path), sys.argv[3] if len(sys.argv) > 3 else "")
        return 0
    if command == "compare":
        return compare(read_matrix(path), read_matrix(sys.argv[3]))
    if command == "merge":
        return merge(path, sys.argv[3:])
    die("unknown command %s" % command)

# ---- kill matrix

def read_matrix(path):
    meta, tests, mutants = {}, {}, []
    try:
        with open(path, encoding="utf-8") as f:
            for line in f:
                if line.startswith("#") or not line.strip():
                    continue
                row = line.rstrip("\n").split("\t")
                if row[0] == "meta" and len(row) >= 3:
                    meta[row[1]] = row[2]
                elif row[0] == "test" and len(row) >= 5:
                    tests[row[1]] = {"file": row[2], "seconds": row[3], "state": row[4]}
                elif row[0] == "mutant" and len(row) >= 7:
                    names = lambda text: [] if text == "-" else text.split(",")
                    mutants.append({"id": row[1], "file": row[2], "result": row[3],
                                    "killers": names(row[4]), "unconfirmed": names(row[5]),
                                    "detail": row[6]})
                else:
                    die("%s: not a kill matrix line: %s" % (path, line.strip()))
    except OSError as e:
        die("cannot read %s: %s" % (path, e.strerror))
    return meta, tests, mutants

def merge(out, parts):
    meta, tests, mutants = {}, {}, {}
    for part in parts:
        m, t, ms = read_matrix(part)
        commit = lambda tree: (tree or "").split(" ")[0]  # edits of the tool itself aside
        if meta and commit(m.get("tree")) != commit(meta.get("tree")):
            die("%s is of tree %s, not %s" % (part, m.get("tree"), meta.get("tree")))
        meta = meta or m
        for name, test in t.items():
            tests.setdefault(name, test)
        for mutant in ms:
            mutants[mutant["id"]] = mutant
    field = lambda names: ",".join(names) or "-"
    with open(out, "w", encoding="utf-8") as f:
        f.write('# Kill matrix of tools/mutants.sh: tab-separated, "-" for none (see its --help)\n')
        for key in ("tree", "date", "ctest"):
            f.write("meta\t%s\t%s\n" % (key, meta.get(key, "-")))
        f.write("meta\tmerged from\t%s\n" % " ".join(parts))
        for name, t in tests.items():
            f.write("test\t%s\t%s\t%s\t%s\n" % (name, t["file"], t["seconds"], t["state"]))
        for m in mutants.values():
            f.write("mutant\t%s\t%s\t%s\t%s\t%s\t%s\n" % (
                m["id"], m["file"], m["result"], field(m["killers"]), field(m["unconfirmed"]),
                m["detail"]))
    return 0

def lines_of(top, path):
    try:
        with open(os.path.join(top, path), encoding="utf-8", errors="replace") as f:
            return str(sum(1 for line in f if line.strip()))
    except OSError:
        return "-"

def summary(matrix, top):
    meta, tests, mutants = matrix
    counts = {}
    for m in mutants:
        counts[m["result"]] = counts.get(m["result"], 0) + 1
    killed = [m for m in mutants if m["result"] == "KILLED"]
    print("Kill matrix of %s, %s" % (meta.get("tree", "?"), meta.get("date", "?")))
    print("%d of %d mutants killed; %d survived, %d not applied, %d did not compile" % (
        len(killed), len(killed) + counts.get("SURVIVED", 0), counts.get("SURVIVED", 0),
        counts.get("NOT APPLIED", 0), counts.get("NO BUILD", 0)))
    kills, alone, unconfirmed = {t: 0 for t in tests}, {t: 0 for t in tests}, {}
    file_kills, file_alone = {}, {}
    for m in killed:
        files = {tests.get(t, {}).get("file", "-") for t in m["killers"]}
        for t in m["killers"]:
            kills[t] = kills.get(t, 0) + 1
            if len(m["killers"]) == 1:
                alone[t] = alone.get(t, 0) + 1
        for f in files:
            file_kills[f] = file_kills.get(f, 0) + 1
            if len(files) == 1:
                file_alone[f] = file_alone.get(f, 0) + 1
    for m in mutants:
        for t in m["unconfirmed"]:
            unconfirmed.setdefault(t, []).append(m["id"])
    print("killed by a single test: %d; by the tests of a single file: %d; only by a "
          "time-out: %d" % (sum(1 for m in killed if len(m["killers"]) == 1),
                            sum(1 for m in killed if len(
                                {tests.get(t, {}).get("file") for t in m["killers"]}) == 1),
                            sum(1 for m in killed if not m["killers"])))
    files = sorted({t["file"] for t in tests.values()})
    print("\nPer test file: non-blank lines, tests, mutants its tests kill, of them killed by "
          "no other file")
    width = max([len(f) for f in files] + [4])
    print("%-*s  %5s  %5s  %5s  %5s" % (width, "file", "lines", "tests", "kills", "alone"))
    for f in files:
        n = sum(1 for t in tests.values() if t["file"] == f)
        print("%-*s  %5s  %5d  %5d  %5d" % (width, f, lines_of(top, f) if top else "-", n,
                                           file_kills.get(f, 0), file_alone.get(f, 0)))
    print("\nPer test: mutants it kills, of them killed by no other test")
    width = max([len(t) for t in tests] + [4])
    print("%-*s  %5s  %5s" % (width, "test", "kills", "alone"))
    for t in tests:
        print("%-*s  %5d  %5d" % (width, t, kills.get(t, 0), alone.get(t, 0)))
    skipped = [t for t in tests if tests[t]["state"] == "skipped"]
    nothing = [t for t in tests if kills.get(t, 0) == 0 and t not in skipped]
    shared = [t for t in tests if kills.get(t, 0) > 0 and alone.get(t, 0) == 0]
    print("\nTests that kill nothing (%d):" % len(nothing))
    print("".join("  %s\n" % t for t in nothing), end="")
    print("\nTests that kill only mutants another test kills too (%d):" % len(shared))
    print("".join("  %s\n" % t for t in shared), end="")
    flaky = [t for t in tests if tests[t]["state"] == "flaky"]
    print("\nSkipped in the unmutated suite (%d): %s" % (len(skipped), ", ".join(skipped) or "none"))
    print("Flaky (failed in the unmutated suite, passed on its own): %s" % (
        ", ".join(flaky) or "none"))
    print("Failed under a mutant but passed on its own: %s" % (
        "; ".join("%s (%s)" % (t, ", ".join(ids)) for t, ids in sorted(unconfirmed.items()))
        or "none"))
    print("Survived: %s" % (", ".join(m["id"] for m in mutants if m["result"] == "SURVIVED")
                            or "none"))

def compare(old, new):
    before = {m["id"]: m for m in old[2]}
    after = {m["id"]: m for m in new[2]}
    killed_before = [i for i, m in before.items() if m["result"] == "KILLED"]
    killed_after = [i for i, m in after.items() if m["result"] == "KILLED"]
    print("killed in %s (%s): %d of %d" % (old[0].get("tree", "?"), old[0].get("date", "?"),
                                           len(killed_before), len(before)))
    print("killed in %s (%s): %d of %d" % (new[0].get("tree", "?"), new[0].get("date", "?"),
                                           len(killed_after), len(after)))
    lost = [i for i in killed_before if i not in killed_after]
    for i in lost:
        print("  %s (%s): killed before by %s; now %s" % (
            i, before[i]["file"], ",".join(before[i]["killers"]) or "a time-out",
            after[i]["result"] if i in after else "not run"))
    print("%d mutants killed before are not killed now" % len(lost))
    return 1 if lost else 0

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
    quick=0
    first=
    matrix=
    wanted=()
    while [ $# -gt 0 ]; do
        case $1 in
            --keep) keep=1 ;;
            --check) check_only=1 ;;
            --list) list_only=1 ;;
            --quick) quick=1 ;;
            --first)
                [ $# -ge 2 ] && [ -f "$2" ] || fail "--first needs a kill matrix file"
                first=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
                shift
                ;;
            --matrix)
                [ $# -ge 2 ] || fail "--matrix needs a file"
                matrix=$2
                shift
                ;;
            --summary)
                [ $# -eq 2 ] || fail "--summary takes one matrix file"
                mutant_py summary "$2" "$(git -C "$here" rev-parse --show-toplevel 2>/dev/null)"
                exit
                ;;
            --compare)
                [ $# -eq 3 ] || fail "--compare takes two matrix files"
                mutant_py compare "$2" "$3"
                exit
                ;;
            --merge)
                [ $# -ge 3 ] || fail "--merge takes the output and at least one matrix file"
                shift
                mutant_py merge "$@"
                exit
                ;;
            -h | --help)
                sed -n '2,/^set -uo/{/^set -uo/d;s/^# \{0,1\}//;p}' "${BASH_SOURCE[0]}"
                exit 0
                ;;
            -*) fail "unknown option $1 (try --help)" ;;
            *) wanted+=("$1") ;;
        esac
        shift
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
        chosen="all ${#all_ids[@]} mutants"
    else
        chosen="mutants ${wanted[*]}"
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
    matrix=${matrix:-$top/build/mutants-matrix.tsv}
    mkdir -p "$(dirname "$matrix")" && : >"$matrix" || fail "cannot write $matrix"
    matrix=$(cd "$(dirname "$matrix")" && pwd)/$(basename "$matrix")

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
    if [ $quick = 1 ]; then
        # The help text is read whole: grep -q would close the pipe early, and with
        # pipefail ctest's SIGPIPE would make the test fail at random.
        ctest_help=$(ctest --help 2>/dev/null)
        case $ctest_help in *--stop-on-failure*) stop_early=(--stop-on-failure) ;; esac
    fi

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

    # The tests of LOG that failed or had started when the suite was cut off,
    # one per line: those to run again on their own. A skipped test (a tool it
    # needs is missing) has not failed.
    suspects() {
        awk '/^ *Start +[0-9]+: / { started[$3] = 1 }
             /^ *[0-9]+\/[0-9]+ Test +#[0-9]+: / {
                 done[$4] = 1
                 if ($0 !~ / Passed / && $0 !~ /\*\*\*Skipped /) bad[$4] = 1
             }
             END { for (t in started) if (!(t in done) || (t in bad)) print t }' "$1" | sort
    }

    # fails_alone NAME LOG: runs test NAME on its own (output appended to LOG);
    # true when it fails again or does not end in time (the time it took in
    # the unmutated suite, three times, plus a minute).
    fails_alone() {
        local name=$1 log=$2 secs=${seconds[$1]:-60}
        local limit=$((60 + 3 * ${secs%.*}))
        rm -f "$build/Testing/Temporary/CTestCostData.txt"
        (cd "$build" && timeout -k 10 "$limit" ctest --output-on-failure -R "^${name//./\\.}\$" \
            --timeout "$test_timeout" </dev/null >>"$log" 2>&1)
        local rc=$?
        kill_strays
        [ $rc -ne 0 ]
    }

    duration() {
        local s=$1
        if [ "$s" -ge 3600 ]; then
            printf '%dh %02dm %02ds' $((s / 3600)) $((s % 3600 / 60)) $((s % 60))
        else
            printf '%dm %02ds' $((s / 60)) $((s % 60))
        fi
    }

    load() {
        cut -d ' ' -f 1-3 /proc/loadavg
    }

    # A list of names as one matrix field: comma-separated, "-" when empty.
    field() {
        local IFS=,
        [ $# -gt 0 ] && echo "$*" || echo -
    }

    # Built for the loop's pace: each mutant recompiles a file and relinks every
    # test program, so no debug information, -O1, and Ninja, ccache and lld
    # where the machine has them (a third of the time of a plain build).
    fast=(-DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -DNDEBUG")
    ! command -v ninja >/dev/null || fast+=(-G Ninja)
    ! command -v ccache >/dev/null || fast+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    ! command -v ld.lld >/dev/null || fast+=(-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld)
    echo "mutants: configuring and building the unmutated tree (-j$jobs)"
    cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${fast[@]}" \
        >"$logs/configure.log" 2>&1 ||
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
    # Each test's time in the unmutated suite bounds its runs on its own; a
    # test it skipped can kill nothing.
    declare -gA seconds flaky skipped
    while read -r name secs state; do
        seconds[$name]=$secs
        [ "$state" != Skipped ] || skipped[$name]=1
    done < <(sed -n 's/^ *[0-9]*\/[0-9]* Test *#[0-9]*: \([^ ]*\) [.]*\(\**[A-Za-z]*\) .* \([0-9.]*\) sec$/\1 \3 \2/p' \
        "$logs/unmutated.log" | tr -d '*')
    broken=()
    if [ $rc -ne 0 ] && [ $rc -ne 124 ] && [ $rc -ne 137 ]; then
        for name in $(suspects "$logs/unmutated.log"); do
            if fails_alone "$name" "$logs/unmutated-again.log"; then
                broken+=("$name")
            else
                flaky[$name]=1
                echo "mutants: $name failed in the unmutated suite and passed on its own: flaky," \
                    "not counted as a killer"
            fi
        done
    fi
    # Failed unless every failure was a flaky test's (a time-out is no flake).
    if [ $rc -ne 0 ] && { [ ${#flaky[@]} -eq 0 ] || [ ${#broken[@]} -gt 0 ]; }; then
        echo "mutants: the unmutated suite FAILED (exit $rc, $(duration $suite_seconds)):" \
            "$(failed_tests "$logs/unmutated.log")" >&2
        sed -n '/tests passed/,$p' "$logs/unmutated.log" >&2
        keep=1
        exit 1
    fi
    echo "mutants: unmutated suite passed in $(duration $suite_seconds)"
    suite_limit=${MUTANTS_SUITE_TIMEOUT:-$((suite_seconds * 3 > 600 ? suite_seconds * 3 : 600))}
    if [ $quick = 1 ]; then
        echo "mutants: each mutant: its likely killers, then ctest ${ctest_args[*]} ${stop_early[*]}" \
            "--timeout $test_timeout, at most $suite_limit s each; the first failure again on its" \
            "own; kill matrix in $matrix"
    else
        echo "mutants: each mutant: ctest ${ctest_args[*]} --timeout $test_timeout, at most" \
            "$suite_limit s; each failing test again on its own; kill matrix in $matrix"
    fi
    declare -gA test_file test_program
    {
        printf '# Kill matrix of tools/mutants.sh: tab-separated, "-" for none (see its --help)\n'
        printf 'meta\ttree\t%s\n' "$tree_state"
        printf 'meta\tdate\t%s\n' "$(date -u '+%Y-%m-%d %H:%M UTC')"
        printf 'meta\tmutants\t%s of %s\n' "$chosen" "${MUTANTS_FILE:-tools/mutants.txt}"
        printf 'meta\tctest\t%s --timeout %s\n' "${ctest_args[*]}" "$test_timeout"
        [ $quick = 0 ] || printf 'meta\tmode\tquick: one killer a mutant%s\n' \
            "${first:+, likely killers from $first}"
        printf 'meta\tunmutated suite\t%s s\n' "$suite_seconds"
        printf 'meta\tload at start\t%s\n' "$(load)"
        (cd "$build" && ctest --show-only=json-v1 "${ctest_args[@]}" 2>/dev/null) |
            mutant_py tests "$src" |
            while IFS=$'\t' read -r name file _; do
                state=ok
                [ -z "${skipped[$name]+x}" ] || state=skipped
                [ -z "${flaky[$name]+x}" ] || state=flaky
                printf 'test\t%s\t%s\t%s\t%s\n' "$name" "$file" "${seconds[$name]:--}" "$state"
            done
    } >>"$matrix"
    grep -q '^test' "$matrix" || fail "ctest did not list the tests of the suite"
    while IFS=$'\t' read -r _ name file _; do
        test_file[$name]=$file
    done < <(grep '^test' "$matrix")
    while IFS=$'\t' read -r name _ program; do
        test_program[$name]=$program
    done < <((cd "$build" && ctest --show-only=json-v1 "${ctest_args[@]}" 2>/dev/null) |
        mutant_py tests "$src")

    # The likely killers of mutant ID, one per line, those this suite has: its
    # killers in the --first matrix, else those of the other mutants of its file
    # (in that matrix or in this run's), else the tests of its file's own test file.
    likely() {
        local id=$1 base name
        killers_in() {  # MATRIX FIELD VALUE: the killers of the mutants whose FIELD is VALUE
            awk -F '\t' -v f="$2" -v v="$3" '$1 == "mutant" && $f == v && $5 != "-" {
                gsub(",", "\n", $5); print $5 }' "$1" | sort -u
        }
        for name in $([ -z "$first" ] || killers_in "$first" 2 "$id"); do
            [ -z "${test_file[$name]+x}" ] || echo "$name"
        done | grep . && return
        for name in $(killers_in "$matrix" 3 "${mfile[$id]}"
            [ -z "$first" ] || killers_in "$first" 3 "${mfile[$id]}"); do
            [ -z "${test_file[$name]+x}" ] || echo "$name"
        done | sort -u | grep . && return
        base=${mfile[$id]##*/}
        base=${base%.*}
        for name in "${!test_file[@]}"; do
            [ "${test_file[$name]}" != "tests/${base}_test.cpp" ] || echo "$name"
        done
    }

    # One regular expression matching exactly the test names given, one per line.
    names_regex() {
        sed 's/[][\.*^$+?(){}|/]/\\&/g' | paste -sd '|' | sed 's/^/^(/; s/$/)$/'
    }

    # build_for ID: in quick mode, sets passed to the likely killers of mutant ID
    # and builds only their programs (and the programs they start), or the
    # whole tree when one of them is no program of its own; targets tells which
    # were built, empty for the whole tree.
    build_for() {
        local name program
        passed=
        targets=
        if [ $quick = 1 ]; then
            passed=$(likely "$1")
            for name in $passed; do
                program=${test_program[$name]:--}
                if [ "$program" = - ]; then
                    targets=
                    break
                fi
                case " $targets " in *" $program "*) ;; *) targets="$targets $program" ;; esac
            done
        fi
        # shellcheck disable=SC2086 # the names of the targets, one word each
        cmake --build "$build" -j"$jobs" ${targets:+--target $targets}
    }

    # judge LOG: runs the tests of LOG that failed (or were cut off) again on
    # their own; those that fail again join killers, the others unconfirmed.
    judge() {
        local name
        for name in $(suspects "$1"); do
            [ -z "${flaky[$name]+x}" ] || continue
            if fails_alone "$name" "${1%-test*.log}-again.log"; then
                killers+=("$name")
            else
                unconfirmed+=("$name")
            fi
        done
    }

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
        killers=()
        unconfirmed=()
        reason=$(mutant_py apply "$mutants_file" "$id" "$src" "$backup")
        rc=$?
        if [ $rc -ne 0 ]; then
            [ $rc -eq 3 ] || exit 2
            result[$id]="NOT APPLIED"
            detail[$id]=$reason
        elif ! build_for "$id" >"$logs/$id-build.log" 2>&1; then
            result[$id]="NO BUILD"
            detail[$id]=$(grep -m 1 -E 'error|Error' "$logs/$id-build.log" |
                sed "s|$src/||g" | cut -c 1-100)
        else
            built=$(date +%s)
            before=$(load)
            out_of_time=0
            if [ $quick = 1 ]; then
                # The likely killers first, then the rest of the suite; a failure
                # that does not come again on its own is left out of the next try.
                try=0
                if [ -n "$passed" ]; then
                    run_suite "$logs/$id-test.log" "$suite_limit" "${stop_early[@]}" \
                        -R "$(names_regex <<<"$passed")"
                    rc=$?
                    [ $rc -ne 124 ] && [ $rc -ne 137 ] || out_of_time=1
                    [ $rc -eq 0 ] || judge "$logs/$id-test.log"
                fi
                if [ ${#killers[@]} -eq 0 ] && [ $out_of_time = 0 ] && [ -n "$targets" ] &&
                    ! cmake --build "$build" -j"$jobs" >>"$logs/$id-build.log" 2>&1; then
                    result[$id]="NO BUILD"
                    detail[$id]="only the programs of its likely killers build"
                    try=3
                fi
                while [ ${#killers[@]} -eq 0 ] && [ $out_of_time = 0 ] && [ $try -lt 3 ]; do
                    try=$((try + 1))
                    left_out=$(printf '%s\n' $passed "${unconfirmed[@]}" | grep . | names_regex)
                    run_suite "$logs/$id-test$try.log" "$suite_limit" "${stop_early[@]}" \
                        ${left_out:+-E "$left_out"}
                    rc=$?
                    [ $rc -ne 124 ] && [ $rc -ne 137 ] || out_of_time=1
                    [ $rc -ne 0 ] || break
                    judge "$logs/$id-test$try.log"
                done
                ran=$(date +%s)
                secs="build $((built - t0))s, tests $((ran - built))s; load $before"
            else
                run_suite "$logs/$id-test.log" "$suite_limit"
                rc=$?
                ran=$(date +%s)
                [ $rc -ne 124 ] && [ $rc -ne 137 ] || out_of_time=1
                judge "$logs/$id-test.log"
                secs="build $((built - t0))s, suite $((ran - built))s, alone" \
                    "$(($(date +%s) - ran))s; load $before"
            fi
            detail[$id]=${detail[$id]:+${detail[$id]:-}; }$secs
            if [ -n "${result[$id]:-}" ]; then
                :
            elif [ ${#killers[@]} -gt 0 ]; then
                result[$id]=KILLED
                [ $out_of_time = 0 ] || detail[$id]="suite ran out of time; ${detail[$id]}"
            elif [ $out_of_time = 1 ]; then
                result[$id]=KILLED
                detail[$id]="suite ran out of time ($suite_limit s), no test failed alone; ${detail[$id]}"
            else
                result[$id]=SURVIVED
            fi
        fi
        if [ -f "$backup" ]; then
            # The original bytes again, with a new time stamp, so the next build
            # compiles the file afresh.
            if ! cat "$backup" >"$src/$file" || ! cmp -s "$backup" "$src/$file"; then
                fail "could not restore $file after mutant $id"
            fi
            rm -f "$backup"
        fi
        printf 'mutant\t%s\t%s\t%s\t%s\t%s\t%s\n' "$id" "$file" "${result[$id]}" \
            "$(field "${killers[@]}")" "$(field "${unconfirmed[@]}")" "${detail[$id]}" >>"$matrix"
        if [ ${#killers[@]} -gt 0 ]; then
            more=$((${#killers[@]} - 2))
            detail[$id]="by ${killers[*]:0:2}$([ $more -le 0 ] || echo " and $more more"); ${detail[$id]}"
        fi
        [ ${#unconfirmed[@]} -eq 0 ] ||
            detail[$id]="${detail[$id]}; passed on their own: ${unconfirmed[*]}"
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
    wall=$(duration $(($(date +%s) - started)))
    echo
    echo "tree: $tree_state; unmutated suite: $(duration $suite_seconds); wall time: $wall"
    echo "$survived survived, $unapplied not applied," \
        "$nobuild did not compile (NO BUILD: the mutant needs fixing)"
    echo "$killed of $((killed + survived)) mutants killed"
    printf 'meta\twall time\t%s\nmeta\tload at end\t%s\n' "$wall" "$(load)" >>"$matrix"
    if [ $quick = 0 ]; then
        echo
        mutant_py summary "$matrix" "$src"
    fi
    echo
    echo "kill matrix: $matrix"
    exit 0
}

main "$@"
exit
