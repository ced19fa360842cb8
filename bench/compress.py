"""Writing while a large closed file compresses in the background: how long a line takes to reach its
file, and records per second, with yesterday's file being compressed (compress=True) and without.

    PYTHONPATH=. python3 bench/compress.py [--size-mb 500] [--dir build/bench-compress]

The file is made in --dir (on the disk, never in memory) and everything is deleted at the end. The
markdown report goes to standard output, progress to standard error.
"""

import argparse
import datetime
import json
import os
import random
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

WORKER = r"""
import json, os, sys, time
import tarnwick
directory, mode, latency_lines, burst = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
yesterday = os.path.join(directory, sys.argv[5])
tmp = yesterday + ".gz.tmp"
tarnwick.basic_config(path=os.path.join(directory, "app.log"), compress=mode == "compress", batch_size=1)
log = tarnwick.get_logger("bench")
log.info("start")
log._flush()
if mode == "compress":
    deadline = time.monotonic() + 30
    while not os.path.exists(tmp):  # the compression is under way
        assert time.monotonic() < deadline, "the compression never started"
        time.sleep(0.001)
compressing_at_start = os.path.exists(tmp)
started = time.monotonic()
waits = []
for i in range(latency_lines):
    t0 = time.perf_counter_ns()
    log.info("user %s logged in", "ann")
    log._flush()  # returns once the line is written to the file
    waits.append(time.perf_counter_ns() - t0)
t0 = time.perf_counter_ns()
for i in range(burst):
    log.info("user %s logged in", "ann")
log._flush()
burst_ns = time.perf_counter_ns() - t0
compressing_at_end = os.path.exists(tmp)
if mode == "compress":
    while os.path.exists(yesterday):
        time.sleep(0.01)
done = time.monotonic()
log.shutdown()
print(json.dumps({"waits": waits, "burst_ns": burst_ns, "compressing": [compressing_at_start, compressing_at_end],
                  "compress_s": done - started}))
"""


def make_file(path, size):
    """`size` bytes of log lines much like real ones (about 8:1 under gzip)."""
    rng = random.Random(1)
    names = ["api", "db", "auth", "jobs", "cache"]
    written = 0
    with open(path, "w", encoding="ascii") as f:
        second = 0
        while written < size:
            block = []
            for i in range(10_000):
                block.append(
                    f"time=2026-03-13T{second // 3600 % 24:02d}:{second // 60 % 60:02d}:{second % 60:02d}."
                    f"{rng.randrange(1_000_000):06d}+00:00 level=info name={rng.choice(names)} "
                    f'msg="request {rng.randrange(10**9)} served in {rng.randrange(2000)} ms" '
                    f'user="u{rng.randrange(5000)}" bytes={rng.randrange(10**6)}\n')
                second += rng.randrange(2)
            text = "".join(block)
            f.write(text)
            written += len(text)
    return written


def run(directory, mode, yesterday, latency_lines, burst):
    env = {**os.environ, "PYTHONPATH": os.environ.get("PYTHONPATH", ROOT), "TZ": "UTC"}
    out = subprocess.run([sys.executable, "-P", "-c", WORKER, directory, mode, str(latency_lines), str(burst),
                          yesterday], env=env, capture_output=True, text=True, timeout=3600)
    if out.returncode != 0:
        raise SystemExit(f"worker failed: {out.stderr}")
    return json.loads(out.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size-mb", type=int, default=500)
    parser.add_argument("--dir", default=os.path.join(ROOT, "build", "bench-compress"))
    parser.add_argument("--lines", type=int, default=2000, help="lines timed one by one")
    parser.add_argument("--burst", type=int, default=200_000, help="records of the throughput run")
    args = parser.parse_args()
    size = args.size_mb * 1_000_000
    os.makedirs(args.dir, exist_ok=True)
    free = shutil.disk_usage(args.dir).free
    if free < 3 * size:
        raise SystemExit(f"{args.dir}: {free // 10**6} MB free, the run needs {3 * size // 10**6} MB")
    day = (datetime.datetime.now(datetime.timezone.utc).date() - datetime.timedelta(days=1)).strftime("%Y%m%d")
    yesterday = f"app_{day}.log"
    results = {}
    try:
        for mode in ("plain", "compress"):
            work = os.path.join(args.dir, mode)
            shutil.rmtree(work, ignore_errors=True)
            os.makedirs(work)
            print(f"{mode}: making a {args.size_mb} MB file ...", file=sys.stderr)
            made = make_file(os.path.join(work, yesterday), size)
            os.sync()  # its write-back would otherwise slow whichever run comes first
            print(f"{mode}: measuring ...", file=sys.stderr)
            results[mode] = run(work, mode, yesterday, args.lines, args.burst)
            if mode == "compress":
                gz = os.path.getsize(os.path.join(work, yesterday + ".gz"))
                results[mode]["ratio"] = made / gz
            shutil.rmtree(work)
    finally:
        shutil.rmtree(args.dir, ignore_errors=True)

    def row(mode):
        r = results[mode]
        waits = sorted(r["waits"])
        q = lambda f: waits[min(len(waits) - 1, int(f * len(waits)))] / 1000
        return (f"| {mode} | {statistics.median(waits) / 1000:.0f} | {q(0.99):.0f} | {waits[-1] / 1000:.0f} | "
                f"{args.burst / (r['burst_ns'] / 1e9):,.0f} |")

    print(f"Python {sys.version.split()[0]}, {os.cpu_count()} CPUs; a {args.size_mb} MB file of yesterday; "
          f"{args.lines} lines each logged and flushed (time until it is in its file), then {args.burst:,} "
          "records and one flush.\n")
    print("| yesterday's file | line to file, median µs | p99 µs | max µs | records/s |")
    print("|---|---:|---:|---:|---:|")
    print(row("plain").replace("| plain |", "| left alone |"))
    print(row("compress").replace("| compress |", "| being compressed |"))
    c = results["compress"]
    print(f"\nThe compression was running at the start and end of the measurement: {c['compressing']}; it took "
          f"{c['compress_s']:.1f} s from then on, gzip ratio {c['ratio']:.1f}:1.")


if __name__ == "__main__":
    main()
