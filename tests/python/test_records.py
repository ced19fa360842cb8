"""Record lines end to end: the six shapes, escaping, batching and the mended hand-off faults."""

import calendar
import json
import re
import time

import pytest

from helpers import child_env, read_lines, run_py

CAL = r"(\d{4})-(\d\d)-(\d\d)T(\d\d):(\d\d):(\d\d)\.(\d{6})"
UNIX = r"(\d+)\.(\d{9})"
DIM, RESET = "\x1b[2m", "\x1b[0m"

SHAPES = {
    ("logfmt", False, False): rf'^time={CAL}\+00:00 level=info name=app msg="user 42 logged in"$',
    ("logfmt", True, False): rf'^time={UNIX} level=info name=app msg="user 42 logged in"$',
    ("json", False, False): rf'^\{{"time":"{CAL}\+00:00","level":"info","name":"app","msg":"user 42 logged in"\}}$',
    ("json", True, False): rf'^\{{"time":{UNIX},"level":"info","name":"app","msg":"user 42 logged in"\}}$',
    ("logfmt", False, True): (
        rf"^{re.escape(DIM)}time={re.escape(RESET)}{CAL}\+00:00 {re.escape(DIM)}level={re.escape(RESET)}"
        rf"\x1b\[32minfo{re.escape(RESET)} {re.escape(DIM)}name={re.escape(RESET)}app "
        rf'{re.escape(DIM)}msg={re.escape(RESET)}"user 42 logged in"$'
    ),
    ("logfmt", True, True): (
        rf"^{re.escape(DIM)}time={re.escape(RESET)}{UNIX} {re.escape(DIM)}level={re.escape(RESET)}"
        rf"\x1b\[32minfo{re.escape(RESET)} {re.escape(DIM)}name={re.escape(RESET)}app "
        rf'{re.escape(DIM)}msg={re.escape(RESET)}"user 42 logged in"$'
    ),
}


@pytest.mark.parametrize("fmt, unix_ts, color", list(SHAPES))
def test_line_shapes(tmp_path, fmt, unix_ts, color):
    before = time.time()
    run_py(
        f"""
from tarnwick._logger import PyLogger, basic_config
basic_config(unix_ts={unix_ts}, format={fmt!r}, color={"always" if color else "auto"!r})
log = PyLogger("app", path="shape.log")
log.info("user %d logged in", 42)
log.shutdown()
""",
        cwd=tmp_path,
        env=child_env(TZ="UTC"),
    )
    after = time.time()
    [line] = read_lines(tmp_path, "shape_*.log")
    m = re.match(SHAPES[(fmt, unix_ts, color)], line)
    assert m, line
    if unix_ts:
        stamp = int(m.group(1)) + int(m.group(2)) / 1e9
    else:
        y, mo, d, h, mi, s, us = map(int, m.groups()[:7])
        stamp = calendar.timegm((y, mo, d, h, mi, s)) + us / 1e6
    assert before - 1 <= stamp <= after + 1


@pytest.mark.parametrize("tz, offset", [("UTC", "+00:00"), ("<-0530>5:30", "-05:30"), ("<+0545>-5:45", "+05:45")])
def test_offset_follows_time_zone(tz, offset):
    proc = run_py(
        """
from tarnwick._logger import PyLogger
log = PyLogger("z")
log.info("x")
log.shutdown()
""",
        env=child_env(TZ=tz),
    )
    assert re.match(rf"time={CAL}{re.escape(offset)} level=info", proc.stdout), proc.stdout


@pytest.mark.parametrize("fmt", ["logfmt", "json"])
def test_unnamed_and_empty_named_loggers(tmp_path, fmt):
    run_py(
        f"""
from tarnwick._logger import PyLogger, basic_config
basic_config(format={fmt!r})
PyLogger(None, path="n.log").error("unnamed")
PyLogger("", path="n.log").error("empty")
""",
        cwd=tmp_path,
    )
    unnamed, empty = read_lines(tmp_path, "n_*.log")
    if fmt == "json":
        assert "name" not in json.loads(unnamed) and json.loads(empty)["name"] == ""
    else:
        assert ' level=error msg="unnamed"' in unnamed
        assert ' level=error name= msg="empty"' in empty


NASTY = 'quote " backslash \\ newline \n cr \r tab \t esc \x1b bell \x01 del \x7f é ✓'
NASTY_ESCAPED = 'quote \\" backslash \\\\ newline \\n cr \\r tab \\t esc \\u001b bell \\u0001 del \x7f é ✓'


@pytest.mark.parametrize("fmt, color", [("logfmt", "off"), ("logfmt", "always"), ("json", "off")])
def test_one_record_is_one_line_whatever_its_content(tmp_path, fmt, color):
    run_py(
        f"""
from tarnwick._logger import PyLogger, basic_config
basic_config(format={fmt!r}, color={color!r})
log = PyLogger("na\\nme", path="e.log")
log.warning({NASTY!r})
log.warning("%s", {NASTY!r})
log.warning('forged\\ntime=2026-01-01T00:00:00.000000+00:00 level=error msg="owned"')
""",
        cwd=tmp_path,
    )
    with open(next(tmp_path.glob("e_*.log")), encoding="utf-8") as f:
        raw = f.read()
    lines = raw.split("\n")
    assert lines[-1] == "" and len(lines) == 4
    for line in lines[:2]:
        assert NASTY_ESCAPED in line
        assert "na\\nme" in line
        if fmt == "json":
            assert json.loads(line)["msg"] == NASTY and json.loads(line)["name"] == "na\nme"
        else:
            assert line.endswith(f'"{NASTY_ESCAPED}"')


def test_levels_and_thresholds(tmp_path):
    run_py(
        """
from tarnwick._logger import PyLogger, PyLevel
for threshold in ("Trace", "Debug", "Info", "Warn", "Error"):
    log = PyLogger(threshold, path="lv.log", level=getattr(PyLevel, threshold))
    for method in ("trace", "debug", "info", "warn", "warning", "error"):
        getattr(log, method)("%s", method)
    try:
        log.debug("%d", "not a number")
    except TypeError:
        assert threshold in ("Trace", "Debug"), "a dropped record is never formatted"
""",
        cwd=tmp_path,
    )
    seen = {}
    for line in read_lines(tmp_path, "lv_*.log"):
        name = re.search(r" name=(\w+) ", line).group(1)
        level = re.search(r" level=(\w+) ", line).group(1)
        msg = re.search(r'msg="(\w+)"', line).group(1)
        assert level == {"warning": "warn"}.get(msg, msg)
        seen.setdefault(name, []).append(msg)
    assert seen["Trace"] == ["trace", "debug", "info", "warn", "warning", "error"]
    assert seen["Info"] == ["info", "warn", "warning", "error"]
    assert seen["Warn"] == ["warn", "warning", "error"]
    assert seen["Error"] == ["error"]


def test_dropped_record_evaluates_nothing():
    run_py(
        """
from tarnwick._logger import PyLogger
class Boom:
    def __str__(self): raise AssertionError("evaluated")
    __repr__ = __str__
log = PyLogger("x")
assert log.debug("%d %s", "not a number", Boom()) is None
assert log.trace("%q %s") is None
try:
    log.debug(5)
except TypeError as e:
    assert str(e) == "argument 'message': 'int' object cannot be cast as 'str'", e
else:
    raise AssertionError("message type is checked before the level gate")
"""
    )


def test_reentrant_record_precedes_outer(tmp_path):
    run_py(
        """
from tarnwick._logger import PyLogger
log = PyLogger("r", path="r.log")
class Chatty:
    def __str__(self):
        log.info("inner %s", "record")
        return "chatty"
log.info("outer %s", Chatty())
log.info("after")
""",
        cwd=tmp_path,
    )
    msgs = [re.search(r'msg="(.*)"', line).group(1) for line in read_lines(tmp_path, "r_*.log")]
    assert msgs == ["inner record", "outer chatty", "after"]


BATCH = """
import glob, sys, time
from tarnwick._logger import PyLogger, basic_config
def lines():
    time.sleep(2.6)   # the writer flushes within about two seconds
    return sum(len(open(p).readlines()) for p in glob.glob("b_*.log"))
log = PyLogger("b", path="b.log")
"""


@pytest.mark.parametrize(
    "steps, expected",
    [
        ("basic_config(batch_size=5)\nfor i in range(7): log.info('r')", [5, 7]),
        ("basic_config(batch_size=1)\nfor i in range(3): log.info('r')", [3, 3]),
        ("for i in range(31): log.info('r')", [0, 31]),
        ("for i in range(10): log.info('r')\nbasic_config(batch_size=5)\nlog.info('r')", [11, 11]),
        ("basic_config(batch_size=0)\nlog.info('r')", [1, 1]),
    ],
)
def test_batch_size_semantics(tmp_path, steps, expected):
    proc = run_py(BATCH + steps + "\nprint(lines())\nlog.shutdown()\nprint(lines())", cwd=tmp_path)
    assert [int(x) for x in proc.stdout.split()] == expected


def test_lines_never_go_to_another_loggers_destination(tmp_path):
    run_py(
        """
from tarnwick._logger import PyLogger, basic_config
a = PyLogger("a", path="a.log")
basic_config(format="json")
b = PyLogger("b", path="b.log")
for i in range(3): a.info("a%d", i)
for i in range(29): b.info("b%d", i)
for i in range(40): a.info("a%d", i + 3)
b.shutdown()
a.shutdown()
""",
        cwd=tmp_path,
    )
    a_lines = read_lines(tmp_path, "a_*.log")
    b_lines = read_lines(tmp_path, "b_*.log")
    assert [re.search(r'msg="(\w+)"', line).group(1) for line in a_lines] == [f"a{i}" for i in range(43)]
    assert [json.loads(line)["msg"] for line in b_lines] == [f"b{i}" for i in range(29)]


def test_releasing_last_logger_keeps_pending_lines(tmp_path):
    run_py(
        """
import os
from tarnwick._logger import PyLogger
log = PyLogger("x", path="f.log")
log.info("a")
del log
files = [f for f in os.listdir(".") if f.startswith("f_")]
assert open(files[0]).read().endswith('msg="a"\\n'), "written before the release returned"
os._exit(0)   # nothing later may rescue the line
""",
        cwd=tmp_path,
    )


def test_shutdown_on_shared_and_stopped_writers(tmp_path):
    run_py(
        THREADS_SHUTDOWN,
        cwd=tmp_path,
    )
    msgs = [re.search(r'msg="(.*)"', line).group(1) for line in read_lines(tmp_path, "s_*.log")]
    assert msgs == ["one", "two", "three", "four"]


THREADS_SHUTDOWN = """
import os
from tarnwick._logger import PyLogger
def threads(): return len(os.listdir('/proc/self/task'))
base = threads()
a = PyLogger("a", path="s.log")
b = PyLogger("b", path="s.log")
a.info("one")
a.shutdown()                       # not the sole owner: the writer keeps running
assert threads() == base + 1
b.info("two")
a.info("three")
b.shutdown()
del b
a.info("four")
assert a.shutdown() is None        # sole owner: stops the writer
assert threads() == base
assert a.shutdown() is None        # twice: nothing left to do
a.info("lost: the writer is stopped")
a.shutdown()
c = PyLogger("c", path="s.log")    # shares the stopped writer while `a` exists
c.info("lost too")
c.shutdown()
"""


def test_shutdown_on_another_thread_leaves_this_threads_lines(tmp_path):
    run_py(
        """
import threading
from tarnwick._logger import PyLogger
log = PyLogger("t", path="t.log")
keep = PyLogger("k", path="t.log")
log.info("main pending")
t = threading.Thread(target=log.shutdown)
t.start(); t.join()
import glob
assert sum(len(open(p).readlines()) for p in glob.glob("t_*.log")) == 0
keep.shutdown()
""",
        cwd=tmp_path,
    )
    assert len(read_lines(tmp_path, "t_*.log")) == 1
