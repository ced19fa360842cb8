"""Record lines end to end: the six shapes with fields and exception keys, levels and thresholds, batching."""

import calendar
import json
import re
import time

import pytest

from helpers import FAST, Bare, members, parse, read_lines, run_in_child, wait_for

CAL = r"(\d{4})-(\d\d)-(\d\d)T(\d\d):(\d\d):(\d\d)\.(\d{6})"
UNIX = r"(\d+)\.(\d{9})"
D, R = re.escape("\x1b[2m"), re.escape("\x1b[0m")
HOSTILE = 'q"\\ \n\r\t\x1b[31m é 😀 x=1 msg="forged"'
FIELDS = [  # key, value, in logfmt, in JSON
    ("s", HOSTILE, HOSTILE, HOSTILE),
    ("big", 10**30, Bare(10**30), 10**30),
    ("neg", -7, Bare("-7"), -7),
    ("f", 0.1, Bare("0.1"), 0.1),
    ("e", 1e300, Bare("1e+300"), 1e300),
    ("nan", float("nan"), Bare("nan"), "nan"),
    ("minf", float("-inf"), Bare("-inf"), "-inf"),
    ("t", True, Bare("true"), True),
    ("n", None, Bare("null"), None),
    ("obj", [1, "x"], "[1, 'x']", "[1, 'x']"),
    ("huge", "y" * (1 << 20), "y" * (1 << 20), "y" * (1 << 20)),
]


def shape(fmt, unix_ts, color):
    when = UNIX if unix_ts else CAL + r"\+05:45"
    if fmt == "json":
        when = when if unix_ts else f'"{when}"'
        return rf'\{{"time":{when},"level":"info","name":"app","msg":"user 42 logged in"\}}'
    if color:
        return rf'{D}time={R}{when} {D}level={R}\x1b\[32minfo{R} {D}name={R}app {D}msg={R}"user 42 logged in"'
    return rf'time={when} level=info name=app msg="user 42 logged in"'


def typed(pairs):
    return [(k, type(v), v) for k, v in pairs]  # a quoted "7" is not a bare 7, nor a JSON 7 a 7.0


class AppError(Exception):
    pass


def log_shapes(fmt, unix_ts, color):
    import traceback

    from tarnwick._logger import PyLogger, basic_config
    basic_config(unix_ts=unix_ts, format=fmt, color="always" if color else "auto")
    log = PyLogger("app", path="f.log")
    log.info("user %d logged in", 42)
    log = log.bind(**{k: value for k, value, *_ in FIELDS})
    log.info("plain")
    try:
        try:
            raise KeyError("inner")
        except KeyError as e:
            raise AppError("outer\nline") from e
    except AppError as e:
        log.exception("failed %s", "job")
        print(json.dumps("".join(traceback.format_exception(e))))
    log.exception("outside %d", 1)


@pytest.mark.parametrize("fmt, unix_ts, color", [("logfmt", u, c) for u in (False, True) for c in (False, True)]
                         + [("json", False, False), ("json", True, False)])
def test_line_shapes_with_fields_and_exception_keys(tmp_path, fmt, unix_ts, color):
    before = time.time()
    out = run_in_child(log_shapes, fmt, unix_ts, color, cwd=tmp_path, env={"TZ": "<+0545>-5:45"}).stdout
    first, *lines = read_lines(tmp_path, "f_*.log")
    m = re.fullmatch(shape(fmt, unix_ts, color), first)
    assert m, first
    fields = [int(g) for g in m.groups()]
    # The local time and the offset shown agree with the clock.
    stamp = fields[0] + fields[1] / 1e9 if unix_ts else calendar.timegm(fields[:6]) - 20700 + fields[6] / 1e6
    assert before - 1 <= stamp <= time.time() + 1
    if color:  # the new keys look like the line's own
        assert '\x1b[2mexception.type=\x1b[0m"' in lines[1] and "\x1b[2mneg=\x1b[0m-7" in lines[0]
    plain, failed, outside = records = [parse(line) for line in lines]
    assert [(r["level"], r["msg"]) for r in records] == [("info", "plain"), ("error", "failed job"),
                                                         ("error", "outside 1")]
    want = [(k, vals[fmt == "json"]) for k, _, *vals in FIELDS]
    assert typed(members(plain).items()) == typed(members(outside).items()) == typed(want)
    stacktrace = json.loads(out)
    assert "The above exception was the direct cause" in stacktrace and "KeyError: 'inner'" in stacktrace
    assert typed(members(failed).items()) == typed([*want, ("exception.type", "test_records.AppError"),
                                                    ("exception.message", "outer\nline"),
                                                    ("exception.stacktrace", stacktrace[:-1])])


def log_levels():
    from tarnwick._logger import PyLevel, PyLogger
    for threshold in ("Trace", "Info", "Warn", "Error"):
        log = PyLogger(threshold, path="lv.log", level=getattr(PyLevel, threshold))
        for method in ("trace", "debug", "info", "warn", "warning", "error"):
            getattr(log, method)("%s", method)


def test_levels_and_thresholds(tmp_path):
    run_in_child(log_levels, cwd=tmp_path)
    rank = {"trace": 0, "debug": 1, "info": 2, "warn": 3, "warning": 3, "error": 4}
    want = [(t, m.replace("warning", "warn"), m) for t in ("Trace", "Info", "Warn", "Error") for m in rank
            if rank[m] >= rank[t.lower()]]
    assert [(r["name"], r["level"], r["msg"]) for r in map(parse, read_lines(tmp_path, "lv_*.log"))] == want


def log_batches(steps, handed_over):
    import glob

    from tarnwick._logger import PyLogger, basic_config
    lines = lambda: sum(open(p).read().count("\n") for p in glob.glob("b_*.log"))  # noqa: E731
    log = PyLogger("b", path="b.log")
    for step in steps:
        if isinstance(step, int):
            basic_config(batch_size=step)
        else:
            for _ in range(int(step)):
                log.info("r")
    wait_for(lambda: lines() >= handed_over, "a full batch")
    print(lines())
    log.shutdown()
    print(lines())


# Lines reach the writer a whole batch at a time; the writer writes them out at its next check.
# Steps: a number sets the batch size, a string logs that many records.
@pytest.mark.parametrize("steps, handed_over, at_shutdown", [
    (["33"], 32, 33),  # 32 by default
    ([5, "7"], 5, 7),
    (["10", 5, "1"], 11, 11),
    ([0, "1"], 1, 1),  # 0 means 1
])
def test_batch_size(tmp_path, steps, handed_over, at_shutdown):
    proc = run_in_child(log_batches, steps, handed_over, cwd=tmp_path, env=FAST)
    assert [int(x) for x in proc.stdout.split()] == [handed_over, at_shutdown]


# In logfmt a name is quoted like msg when it holds what could end its value or forge a member.
QUOTED_NAMES = ['svc level=error msg="forged"', "", "a b", "a=b", 'a"b', "a\tb", "\x1b[31m", "\x7f"]
BARE_NAMES = ["api", "a.b-c_d", "C:\\x/y", "é😀"]


def log_names(fmt, color):
    import logging

    import tarnwick
    from tarnwick._logger import PyLogger, basic_config
    basic_config(format=fmt, color="always" if color else "off")
    handler = tarnwick.Handler(path="n.log")
    for name in QUOTED_NAMES + BARE_NAMES:
        log = PyLogger(name, path="n.log")
        log.info("real %s", "x")
        log.bind(k=1).warning("bound")
        handler.handle(logging.LogRecord(name, logging.ERROR, "", 0, "stdlib", (), None))
    handler.close()


@pytest.mark.parametrize("fmt, color", [("logfmt", False), ("logfmt", True), ("json", False)])
def test_names_that_need_quotes_cannot_forge_members(tmp_path, fmt, color):
    run_in_child(log_names, fmt, color, cwd=tmp_path)
    lines = read_lines(tmp_path, "n_*.log")
    names = QUOTED_NAMES + BARE_NAMES
    unescape = lambda name: json.loads(f'"{name}"') if isinstance(name, Bare) else name  # noqa: E731
    assert [(unescape(r["name"]), r["level"], r["msg"], list(members(r))) for r in map(parse, lines)] == [
        (name, *rest) for name in names for rest in (("info", "real x", []), ("warn", "bound", ["k"]),
                                                     ("error", "stdlib", []))]
    if fmt == "logfmt":
        key = "\x1b[2mname=\x1b[0m" if color else "name="
        texts = [re.search(re.escape(key) + r'("(?:[^"\\]|\\.)*"|\S*)', line)[1] for line in lines]
        assert texts == [json.dumps(n, ensure_ascii=False) if n in QUOTED_NAMES else n.replace("\\", "\\\\")
                         for n in names for _ in range(3)]
