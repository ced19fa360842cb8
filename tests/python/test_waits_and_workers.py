"""Waits leave the interpreter to other threads and end on Ctrl-C; every worker process keeps its lines, and
no process writes another's pending lines, whatever the start method."""

import multiprocessing
import os
import select
import signal
import subprocess
import sys
import threading
import time

import pytest

from helpers import ASAN, HERE, child_cmd, child_env, parse, read_lines, run_in_child, run_threads, spawn, wait_for_line

@pytest.mark.skipif(ASAN, reason="sanitizer allocator and fork")
@pytest.mark.parametrize("method", [*multiprocessing.get_all_start_methods(), "pool"])
def test_every_start_method_keeps_every_line_once_in_order(tmp_path, method):
    run_in_child(os.path.join(HERE, "children", "workers.py"), method, "w.log", cwd=tmp_path, timeout=120)
    seen = {}
    for record in map(parse, read_lines(tmp_path, "w_*.log")):
        seen.setdefault(record["name"], []).append(int(record["msg"]))
    assert seen == {**{f"w{i}": list(range(10_000)) for i in range(4)}, "parent": [0, 1], "thread": [0]}


# Standard output is a pipe nobody reads and every record is its own batch, so the writer's queue
# fills and a worker thread's log call waits for room. The main thread reports on standard error.
def flood_a_stuck_destination():
    from tarnwick import PyLogger, basic_config
    signal.signal(signal.SIGINT, signal.default_int_handler)  # even where the parent left SIGINT ignored
    basic_config(batch_size=1)
    log = PyLogger("stuck")
    count = 0

    def flood():
        nonlocal count
        while True:
            log.info("%d", count)
            count += 1

    threading.Thread(target=flood, daemon=True).start()
    last, still = -1, 0
    while still < 20:                        # the worker has made no progress for 20 ticks: it waits
        time.sleep(0.05)
        still, last = (still + 1, last) if count == last else (0, count)
    print("waiting", count, file=sys.stderr, flush=True)
    for tick in range(3):                    # this thread still runs Python meanwhile
        print("tick", tick, file=sys.stderr, flush=True)
    basic_config(batch_size=100)             # the next thread's line stays pending until it ends
    run_threads(threading.Thread(target=log.info, args=("last words",)))
    threading.Thread(target=print, args=("next thread ran",), kwargs={"file": sys.stderr, "flush": True}).start()
    while True:
        time.sleep(0.05)


def test_waiting_threads_leave_the_others_running_and_ctrl_c_ends_the_process():
    proc = spawn(flood_a_stuck_destination, text=True)
    assert int(wait_for_line(proc, "waiting").split()[1]) > 65_536 and wait_for_line(proc, "tick 2")
    # A thread that ends with its line pending and the queue full does not hang the next one.
    assert wait_for_line(proc, "next thread ran")
    proc.send_signal(signal.SIGINT)
    with proc:  # closes the pipes, never read: the exit flush gives up on the writer that makes no progress
        try:
            assert proc.wait(timeout=30) == -signal.SIGINT and "KeyboardInterrupt" in proc.stderr.read()
        finally:
            proc.kill()


# Forks from one or two threads while another creates loggers or runs Python. Some children log a line
# of their own; the parent's standard output goes to /dev/null.
def fork_beside_threads(scenario, forks):
    import warnings

    from tarnwick import PyLogger, get_logger
    warnings.simplefilter("ignore", DeprecationWarning)  # forking with threads running is the point here
    stop = threading.Event()

    def fork_children(n):
        pids = []
        for i in range(n):
            pid = os.fork()
            if pid == 0:
                if i % 10 == 0:  # logging in every child would leave fewer forks to race with
                    log = PyLogger("child", path="c.log")
                    log.info("%d", i)
                    log.shutdown()
                os._exit(0)
            pids.append(pid)
        for pid in pids:
            assert os.waitpid(pid, 0)[1] == 0

    def make_loggers():
        while not stop.is_set():
            get_logger("worker").info("x")

    def run_python():
        while not stop.is_set():
            sum(range(100))

    others = [threading.Thread(target=make_loggers if scenario == "loggers" else run_python)]
    forkers = [threading.Thread(target=fork_children, args=(forks,)) for _ in range(1 if scenario == "loggers" else 2)]
    for t in others + forkers:
        t.start()
    for t in forkers:
        t.join()
    stop.set()
    for t in others:
        t.join()


@pytest.mark.skipif(ASAN, reason="sanitizer allocator and fork")
@pytest.mark.parametrize("scenario, forks, children", [("loggers", 200, 20), ("python", 50, 10)])
def test_forks_complete_while_other_threads_log_or_run(tmp_path, scenario, forks, children):
    with subprocess.Popen(child_cmd(fork_beside_threads, scenario, forks), cwd=tmp_path, env=child_env(),
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True) as proc:
        try:
            _, err = proc.communicate(timeout=20)
        finally:
            proc.kill()
    assert proc.returncode == 0, err
    assert sorted(parse(line)["name"] for line in read_lines(tmp_path, "c_*.log")) == ["child"] * children


# The last logger of standard output is released while its writer cannot write (a pipe nobody reads yet);
# the main thread ticks on standard error meanwhile. The releasing thread made the logger: on a
# free-threaded build the last reference is dropped on the thread that made the object.
def release_beside_a_ticking_thread():
    from tarnwick import PyLogger
    started, released = threading.Event(), threading.Event()

    def release():
        log = PyLogger("x")
        for i in range(300):
            log.info("%d %s", i, "x" * 1000)
        started.set()
        del log  # gives up on the writer after 5 s
        sys.stderr.write("released\n")  # one write: print's text and end could interleave with a tick
        sys.stderr.flush()
        released.set()

    threading.Thread(target=release).start()
    started.wait()
    while not released.is_set():
        time.sleep(0.05)
        sys.stderr.write("tick\n")
        sys.stderr.flush()


def test_releasing_the_last_logger_of_a_stuck_destination_leaves_other_threads_running():
    unread, stdout = os.pipe()
    with os.fdopen(unread, "rb") as out:
        with subprocess.Popen(child_cmd(release_beside_a_ticking_thread), env=child_env(), stdout=stdout, stderr=subprocess.PIPE,
                              text=True) as proc:
            os.close(stdout)
            hang = threading.Timer(30, proc.kill)
            hang.start()
            try:
                ticks = 0
                for line in proc.stderr:  # ends early if the hang timer kills the child
                    if line == "released\n":
                        break
                    assert line == "tick\n"
                    ticks += 1
                assert ticks >= 5, "the main thread stood still while the logger was released"
                select.select([], [], [], 1)  # the child leaves meanwhile: the writer it let go must finish first
                lines = out.read().splitlines()
                assert proc.wait() == 0
            finally:
                hang.cancel()
                proc.kill()
    assert [int(parse(line.decode())["msg"].split()[0]) for line in lines] == list(range(300))
