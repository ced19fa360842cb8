"""Fields, exceptions and stdlib logging on tarnwick lines, parsed back with exact values."""

import json
import logging
import re
import traceback

import pytest

import tarnwick
from helpers import child_env, read_lines, run_py
from tarnwick._logger import PyLogger


class Bare(str):
    """A logfmt value written without quotes: a number, true, false, null."""


ANSI = re.compile(r"\x1b\[[0-9;]*m")  # markup only: values escape ESC as \u001b
PAIR = re.compile(r'([^\s="]+)=("(?:[^"\\]|\\.)*"|[^\s"]*)(?: |$)')


def parse_logfmt(line):
    line, fields, pos = ANSI.sub("", line), {}, 0
    while pos < len(line):
        m = PAIR.match(line, pos)
        assert m, f"not logfmt at {pos}: {line[pos:pos + 80]!r}"
        key, value = m.groups()
        assert key not in fields, f"duplicate key {key}"
        fields[key] = json.loads(value) if value.startswith('"') else Bare(value)
        pos = m.end()
    return fields


def parse(line):
    return json.loads(line) if line.startswith("{") else parse_logfmt(line)


def members(record):
    """The members after msg, in line order."""
    keys = list(record)
    return dict((k, record[k]) for k in keys[keys.index("msg") + 1:])


HOSTILE = 'q"\\ \n\r\t\x1b[31m é 😀 x=1 msg="forged"'
FIELDS_SRC = ("dict(s=HOSTILE, big=10**30, neg=-7, f=0.1, e=1e300, nan=float('nan'), minf=float('-inf'), "
              "t=True, n=None, obj=[1, 'x'], huge='y' * (1 << 20))")


def expected_fields(json_format):
    values = eval(FIELDS_SRC, {"HOSTILE": HOSTILE})  # noqa: S307 - the test's own literal
    out = {}
    for key, v in values.items():
        if isinstance(v, str) or not isinstance(v, (int, float, type(None))):
            out[key] = v if isinstance(v, str) else str(v)
        elif json_format:
            out[key] = repr(v) if isinstance(v, float) and (v != v or v in (float("inf"), float("-inf"))) else v
        else:
            out[key] = Bare({True: "true", False: "false", None: "null"}.get(v, repr(v)) if not isinstance(v, float)
                            or v == v else "nan")
    return out


SHAPES = [("logfmt", u, c) for u in (False, True) for c in (False, True)] + [("json", u, False) for u in (False, True)]


@pytest.mark.parametrize("fmt, unix_ts, color", SHAPES)
def test_fields_and_exception_keys_in_every_shape(tmp_path, fmt, unix_ts, color):
    out = run_py(f"""
import json, traceback
from tarnwick._logger import PyLogger, basic_config
basic_config(unix_ts={unix_ts}, format={fmt!r}, color={"always" if color else "off"!r})
HOSTILE = {HOSTILE!r}
class AppError(Exception):
    pass
log = PyLogger("app", path="f.log").bind(**{FIELDS_SRC})
log.info("plain")
try:
    try:
        raise KeyError("inner")
    except KeyError as e:
        raise AppError("outer\\nline") from e
except AppError as e:
    log.exception("failed %s", "job")
    print(json.dumps("".join(traceback.format_exception(e))))
log.exception("outside %d", 1)
log.shutdown()
""", cwd=tmp_path).stdout
    stacktrace = json.loads(out)
    lines = read_lines(tmp_path, "f_*.log")
    if color:  # the new keys look like the line's own
        assert '\x1b[2mexception.type=\x1b[0m"' in lines[1] and "\x1b[2mneg=\x1b[0m-7" in lines[0]
    plain, failed, outside = (parse(line) for line in lines)
    fields = expected_fields(fmt == "json")
    assert [r["msg"] for r in (plain, failed, outside)] == ["plain", "failed job", "outside 1"]
    assert [r["level"] for r in (plain, failed, outside)] == ["info", "error", "error"]
    assert members(plain) == fields and list(members(plain)) == list(fields)
    assert members(outside) == fields
    assert members(failed) == {**fields, "exception.type": "__main__.AppError", "exception.message": "outer\nline",
                               "exception.stacktrace": stacktrace[:-1]}
    assert list(members(failed))[-3:] == ["exception.type", "exception.message", "exception.stacktrace"]
    assert "The above exception was the direct cause" in stacktrace and "KeyError: 'inner'" in stacktrace


def logged(tmp_path, call):
    """The records that `call(logger)` writes through a fresh file logger, parsed."""
    log = PyLogger("t", path=str(tmp_path / "t.log"))
    call(log)
    log.shutdown()
    return [parse(line) for line in read_lines(tmp_path, "t_*.log")]


def test_binding_again_replaces_in_place_and_appends(tmp_path):
    def call(log):
        a = log.bind(a=1, b="x")
        a.bind(a=2, c=None).info("m")
        a.info("m")
        log.info("unbound")
    first, second, unbound = logged(tmp_path, call)  # logfmt: bare tokens compare as text
    assert list(members(first).items()) == [("a", "2"), ("b", "x"), ("c", "null")]
    assert list(members(second).items()) == [("a", "1"), ("b", "x")]
    assert members(unbound) == {}


def test_builtin_exception_type_and_capped_stacktrace(tmp_path):
    def call(log):
        try:
            raise ValueError("é" * 20_000)
        except ValueError as e:
            log.exception("long")
            call.full = "".join(traceback.format_exception(e))[:-1].encode()
    [record] = logged(tmp_path, call)
    assert record["exception.type"] == "ValueError"
    text = record["exception.stacktrace"].encode()
    m = re.search(rb"\n\[\.\.\. (\d+) bytes left out \.\.\.\]\n", text)
    head, tail = text[:m.start()], text[m.end():]
    assert 8192 - 4 < len(head) <= 8192 and 8192 - 4 < len(tail) <= 8192
    assert call.full.startswith(head) and call.full.endswith(tail)
    assert int(m.group(1)) == len(call.full) - len(head) - len(tail)


@pytest.mark.parametrize("key", ["", "1a", "-a", "a b", "a=b", 'a"', "é", "a\n", "time", "level", "name", "msg",
                                 "exception.type", "exception.x"])
def test_bind_rejects_bad_and_reserved_keys(key):
    with pytest.raises(ValueError, match=re.escape(repr(key))):
        PyLogger(None).bind(**{key: 1})


def test_bind_and_exception_call_errors():
    log = PyLogger(None)
    with pytest.raises(TypeError, match=r"PyLogger.bind\(\) takes 0 positional arguments but 1 was given"):
        log.bind({"a": 1})
    with pytest.raises(TypeError, match=r"PyLogger.exception\(\) got an unexpected keyword argument 'exc_info'"):
        log.exception("m", exc_info=True)
    with pytest.raises(TypeError, match="argument 'message'"):
        log.exception(5)


LIB = """
import logging
log = logging.getLogger("lib.mod")

def run():
    logging.addLevelName(25, "NOTICE")
    for level in (5, 10, 15, 20, 25, 30, 35, 40, 50, 60):
        log.log(level, "level %d", level)
    log.info("with extra", extra={"user": "ann", "time": "t", "a b": 1, "exception.type": "x", "stack": 2})
    log.info("with stack", stack_info=True)
    try:
        1 / 0
    except ZeroDivisionError:
        log.exception("failed %(what)s", {"what": "division"})
        log.error("pre-formatted", exc_info=True)
    log.error("no exception here", exc_info=True)
    log.info("bad %d", "x")
"""

SETUPS = {
    "dictConfig": """
import logging.config
logging.config.dictConfig({"version": 1, "root": {"handlers": ["tw"], "level": 1},
                           "handlers": {"tw": {"()": "tarnwick.Handler", "path": "s.log"}}})
""",
    "capture_stdlib": """
logging.basicConfig()
handler = tarnwick.capture_stdlib(level=1, path="s.log")
assert logging.getLogger().handlers == [handler]
""",
}


@pytest.mark.parametrize("setup", sorted(SETUPS))
@pytest.mark.parametrize("fmt", ["logfmt", "json"])
def test_stdlib_records_reach_the_file_and_exit_loses_none(tmp_path, setup, fmt):
    (tmp_path / "lib.py").write_text(LIB)
    proc = run_py(f"""
import logging, sys, threading
import tarnwick
tarnwick.basic_config(format={fmt!r})
sys.path.insert(0, ".")
{SETUPS[setup]}
class PreFormatted(logging.Filter):  # as if a formatter had already filled exc_text
    def filter(self, record):
        if record.msg == "pre-formatted":
            record.exc_text = "made earlier"
        return True
logging.getLogger().handlers[0].addFilter(PreFormatted())
import lib
lib.run()
many = logging.getLogger("many")
workers = [threading.Thread(target=lambda t=t: [many.info("%d %d", t, i) for i in range(3000)]) for t in range(3)]
for w in workers:
    w.start()
for w in workers:
    w.join()
""", cwd=tmp_path, env=child_env(TZ="UTC"))
    assert "--- Logging error ---" in proc.stderr and "bad %d" in proc.stderr  # and the program went on
    records = [parse(line) for line in read_lines(tmp_path, "s_*.log")]
    assert sorted(r["msg"] for r in records if r["name"] == "many") == sorted(
        f"{t} {i}" for t in range(3) for i in range(3000))
    lib = [r for r in records if r["name"] == "lib.mod"]
    assert [r["level"] for r in lib[:10]] == ["trace", "debug", "debug", "info", "info", "warn", "warn", "error",
                                              "error", "error"]
    extra, stack, failed, pre, plain = lib[10:]
    one, two = (1, 2) if fmt == "json" else (Bare("1"), Bare("2"))
    assert members(extra) == {"user": "ann", "extra.time": "t", "extra.a_b": one, "extra.exception.type": "x",
                              "extra.stack": two}
    assert list(members(stack)) == ["stack"] and stack["stack"].startswith("Stack (most recent call last):\n")
    assert failed["msg"] == "failed division" and failed["exception.type"] == "ZeroDivisionError"
    assert failed["exception.message"] == "division by zero"
    assert failed["exception.stacktrace"].startswith("Traceback") and failed["exception.stacktrace"].endswith(
        "ZeroDivisionError: division by zero")
    assert pre["exception.stacktrace"] == "made earlier"
    assert plain["msg"] == "no exception here" and members(plain) == {}


def test_handler_close_keeps_a_shared_writer(tmp_path):
    path = str(tmp_path / "c.log")
    own = PyLogger("own", path=path)
    handler = tarnwick.Handler(path)
    stdlib = logging.getLogger("test_adoption.close")
    stdlib.propagate = False
    stdlib.addHandler(handler)
    stdlib.warning("through the handler")
    handler.close()
    stdlib.warning("reopened")  # a record after close() reopens, as FileHandler does
    handler.close()
    stdlib.removeHandler(handler)
    own.info("after close")
    own.shutdown()
    assert [parse(line)["msg"] for line in read_lines(tmp_path, "c_*.log")] == [
        "through the handler", "reopened", "after close"]
