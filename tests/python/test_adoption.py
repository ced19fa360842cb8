"""Binding fields, long exceptions, and stdlib logging records on tarnwick lines, parsed back with exact values.
(Fields and exception keys in every line shape: test_records.py.)"""

import json
import logging
import re
import traceback

import pytest

from helpers import Bare, members, parse, read_lines, run_in_child, run_threads
from tarnwick._logger import PyLogger


def test_rebinding_and_a_capped_stacktrace(tmp_path):
    log = PyLogger("t", path=str(tmp_path / "t.log"))
    bound = log.bind(a=1, b="x")
    bound.bind(a=2, c=None).info("m")  # a key bound again keeps its place
    bound.info("m")
    try:
        raise ValueError("é" * 20_000)
    except ValueError as e:
        log.exception("long")  # the parent gained no fields
        full = "".join(traceback.format_exception(e))[:-1].encode()
    log.shutdown()
    first, second, long = map(parse, read_lines(tmp_path, "t_*.log"))
    assert list(members(first).items()) == [("a", "2"), ("b", "x"), ("c", "null")]
    assert list(members(second).items()) == [("a", "1"), ("b", "x")]
    assert list(members(long)) == ["exception.type", "exception.message", "exception.stacktrace"]
    assert long["exception.type"] == "ValueError"
    text = long["exception.stacktrace"].encode()
    m = re.search(rb"\n\[\.\.\. (\d+) bytes left out \.\.\.\]\n", text)
    head, tail = text[:m.start()], text[m.end():]
    assert 8192 - 4 < len(head) <= 8192 and 8192 - 4 < len(tail) <= 8192
    assert full.startswith(head) and full.endswith(tail) and int(m[1]) == len(full) - len(head) - len(tail)


@pytest.mark.parametrize("key", ["", "1a", "-a", "a b", "a=b", 'a"', "é", "a\n", "time", "level", "name", "msg",
                                 "exception.type", "exception.x"])
def test_bind_rejects_bad_and_reserved_keys(key):
    with pytest.raises(ValueError, match=re.escape(repr(key))):
        PyLogger(None).bind(**{key: 1})


def log_as_a_library():
    log = logging.getLogger("lib.mod")
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


class PreFormatted(logging.Filter):  # as if a formatter had already filled exc_text
    def filter(self, record):
        if record.msg == "pre-formatted":
            record.exc_text = "made earlier"
        return True


def log_through_stdlib(setup, fmt):
    import logging.config
    import threading

    import tarnwick
    tarnwick.basic_config(format=fmt)
    if setup == "dictConfig":
        logging.config.dictConfig({"version": 1, "root": {"handlers": ["tw"], "level": 1},
                                   "handlers": {"tw": {"()": "tarnwick.Handler", "path": "s.log"}}})
    else:
        logging.basicConfig()
        handler = tarnwick.capture_stdlib(level=1, path="s.log")
        assert logging.getLogger().handlers == [handler]
    logging.getLogger().handlers[0].addFilter(PreFormatted())
    log_as_a_library()
    many = logging.getLogger("many")
    run_threads(*(threading.Thread(target=lambda t=t: [many.info("%d %d", t, i) for i in range(3000)])
                  for t in range(3)))
    own = tarnwick.PyLogger("own", path="s.log")  # shares the handler's writer
    handler = logging.getLogger().handlers[0]
    handler.close()  # releases the handler's logger only
    logging.getLogger("own").warning("reopened")  # a record after close() reopens, as FileHandler does
    handler.close()
    own.info("after close")


@pytest.mark.parametrize("setup, fmt", [("dictConfig", "logfmt"), ("capture_stdlib", "json")])
def test_stdlib_records_reach_the_file_and_close_and_exit_lose_none(tmp_path, setup, fmt):
    proc = run_in_child(log_through_stdlib, setup, fmt, cwd=tmp_path, env={"TZ": "UTC"})
    assert "--- Logging error ---" in proc.stderr and "bad %d" in proc.stderr  # and the program went on
    records = [parse(line) for line in read_lines(tmp_path, "s_*.log")]
    assert [r["msg"] for r in records if r["name"] == "own"] == ["reopened", "after close"]
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
    assert [failed[k] for k in ("msg", "exception.type", "exception.message")] == [
        "failed division", "ZeroDivisionError", "division by zero"]
    assert re.fullmatch(r"Traceback .*\nZeroDivisionError: division by zero", failed["exception.stacktrace"], re.S)
    assert pre["exception.stacktrace"] == "made earlier"
    assert plain["msg"] == "no exception here" and members(plain) == {}


# Extras renamed into one key, or into a key another extra has as it is: each key once per line. A key
# given as it is keeps its value (as the line's own keys do); among renamed ones the last wins, in
# the first one's place (as binding a key again does).
def log_meeting_extras(fmt):
    import tarnwick
    tarnwick.basic_config(format=fmt)
    tarnwick.capture_stdlib(path="x.log")
    extra = {"time": 1, "extra.time": 2, "a b": 3, "a\tb": 4, "extra.stack": 5, "stack": 6, 7: 8, "7": 9, "u": 0}
    logging.getLogger("lib").info("m", extra=extra)


@pytest.mark.parametrize("fmt", ["logfmt", "json"])
def test_extras_that_meet_under_one_key_give_it_once(tmp_path, fmt):
    run_in_child(log_meeting_extras, fmt, cwd=tmp_path)
    [line] = read_lines(tmp_path, "x_*.log")
    # As pairs, so that a key given twice shows (parse() fails on one in logfmt).
    pairs = json.loads(line, object_pairs_hook=list) if fmt == "json" else list(parse(line).items())
    want = [("extra.time", 2), ("extra.a_b", 4), ("extra.stack", 5), ("extra.7", 9), ("u", 0)]
    assert [(k, int(v)) for k, v in pairs[pairs.index(("msg", "m")) + 1:]] == want
