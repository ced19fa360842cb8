"""Destinations: the colour decision, and destinations that fail. (The midnight switch: the C++ writer tests,
and end to end under faketime in tests/shipping; every missing directory level: the C++ rotation tests.)"""

import datetime
import glob
import logging
import os
import re
import select

import pytest

from helpers import fill, parse, read_lines, run_in_child, spawn, wait_for

def log_coloured(terminal, mode):
    from tarnwick._logger import PyLogger, basic_config
    if terminal == "pty":
        master, slave = os.openpty()
        os.dup2(slave, 1)
    if mode != "default":
        basic_config(color=mode)
    log = PyLogger("c", path="c.log" if terminal == "file" else None)
    log.info("x")
    log.shutdown()
    if terminal == "pty":
        os.write(2, os.read(master, 65536))


@pytest.mark.parametrize("terminal, mode, env, colored", [
    ("pipe", "default", {}, False),
    ("pty", "default", {}, True),
    ("pty", "default", {"NO_COLOR": "1"}, False),
    ("pipe", "default", {"FORCE_COLOR": "1"}, True),
    ("pipe", "default", {"NO_COLOR": "1", "FORCE_COLOR": "1"}, False),
    ("pipe", "default", {"NO_COLOR": "", "FORCE_COLOR": "1"}, True),
    ("pipe", "default", {"FORCE_COLOR": "0"}, False),
    ("pty", "default", {"FORCE_COLOR": "0"}, True),
    ("pipe", "default", {"FORCE_COLOR": "false"}, True),
    ("pipe", "always", {"NO_COLOR": "1"}, True),
    ("pty", "off", {"FORCE_COLOR": "1"}, False),
    ("pty", "ALWAYS", {}, True),  # unrecognised means auto: the terminal decides
    ("file", "default", {"FORCE_COLOR": "1"}, False),  # a file is coloured only when asked
    ("file", "always", {}, True),
])
def test_colour_decision(tmp_path, terminal, mode, env, colored):
    proc = run_in_child(log_coloured, terminal, mode, cwd=tmp_path, env=env)
    out = {"pty": proc.stderr, "pipe": proc.stdout}.get(terminal) or "\n".join(read_lines(tmp_path, "c_*.log"))
    assert '"x"' in out
    assert ("\x1b[32minfo\x1b[0m" in out) == colored and ("\x1b[2mtime=\x1b[0m" in out) == colored


def log_into_a_fault(fault):
    from tarnwick._logger import PyLogger, basic_config
    path = "dir.log" if fault == "directory" else None
    if fault == "stdout_closed":
        os.close(1)
    elif fault == "broken_pipe":
        r, w = os.pipe()
        os.dup2(w, 1)
        os.close(r)
        os.close(w)
    basic_config(batch_size=1)
    log = PyLogger("x", path=path)
    for i in range(20000):  # more than a pipe holds
        log.info("record %d of the fault test", i)
    log.shutdown()
    for i in range(100000):  # more batches than the queue holds: an ended writer never blocks
        log.info("after %d", i)
    log.shutdown()
    os.write(2, b"done\n")


@pytest.mark.parametrize("fault, error", [
    ("directory", r'error cannot open "(.*/)?dir_\d{8}\.log": Is a directory; writer stopped'),
    ("stdout_closed", None),
    ("broken_pipe", "error cannot write standard output: Broken pipe; writer stopped"),
])
def test_destination_faults_report_one_line_and_go_on(tmp_path, fault, error):
    (tmp_path / datetime.date.today().strftime("dir_%Y%m%d.log")).mkdir()
    proc = run_in_child(log_into_a_fault, fault, cwd=tmp_path)
    *errors, done = proc.stderr.splitlines()
    assert done == "done" and len(errors) == (1 if error else 0)
    assert all(re.fullmatch(error, line) for line in errors), errors
    assert proc.stdout == ""


def log_after_chdir(elsewhere):
    import tarnwick
    from tarnwick._logger import PyLogger, basic_config, get_logger
    basic_config(path="logs/g.log")
    own = PyLogger("own", path="logs/own.log")
    handler = tarnwick.Handler(path="logs/h.log")
    os.chdir(elsewhere)  # as a daemon moves to /: before the writers open their files, and before get_logger
    late = get_logger("late")
    for log in (own, late):
        log.info("m")
        log.shutdown()
    record = logging.LogRecord("std", logging.INFO, "", 0, "m", (), None)
    handler.handle(record)
    handler.close()
    handler.handle(record)  # reopens the path as it was resolved, not one under the new directory
    handler.close()
    os.mkdir("gone")
    os.chdir("gone")
    os.rmdir(os.getcwd())
    for configure in (basic_config, lambda path: PyLogger("x", path), tarnwick.Handler):
        with pytest.raises(FileNotFoundError):  # nothing to resolve against
            configure(path="x.log")


def test_relative_paths_resolve_where_they_were_configured(tmp_path):
    start, elsewhere = tmp_path / "start", tmp_path / "elsewhere"
    start.mkdir()
    elsewhere.mkdir()
    run_in_child(log_after_chdir, str(elsewhere), cwd=start)
    assert list(elsewhere.iterdir()) == []
    names = {base: [parse(line)["name"] for line in read_lines(start / "logs", f"{base}_*.log")]
             for base in ("g", "own", "h")}
    assert names == {"g": ["late"], "own": ["own"], "h": ["std", "std"]}


def log_to_non_blocking_stdout(records):
    from tarnwick._logger import PyLogger
    os.set_blocking(1, False)  # as asyncio and some process managers leave it
    log = PyLogger("nb")
    for i in range(records):
        log.info("record %d of the non-blocking test", i)
    log.shutdown()
    os.write(2, b"done\n")


def test_non_blocking_stdout_is_waited_for(tmp_path):
    out = bytearray()
    with spawn(log_to_non_blocking_stdout, 20000, cwd=tmp_path) as proc:
        try:
            while True:  # slower than the writer, so the pipe stays full and its writes would block
                assert select.select([proc.stdout], [], [], 30)[0], "the child stopped writing"
                if not (chunk := os.read(proc.stdout.fileno(), 4096)):
                    break
                out += chunk
                select.select([], [], [], 0.001)
            assert proc.wait(timeout=30) == 0
            assert proc.stderr.read() == b"done\n"
        finally:
            proc.kill()
    assert [parse(line)["msg"] for line in out.decode().splitlines()] == [
        f"record {i} of the non-blocking test" for i in range(20000)]


def log_to_a_full_disk():
    from tarnwick._logger import PyLogger, basic_config
    fillers = fill(".", 16384)
    os.remove(fillers.pop())  # room for some of the records, not for all
    basic_config(batch_size=1)
    log = PyLogger("disk", path="app.log")
    for i in range(1000):
        log.info("before %d %s", i, "x" * 60)
    log._flush()  # not answered while lines wait for room
    [path] = glob.glob("app_*.log")
    with open(path, "rb") as f:
        data = f.read()
    assert data.endswith(b"\n") and data.count(b"\n") < 1000, data[-80:]
    log.info("%s", "y" * 2_000_000)  # more than the writer can hold: lost and counted
    for i in range(100):
        log.info("during %d", i)
    for name in fillers:
        os.remove(name)

    def resumed():
        with open(path, "rb") as f:
            return f.read().endswith(b'msg="during 99"\n')

    wait_for(resumed, "the writer to resume on its own", timeout=15)
    for i in range(100):
        log.info("after %d", i)
    log.shutdown()


def test_full_disk_is_waited_out_without_partial_lines(tmpfs):
    proc = run_in_child(log_to_a_full_disk, cwd=tmpfs)
    [line] = proc.stderr.splitlines()
    assert re.fullmatch(r'error cannot write "(.*/)?app_\d{8}\.log": No space left on device; 1 line lost', line)
    assert [parse(line)["msg"] for line in read_lines(tmpfs, "app_*.log")] == [
        *(f"before {i} {'x' * 60}" for i in range(1000)), *(f"during {i}" for i in range(100)),
        *(f"after {i}" for i in range(100))]
