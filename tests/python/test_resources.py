"""Memory stays flat under a long run and under logger churn."""

import os

import pytest

from helpers import read_lines, run_py

RSS_CODE = """
import sys
from tarnwick._logger import PyLogger

def rss_kib():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))

def records(n, log=PyLogger("r", path="r.log")):
    for i in range(n):
        log.info("record %d of the long run", i)

def cycles(n):
    for i in range(n):  # a new writer each time: the previous one stopped with its last logger
        log = PyLogger("c", path=f"c{i % 3}.log")
        log.info("cycle %d", i)
        del log

work, n = {"records": records, "cycles": cycles}[sys.argv[1]], int(sys.argv[2])
work(n // 10)  # warm-up: pools, caches and the allocator reach their working size
before = rss_kib()
work(n)
print(rss_kib() - before)
"""


# The sanitizer keeps freed memory in quarantine, so resident size says nothing under it.
@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="sanitizer quarantine")
@pytest.mark.parametrize("work, n, bound_kib, lines", [
    ("records", 1_000_000, 32 * 1024, 1_100_000),
    ("cycles", 10_000, 4 * 1024, 11_000),
])
def test_memory_stays_flat(tmp_path, work, n, bound_kib, lines):
    growth = int(run_py(RSS_CODE, work, n, cwd=tmp_path, timeout=300).stdout)
    assert growth < bound_kib, f"resident size grew by {growth} KiB"
    assert len(read_lines(tmp_path, "*.log")) == lines
