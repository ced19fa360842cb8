"""Threads logging at once (in parallel where the interpreter has no GIL) while others make and drop
loggers, reconfigure and shut down: every line arrives intact, once, in each thread's order."""

import collections
import os
import re

import pytest

from helpers import read_lines, run_py

pytestmark = pytest.mark.stress

RECORDS = 50_000 if os.environ.get("TARNWICK_STRESS") == "full" else 5_000  # per thread, 8 threads
LINE = re.compile(r'time=\S+ level=info name=(\w+) msg="(\d+) (\d+)"')

CHILD = """
import sys, threading
from tarnwick import PyLogger, basic_config
records = int(sys.argv[1])
shared, keep = PyLogger("shared", path="shared.log"), PyLogger("keep", path="shared.log")
done = threading.Event()

def produce(t):
    own = PyLogger("own", path=f"own{t}.log")
    for n in range(records):
        shared.info("%d %d", t, n)
        own.info("%d %d", t, n)

def churn(c):
    rounds = 0
    while not done.is_set():
        basic_config(batch_size=(1, 7, 32)[rounds % 3], unix_ts=rounds % 2 == 1)
        log = PyLogger("churn", path=f"churn{c}_{rounds % 4}.log")
        log.info("%d %d", c, rounds)
        log.shutdown()
        shared.shutdown()          # `keep` also owns the shared writer: this only flushes
        rounds += 1
    sys.stdout.write(f"{c} {rounds}\\n")   # one write: print() may interleave with the other churner

producers = [threading.Thread(target=produce, args=(t,)) for t in range(8)]
churners = [threading.Thread(target=churn, args=(c,)) for c in range(2)]
for t in producers + churners:
    t.start()
for t in producers:
    t.join()
done.set()
for t in churners:
    t.join()
"""


def test_parallel_producers_with_churn(tmp_path):
    out = run_py(CHILD, str(RECORDS), cwd=tmp_path, timeout=600).stdout
    rounds = dict(map(int, line.split()) for line in out.splitlines())
    def sequences(pattern):
        seen = collections.defaultdict(list)
        for line in read_lines(tmp_path, pattern):
            match = LINE.fullmatch(line)
            assert match, line
            seen[match[1], int(match[2])].append(int(match[3]))
        return dict(seen)

    assert sequences("shared_*.log") == {("shared", t): list(range(RECORDS)) for t in range(8)}
    for t in range(8):
        assert sequences(f"own{t}_*.log") == {("own", t): list(range(RECORDS))}
    # A churner's rounds go to four files in turn.
    assert {k: sorted(v) for k, v in sequences("churn*.log").items()} == {
        ("churn", c): list(range(rounds[c])) for c in range(2)}
