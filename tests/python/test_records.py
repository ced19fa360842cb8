"""Record lines end to end: the six shapes, levels and thresholds, and batching."""

import calendar
import re
import time

import pytest

from helpers import FAST, child_env, read_lines, run_py

CAL = r"(\d{4})-(\d\d)-(\d\d)T(\d\d):(\d\d):(\d\d)\.(\d{6})"
UNIX = r"(\d+)\.(\d{9})"
D, R = re.escape("\x1b[2m"), re.escape("\x1b[0m")


def shape(fmt, unix_ts, color):
    when = UNIX if unix_ts else CAL + r"\+05:45"
    if fmt == "json":
        when = when if unix_ts else f'"{when}"'
        return rf'\{{"time":{when},"level":"info","name":"app","msg":"user 42 logged in"\}}'
    if color:
        return rf'{D}time={R}{when} {D}level={R}\x1b\[32minfo{R} {D}name={R}app {D}msg={R}"user 42 logged in"'
    return rf'time={when} level=info name=app msg="user 42 logged in"'


@pytest.mark.parametrize("fmt, unix_ts, color", [("logfmt", u, c) for u in (False, True) for c in (False, True)]
                         + [("json", False, False), ("json", True, False)])
def test_line_shapes(tmp_path, fmt, unix_ts, color):
    before = time.time()
    run_py(f"""
        from tarnwick._logger import PyLogger, basic_config
        basic_config(unix_ts={unix_ts}, format={fmt!r}, color={"always" if color else "auto"!r})
        PyLogger("app", path="shape.log").info("user %d logged in", 42)
        """, cwd=tmp_path, env=child_env(TZ="<+0545>-5:45"))
    [line] = read_lines(tmp_path, "shape_*.log")
    m = re.fullmatch(shape(fmt, unix_ts, color), line)
    assert m, line
    fields = [int(g) for g in m.groups()]
    # The local time and the offset shown agree with the clock.
    stamp = fields[0] + fields[1] / 1e9 if unix_ts else calendar.timegm(fields[:6]) - 20700 + fields[6] / 1e6
    assert before - 1 <= stamp <= time.time() + 1


def test_levels_and_thresholds(tmp_path):
    run_py("""
        from tarnwick._logger import PyLogger, PyLevel
        for threshold in ("Trace", "Info", "Warn", "Error"):
            log = PyLogger(threshold, path="lv.log", level=getattr(PyLevel, threshold))
            for method in ("trace", "debug", "info", "warn", "warning", "error"):
                getattr(log, method)("%s", method)
        """, cwd=tmp_path)
    rank = {"trace": 0, "debug": 1, "info": 2, "warn": 3, "warning": 3, "error": 4}
    want = [(t, m.replace("warning", "warn"), m) for t in ("Trace", "Info", "Warn", "Error") for m in rank
            if rank[m] >= rank[t.lower()]]
    assert [re.search(r' level=(\w+) name=(\w+) msg="(\w+)"', line).group(2, 1, 3)
            for line in read_lines(tmp_path, "lv_*.log")] == want


# Lines reach the writer a whole batch at a time; the writer writes them out at its next check.
@pytest.mark.parametrize("steps, handed_over, at_shutdown", [
    ("for i in range(33): log.info('r')", 32, 33),  # 32 by default
    ("basic_config(batch_size=5)\nfor i in range(7): log.info('r')", 5, 7),
    ("for i in range(10): log.info('r')\nbasic_config(batch_size=5)\nlog.info('r')", 11, 11),
    ("basic_config(batch_size=0)\nlog.info('r')", 1, 1),  # 0 means 1
])
def test_batch_size(tmp_path, steps, handed_over, at_shutdown):
    proc = run_py(f"""
import glob
from helpers import wait_for
from tarnwick._logger import PyLogger, basic_config
lines = lambda: sum(open(p).read().count("\\n") for p in glob.glob("b_*.log"))
log = PyLogger("b", path="b.log")
{steps}
wait_for(lambda: lines() >= {handed_over}, "a full batch")
print(lines())
log.shutdown()
print(lines())
""", cwd=tmp_path, env=child_env(**FAST))
    assert [int(x) for x in proc.stdout.split()] == [handed_over, at_shutdown]
