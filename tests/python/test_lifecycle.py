"""Nothing is lost when a thread ends, when the interpreter exits, or across fork()."""

import os
import subprocess
import sys
import time

import pytest

from helpers import child_env, read_lines, run_py

# The sanitizer runtime's allocator can be inherited locked by the fork child of a threaded parent
# (its own limitation, not glibc's): fork cases would hang at random under it.
fork_safe = pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="sanitizer allocator")


def msgs(directory, pattern):
    return [line.rsplit(' msg="', 1)[1][:-1] for line in read_lines(directory, pattern)]


def test_join_returns_after_the_threads_lines_are_handed_over(tmp_path):
    run_py("""
import glob, threading
from tarnwick._logger import PyLogger
log, keep = PyLogger("j", path="j.log"), PyLogger("k", path="j.log")   # shutdown() then only flushes
for k in range(20):
    t = threading.Thread(target=log.info, args=("%d", k))
    t.start()
    t.join()
    log.shutdown()   # writes everything handed over before it
    assert sum(1 for _ in open(glob.glob("j_*.log")[0])) == k + 1, k
""", cwd=tmp_path)


def test_orphaned_lines_reach_their_destination(tmp_path):
    run_py("""
import threading
from tarnwick._logger import PyLogger
holder = {"log": PyLogger("o", path="o.log")}
released, go = threading.Event(), threading.Event()
def work():
    holder["log"].info("pending on the worker")
    released.set()
    go.wait()
t = threading.Thread(target=work)
t.start()
released.wait()
del holder["log"]   # the last logger: its writer is destroyed while the worker holds a line
go.set()
t.join()            # the worker's exit hands the line to a new writer for o.log
""", cwd=tmp_path)
    assert msgs(tmp_path, "o_*.log") == ["pending on the worker"]


@pytest.mark.parametrize("dest", ["stdout", "file"])
@pytest.mark.parametrize("ending", [
    "pass",
    "import sys; sys.exit(3)",
    "raise RuntimeError('boom')",
    "import atexit; atexit.register(lambda: log.info('from atexit'))",
    # a daemon thread never ends: its last lines are handed over for it
    "import threading; e = threading.Event(); threading.Thread(daemon=True, target=lambda: "
    "(log.info('from daemon'), e.set(), threading.Event().wait())).start(); e.wait()",
])
def test_interpreter_exit_keeps_lines(tmp_path, dest, ending):
    proc = run_py(f"""
from tarnwick._logger import PyLogger, get_logger
log = PyLogger("x", path={None if dest == "stdout" else "'x.log'"})
for i in range(100):
    log.info("line %d", i)
get_logger("y").info("hi")
{ending}
""", cwd=tmp_path, check=False)
    lines = proc.stdout.splitlines() if dest == "stdout" else read_lines(tmp_path, "x_*.log")
    got = [line.rsplit(' msg="', 1)[1][:-1] for line in lines if "name=x" in line]
    extra = [text for text in ("from atexit", "from daemon") if text in ending]
    assert got[:100] == [f"line {i}" for i in range(100)] and sorted(got[100:]) == extra
    assert 'name=y msg="hi"' in proc.stdout


def test_stuck_destination_does_not_hang_exit():
    r, w = os.pipe()  # nobody reads it: the writer blocks once the pipe is full
    start = time.monotonic()
    code = "from tarnwick._logger import PyLogger\nlog = PyLogger('x')\nfor i in range(200000): log.info('fill %d', i)"
    proc = subprocess.Popen([sys.executable, "-P", "-c", code], stdout=w, env=child_env())
    os.close(w)
    try:
        proc.wait(timeout=30)
    finally:
        os.close(r)
        proc.kill()
    assert time.monotonic() - start < 30


@fork_safe
def test_fork_every_line_exactly_once(tmp_path):
    run_py("""
import os, sys, threading
from tarnwick._logger import PyLogger
log = PyLogger("p", path="f.log")
for i in range(50): log.info("parent before %d", i)
e = threading.Event()  # a thread whose pending line is the parent's, also in the child
threading.Thread(daemon=True, target=lambda: (log.info("thread"), e.set(), threading.Event().wait())).start()
e.wait()
pid = os.fork()
if pid == 0:
    for i in range(50): log.info("child %d", i)
    sys.exit(0)
for i in range(50): log.info("parent after %d", i)
os.waitpid(pid, 0)
""", cwd=tmp_path)
    got = msgs(tmp_path, "f_*.log")
    parent = [f"parent before {i}" for i in range(50)] + [f"parent after {i}" for i in range(50)]
    assert sorted(got) == sorted(parent + [f"child {i}" for i in range(50)] + ["thread"])
    assert [g for g in got if g.startswith("parent")] == parent


@fork_safe
def test_child_can_log_more_than_a_channel_holds(tmp_path):
    run_py("""
import os
from tarnwick._logger import PyLogger, basic_config
basic_config(batch_size=1)
log = PyLogger("p", path="big.log")
log.info("parent")
pid = os.fork()
if pid == 0:
    for i in range(70000): log.info("c")
    log.shutdown()
    os._exit(0)
assert os.waitpid(pid, 0)[1] == 0
""", cwd=tmp_path, timeout=120)
    assert len(read_lines(tmp_path, "big_*.log")) == 70001


@fork_safe
def test_multiprocessing_fork_workers(tmp_path):
    run_py("""
import multiprocessing as mp
from tarnwick._logger import PyLogger
log = PyLogger("w", path="mp.log")
def work(n):
    for i in range(10000): log.info("%d %d", n, i)
log.info("parent")
procs = [mp.get_context("fork").Process(target=work, args=(n,)) for n in range(4)]
for p in procs: p.start()
for p in procs: p.join()
assert all(p.exitcode == 0 for p in procs)
""", cwd=tmp_path, timeout=120)
    got = msgs(tmp_path, "mp_*.log")
    assert len(got) == 40001
    for n in range(4):
        assert [g for g in got if g.startswith(f"{n} ")] == [f"{n} {i}" for i in range(10000)]
