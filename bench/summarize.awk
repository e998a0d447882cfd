# Turns the raw lines of bench/run.sh into the markdown tables of bench/results.md: medians with
# min and max, daemon / reference ratios within each paired run, the targets. POSIX awk.

{
    label = ""; server = ""; rep = ""
    for (i = 1; i <= NF; i++) {
        eq = index($i, "=")
        if (eq == 0) continue
        k = substr($i, 1, eq - 1); v = substr($i, eq + 1)
        if (k == "label") label = v
        else if (k == "server") server = v
        else if (k == "rep") rep = v
        else field[i] = k SUBSEP v
    }
    for (i = 1; i <= NF; i++) {
        if (!(i in field)) continue
        split(field[i], kv, SUBSEP)
        val[label, server, rep, kv[1]] = kv[2]
        if (kv[1] == "errors") errorsTotal += kv[2]
        if (kv[1] == "wrong") wrongTotal += kv[2]
        delete field[i]
    }
}

# Sorts a[1..n] ascending (n is small).
function sortn(a, n,    i, j, t) {
    for (i = 2; i <= n; i++) {
        t = a[i]
        for (j = i - 1; j >= 1 && a[j] > t; j--) a[j + 1] = a[j]
        a[j + 1] = t
    }
}

# Collects key of (label, server) over the repetitions into xs; returns the count.
function collect(label, server, key, xs,    r, n) {
    n = 0
    for (r = 1; r <= reps; r++)
        if ((label, server, r, key) in val) xs[++n] = val[label, server, r, key] + 0
    return n
}

# daemon / reference of each repetition, into xs.
function ratios(label, key, xs,    r, n, a, b) {
    n = 0
    for (r = 1; r <= reps; r++) {
        if (!((label, "daemon", r, key) in val) || !((label, "ref", r, key) in val)) continue
        a = val[label, "daemon", r, key] + 0; b = val[label, "ref", r, key] + 0
        if (b > 0) xs[++n] = a / b
    }
    return n
}

function median(xs, n) {
    sortn(xs, n)
    return n % 2 ? xs[(n + 1) / 2] : (xs[n / 2] + xs[n / 2 + 1]) / 2
}

function grouped(x,    s, sign, out) {  # 12345.6 -> "12,346"
    s = sprintf("%.0f", x)
    sign = ""
    if (substr(s, 1, 1) == "-") { sign = "-"; s = substr(s, 2) }
    out = ""
    while (length(s) > 3) {
        out = "," substr(s, length(s) - 2) out
        s = substr(s, 1, length(s) - 3)
    }
    return sign s out
}

# "median (min-max)" in format fmt, or "median" alone for one repetition; "n/a" without data.
function spread(xs, n, fmt,    m) {
    if (n == 0) return "n/a"
    m = median(xs, n)
    if (n == 1) return fmtv(m, fmt)
    return fmtv(m, fmt) " (" fmtv(xs[1], fmt) "–" fmtv(xs[n], fmt) ")"
}
function fmtv(x, fmt) { return fmt == "int" ? grouped(x) : sprintf(fmt, x) }

function stat(label, server, key, fmt,    xs, n) {
    n = collect(label, server, key, xs)
    return spread(xs, n, fmt)
}
function ratio(label, key,    xs, n) {
    n = ratios(label, key, xs)
    return spread(xs, n, "%.2f")
}
function ratioMedian(label, key,    xs, n) {
    n = ratios(label, key, xs)
    return n ? median(xs, n) : -1
}
function med(label, server, key,    xs, n) {
    n = collect(label, server, key, xs)
    return n ? median(xs, n) : -1
}
function maxOf(label, server, key,    xs, n) {
    n = collect(label, server, key, xs)
    if (n == 0) return -1
    sortn(xs, n)
    return xs[n]
}
function lat(label, server) {
    return sprintf("%.0f / %.0f / %.0f", med(label, server, "p50_us"), med(label, server, "p99_us"),
                   med(label, server, "p999_us"))
}
function verdict(ok) { return ok ? "met" : "**missed**" }

function target(text, measured, limit, ok) {
    printf "| %s | %s | %s | %s |\n", text, measured, limit, verdict(ok)
}

END {
    nc = split(conns, cs, " ")
    levels[1] = "critical"; levels[2] = "default"
    levelText["critical"] = "`loglevel = critical`"
    levelText["default"] = "default level (every request logged twice, standard output to a file)"

    print "### Throughput and latency"
    print ""
    print "Closed loop: each connection sends one query and waits for its reply before the next;"
    print "replies per second over the measured seconds; latency percentiles in microseconds."
    print "Ratio: sensomarkUSB / reference within each paired run, median (min–max)."
    for (l = 1; l <= 2; l++) {
        lv = levels[l]
        print ""
        print "sensomarkUSB at " levelText[lv] ":"
        print ""
        print "| Clients | Reference replies/s | sensomarkUSB replies/s | Ratio | Reference p50 / p99 / p99.9 µs | sensomarkUSB p50 / p99 / p99.9 µs | p99 ratio | CPU µs per reply, ref / daemon |"
        print "|---:|---:|---:|---:|---:|---:|---:|---:|"
        for (c = 1; c <= nc; c++) {
            lb = "run-" lv "-c" cs[c]
            printf "| %s | %s | %s | %s | %s | %s | %s | %.1f / %.1f |\n", grouped(cs[c]),
                   stat(lb, "ref", "rps", "int"), stat(lb, "daemon", "rps", "int"),
                   ratio(lb, "rps"), lat(lb, "ref"), lat(lb, "daemon"), ratio(lb, "p99_us"),
                   med(lb, "ref", "server_cpu_us_per_reply"),
                   med(lb, "daemon", "server_cpu_us_per_reply")
        }
    }

    print ""
    print "### Connect storm"
    print ""
    print "" slots " clients at once, each: connect, one query, the reply, close, again."
    print ""
    print "| sensomarkUSB log level | Reference connections/s | sensomarkUSB connections/s | Ratio | p99 µs, ref / daemon | CPU µs per connection, ref / daemon |"
    print "|---|---:|---:|---:|---:|---:|"
    for (l = 1; l <= 2; l++) {
        lb = "storm-" levels[l]
        printf "| %s | %s | %s | %s | %.0f / %.0f | %.0f / %.0f |\n", levels[l],
               stat(lb, "ref", "cps", "int"), stat(lb, "daemon", "cps", "int"), ratio(lb, "cps"),
               med(lb, "ref", "p99_us"), med(lb, "daemon", "p99_us"),
               med(lb, "ref", "server_cpu_us_per_connection"),
               med(lb, "daemon", "server_cpu_us_per_connection")
    }

    print ""
    print "### Idle clients"
    print ""
    print "Each client connects and is answered once; all are held, then each asks once more."
    print "A fresh server for every run; memory is resident memory (VmRSS) gained per client,"
    print "CPU is utime + stime over the hold, in percent of one core."
    print ""
    print "| Clients | Server | Answered, before / after the hold | CPU % of one core | Resident KiB per client | Threads | Set-up s |"
    print "|---:|---|---:|---:|---:|---:|---:|"
    sizes[1] = idle_small; sizes[2] = idle_big
    names["ref"] = "reference"; names["wake"] = "reference, idle threads waking every 200 ms"
    names["daemon"] = "sensomarkUSB"
    order[1] = "ref"; order[2] = "wake"; order[3] = "daemon"
    for (s = 1; s <= 2; s++) {
        lb = "idle-" sizes[s]
        for (o = 1; o <= 3; o++) {
            sv = order[o]
            if (med(lb, sv, "answered") < 0) continue
            printf "| %s | %s | %s / %s | %s | %s | %s | %s |\n", grouped(sizes[s]), names[sv],
                   grouped(med(lb, sv, "answered")), grouped(med(lb, sv, "answered_after_hold")),
                   stat(lb, sv, "cpu_pct", "%.2f"), stat(lb, sv, "rss_per_client_kib", "%.1f"),
                   grouped(med(lb, sv, "threads")), stat(lb, sv, "setup_s", "%.2f")
        }
    }

    print ""
    print "### Shutdown under load"
    print ""
    print "SIGTERM while " shutdown_conns " clients are busy, until the process has exited (the reference dies"
    print "by the signal's default action, so its figure is the floor of tearing down that many threads)."
    print ""
    print "| | Reference | sensomarkUSB |"
    print "|---|---:|---:|"
    printf "| SIGTERM to exit, ms | %s | %s |\n", stat("shutdown", "ref", "shutdown_ms", "%.0f"),
           stat("shutdown", "daemon", "shutdown_ms", "%.0f")
    cleanExits = 0
    for (r = 1; r <= reps; r++)
        if (val["shutdown-exit", "daemon", r, "status"] == "0" &&
            val["shutdown-exit", "daemon", r, "last_line_ok"] == "1") cleanExits++
    printf "| exit code 0 with \"ending daemon\" last | | %d of %d |\n", cleanExits, reps

    print ""
    print "### Targets"
    print ""
    print "| Target | Measured | Limit | |"
    print "|---|---:|---:|---|"
    for (c = 1; c <= nc; c++) {
        if (cs[c] > 256) continue
        limit = cs[c] == 1 ? 0.95 : 0.9
        x = ratioMedian("run-critical-c" cs[c], "rps")
        target("throughput, `critical`, " cs[c] " client(s)", sprintf("%.2f", x), "≥ " limit, x >= limit)
    }
    for (c = 1; c <= nc; c++) {
        if (cs[c] > 256) continue
        x = ratioMedian("run-default-c" cs[c], "rps")
        target("throughput, default level, " cs[c] " client(s)", sprintf("%.2f", x), "≥ 0.6", x >= 0.6)
    }
    x = ratioMedian("run-critical-c64", "p99_us")
    target("p99 latency, `critical`, 64 clients", sprintf("%.2f", x), "≤ 1.5", x >= 0 && x <= 1.5)
    x = ratioMedian("storm-default", "cps")
    target("connect storm, default level", sprintf("%.2f", x), "≥ 0.8", x >= 0.8)
    lb = "idle-" idle_big
    a = med(lb, "daemon", "answered"); b = med(lb, "daemon", "answered_after_hold")
    target(grouped(idle_big) " clients connected and answered", grouped(a) " / " grouped(b),
           grouped(idle_big), a == idle_big && b == idle_big)
    x = med(lb, "daemon", "rss_per_client_kib")
    target("resident memory per idle client", sprintf("%.1f KiB", x), "≤ 16 KiB", x >= 0 && x <= 16)
    x = med("idle-" idle_small, "daemon", "cpu_pct")
    floor = med("idle-" idle_small, "wake", "cpu_pct")
    target("CPU of " grouped(idle_small) " idle clients", sprintf("%.2f %%", x) \
           (floor >= 0 ? sprintf(" (bare 200 ms wake-ups: %.2f %%)", floor) : ""), "≤ 2 %",
           x >= 0 && x <= 2)
    x = maxOf("shutdown", "daemon", "shutdown_ms")
    target("SIGTERM to exit, " shutdown_conns " busy clients (worst run)", sprintf("%.0f ms", x),
           "≤ 400 ms", x >= 0 && x <= 400)
    print ""
    printf "Wrong replies in all runs: %d; connection errors: %d.\n", wrongTotal, errorsTotal
}
