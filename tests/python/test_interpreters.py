"""Every interpreter of a process logs through the same writers: isolated interpreters (each with its
own GIL on 3.14) share one file per destination, each line whole, and closing one loses none of its lines.
Each scenario runs in a fresh process: the functions below named `child_*` run there, and those named
`sub_*` are sent as source to run inside a subinterpreter."""

import inspect
import sys
import textwrap

import pytest

from helpers import FAST, parse, read_lines, run_in_child

pytestmark = pytest.mark.skipif(sys.version_info < (3, 12), reason="no per-interpreter GIL before 3.12")
needs_concurrent = pytest.mark.skipif(sys.version_info < (3, 14), reason="concurrent.interpreters is 3.14 on")

THREADS, LINES = 2, 20_000


def run_child(function, *args, timeout=240):
    return run_in_child(function, *map(str, args), env=FAST, timeout=timeout)


def source_call(function, *args):
    """The source of `function` followed by a call of it with `args`, for a subinterpreter to run."""
    return f"{textwrap.dedent(inspect.getsource(function))}\n{function.__name__}(*{args!r})\n"


def sub_write(path, tag, threads, lines):
    import threading

    import tarnwick

    def work(thread):
        logger = tarnwick.PyLogger("sub", path)
        for n in range(lines):
            logger.info("w:%s:%d:%d", tag, thread, n)

    workers = [threading.Thread(target=work, args=(t,)) for t in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()


def check_sequences(lines, expected):
    """Every line whole; per writer (tag, thread) exactly 0..count-1 in order, as `expected` lists them."""
    seen = {}
    for line in lines:
        tag, thread, n = parse(line)["msg"].split(":")[1:]
        seen.setdefault((tag, int(thread)), []).append(int(n))
    assert {key: len(ns) for key, ns in seen.items()} == expected
    for key, ns in seen.items():
        assert ns == list(range(len(ns))), f"{key}: lines lost or reordered"


def child_many_interpreters(directory, shared):
    import threading
    from concurrent import interpreters

    tags = [f"i{k}" for k in range(4)]
    paths = [f"{directory}/shared.log" if shared == "1" else f"{directory}/{tag}.log" for tag in tags]
    subs = [interpreters.create() for _ in tags]
    runners = [threading.Thread(target=sub.exec, args=(source_call(sub_write, path, tag, THREADS, LINES),))
               for sub, path, tag in zip(subs, paths, tags)]
    for r in runners:
        r.start()
    for r in runners:
        r.join()
    for sub in subs:
        sub.close()


@needs_concurrent
@pytest.mark.parametrize("shared", ["1", "0"], ids=["one-path", "path-each"])
def test_interpreters_share_writers_and_lose_nothing(tmp_path, shared):
    run_child(child_many_interpreters, tmp_path, shared)
    expected = {(f"i{k}", t): LINES for k in range(4) for t in range(THREADS)}
    if shared == "1":
        check_sequences(read_lines(tmp_path, "shared*"), expected)
    else:
        for k in range(4):
            check_sequences(read_lines(tmp_path, f"i{k}*"), {(f"i{k}", t): LINES for t in range(THREADS)})


def sub_write_here(path, tag, lines):
    import tarnwick

    logger = tarnwick.PyLogger("sub", path)
    for n in range(lines):
        logger.info("w:%s:%d:%d", tag, 0, n)


def child_come_and_go(directory):
    import glob
    import select
    import threading
    import time
    from concurrent import interpreters

    import tarnwick

    path = f"{directory}/all.log"
    # This thread's batch is then watched from the main interpreter, not from those it enters below.
    main = tarnwick.PyLogger("main", path)
    main.info("w:m:0:0")
    steady = [interpreters.create() for _ in range(2)]
    runners = [threading.Thread(target=sub.exec, args=(source_call(sub_write, path, f"s{k}", 1, 5_000),))
               for k, sub in enumerate(steady)]
    for r in runners:
        r.start()

    def count(tag):
        found = 0
        for name in glob.glob(f"{path[:-4]}*"):
            with open(name, encoding="utf-8") as f:
                found += f.read().count(f"w:{tag}:")
        return found

    for k in range(12):
        sub = interpreters.create()
        # On this thread, whose batch outlives the interpreter: closing it must hand its lines over.
        sub.exec(source_call(sub_write_here, path, f"c{k}", 301))
        sub.close()
        deadline = time.monotonic() + 10
        while count(f"c{k}") != 301:
            assert time.monotonic() < deadline, f"lines of closed interpreter c{k} not written"
            select.select([], [], [], 0.02)
    for r in runners:
        r.join()
    for sub in steady:
        sub.close()


@needs_concurrent
def test_interpreters_closed_while_others_log_hand_their_lines_over(tmp_path):
    run_child(child_come_and_go, tmp_path)
    expected = {("m", 0): 1, ("s0", 0): 5_000, ("s1", 0): 5_000, **{(f"c{k}", 0): 301 for k in range(12)}}
    check_sequences(read_lines(tmp_path), expected)


def child_fork(directory, alive):
    import os
    import signal
    import warnings
    from concurrent import interpreters

    import tarnwick

    warnings.simplefilter("ignore", DeprecationWarning)  # forking beside the writer threads is the point
    path = f"{directory}/fork.log"
    subs = [interpreters.create() for _ in range(2)]
    for k, sub in enumerate(subs):
        sub.exec(source_call(sub_write_here, path, f"before{k}", 100))
        if alive == "0":
            sub.close()
    logger = tarnwick.PyLogger("main", path)
    pid = os.fork()
    if pid == 0:
        for n in range(1000):
            logger.info("w:child:0:%d", n)
        logger.shutdown()
        os._exit(0)
    _, status = os.waitpid(pid, 0)
    if alive == "1" and os.WIFSIGNALED(status) and os.WTERMSIG(status) in (signal.SIGSEGV, signal.SIGABRT):
        # CPython's own fork child dies clearing the subinterpreters it inherits (gh-139759), before
        # any Python code runs there; what is left to check is that the parent and its
        # subinterpreters go on.
        print("child-crashed")
    else:
        assert os.waitstatus_to_exitcode(status) == 0
    if alive == "1":
        for k, sub in enumerate(subs):
            sub.exec(source_call(sub_write_here, path, f"after{k}", 100))
            sub.close()
    for n in range(1000):
        logger.info("w:parent:0:%d", n)


@needs_concurrent
@pytest.mark.parametrize("alive", ["1", "0"], ids=["alive", "closed"])
def test_fork_beside_interpreters(tmp_path, alive):
    crashed = run_child(child_fork, tmp_path, alive, timeout=60).stdout == "child-crashed\n"
    expected = {("parent", 0): 1000, **{(f"before{k}", 0): 100 for k in range(2)}}
    if alive == "1":
        expected.update({(f"after{k}", 0): 100 for k in range(2)})
    if not crashed:
        expected[("child", 0)] = 1000
    check_sequences(read_lines(tmp_path), expected)


def sub_templates_in_context(path, who, json):
    from string.templatelib import Interpolation, Template

    import tarnwick

    if json:
        tarnwick.basic_config(format="json", msg_template=True)
    logger = tarnwick.PyLogger(who, path)
    with tarnwick.context(who=who):
        for n in range(50):
            logger.info(Template("w:", Interpolation(who, "who"), ":0:", Interpolation(n, "n")))
    logger.shutdown()


def child_per_interpreter(directory):
    from concurrent import interpreters

    import tarnwick

    # This thread runs both interpreters: each keeps its own settings, context and parsed templates.
    sub = interpreters.create()
    sub_templates_in_context(f"{directory}/main.log", "main", False)
    sub.exec(source_call(sub_templates_in_context, f"{directory}/sub.log", "sub", True))
    sub_templates_in_context(f"{directory}/main.log", "main", False)
    sub.close()
    assert tarnwick.current_context() == {}


@needs_concurrent
def test_settings_context_and_templates_are_per_interpreter(tmp_path):
    run_child(child_per_interpreter, tmp_path, timeout=60)
    main, sub = read_lines(tmp_path, "main*"), read_lines(tmp_path, "sub*")
    assert len(main) == 100 and not any(line.startswith("{") or "msg_template" in line for line in main)
    assert len(sub) == 50 and all(line.startswith("{") for line in sub)
    for lines, who in ((main, "main"), (sub, "sub")):
        records = [parse(line) for line in lines]
        assert [(r["msg"], r["who"], int(r["n"])) for r in records] == [(f"w:{who}:0:{n % 50}", who, n % 50)
                                                                  for n in range(len(lines))]
    assert all(parse(line)["msg_template"] == "w:{who}:0:{n}" for line in sub)


def child_private_module(directory):
    try:
        import _interpreters as low  # 3.13
    except ImportError:
        import _xxsubinterpreters as low  # 3.12

    import tarnwick

    path = f"{directory}/smoke.log"
    sub = low.create()
    code = source_call(sub_write, path, "sub", 2, 1_000)
    failure = low.exec(sub, code) if hasattr(low, "exec") else low.run_string(sub, code)
    assert failure is None, failure
    low.destroy(sub)
    logger = tarnwick.PyLogger("main", path)
    for n in range(1_000):
        logger.info("w:main:0:%d", n)


@pytest.mark.skipif(sys.version_info >= (3, 14), reason="covered by concurrent.interpreters")
def test_private_interpreters_module_smoke(tmp_path):
    run_child(child_private_module, tmp_path, timeout=60)
    check_sequences(read_lines(tmp_path), {("sub", 0): 1_000, ("sub", 1): 1_000, ("main", 0): 1_000})
