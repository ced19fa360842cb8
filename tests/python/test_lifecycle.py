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


# A worker joined by an atexit handler registered before the import, which runs after the module's exit
# flush: it waits in tarnwick on its way out. Meanwhile a daemon thread keeps waiting in shutdown(), and
# is still at it as the interpreter finalises, which ends it (before 3.14 by unwinding its stack).
EXIT_WAITS = """
import atexit, sys, threading, time
stop = threading.Event()

def stop_worker():
    stop.set()
    worker.join()
    print("worker joined", flush=True)

atexit.register(stop_worker)
import tarnwick

def work():
    log, handler = tarnwick.get_logger("worker"), tarnwick.Handler()
    try:
        while not stop.wait(0.05):
            log.info("tick")
    finally:
        log.shutdown() if sys.argv[1] == "shutdown" else handler.flush()

def wait_again_and_again(log=tarnwick.PyLogger("x", path="x.log"), other=tarnwick.PyLogger("y", path="x.log")):
    while True:
        log.shutdown()  # never the sole owner: it never stops the writer

class Slow:
    def __del__(self, sleep=time.sleep):
        sleep(0.5)  # lets go of the interpreter as it finalises: the daemon thread comes back meanwhile

worker = threading.Thread(target=work, daemon=True)
worker.start()
threading.Thread(target=wait_again_and_again, daemon=True).start()
time.sleep(0.2)
sys.slow = Slow()  # cleared late: __main__ stays alive with its daemon threads
"""


@pytest.mark.parametrize("wait", ["shutdown", "flush"])
def test_threads_that_wait_at_exit_neither_hang_nor_crash_it(tmp_path, wait):
    proc = run_py(EXIT_WAITS, wait, cwd=tmp_path, check=False, timeout=30)
    assert proc.returncode == 0 and proc.stderr == "" and "worker joined" in proc.stdout.splitlines()


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
    sys.farewell = Farewell()  # cleared late: __main__ stays alive with its daemon thread
"""


@pytest.mark.parametrize("late", ["atexit", "daemon", "__del__"])
def test_lines_logged_after_the_exit_flush_are_written(late):
    proc = run_py(AFTER_THE_FLUSH, late, timeout=30)
    assert [parse(line)["msg"] for line in proc.stdout.splitlines()] == ["goodbye"]
