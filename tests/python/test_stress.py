"""Many threads (in parallel where the interpreter has no GIL), many records, writers coming and going,
reconfiguration meanwhile, and a destination that falls behind: every line arrives intact, once, in each
thread's order. The sizes fit CI (smaller still under AddressSanitizer); TARNWICK_STRESS=full runs them at full size."""

import json
import os
import re
import select
import signal
import time

import pytest

from helpers import ASAN, finish, spawn, wait_for

pytestmark = pytest.mark.stress

FULL = os.environ.get("TARNWICK_STRESS") == "full"
LOAD_RECORDS = 100_000 if FULL else 4_000 if ASAN else 20_000  # per thread, 8 threads
CHURN_ROUNDS = 20 if FULL else 2                                # 50 threads x 20 destinations
QUEUE = 65_536                                                  # a writer's queue, in batches
# Enough one-line batches to fill the queue, the writer's 1 MiB buffer and the pipe, with room over.
BACKLOG_RECORDS = 500_000 if FULL else 150_000

# Message tails that need escaping or are long enough to straddle batch and buffer boundaries.
PADS = ["", 'q"uote \\ back', "new\nline\ttab", "é✓" * 7, "x" * 300]
TEXT = re.compile(r'time=\S+ level=info name=(t\d+) msg="(\d+) (\d+) (\d+) (.*)"')
# Every child logs "<thread> <stream> <seq> <pad>" from loggers named "t<thread>".
PRELUDE = f"import sys, threading\nfrom tarnwick._logger import PyLogger, basic_config\npads = {PADS!r}\n"

LOAD_CHILD = PRELUDE + """
dest, batch, churn, threads, records = sys.argv[1], sys.argv[2], sys.argv[3] == "churn", *map(int, sys.argv[4:])
if batch != "default":
    basic_config(batch_size=int(batch))
path = None if dest == "stdout" else "load.log"
keep, flusher = PyLogger("main", path=path), PyLogger("main", path=path)  # the writer lives throughout
start, done = threading.Barrier(threads), threading.Event()
def work(t):
    log, own = PyLogger("t%d" % t, path=path), PyLogger("t%d" % t, path="own%d.log" % t) if churn else None
    start.wait()
    for i in range(records):
        log.info("%d 0 %d %s", t, i, pads[i % len(pads)])
        if own:
            own.info("%d 1 %d %s", t, i, pads[i % len(pads)])
def churner(c):  # makes and drops loggers, reconfigures, flushes the shared writer
    rounds = 0
    while not done.is_set():
        basic_config(batch_size=(1, 7, 32)[rounds % 3], unix_ts=rounds % 2 == 1)
        log = PyLogger("t%d" % c, path="churn%d_%d.log" % (c, rounds % 4))
        log.info("%d 0 %d %s", c, rounds, pads[rounds % len(pads)])
        log.shutdown()
        flusher.shutdown()  # `keep` also owns the shared writer: this only flushes
        rounds += 1
    open("rounds%d" % c, "w").write(str(rounds))
churners = [threading.Thread(target=churner, args=(c,)) for c in (100, 101) if churn]
for c in churners: c.start()
"""
CHURN_END = "\ndone.set()\nfor c in churners: c.join()\n"

CHURN_CHILD = PRELUDE + """
threads, rounds = int(sys.argv[1]), int(sys.argv[2])
dests = [None] + ["d%02d.log" % d for d in range(1, 20)]
sys.setswitchinterval(1e-5)   # interleave threads inside creation, logging and release
step = threading.Barrier(threads)
def work(t):
    seq = [0] * len(dests)
    for r in range(rounds):
        # In step, all threads hold all twenty loggers, then one at a time, when writers stop and
        # start all the time.
        step.wait()
        logs = [PyLogger("t%d" % t, path=p) if r % 2 == 0 else None for p in dests]
        for j in range(len(dests)):
            d = (t + r + j) % len(dests)
            logs[d] = logs[d] or PyLogger("t%d" % t, path=dests[d])
            # Spans full and partial batches; the partial ones stay pending past the release.
            for _ in range((t * 7 + d) % 45 + 1):
                logs[d].info("%d %d %d %s", t, d, seq[d], pads[seq[d] % len(pads)])
                seq[d] += 1
            logs[d] = None   # often the last logger of its destination: its writer stops
"""

THREADS = "\nworkers = [threading.Thread(target=work, args=(t,)) for t in range(threads)]\n" \
          "for w in workers: w.start()\nfor w in workers: w.join()\n"


def sequences(*blobs):
    """{(thread, stream): [seq, ...]} in line order; every line must be one whole, well-formed record."""
    got = {}
    for blob in blobs:
        assert blob == b"" or blob.endswith(b"\n"), blob[-200:]  # a line is never cut short
    for line in b"".join(blobs).decode("utf-8").split("\n")[:-1]:
        m = TEXT.fullmatch(line)
        assert m, line
        name, t, s, seq, pad = m.groups()
        assert name == "t" + t and json.loads(f'"{pad}"') == PADS[int(seq) % len(PADS)], line
        got.setdefault((int(t), int(s)), []).append(int(seq))
    return got


def files(directory, pattern):
    return [path.read_bytes() for path in sorted(directory.glob(pattern))]


@pytest.mark.parametrize("dest, batch, churn", [("file", 1, "calm"), ("file", "default", "churn"),
                                                ("stdout", 7, "calm"), ("stdout", "default", "churn")])
def test_eight_threads_in_parallel_lose_split_or_reorder_nothing(tmp_path, dest, batch, churn):
    out = finish(spawn(LOAD_CHILD + THREADS + CHURN_END, dest, batch, churn, 8, LOAD_RECORDS, cwd=tmp_path, TZ="UTC"))
    got = sequences(out) if dest == "stdout" else sequences(*files(tmp_path, "load_*.log"))
    assert dest == "stdout" or out == b""
    assert got == {(t, 0): list(range(LOAD_RECORDS)) for t in range(8)}
    if churn == "churn":
        assert sequences(*files(tmp_path, "own*.log")) == {(t, 1): list(range(LOAD_RECORDS)) for t in range(8)}
        # A churner's rounds go to four files in turn.
        rounds = {c: int((tmp_path / f"rounds{c}").read_text()) for c in (100, 101)}
        assert {k: sorted(v) for k, v in sequences(*files(tmp_path, "churn*.log")).items()} == {
            (c, 0): list(range(n)) for c, n in rounds.items()}


def test_fifty_threads_churning_loggers_of_twenty_destinations(tmp_path):
    out = finish(spawn(CHURN_CHILD + THREADS, 50, CHURN_ROUNDS, cwd=tmp_path, TZ="UTC"))
    got = sequences(out, *files(tmp_path, "d*.log"))
    per_round = {(t, d): (t * 7 + d) % 45 + 1 for t in range(50) for d in range(20)}
    assert got == {key: list(range(n * CHURN_ROUNDS)) for key, n in per_round.items()}


# Logs to a pipe nobody reads, one record per batch.
FULL_QUEUE_CHILD = PRELUDE + """
import os, signal
signal.signal(signal.SIGINT, signal.default_int_handler)  # even where the parent left SIGINT ignored
basic_config(batch_size=1)
log = PyLogger("t0")
fd = os.open(sys.argv[2], os.O_WRONLY)
for i in range(int(sys.argv[1])):
    if i % 1000 == 0:
        os.pwrite(fd, b"%10d" % i, 0)
    log.info("0 0 %d %s", i, pads[i % len(pads)])
"""


def usage(pid, progress):
    """(processor seconds of every thread of `pid` so far, records logged so far)."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK"), int(progress.read_text())


@pytest.mark.parametrize("ending", ["drain", "ctrl-c"])
def test_full_queue_blocks_the_producer_without_spinning(tmp_path, ending):
    progress = tmp_path / "progress"
    progress.write_text("0")
    proc = spawn(FULL_QUEUE_CHILD, BACKLOG_RECORDS, progress, cwd=tmp_path, TZ="UTC")
    try:
        samples = [usage(proc.pid, progress)]

        def settled():  # neither the record count nor the processor time moves
            assert proc.poll() is None, "the producer must wait for room, not drop or give up"
            time.sleep(0.3)
            samples.append(usage(proc.pid, progress))
            (cpu0, done0), (cpu1, done1) = samples[-2:]
            return done1 == done0 and cpu1 - cpu0 < 0.02

        wait_for(settled, "the producer to block, with neither it nor the writer spinning", timeout=300)
        done = samples[-1][1]
        # It filled the queue before it blocked, and did not get through all of its records.
        assert QUEUE <= done < BACKLOG_RECORDS - 1000 and proc.poll() is None
        if ending == "drain":
            assert sequences(finish(proc, timeout=300)) == {(0, 0): list(range(BACKLOG_RECORDS))}
            return
        proc.send_signal(signal.SIGINT)
        err = b""
        while b"KeyboardInterrupt" not in err:  # the waiting call is interrupted while the pipe is still full
            assert select.select([proc.stderr], [], [], 60)[0], f"no KeyboardInterrupt: {err!r}"
            err += os.read(proc.stderr.fileno(), 65536) or pytest.fail(f"no KeyboardInterrupt: {err!r}")
        out, rest = proc.communicate(timeout=300)  # reading lets the exit flush finish
        assert proc.returncode != 0 and (err + rest).decode().rstrip().endswith("KeyboardInterrupt")
        seqs = sequences(out)[0, 0]
        assert seqs == list(range(len(seqs))), "lines before the interruption are kept, in order"
    finally:
        proc.kill()
