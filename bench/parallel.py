"""Records per second of 1 and 2 threads logging at once, to one shared file and to a file per thread,
for tarnwick and for stdlib logging. Meant for free-threaded Python (3.14t), where threads run in
parallel; `make bench` runs it there. Each case runs in a fresh process; the best of the rounds counts.

    python bench/parallel.py [--records N] [--rounds R]
"""

import argparse
import os
import subprocess
import sys
import sysconfig
import tempfile

CHILD = r"""
import logging, os, sys, threading, time
system, threads, shared, records, out = sys.argv[1], int(sys.argv[2]), sys.argv[3] == "shared", int(sys.argv[4]), sys.argv[5]

def target(t):
    return os.path.join(out, "shared.log" if shared else f"t{t}.log")

if system == "tarnwick":
    from tarnwick import PyLogger, basic_config
    basic_config(batch_size=64)
    loggers = [PyLogger(f"t{t}", path=target(t)) for t in range(threads)]
    done = lambda: [log.shutdown() for log in loggers]
else:
    handlers = {}
    loggers = []
    for t in range(threads):
        handler = handlers.get(target(t)) or handlers.setdefault(target(t), logging.FileHandler(target(t)))
        handler.setFormatter(logging.Formatter("time=%(asctime)s level=%(levelname)s name=%(name)s msg=%(message)s"))
        log = logging.getLogger(f"t{t}")
        log.propagate = False
        log.addHandler(handler)
        log.setLevel(logging.INFO)
        loggers.append(log)
    done = lambda: [h.close() for h in handlers.values()]

start = threading.Barrier(threads + 1)
def work(log):
    start.wait()
    for n in range(records):
        log.info("record %d of %s", n, "bench")
workers = [threading.Thread(target=work, args=(log,)) for log in loggers]
for w in workers:
    w.start()
start.wait()
began = time.perf_counter()
for w in workers:
    w.join()
done()
elapsed = time.perf_counter() - began
lines = sum(1 for name in os.listdir(out) for _ in open(os.path.join(out, name)))
assert lines == threads * records, (lines, threads * records)
print(threads * records / elapsed)
"""


def run(system, threads, shared, records):
    with tempfile.TemporaryDirectory() as out:
        proc = subprocess.run([sys.executable, "-P", "-c", CHILD, system, str(threads),
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
    main()
