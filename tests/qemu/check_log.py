#!/usr/bin/env python3
"""check_log.py CONSOLE_LOG MODINFO_TXT KERNEL_CONFIG [LIVE]: checks what init.sh printed.

LIVE, where the guest ran the live program: bpf (it was forced onto the task
iterator) or auto (a kernel without BTF, or a build without the iterator: it
has to say it falls back to /proc).

Real kernels are not deterministic in figures: texts that are fixed are
compared exactly (headers, modem lines, markers), figures by their shape.
Every failed check is listed; the exit status is 1 if there is any.
"""
import re
import sys

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
    return ok


# What the kernel's checkers print (memory errors, undefined behaviour, lock
# order, RCU rules, sleeping in atomic context, object lifetimes, leaks,
# lockups), and what a fault prints on any kernel.
CHECKER_REPORT = re.compile(
    r"BUG|WARNING|Oops|general protection|KASAN|UBSAN|ODEBUG|suspicious RCU usage"
    r"|sleeping function called from invalid context|possible (?:circular|recursive) locking"
    r"|inconsistent lock state|lock inversion|DEBUG_LOCKS_WARN_ON|locking correctness validator"
    r"|INFO: |suspected memory leak|kmemleak: (?!Kernel memory leak detector initialized)"
    r"|Call Trace|Kernel panic|stack-protector")


# The processes init.sh starts, with their oom_score_adj.
LOAD = [("system_server", "0"), ("pelk_busy", "0"), ("com.android.mms", "900")]


def checker_reports(log_lines):
    """The lines of a kernel log that are a checker's report (or a fault's)."""
    return [l for l in log_lines if CHECKER_REPORT.search(l)]


def check_cycles(dmesg):
    """Checks every report block of a kernel log; returns the count of blocks by
    period, the (name, oom_score_adj) pairs of the top-ten rows, and the count
    of blocks with the modem lines."""
    start_re = re.compile(r"\[K\]\[Perf\] PELK Perf Statistic start \(\d\d-\d\d \d\d:\d\d:\d\d\)")
    row_re = re.compile(r"\[K\] +(\d+)%        [ \d]{4}\d        (.{20})          [ \d]{10}\d\(ns\)          [ \d-]{4}\d")
    cpus_re = re.compile(r"\[K\]  Cpus Usage \[[ \d]\d+\], \[[ \d]\d+\], \[[ \d]\d+\], \[[ \d]\d+\], "
                         r"\[[ \d]\d+\] \[[ \d]\d+\], \[[ \d]\d+\], \[[ \d]\d+\]")
    split_re = re.compile(r"\[K\]  user\[\d\d+\],system\[\d\d+\],iowait\[\d\d+\],irq\[\d\d+\],idle\[\d\d+\]")
    sum_line = ("[name:tpc&][K][info] SUM MD/2G/3G/4G/5G_FR1 =      1/     2/     3/     4/     5 "
                "seconds [UTC][")
    header = "[K]     Usage          PID                        Name          Total:{}(ms)*4       Oom_Score_Adj"
    blocks = {}
    names = set()
    modem_blocks = 0
    for i, l in enumerate(dmesg):
        if not start_re.fullmatch(l):
            continue
        end = next((j for j in range(i, len(dmesg)) if dmesg[j] == "[K][Perf] PELK Perf Statistic done"), None)
        if not check(end is not None, f"cycle at dmesg line {i} has no done line"):
            continue
        # Other contexts log while a cycle writes its block (the exit routine's
        # line on another CPU, the health cycle, the siblings): the block is
        # the cycle's own lines, all tagged but the overload routine's.
        block = [b for b in dmesg[i + 1:end]
                 if b.startswith(("[K]", "[name:")) or b == "freeze_cpustat_zeb is effective"]
        if len(block) >= 2 and block[0] == "[K][info] md_slp_duration = 32768 (32k)" \
                and block[1].startswith(sum_line) \
                and re.fullmatch(r".*\[UTC\]\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] ", block[1]):
            modem_blocks += 1
            block = block[2:]
        hdr = next((k for k, b in enumerate(block) if b.startswith("[K]     Usage          PID")), None)
        if not check(hdr is not None, f"cycle at dmesg line {i}: no top-ten header"):
            continue
        total = re.fullmatch(re.escape(header).replace(r"\{\}", r"(\d+)"), block[hdr])
        check(total is not None, f"top-ten header: {block[hdr]!r}")
        rows = block[hdr + 1:hdr + 11]
        for r in rows:
            m = row_re.fullmatch(r)
            if check(m is not None, f"top-ten row: {r!r}"):
                names.add((m.group(2).strip(), r[-5:].strip()))
        rest = block[hdr + 11:]
        check(len(rest) >= 2 and cpus_re.fullmatch(rest[0]) and split_re.fullmatch(rest[-1]),
              f"per-CPU and split lines: {rest}")
        if total:
            blocks[total.group(1)] = blocks.get(total.group(1), 0) + 1
    return blocks, names, modem_blocks


def section(lines, name):
    """The console lines between "@@ NAME begin" and "@@ NAME end"."""
    try:
        b = lines.index(f"@@ {name} begin")
        e = lines.index(f"@@ {name} end", b)
    except ValueError:
        check(False, f"section {name} missing")
        return []
    return lines[b + 1:e]


def main():
    console = open(sys.argv[1], encoding="utf-8", errors="replace").read().replace("\r", "")
    modinfo = open(sys.argv[2], encoding="utf-8").read()
    # /proc/kallsyms lists a module's data symbols only with CONFIG_KALLSYMS_ALL.
    kallsyms_all = "CONFIG_KALLSYMS_ALL=y" in open(sys.argv[3], encoding="utf-8").read().split("\n")
    lines = console.split("\n")
    marks = [l[3:] for l in lines if l.startswith("@@ ")]

    # dmesg records without the time stamp; the record text is compared as is.
    dmesg = [re.sub(r"^\[ *\d+\.\d+\] ", "", l) for l in section(lines, "dmesg")]
    uevents = "\n".join(section(lines, "uevents")).split("--\n")

    # ---- load, sysfs, kallsyms, parameter writes, unload ----
    for m in ["insmod pelk_perf_util 0", "insmod pelk_modem_test 0", "app oom_score_adj 900",
              "param 2000", "param mode 644", "sysfs ksymtab_gpl present",
              "sysfs holder pelk_modem_test", "write 3000 0 3000",
              "rmmod pelk_perf_util 0", "rmmod siblings 0", "lsmod []"]:
        check(m in marks, f"marker '@@ {m}'")
    for sym, types in [("odpm_md_sleep_init", "tT"), ("sleep_history", "bBdD"),
                       ("sum_md_sleep_status", "bBdD")]:
        if types != "tT" and not kallsyms_all:
            continue
        check(any(re.fullmatch(rf"kallsyms [{types}] {sym} \[pelk_perf_util\]", m) for m in marks),
              f"{sym} in /proc/kallsyms")
    check(any(re.fullmatch(r"write -5 [1-9]\d* 3000", m) for m in marks),
          "negative kmonitor_delay write refused, value kept")
    for m in marks:
        check("left behind" not in m, m)

    # ---- proc file, read twice ----
    split = r"\d{2,3}, \d{2,3}, \d{2,3}, \d{2,3}, \d{2,3}, "
    row = r"(?:[ \d]\d+,){8}"
    for n in ("proc1", "proc2"):
        got = [m for m in marks if m.startswith(n + " ")]
        check(len(got) == 1 and re.fullmatch(rf"{n} \[{split}(?:{row}){{5}}\]", got[0]),
              f"{n}: /proc/cpumonitor/cpu_monitor shape: {got}")

    # ---- modem hand-over, read back from sleep_history ----
    date = [m[5:] for m in marks if m.startswith("date ")]
    hist = [m for m in marks if m.startswith("history ")]
    mt = re.fullmatch(r"history (\d{4}-\d\d-\d\d) today 0/0/0/0/0 "
                      r"base 1000000/2000000/3000000/4000000/5000000 copy 536c702e", hist[0]) if hist else None
    check(mt is not None, f"sleep_history record 0: {hist}")
    if mt and date:
        check(mt.group(1) <= date[0], f"sleep_history date {mt.group(1)} after {date[0]}")

    # ---- modinfo of the built module ----
    for pat in [r"^license: +GPL$", r"^description: +CPU performance monitor$",
                r"^parm: +kmonitor_delay:.+ \(int\)$", r"^depends: +ferrow_switch,zebk_report$",
                r"^name: +pelk_perf_util$"]:
        check(re.search(pat, modinfo, re.M), f"modinfo {pat}")

    # ---- uevents ----
    dev = "DEVPATH=/devices/virtual/misc/pelk_systemserver_loading"
    def events(action, extra=None):
        return [e for e in uevents if f"ACTION={action}" in e.split("\n") and dev in e.split("\n")
                and (extra is None or extra in e.split("\n"))]
    check(events("add"), "uevent add of pelk_systemserver_loading")
    check(events("change", "SYSTEMSERVER_LOADING=200%%"), "uevent SYSTEMSERVER_LOADING=200%%")
    check(events("remove"), "uevent remove of pelk_systemserver_loading")

    # ---- the kernel log ----
    check("pelk_cpu_monitor_init" in dmesg, "start line")
    check("pelk_health init!" in dmesg, "health start line")
    check(any(re.fullmatch(r"\[K\] Success to create pelk_perf_monitor_wq \(0x[0-9a-f]{16}\)\.", l)
              for l in dmesg), "workqueue line")
    check("is_HEALTH_enable is true" in dmesg, "health switch line")

    blocks, names, modem_blocks = check_cycles(dmesg)
    check(blocks.get("2000", 0) >= 5, f"at least 5 cycles at 2000 ms: {blocks}")
    check(blocks.get("3000", 0) >= 1, f"a cycle at 3000 ms after the sysfs write: {blocks}")
    check(blocks.get("100", 0) >= 1, f"a cycle at 100 ms before unloading: {blocks}")
    check(modem_blocks >= 5, f"modem duration and SUM lines in 5 cycles: {modem_blocks}")
    for name, oom in LOAD:
        check((name, oom) in names, f"{name} (oom_score_adj {oom}) in a top-ten table")

    ss_start = re.compile(r"\[K\]system_server TOP thread \(\d\d-\d\d \d\d:\d\d:\d\d\)")
    ss_row = re.compile(r"\[K\] +\d+%        [ \d]{4}\d        +(system_serve_\d|system_server)")
    ss = [i for i, l in enumerate(dmesg) if ss_start.fullmatch(l)]
    ss_rows = 0
    check(ss, "system_server thread list")
    for i in ss:
        # The health cycle may log from another CPU mid-list: the list is the
        # cycle's own lines, all tagged.
        own = [l for l in dmesg[i + 1:i + 40] if l.startswith("[K]")]
        check(own and own[0] == "[K]     Usage          PID                        Comm",
              f"thread list header: {own[0] if own else None!r}")
        # Threads that used no whole tenth of a second are not listed (short periods).
        for r in own[1:11]:
            if not r.startswith("[K] "):
                break
            ss_rows += 1
            check(ss_row.fullmatch(r), f"thread list row: {r!r}")
    check(ss_rows >= 3, f"system_server threads listed: {ss_rows}")

    health = [re.fullmatch(r"com\.android\.mms, 1min:(\d+), 5min:(\d+)", l) for l in dmesg]
    health = [h for h in health if h]
    check(health and all(int(h.group(1)) >= 6 and int(h.group(2)) >= 4 for h in health),
          "health line of com.android.mms")

    check("[name:spm&][K][info][odpm_md_sleep_init:283] - No MD share mem" in dmesg,
          "null modem hand-over line at the test module's unload")
    check("pelk_cpu_monitor_exit" in dmesg, "exit line")
    # A cycle running when the exit routine starts completes (its done line
    # is checked above); once rmmod has returned, the module says nothing.
    gone = "qemu-test: rmmod pelk_perf_util returned 0"
    if check(gone in dmesg, "rmmod marker in the kernel log"):
        after = dmesg[dmesg.index(gone) + 1:]
        check(not [l for l in after if l.startswith(("[K]", "[name:"))], "module lines after rmmod returned")
    for r in checker_reports(dmesg):
        check(False, f"checker report in the kernel log: {r!r}")

    # ---- the live program, on this kernel's tasks: its own report blocks ----
    if len(sys.argv) > 4:
        said = {"bpf": "tasks from bpf (one read of a BPF task iterator per cycle)",
                "auto": "tasks from proc (one stat file per process; bpf: "}[sys.argv[4]]
        check("live exit 0" in marks, "live program's exit status 0")
        check(any(m.startswith("live stderr [pelk_perf_util: " + said) for m in marks),
              f"live program says: {said}")
        live = [re.sub(r"^\[ *\d+\.\d+\] ", "", l) for l in section(lines, "live")]
        live_blocks, live_names, _ = check_cycles(live)
        if sys.argv[4] == "bpf":
            # The iterator's figures: the load is measured from the second cycle on.
            check(live_blocks.get("1000", 0) >= 2, f"live program: at least 2 cycles at 1000 ms: {live_blocks}")
            for name, oom in LOAD:
                check((name, oom) in live_names, f"live program: {name} (oom_score_adj {oom}) in a top-ten table")
            # /proc gives whole ticks (10 ms); the iterator the scheduler's nanoseconds,
            # so a cycle that fell back to /proc unsaid would show here.
            times = [int(t) for l in live for t in re.findall(r"(\d+)\(ns\)", l)]
            check(any(t % 10000000 for t in times), f"live program: times finer than a tick: {times}")
        else:
            # A kernel without BTF, or a build without the iterator: what is
            # checked is that it says so, and that the module still reports
            # (a slow kernel gives one cycle in the four seconds).
            check(live_blocks.get("1000", 0) >= 1, f"live program: a cycle at 1000 ms: {live_blocks}")

    if failures:
        print("qemu-test: FAILED checks:")
        for f in failures:
            print("  - " + f)
        return 1
    print(f"qemu-test: all checks passed ({sum(blocks.values())} cycles, {len(health)} health lines)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
