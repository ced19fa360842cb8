"""Memory stays flat under a long run and under logger churn."""

import os

import pytest

from helpers import read_lines, run_py

RSS_CODE = """
import sys
from tarnwick._logger import PyLogger
rss_kib = lambda: next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmRSS:"))

def work(n, log=PyLogger("r", path="r.log")):
    for i in range(n):
        if sys.argv[1] == "records":
            log.info("record %d of the long run", i)
        else:  # a new writer each time: the previous one stopped with its last logger
            PyLogger("c", path=f"c{i % 3}.log").info("cycle %d", i)

work(int(sys.argv[2]) // 10)  # warm-up: pools, caches and the allocator reach their working size
before = rss_kib()
work(int(sys.argv[2]))
print(rss_kib() - before)
"""


# The sanitizer keeps freed memory in quarantine, so resident size says nothing under it.
@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="sanitizer quarantine")
@pytest.mark.parametrize("work, n, bound_kib", [("records", 1_000_000, 32 * 1024), ("cycles", 10_000, 4 * 1024)])
def test_memory_stays_flat(tmp_path, work, n, bound_kib):
    growth = int(run_py(RSS_CODE, work, n, cwd=tmp_path, timeout=300).stdout)
    assert growth < bound_kib, f"resident size grew by {growth} KiB"
    assert len(read_lines(tmp_path, "*.log")) == n + n // 10
