"""Many threads, many records, writers coming and going, and a destination that falls behind.

The sizes fit CI (smaller still under AddressSanitizer); TARNWICK_STRESS=full runs them at full
size (make stress)."""

import json
import os
import re
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from helpers import child_env

pytestmark = pytest.mark.stress

FULL = os.environ.get("TARNWICK_STRESS") == "full"
ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
LOAD_RECORDS = 100_000 if FULL else 4_000 if ASAN else 20_000  # per thread, 8 threads
CHURN_ROUNDS = 20 if FULL else 2                                # 50 threads x 20 destinations
QUEUE = 65_536                                                  # a writer's queue, in batches
# Enough one-line batches to fill the queue, the writer's 1 MiB buffer and the pipe, with room over.
BACKLOG_RECORDS = 500_000 if FULL else 150_000

# Message tails that need escaping or are long enough to straddle batch and buffer boundaries.
PADS = ["", 'q"uote \\ back', "new\nline\ttab", "é✓" * 7, "x" * 300]
TEXT_PADS = [json.dumps(p, ensure_ascii=False)[1:-1] for p in PADS]
TEXT = re.compile(r'time=\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}\+00:00 level=info '
                  r'name=(t\d+) msg="(\d+) (\d+) (\d+) (.*)"')

LOAD_CHILD = """
import sys, threading
from tarnwick._logger import PyLogger, basic_config
dest, fmt, batch, threads, records = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5])
basic_config(format=fmt, **({} if batch == "default" else {"batch_size": int(batch)}))
path = None if dest == "stdout" else "load.log"
keep = PyLogger("main", path=path)   # the writer lives throughout; threads only share it
pads = {pads!r}
start = threading.Barrier(threads)
def work(t):
    log = PyLogger("t%d" % t, path=path)
    start.wait()
    for i in range(records):
        log.info("%d 0 %d %s", t, i, pads[i % len(pads)])
workers = [threading.Thread(target=work, args=(t,)) for t in range(threads)]
for w in workers: w.start()
for w in workers: w.join()
"""

CHURN_CHILD = """
import sys, threading
from tarnwick._logger import PyLogger, basic_config
fmt, threads, rounds = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
basic_config(format=fmt)
dests = [None] + ["d%02d.log" % d for d in range(1, 20)]
pads = {pads!r}
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
workers = [threading.Thread(target=work, args=(t,)) for t in range(threads)]
for w in workers: w.start()
for w in workers: w.join()
"""


def spawn(code, *args, cwd=None, **kwargs):
    code = textwrap.dedent(code).replace("{pads!r}", repr(PADS))
    return subprocess.Popen([sys.executable, "-P", "-c", code, *map(str, args)], cwd=cwd, env=child_env(TZ="UTC"),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kwargs)


def finish(proc, timeout):
    try:
        out, err = proc.communicate(timeout=timeout)
    finally:
        proc.kill()
    assert proc.returncode == 0 and not err, err.decode(errors="replace")
    return out


def split(data):
    """The complete lines of `data`, which must end in a line feed (a line is never cut short)."""
    text = data.decode("utf-8")
    assert text == "" or text.endswith("\n"), text[-200:]
    return text.split("\n")[:-1]


def file_lines(directory, pattern):
    return [line for path in sorted(directory.glob(pattern)) for line in split(path.read_bytes())]


def sequences(lines, fmt):
    """{(thread, stream): [seq, ...]} in line order; every line must be one whole, well-formed record."""
    got = {}
    for line in lines:
        if fmt == "json":
            record = json.loads(line)
            assert list(record) == ["time", "level", "name", "msg"] and record["level"] == "info", line
            name = record["name"]
            t, s, seq, pad = record["msg"].split(" ", 3)
            expected_pad = PADS
        else:
            m = TEXT.fullmatch(line)
            assert m, line
            name, t, s, seq, pad = m.groups()
            expected_pad = TEXT_PADS
        assert name == "t" + t and pad == expected_pad[int(seq) % len(PADS)], line
        got.setdefault((int(t), int(s)), []).append(int(seq))
    return got


@pytest.mark.parametrize("batch", [1, 7, "default"])
@pytest.mark.parametrize("fmt", ["logfmt", "json"])
@pytest.mark.parametrize("dest", ["file", "stdout"])
def test_eight_threads_lose_split_or_reorder_nothing(tmp_path, dest, fmt, batch):
    threads = 8
    out = finish(spawn(LOAD_CHILD, dest, fmt, batch, threads, LOAD_RECORDS, cwd=tmp_path), timeout=600)
    if dest == "file":
        assert out == b""
    lines = split(out) if dest == "stdout" else file_lines(tmp_path, "load_*.log")
    assert len(lines) == threads * LOAD_RECORDS
    assert sequences(lines, fmt) == {(t, 0): list(range(LOAD_RECORDS)) for t in range(threads)}


@pytest.mark.parametrize("fmt", ["logfmt", "json"])
def test_fifty_threads_churning_loggers_of_twenty_destinations(tmp_path, fmt):
    threads = 50
    out = finish(spawn(CHURN_CHILD, fmt, threads, CHURN_ROUNDS, cwd=tmp_path), timeout=600)
    got = sequences(split(out), fmt)
    for d in range(1, 20):
        got.update(sequences(file_lines(tmp_path, f"d{d:02d}_*.log"), fmt))
    per_round = {(t, d): (t * 7 + d) % 45 + 1 for t in range(threads) for d in range(20)}
    assert got == {key: list(range(n * CHURN_ROUNDS)) for key, n in per_round.items()}


def cpu_seconds(pid):
    """User plus system time of every thread of `pid`, so far."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


FULL_QUEUE_CHILD = """
import os, sys
from tarnwick._logger import PyLogger, basic_config
# "switching": every record for the pipe is followed by one for a file, so the pipe's lines wait
# for room when the thread moves on to the file's writer, not when a batch is full.
switching = sys.argv[3] == "switching"
basic_config(batch_size=32 if switching else 1)
log = PyLogger("t0")
other = PyLogger("other", path="other.log") if switching else None
pads = {pads!r}
fd = os.open(sys.argv[2], os.O_WRONLY)
for i in range(int(sys.argv[1])):
    if i % 1000 == 0:
        os.pwrite(fd, b"%10d" % i, 0)
    log.info("0 0 %d %s", i, pads[i % len(pads)])
    if other:
        other.info("between")
"""


def blocked_on_full_queue(tmp_path, mode="single"):
    """A child logging to a pipe nobody reads, once it is blocked: it must wait, not drop or spin."""
    progress = tmp_path / "progress"
    progress.write_text("0")
    proc = spawn(FULL_QUEUE_CHILD, BACKLOG_RECORDS, progress, mode, cwd=tmp_path)
    try:
        # Wait until neither the record count nor the processor time moves.
        sample = lambda: (cpu_seconds(proc.pid), int(progress.read_text()))  # noqa: E731
        deadline = time.monotonic() + 300
        last = sample()
        while True:
            time.sleep(1)
            assert proc.poll() is None, "the producer must wait for room, not drop or give up"
            now = sample()
            if now[1] == last[1] and now[0] - last[0] < 0.05:
                break
            assert time.monotonic() < deadline, "never settled"
            last = now
        time.sleep(2)
        cpu, done = sample()
        assert cpu - now[0] < 0.5 and done == now[1], "a blocked producer or writer must not spin"
        assert proc.poll() is None
        # It filled the queue before it blocked, and did not get through all of its records.
        assert QUEUE <= done < BACKLOG_RECORDS - 1000
    except BaseException:
        proc.kill()
        raise
    return proc


def test_full_queue_blocks_the_producer_until_the_reader_catches_up(tmp_path):
    proc = blocked_on_full_queue(tmp_path)
    lines = split(finish(proc, timeout=300))
    assert len(lines) == BACKLOG_RECORDS
    assert sequences(lines, "logfmt") == {(0, 0): list(range(BACKLOG_RECORDS))}


@pytest.mark.parametrize("mode", ["single", "switching"])
def test_ctrl_c_ends_a_producer_waiting_for_room(tmp_path, mode):
    proc = blocked_on_full_queue(tmp_path, mode)
    proc.send_signal(signal.SIGINT)
    try:
        # Standard output is never read: the exit flush gives up on the writer after its 5 s.
        proc.wait(timeout=60)
    finally:
        proc.kill()
    err = proc.stderr.read().decode()
    assert proc.returncode != 0 and err.rstrip().endswith("KeyboardInterrupt"), err
