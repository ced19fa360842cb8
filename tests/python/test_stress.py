"""Many threads (in parallel where the interpreter has no GIL), many records, writers coming and going,
reconfiguration meanwhile, and a destination that falls behind: every line arrives intact, once, in each
thread's order. The sizes fit CI (smaller still under AddressSanitizer); TARNWICK_STRESS=full runs them at full size."""

import json
import os
import re
import select
import signal
import sys
import threading
import time

import pytest

from helpers import ASAN, finish, run_threads, spawn, wait_for

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


def log_under_load(dest, batch, churn, threads, records):
    from tarnwick._logger import PyLogger, basic_config
    if batch != "default":
        basic_config(batch_size=batch)
    path = None if dest == "stdout" else "load.log"
    keep, flusher = PyLogger("main", path=path), PyLogger("main", path=path)  # the writer lives throughout
    start, done = threading.Barrier(threads), threading.Event()

    def work(t):
        log = PyLogger("t%d" % t, path=path)
        own = PyLogger("t%d" % t, path="own%d.log" % t) if churn == "churn" else None
        start.wait()
        for i in range(records):
            log.info("%d 0 %d %s", t, i, PADS[i % len(PADS)])
            if own:
                own.info("%d 1 %d %s", t, i, PADS[i % len(PADS)])

    def churner(c):  # makes and drops loggers, reconfigures, flushes the shared writer
        rounds = 0
        while not done.is_set():
            basic_config(batch_size=(1, 7, 32)[rounds % 3], unix_ts=rounds % 2 == 1)
            log = PyLogger("t%d" % c, path="churn%d_%d.log" % (c, rounds % 4))
            log.info("%d 0 %d %s", c, rounds, PADS[rounds % len(PADS)])
            log.shutdown()
            flusher.shutdown()  # `keep` also owns the shared writer: this only flushes
            rounds += 1
        open("rounds%d" % c, "w").write(str(rounds))

    churners = [threading.Thread(target=churner, args=(c,)) for c in (100, 101) if churn == "churn"]
    for c in churners:
        c.start()
    run_threads(*(threading.Thread(target=work, args=(t,)) for t in range(threads)))
    done.set()
    for c in churners:
        c.join()
    sys.keep = keep  # held to the end: the exit flush writes what is still pending


def churn_loggers(threads, rounds):
    from tarnwick._logger import PyLogger
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
                    logs[d].info("%d %d %d %s", t, d, seq[d], PADS[seq[d] % len(PADS)])
                    seq[d] += 1
                logs[d] = None   # often the last logger of its destination: its writer stops

    run_threads(*(threading.Thread(target=work, args=(t,)) for t in range(threads)))


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
    out = finish(spawn(log_under_load, dest, batch, churn, 8, LOAD_RECORDS, cwd=tmp_path, TZ="UTC"))
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
    out = finish(spawn(churn_loggers, 50, CHURN_ROUNDS, cwd=tmp_path, TZ="UTC"))
    got = sequences(out, *files(tmp_path, "d*.log"))
    per_round = {(t, d): (t * 7 + d) % 45 + 1 for t in range(50) for d in range(20)}
    assert got == {key: list(range(n * CHURN_ROUNDS)) for key, n in per_round.items()}


# Logs to a pipe nobody reads, one record per batch.
def log_into_a_full_queue(records, progress):
    from tarnwick._logger import PyLogger, basic_config
    signal.signal(signal.SIGINT, signal.default_int_handler)  # even where the parent left SIGINT ignored
    basic_config(batch_size=1)
    log = PyLogger("t0")
    fd = os.open(progress, os.O_WRONLY)
    for i in range(records):
        if i % 1000 == 0:
            os.pwrite(fd, b"%10d" % i, 0)
        log.info("0 0 %d %s", i, PADS[i % len(PADS)])


def usage(pid, progress):
    """(processor seconds of every thread of `pid` so far, records logged so far)."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK"), int(progress.read_text())


@pytest.mark.parametrize("ending", ["drain", "ctrl-c"])
def test_full_queue_blocks_the_producer_without_spinning(tmp_path, ending):
    progress = tmp_path / "progress"
    progress.write_text("0")
    proc = spawn(log_into_a_full_queue, BACKLOG_RECORDS, str(progress), cwd=tmp_path, TZ="UTC")
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
