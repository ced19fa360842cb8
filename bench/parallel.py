"""Calls per second of 1 and 2 threads logging at once, for free-threaded Python (3.14t), where threads
run in parallel; `make bench-parallel` runs it there.

Enabled calls go to one shared file and to a file per thread, for tarnwick and for stdlib logging;
disabled calls (debug on a logger at info) are timed with the logger reached two ways: bound to a
local variable, and read from a module global. Each case runs in a fresh process. A round runs the
1-thread and the 2-thread case of a row back to back, so that load from other work on the machine
falls on both alike; the table gives the median of the rounds and the spread of their ratios. The
files go to /dev/shm where it exists, so that the disk's write-back does not decide the figures.

Wall-clock ratios need two idle cores. The CPU column does not: it is the process's CPU time per call
(writer threads included) with 2 threads over that with 1, which stays near 1 unless the threads
slow each other down (contended locks or cache lines), however busy the machine is.

    python bench/parallel.py [--records N] [--disabled N] [--rounds R]
"""

import argparse
import logging
import os
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))  # run with -P: the script's folder is not on the path
from worker import timed_run  # noqa: E402

# 2 threads against 1; two cores also run the writer threads, so enabled calls cannot reach 2x.
ENABLED_TARGET = 1.7
DISABLED_TARGET = 1.8

GLOBAL_LOGGER = None  # the disabled case's logger when it is read from a module global


def enabled_child(system, threads, shared, records, out):
    """One case, in a fresh interpreter: prints the records per second of `threads` threads together."""
    def target(t):
        return os.path.join(out, "shared.log" if shared else f"t{t}.log")

    if system == "tarnwick":
        from tarnwick import PyLogger, basic_config
        basic_config(batch_size=64)
        loggers = [PyLogger(f"t{t}", path=target(t)) for t in range(threads)]

        def done():
            for log in loggers:
                log.shutdown()
    else:
        handlers = {}
        loggers = []
        for t in range(threads):
            handler = handlers.get(target(t)) or handlers.setdefault(target(t), logging.FileHandler(target(t)))
            fmt = "time=%(asctime)s level=%(levelname)s name=%(name)s msg=%(message)s"
            handler.setFormatter(logging.Formatter(fmt))
            log = logging.getLogger(f"t{t}")
            log.propagate = False
            log.addHandler(handler)
            log.setLevel(logging.INFO)
            loggers.append(log)

        def done():
            for handler in handlers.values():
                handler.close()

    def work(t):
        log = loggers[t]
        for n in range(records):
            log.info("record %d of %s", n, "bench")

    cpu = time.process_time()
    began = timed_run(work, threads)
    done()
    elapsed = (time.perf_counter_ns() - began) / 1e9
    cpu = time.process_time() - cpu
    lines = sum(1 for name in os.listdir(out) for _ in open(os.path.join(out, name)))
    assert lines == threads * records, (lines, threads * records)
    print(threads * records / elapsed, cpu / (threads * records))


def disabled_child(threads, shape, calls, out):
    """Disabled calls of `threads` threads on one logger, reached as `shape` says; prints calls per second."""
    global GLOBAL_LOGGER
    from tarnwick import PyLevel, PyLogger
    path = os.path.join(out, "disabled.log")
    GLOBAL_LOGGER = PyLogger("shared", path=path, level=PyLevel.Info)

    def from_local(t):
        log = GLOBAL_LOGGER
        for n in range(calls):
            log.debug("record %d of %s", n, "bench")

    def from_global(t):
        for n in range(calls):
            GLOBAL_LOGGER.debug("record %d of %s", n, "bench")

    cpu = time.process_time()
    began = timed_run(from_local if shape == "local" else from_global, threads)
    elapsed = (time.perf_counter_ns() - began) / 1e9
    cpu = time.process_time() - cpu
    GLOBAL_LOGGER.shutdown()
    assert not os.path.exists(path) or os.path.getsize(path) == 0, "a disabled call wrote a line"
    print(threads * calls / elapsed, cpu / (threads * calls))


def run(case, threads, where):
    """(calls per second, CPU seconds per call) of one case in a fresh process."""
    with tempfile.TemporaryDirectory(dir=where) as out:
        proc = subprocess.run([sys.executable, "-P", os.path.abspath(__file__), "--child", *case, str(threads), out],
                              capture_output=True, text=True, timeout=600)
        if proc.returncode != 0:
            raise SystemExit(f"{' '.join(case)} {threads} threads failed:\n{proc.stderr}")
        rate, cpu = proc.stdout.split()
        return float(rate), float(cpu)


def row(label, case, rounds, target, where):
    """Runs `case` for 1 and 2 threads `rounds` times and prints its line of the table."""
    runs = {1: [], 2: []}
    for _ in range(rounds):
        for threads in (1, 2):
            runs[threads].append(run(case, threads, where))
    ratios = sorted(two[0] / one[0] for one, two in zip(runs[1], runs[2]))
    cpu = statistics.median(two[1] / one[1] for one, two in zip(runs[1], runs[2]))
    median = statistics.median(ratios)
    verdict = f">= {target}x: {'met' if median >= target else 'not met'}" if target else ""
    print(f"| {label} | {statistics.median(r[0] for r in runs[1]):,.0f} |"
          f" {statistics.median(r[0] for r in runs[2]):,.0f} | {median:.2f}x | {ratios[0]:.2f}-{ratios[-1]:.2f}x |"
          f" {cpu:.2f} | {verdict} |", flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--records", type=int, default=500_000, help="enabled calls per thread")
    parser.add_argument("--disabled", type=int, default=5_000_000, help="disabled calls per thread")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--dir", default="/dev/shm" if os.path.isdir("/dev/shm") else None,
                        help="where the files go (default: /dev/shm, else the temporary folder)")
    args = parser.parse_args()
    free = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    load = ", ".join(f"{x:.1f}" for x in os.getloadavg())
    print(f"## Threads in parallel: Python {sys.version.split()[0]}{' free-threaded' if free else ''},"
          f" {os.cpu_count()} cores (load average {load} at the start), {args.records:,} enabled and"
          f" {args.disabled:,} disabled calls per thread (stdlib: a tenth of the enabled), median of"
          f" {args.rounds} rounds (stdlib: half), files in {args.dir or tempfile.gettempdir()}\n")
    print("| case | 1 thread (calls/s) | 2 threads (calls/s) | 2 / 1 | spread of 2 / 1 | CPU per call, 2 / 1 |"
          " target (2 / 1) |")
    print("|---|---|---|---|---|---|---|")
    for shared in (False, True):
        destination = "one shared file" if shared else "a file per thread"
        case = ("enabled", "tarnwick", "shared" if shared else "own", str(args.records))
        row(f"tarnwick, {destination}", case, args.rounds, ENABLED_TARGET, args.dir)
    for shape, label in (("local", "logger in a local"), ("global", "logger in a module global")):
        row(f"tarnwick disabled, {label}", ("disabled", shape, str(args.disabled)), args.rounds,
            DISABLED_TARGET if shape == "local" else None, args.dir)
    for shared in (False, True):
        destination = "one shared file" if shared else "a file per thread"
        case = ("enabled", "stdlib", "shared" if shared else "own", str(args.records // 10))
        row(f"stdlib, {destination}", case, max(1, args.rounds // 2), None, args.dir)


if __name__ == "__main__":
    if sys.argv[1:2] == ["--child"]:
        kind, *rest = sys.argv[2:]
        if kind == "enabled":
            system, shared, records, threads, out = rest
            enabled_child(system, int(threads), shared == "shared", int(records), out)
        else:
            shape, calls, threads, out = rest
            disabled_child(int(threads), shape, int(calls), out)
    else:
        main()
