"""Writers come and go with their loggers; no line is lost when a thread or the interpreter ends;
memory stays flat under a long run and under logger churn."""

import contextlib
import glob
import os
import threading

import pytest

from helpers import ASAN, HERE, parse, read_lines, run_in_child, run_threads, wait_for

CHILDREN = os.path.join(HERE, "children")


def log_through_writers_coming_and_going():
    from tarnwick._logger import PyLogger, get_logger

    def threads():
        return len(os.listdir("/proc/self/task"))

    def settles(n, why):  # a joined thread leaves the task list a moment after join() returns
        wait_for(lambda: threads() == n, why, timeout=10)

    def lines(name):
        return sum(len(open(f).readlines()) for f in glob.glob(name + "_*.log"))

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
        run_threads(threading.Thread(target=b.info, args=("%d", k)))
        a.shutdown()
        assert lines("app") == k + 2, k
    b.info("two")
    run_threads(threading.Thread(target=b.shutdown))
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


def test_writers_start_share_and_stop_with_their_loggers(tmp_path):
    proc = run_in_child(log_through_writers_coming_and_going, cwd=tmp_path)
    got = [parse(line)["msg"] for line in read_lines(tmp_path, "app_*.log")]  # app.log and ./app.log: one file
    assert got == ["one", *map(str, range(20)), "two", "three", "four", "five"] and proc.stderr == ""


@pytest.mark.parametrize("dest", ["stdout", "file"])
@pytest.mark.parametrize("ending", ["pass", "exit", "raise", "atexit", "daemon"])
def test_interpreter_exit_keeps_lines(tmp_path, dest, ending):
    proc = run_in_child(os.path.join(CHILDREN, "exit_endings.py"), ending, dest, cwd=tmp_path, check=False)
    lines = proc.stdout.splitlines() if dest == "stdout" else read_lines(tmp_path, "x_*.log")
    got = [line.rsplit(' msg="', 1)[1][:-1] for line in lines if "name=x" in line]
    extra = {"atexit": ["from atexit"], "daemon": ["from daemon"]}.get(ending, [])
    assert got[:100] == [f"line {i}" for i in range(100)] and sorted(got[100:]) == extra
    assert 'name=y msg="hi"' in proc.stdout


def rss_kib():
    return next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmRSS:"))


def log_for_long(work, n):
    from tarnwick._logger import PyLogger
    log = PyLogger("r", path="r.log")

    def run(count):
        for i in range(count):
            if work == "records":
                log.info("record %d of the long run", i)
            else:  # a new writer each time: the previous one stopped with its last logger
                PyLogger("c", path=f"c{i % 3}.log").info("cycle %d", i)

    run(n // 10)  # warm-up: pools, caches and the allocator reach their working size
    before = rss_kib()
    run(n)
    print(rss_kib() - before)


# The sanitizer keeps freed memory in quarantine, so resident size says nothing under it.
@pytest.mark.skipif(ASAN, reason="sanitizer quarantine")
@pytest.mark.parametrize("work, n, bound_kib", [("records", 1_000_000, 32 * 1024), ("cycles", 10_000, 4 * 1024)])
def test_memory_stays_flat(tmp_path, work, n, bound_kib):
    growth = int(run_in_child(log_for_long, work, n, cwd=tmp_path, timeout=300).stdout)
    assert growth < bound_kib, f"resident size grew by {growth} KiB"
    assert len(read_lines(tmp_path, "*.log")) == n + n // 10


# A worker joined by an atexit handler registered before the import, which runs after the module's exit
# flush: it waits in tarnwick on its way out. Meanwhile a daemon thread keeps waiting in shutdown(), and
# is still at it as the interpreter finalises, which ends it (before 3.14 by unwinding its stack).
@pytest.mark.parametrize("wait", ["shutdown", "flush"])
def test_threads_that_wait_at_exit_neither_hang_nor_crash_it(tmp_path, wait):
    proc = run_in_child(os.path.join(CHILDREN, "exit_waits.py"), wait, cwd=tmp_path, check=False, timeout=30)
    assert proc.returncode == 0 and proc.stderr == "" and "worker joined" in proc.stdout.splitlines()


# Lines logged after the module's exit flush: from an atexit handler registered before the import, from a
# daemon thread meanwhile, and from __del__ as the interpreter clears the modules. A daemon thread keeps
# each writer alive, so no release writes them.
@pytest.mark.parametrize("late", ["atexit", "daemon", "__del__"])
def test_lines_logged_after_the_exit_flush_are_written(late):
    proc = run_in_child(os.path.join(CHILDREN, "after_the_flush.py"), late, timeout=30)
    assert [parse(line)["msg"] for line in proc.stdout.splitlines()] == ["goodbye"]
