"""Record lines end to end: the six shapes, escaping, batching and the mended hand-off faults."""

import calendar
import json
import re
import time

import pytest

from helpers import child_env, read_lines, run_py

CAL = r"(\d{4})-(\d\d)-(\d\d)T(\d\d):(\d\d):(\d\d)\.(\d{6})"
UNIX = r"(\d+)\.(\d{9})"
D, R = re.escape("\x1b[2m"), re.escape("\x1b[0m")


def shape(fmt, unix_ts, color):
    when = UNIX if unix_ts else CAL + r"\+00:00"
    if fmt == "json":
        when = when if unix_ts else f'"{when}"'
        return rf'^\{{"time":{when},"level":"info","name":"app","msg":"user 42 logged in"\}}$'
    if color:
        return (rf"^{D}time={R}{when} {D}level={R}\x1b\[32minfo{R} {D}name={R}app "
                rf'{D}msg={R}"user 42 logged in"$')
    return rf'^time={when} level=info name=app msg="user 42 logged in"$'


@pytest.mark.parametrize("fmt, unix_ts, color", [("logfmt", u, c) for u in (False, True) for c in (False, True)]
                         + [("json", False, False), ("json", True, False)])
def test_line_shapes(tmp_path, fmt, unix_ts, color):
    before = time.time()
    run_py(f"""
from tarnwick._logger import PyLogger, basic_config
basic_config(unix_ts={unix_ts}, format={fmt!r}, color={"always" if color else "auto"!r})
PyLogger("app", path="shape.log").info("user %d logged in", 42)
""", cwd=tmp_path, env=child_env(TZ="UTC"))
    [line] = read_lines(tmp_path, "shape_*.log")
    m = re.match(shape(fmt, unix_ts, color), line)
    assert m, line
    fields = [int(g) for g in m.groups()]
    stamp = fields[0] + fields[1] / 1e9 if unix_ts else calendar.timegm(fields[:6]) + fields[6] / 1e6
    assert before - 1 <= stamp <= time.time() + 1


@pytest.mark.parametrize("tz, offset", [("UTC", "+00:00"), ("<-0530>5:30", "-05:30"), ("<+0545>-5:45", "+05:45")])
def test_offset_follows_time_zone(tz, offset):
    out = run_py("from tarnwick._logger import PyLogger\nPyLogger('z').info('x')", env=child_env(TZ=tz)).stdout
    assert re.match(rf"time={CAL}{re.escape(offset)} level=info", out), out


@pytest.mark.parametrize("fmt", ["logfmt", "json"])
def test_unnamed_and_empty_named_loggers(tmp_path, fmt):
    run_py(f"""
from tarnwick._logger import PyLogger, basic_config
basic_config(format={fmt!r})
PyLogger(None, path="n.log").error("unnamed")
PyLogger("", path="n.log").error("empty")
""", cwd=tmp_path)
    unnamed, empty = read_lines(tmp_path, "n_*.log")
    if fmt == "json":
        assert "name" not in json.loads(unnamed) and json.loads(empty)["name"] == ""
    else:
        assert unnamed.endswith(' level=error msg="unnamed"') and empty.endswith(' level=error name= msg="empty"')


NASTY = 'quote " backslash \\ newline \n cr \r tab \t esc \x1b bell \x01 del \x7f é ✓'
NASTY_ESCAPED = 'quote \\" backslash \\\\ newline \\n cr \\r tab \\t esc \\u001b bell \\u0001 del \x7f é ✓'


@pytest.mark.parametrize("fmt, color", [("logfmt", "off"), ("logfmt", "always"), ("json", "off")])
def test_one_record_is_one_line_whatever_its_content(tmp_path, fmt, color):
    run_py(f"""
from tarnwick._logger import PyLogger, basic_config
basic_config(format={fmt!r}, color={color!r})
log = PyLogger("na\\nme", path="e.log")
log.warning({NASTY!r})
log.warning("%s", {NASTY!r})
log.warning('forged\\ntime=2026-01-01T00:00:00.000000+00:00 level=error msg="owned"')
""", cwd=tmp_path)
    lines = next(tmp_path.glob("e_*.log")).read_text(encoding="utf-8").split("\n")
    assert len(lines) == 4 and lines[-1] == ""
    for line in lines[:2]:
        assert "na\\nme" in line
        if fmt == "json":
            assert json.loads(line)["msg"] == NASTY and json.loads(line)["name"] == "na\nme"
        else:
            assert line.endswith(f'"{NASTY_ESCAPED}"')


def test_levels_and_thresholds(tmp_path):
    run_py("""
from tarnwick._logger import PyLogger, PyLevel
for threshold in ("Trace", "Info", "Warn", "Error"):
    log = PyLogger(threshold, path="lv.log", level=getattr(PyLevel, threshold))
    for method in ("trace", "debug", "info", "warn", "warning", "error"):
        getattr(log, method)("%s", method)
""", cwd=tmp_path)
    seen = {}
    for line in read_lines(tmp_path, "lv_*.log"):
        name, level, msg = re.search(r' level=(\w+) name=(\w+) msg="(\w+)"', line).group(2, 1, 3)
        assert level == {"warning": "warn"}.get(msg, msg)
        seen.setdefault(name, []).append(msg)
    assert seen == {"Trace": ["trace", "debug", "info", "warn", "warning", "error"],
                    "Info": ["info", "warn", "warning", "error"], "Warn": ["warn", "warning", "error"],
                    "Error": ["error"]}


def test_dropped_record_evaluates_nothing():
    run_py("""
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
""")


def test_reentrant_record_precedes_outer(tmp_path):
    run_py("""
from tarnwick._logger import PyLogger
log = PyLogger("r", path="r.log")
class Chatty:
    def __str__(self):
        log.info("inner %s", "record")
        return "chatty"
log.info("outer %s", Chatty())
log.info("after")
""", cwd=tmp_path)
    msgs = [line.rsplit(' msg="', 1)[1][:-1] for line in read_lines(tmp_path, "r_*.log")]
    assert msgs == ["inner record", "outer chatty", "after"]


@pytest.mark.parametrize("steps, expected", [
    ("basic_config(batch_size=5)\nfor i in range(7): log.info('r')", [5, 7]),
    ("for i in range(31): log.info('r')", [0, 31]),
    ("for i in range(10): log.info('r')\nbasic_config(batch_size=5)\nlog.info('r')", [11, 11]),
    ("basic_config(batch_size=0)\nlog.info('r')", [1, 1]),
])
def test_batch_size_semantics(tmp_path, steps, expected):
    proc = run_py(f"""
import glob, time
from tarnwick._logger import PyLogger, basic_config
def lines():
    time.sleep(2.6)   # the writer flushes within about two seconds
    return sum(len(open(p).readlines()) for p in glob.glob("b_*.log"))
log = PyLogger("b", path="b.log")
{steps}
print(lines())
log.shutdown()
print(lines())
""", cwd=tmp_path)
    assert [int(x) for x in proc.stdout.split()] == expected


def test_lines_never_go_to_another_loggers_destination(tmp_path):
    run_py("""
from tarnwick._logger import PyLogger, basic_config
a = PyLogger("a", path="a.log")
basic_config(format="json")
b = PyLogger("b", path="b.log")
for i in range(3): a.info("a%d", i)
for i in range(29): b.info("b%d", i)
for i in range(40): a.info("a%d", i + 3)
b.shutdown()
a.shutdown()
""", cwd=tmp_path)
    assert [re.search(r'msg="(\w+)"', s).group(1) for s in read_lines(tmp_path, "a_*.log")] == \
        [f"a{i}" for i in range(43)]
    assert [json.loads(s)["msg"] for s in read_lines(tmp_path, "b_*.log")] == [f"b{i}" for i in range(29)]


def test_releasing_last_logger_keeps_pending_lines(tmp_path):
    run_py("""
import glob, os
from tarnwick._logger import PyLogger
log = PyLogger("x", path="f.log")
log.info("a")
del log
assert open(glob.glob("f_*.log")[0]).read().endswith('msg="a"\\n'), "written before the release returned"
os._exit(0)   # nothing later may rescue the line
""", cwd=tmp_path)


def test_shutdown_on_shared_and_stopped_writers(tmp_path):
    run_py("""
import glob, os, threading
from tarnwick._logger import PyLogger
def threads(): return len(os.listdir('/proc/self/task'))
base = threads()
a, b = PyLogger("a", path="s.log"), PyLogger("b", path="s.log")
a.info("one")
a.shutdown()                       # not the sole owner: the writer keeps running
assert threads() == base + 1
b.info("two")
t = threading.Thread(target=b.shutdown)
t.start()
t.join()
del t
assert sum(len(open(f).readlines()) for f in glob.glob("s_*.log")) == 1, "another thread's shutdown leaves ours"
b.shutdown()
del b
a.info("three")
assert a.shutdown() is None        # sole owner: stops the writer
assert threads() == base
assert a.shutdown() is None        # twice: nothing left to do
a.info("lost: the writer is stopped")
a.shutdown()
c = PyLogger("c", path="s.log")    # a fresh writer, not the stopped one `a` still holds
c.info("four")
c.shutdown()
""", cwd=tmp_path)
    assert [s.rsplit('msg="', 1)[1][:-1] for s in read_lines(tmp_path, "s_*.log")] == ["one", "two", "three", "four"]
