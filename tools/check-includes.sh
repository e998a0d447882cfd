#!/bin/bash
# Prints the include graphs of src/, of its files and of its folders, and fails
# on a cycle in either.
#
# A file node is a file name without its ending: foo.h and foo.cpp are one node,
# wherever in src/ they live. A folder node is a folder of src/. An edge is a
# quoted include of another node. The one file cycle the design has is
# connection <-> connectionmanager (a connection tells its manager when it
# ends); any other strongly connected set of nodes is an error. The folders
# include each other in one direction only.
#
# Usage: tools/check-includes.sh [SRC_DIR]   (default: src/ of this tree)
set -euo pipefail
src="${1:-$(dirname "$0")/../src}"

declare -A folderOf
while read -r file; do
    name=$(basename "$file")
    folderOf[${name%.*}]=$(basename "$(dirname "$file")")
done < <(find "$src" -type f \( -name '*.h' -o -name '*.cpp' \))

# The nodes and edges of the graph of files (file) or of folders (folder).
edges() {
    find "$src" -type f \( -name '*.h' -o -name '*.cpp' \) | sort | while read -r file; do
        node=$(basename "$file")
        node=${node%.*}
        [ "$1" = folder ] && node=${folderOf[$node]}
        echo "node $node"
        sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file" |
            while read -r included; do
                target=$(basename "$included")
                target=${target%.*}
                [ "$1" = folder ] && target=${folderOf[$target]:-}
                echo "edge $node $target"
            done
    done
}

check() {
    edges "$1" | awk -v what="$1" -v allowed="$2" '

$1 == "node" { isNode[$2] = 1; next }
$1 == "edge" { pending[++pendingCount] = $2 " " $3; next }
END {
    for (i = 1; i <= pendingCount; ++i) {
        split(pending[i], e, " ")
        # System headers included with quotes, and a file including its own
        # header, are no edges.
        if (!(e[2] in isNode) || e[1] == e[2] || (e[1] SUBSEP e[2]) in seen) continue
        seen[e[1], e[2]] = 1
        out[e[1]] = out[e[1]] " " e[2]
        outCount[e[1]]++
        outList[e[1], outCount[e[1]]] = e[2]
    }
    n = 0
    for (v in isNode) names[++n] = v
    # Sorted for a stable print (insertion sort: a few dozen nodes).
    for (i = 2; i <= n; ++i) {
        key = names[i]
        for (j = i - 1; j >= 1 && names[j] > key; --j) names[j + 1] = names[j]
        names[j + 1] = key
    }
    print "include graph of src/, by " what " (" what " -> what it includes):"
    for (i = 1; i <= n; ++i) {
        v = names[i]
        m = split(substr(out[v], 2), targets, " ")
        for (a = 2; a <= m; ++a) {
            key = targets[a]
            for (b = a - 1; b >= 1 && targets[b] > key; --b) targets[b + 1] = targets[b]
            targets[b + 1] = key
        }
        line = ""
        for (a = 1; a <= m; ++a) line = line " " targets[a]
        printf "  %s ->%s\n", v, line
    }

    # Tarjan: strongly connected components, iteratively (awk has no locals
    # worth recursing with).
    index_ = 0; top = 0; components = 0
    for (i = 1; i <= n; ++i) {
        root = names[i]
        if (root in idx) continue
        depth = 1; frame[1] = root; edgeAt[1] = 0
        idx[root] = low[root] = index_++; stack[++top] = root; onStack[root] = 1
        while (depth > 0) {
            v = frame[depth]
            if (edgeAt[depth] < outCount[v]) {
                w = outList[v, ++edgeAt[depth]]
                if (!(w in idx)) {
                    idx[w] = low[w] = index_++; stack[++top] = w; onStack[w] = 1
                    frame[++depth] = w; edgeAt[depth] = 0
                } else if (onStack[w] && idx[w] < low[v]) {
                    low[v] = idx[w]
                }
                continue
            }
            if (low[v] == idx[v]) {
                members = ""; size = 0
                do {
                    w = stack[top--]; onStack[w] = 0
                    members = w " " members; ++size
                } while (w != v)
                if (size > 1) cycles[++components] = members
            }
            --depth
            if (depth > 0 && low[v] < low[frame[depth]]) low[frame[depth]] = low[v]
        }
    }

    bad = 0
    for (c = 1; c <= components; ++c) {
        m = split(cycles[c], parts, " ")
        for (a = 2; a <= m; ++a) {
            key = parts[a]
            for (b = a - 1; b >= 1 && parts[b] > key; --b) parts[b + 1] = parts[b]
            parts[b + 1] = key
        }
        members = ""
        for (a = 1; a <= m; ++a) members = members (a > 1 ? " " : "") parts[a]
        if (members == allowed) {
            print "cycle (by design): " members
        } else {
            print "cycle: " members
            bad = 1
        }
    }
    if (bad) {
        print "include cycles of " what "s" (allowed == "" ? "" : " other than " allowed) \
            > "/dev/stderr"
        exit 1
    }
    print "no include cycles of " what "s" (allowed == "" ? "" : " but " allowed)
}'
}

check file "connection connectionmanager"
check folder ""
