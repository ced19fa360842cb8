"""Writers come and go with their loggers; no line is lost when a thread or the interpreter ends;
memory stays flat under a long run and under logger churn."""

import pytest

from helpers import ASAN, parse, read_lines, run_py


def test_writers_start_share_and_stop_with_their_loggers(tmp_path):
    proc = run_py("""
import contextlib, glob, os, threading
from helpers import wait_for
from tarnwick._logger import PyLogger, get_logger
threads = lambda: len(os.listdir("/proc/self/task"))
# A joined thread leaves the task list a moment after join() returns.
settles = lambda n, why: wait_for(lambda: threads() == n, why, timeout=10)
lines = lambda name: sum(len(open(f).readlines()) for f in glob.glob(name + "_*.log"))
base = threads()
a, b = PyLogger("a", path="app.log"), PyLogger("b", path="app.log")
settles(base + 1, "same path text shares one writer")
c = PyLogger("c", path="./app.log")
settles(base + 2, "path texts are not normalised")
out1, out2, empty = PyLogger(None), get_logger("x"), PyLogger("e", path="")
settles(base + 4, "standard output has one writer; the empty path is a destination of its own")
for kwargs in ({"path": 3}, {"level": None}, {"path": b"x"}):
    with contextlib.suppress(TypeError):
        PyLogger("x", **kwargs)
settles(base + 4, "a failed argument starts no writer")
del c, out1, out2, empty
settles(base + 1, "releasing the last logger stops its writer")
a.info("one")
a.shutdown()                       # not the sole owner: flushes, the writer keeps running
settles(base + 1, "a shared writer keeps running")
assert lines("app") == 1
for k in range(20):                # a thread's lines are handed over before join() returns
    t = threading.Thread(target=b.info, args=("%d", k))
    t.start()
    t.join()
    a.shutdown()
    assert lines("app") == k + 2, k
b.info("two")
t = threading.Thread(target=b.shutdown)
t.start()
t.join()
del t
assert lines("app") == 21, "another thread's shutdown leaves this thread's lines"
b.shutdown()
del b
a.info("three")
assert a.shutdown() is None
settles(base, "the sole owner's shutdown stops the writer")
assert a.shutdown() is None        # twice: nothing left to do
a.info("lost: the writer is stopped")
c = PyLogger("c", path="app.log")  # a fresh writer: never the stopped one `a` still holds
c.info("four")
c.shutdown()
del a, c
d = PyLogger("d", path="./app.log")
d.info("five")
del d
assert lines("app") == 25, "pending lines are written before the last logger's release returns"
os._exit(0)                        # nothing later may rescue a line
""", cwd=tmp_path)
    got = [parse(line)["msg"] for line in read_lines(tmp_path, "app_*.log")]  # app.log and ./app.log: one file
    assert got == ["one", *map(str, range(20)), "two", "three", "four", "five"] and proc.stderr == ""


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
@pytest.mark.skipif(ASAN, reason="sanitizer quarantine")
@pytest.mark.parametrize("work, n, bound_kib", [("records", 1_000_000, 32 * 1024), ("cycles", 10_000, 4 * 1024)])
def test_memory_stays_flat(tmp_path, work, n, bound_kib):
    growth = int(run_py(RSS_CODE, work, n, cwd=tmp_path, timeout=300).stdout)
    assert growth < bound_kib, f"resident size grew by {growth} KiB"
    assert len(read_lines(tmp_path, "*.log")) == n + n // 10


# An atexit handler registered before the import runs after the module's exit flush; the worker it joins
# waits in tarnwick on its way out.
JOIN_AT_EXIT = """
import atexit, logging, sys, threading
stop = threading.Event()

def stop_worker():
    stop.set()
    worker.join()
    print("worker joined", flush=True)

atexit.register(stop_worker)
import tarnwick

def work():
    log = tarnwick.get_logger("worker")
    handler = tarnwick.Handler()
    try:
        while not stop.wait(0.05):
            log.info("tick")
    finally:
        log.shutdown() if sys.argv[1] == "shutdown" else handler.flush()

worker = threading.Thread(target=work, daemon=True)
worker.start()
print("main done", flush=True)
"""


@pytest.mark.parametrize("wait", ["shutdown", "flush"])
def test_a_thread_joined_by_a_later_atexit_handler_ends(wait):
    proc = run_py(JOIN_AT_EXIT, wait, timeout=30)
    assert "worker joined" in proc.stdout.splitlines()


# Lines logged after the module's exit flush: from an atexit handler registered before the import, from a
# daemon thread meanwhile, and from __del__ as the interpreter clears the modules. A daemon thread keeps
# each writer alive, so no release writes them.
AFTER_THE_FLUSH = """
import atexit, sys, threading
late = sys.argv[1]
if late == "atexit":
    atexit.register(lambda: tarnwick.get_logger("app").info("goodbye"))
elif late == "daemon":
    ask, done = threading.Event(), threading.Event()
    atexit.register(lambda: (ask.set(), done.wait(10)))
import tarnwick

def hold(log):
    if late == "daemon":
        ask.wait()
        log.info("goodbye")
        done.set()
    threading.Event().wait()

threading.Thread(target=hold, args=(tarnwick.get_logger("app"),), daemon=True).start()

class Farewell:
    def __init__(self):
        self.log = tarnwick.get_logger("app")

    def __del__(self):
        self.log.info("goodbye")

if late == "__del__":
    sys.farewell = Farewell()  # held by a module that is cleared late, __main__ being the daemon's
"""


@pytest.mark.parametrize("late", ["atexit", "daemon", "__del__"])
def test_lines_logged_after_the_exit_flush_are_written(late):
    proc = run_py(AFTER_THE_FLUSH, late, timeout=30)
    assert [parse(line)["msg"] for line in proc.stdout.splitlines()] == ["goodbye"]


# A daemon thread that keeps waiting in shutdown() while __del__ methods run as the interpreter finalises:
# it comes back from a wait to an interpreter that ends it (before 3.14, by unwinding its stack).
DAEMON_IN_A_WAIT = """
import sys, threading, time
from tarnwick import PyLogger

class Slow:
    def __del__(self, sleep=time.sleep):
        sleep(0.5)  # lets go of the interpreter: the daemon thread comes back meanwhile

log, other = PyLogger("x", path="x.log"), PyLogger("y", path="x.log")  # shutdown() never stops the writer

def wait_again_and_again():
    while True:
        log.shutdown()

threading.Thread(target=wait_again_and_again, daemon=True).start()
time.sleep(0.2)
sys.slow = Slow()
"""


def test_a_daemon_thread_in_a_wait_at_finalisation_is_left_alone(tmp_path):
    proc = run_py(DAEMON_IN_A_WAIT, cwd=tmp_path, check=False, timeout=30)
    assert proc.returncode == 0 and proc.stderr == ""
