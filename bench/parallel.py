"""Records per second of 1 and 2 threads logging at once, to one shared file and to a file per thread,
for tarnwick and for stdlib logging. Meant for free-threaded Python (3.14t), where threads run in
parallel; `make bench` runs it there. Each case runs in a fresh process; the best of the rounds counts.

    python bench/parallel.py [--records N] [--rounds R]
"""

import argparse
import logging
import os
import subprocess
import sys
import sysconfig
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))  # run with -P: the script's folder is not on the path
from worker import timed_run  # noqa: E402


def child(system, threads, shared, records, out):
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

    began = timed_run(work, threads)
    done()
    elapsed = (time.perf_counter_ns() - began) / 1e9
    lines = sum(1 for name in os.listdir(out) for _ in open(os.path.join(out, name)))
    assert lines == threads * records, (lines, threads * records)
    print(threads * records / elapsed)


def run(system, threads, shared, records):
    with tempfile.TemporaryDirectory() as out:
        proc = subprocess.run([sys.executable, "-P", os.path.abspath(__file__), "--child", system, str(threads),
                               "shared" if shared else "own", str(records), out],
                              capture_output=True, text=True, timeout=600)
        if proc.returncode != 0:
            raise SystemExit(f"{system} {threads} threads failed:\n{proc.stderr}")
        return float(proc.stdout)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--records", type=int, default=200_000, help="per thread")
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    free = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    print(f"## Threads in parallel: Python {sys.version.split()[0]}{' free-threaded' if free else ''},"
          f" {os.cpu_count()} cores, {args.records:,} records per thread, best of {args.rounds}\n")
    print("| system | destination | 1 thread (records/s) | 2 threads (records/s) | 2 / 1 | target |")
    print("|---|---|---|---|---|---|")
    for system in ("tarnwick", "stdlib"):
        for shared in (False, True):
            best = {t: max(run(system, t, shared, args.records) for _ in range(args.rounds)) for t in (1, 2)}
            ratio = best[2] / best[1]
            target = ""
            if system == "tarnwick":
                want = 1.3 if shared else 1.6
                target = f">= {want}x: {'met' if ratio >= want else 'not met'}"
            print(f"| {system} | {'one shared file' if shared else 'a file per thread'} | {best[1]:,.0f} |"
                  f" {best[2]:,.0f} | {ratio:.2f}x | {target} |")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--child"]:
        system, threads, shared, records, out = sys.argv[2:]
        child(system, int(threads), shared == "shared", int(records), out)
    else:
        main()
