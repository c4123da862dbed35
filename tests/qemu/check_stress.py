#!/usr/bin/env python3
"""check_stress.py CONSOLE_LOG MIN_ROUNDS: checks what stress.sh printed.

Any checker report anywhere on the console fails, as does a leak that
belongs to the modules; the figures of the stress are printed.  The exit
status is 1 if any check failed.
"""
import re
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the checkout
from check_log import check, check_cycles, checker_reports, failures, section  # noqa: E402

# Modules' frames in a kmemleak backtrace: named while the module is loaded,
# bare addresses once it is gone (the kernel's own frames always resolve).
MODULE_FRAME = re.compile(r"\[(?:pelk_perf_util|ferrow_switch|zebk_report)\]|\] 0x[0-9a-f]+$")


def module_leaks(kmemleak):
    """The kmemleak reports whose allocation stack passes through a module."""
    reports, cur = [], None
    for l in kmemleak:
        if l.startswith("unreferenced object"):
            cur = [l]
            reports.append(cur)
        elif cur is not None:
            cur.append(l)
    def frames(report):
        return [l.strip() for l in report if l.strip().startswith("[<")]
    return [r for r in reports if any(MODULE_FRAME.search(f) for f in frames(r))], len(reports)


def main():
    console = open(sys.argv[1], encoding="utf-8", errors="replace").read().replace("\r", "")
    min_rounds = int(sys.argv[2])
    lines = console.split("\n")
    marks = [l[3:] for l in lines if l.startswith("@@ ")]

    # Every line of the console counts: errors reach it at once, and the
    # kernel log is printed twice (the stress's, then the last load's).
    for r in checker_reports(l for l in lines if not l.startswith("@@ ")):
        check(False, f"checker report: {r!r}")

    for m in ["insmod siblings 0", "rmmod siblings 0", "lsmod []", "online 0-3",
              "insmod pelk_perf_util 0", "rmmod last 0"]:
        check(m in marks, f"marker '@@ {m}'")
    rounds = [re.fullmatch(r"rounds (\d+) failed (\d+)", m) for m in marks]
    rounds = [r for r in rounds if r]
    check(rounds and int(rounds[0].group(1)) >= min_rounds and rounds[0].group(2) == "0",
          f"{min_rounds} load/unload rounds without a failure: {[r.group(0) for r in rounds]}")

    def figure(pattern):
        got = [re.fullmatch(pattern, m) for m in marks]
        got = [g for g in got if g]
        check(got, f"figure '{pattern}'")
        return got

    readers = figure(r"reader \d: (\d+) reads")
    check(len(readers) == 4 and all(int(r.group(1)) > 0 for r in readers), "four readers that read")
    for pattern, least in [(r"writer: (\d+) writes of kmonitor_delay, \d+ taken", 10),
                           (r"switches: (\d+) flips", 10),
                           (r"hotplug: (\d+) CPUs taken off line", 3),
                           (r"storm: \d+ processes, pid numbers wrapped (\d+) times", 1),
                           (r"system_server: (\d+) runs, \d+ threads", 2),
                           (r"system_server: \d+ runs, (\d+) threads", 400),
                           (r"rename: (\d+) renames", 10),
                           (r"cycles (\d+)", 30),
                           # A load lasts 12 s at most: one health cycle runs,
                           # and a line needs two.
                           (r"health lines (\d+)", 0)]:
        for r in figure(pattern):
            check(int(r.group(1)) >= least, f"{r.group(0)}: at least {least}")

    leaks, total = module_leaks(section(lines, "kmemleak"))
    for l in leaks:
        check(False, "leak of a module: " + " | ".join(x.strip() for x in l))

    # The last load: clean cycles, well-formed tables.
    dmesg = [re.sub(r"^\[ *\d+\.\d+\] ", "", l) for l in section(lines, "dmesg")]
    blocks, names, _ = check_cycles(dmesg)
    check(blocks.get("1000", 0) >= 3, f"at least 3 cycles at 1000 ms in the last load: {blocks}")
    check(("pelk_busy", "0") in {(n, o) for n, o in names}, "pelk_busy in a top-ten table")
    proc = [m for m in marks if m.startswith("proc ")]
    split = r"\d{2,3}, \d{2,3}, \d{2,3}, \d{2,3}, \d{2,3}, "
    check(len(proc) == 1 and re.fullmatch(rf"proc \[{split}(?:(?:[ \d]\d+,){{8}}){{5}}\]", proc[0]),
          f"/proc/cpumonitor/cpu_monitor shape: {proc}")

    print("qemu-stress: " + "; ".join(m for m in marks if re.match(
        r"(rounds|reader|writer|switches|hotplug|storm|system_server|rename|cycles|health lines"
        r"|unloads mid-cycle|stress took)", m)))
    print(f"qemu-stress: kmemleak: {total} unreferenced objects after the stress, "
          f"{len(leaks)} of the modules")
    if failures:
        print("qemu-stress: FAILED checks:")
        for f in failures:
            print("  - " + f)
        return 1
    print("qemu-stress: all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
