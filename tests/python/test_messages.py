"""Messages: the logged text is exactly what Python's `%` gives, or the same error, and whatever a
caller logs, a call gives exactly one intact, escaped line."""

import gc
import json
import os
import re
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from helpers import read_lines, run_in_child


class Obj:
    def __str__(self): return "obj-str ✓"  # noqa: E704
    def __repr__(self): return "<Obj>"  # noqa: E704


class IntSub(int):
    def __str__(self): return "intsub"  # noqa: E704


StrSub = type("StrSub", (str,), {})


ints = st.one_of(st.integers(-(2**63) - 2, -(2**63) + 2), st.integers(2**63 - 2, 2**63 + 2),
                 st.integers(-1000, 1000), st.integers(), st.booleans())
floats = st.one_of(st.floats(), st.sampled_from(
    [0.0, -0.0, 5e-324, 1e-5, 1e-4, 0.1, 1.5, 2.5e-7, 5e-7, 1e15, 1e16, 123456789.0, 1.7976931348623157e308]))
anything = st.text(st.characters(), max_size=40)  # every code point, lone surrogates included
hostile = st.one_of(anything, st.builds(lambda piece, n: piece * n, anything.filter(bool), st.integers(1000, 20000)),
                    st.sampled_from(["", "\x00", "\x1b[31mred\x1b[0m", "a\r\nb", '" msg="forged', "\\", "\u2028\x7f",
                                     "\x9b", 'forged\ntime=2026-01-01T00:00:00.000000+00:00 level=error msg="owned"']))
clean = st.text(st.characters(blacklist_categories=("Cs",), blacklist_characters="%"), max_size=5)
conversions = st.sampled_from("%% %d %i %s %r %x %o %f %5d %e %(key)s %-3s %c %X".split())
NAMES = st.one_of(st.none(), hostile)
TEMPLATES = st.one_of(hostile, st.lists(st.one_of(clean, conversions), max_size=6).map("".join))
ARGS = st.lists(st.one_of(ints, floats, anything, st.none(), st.just(Obj()), st.builds(IntSub, st.integers()),
                          st.builds(StrSub, anything), st.dictionaries(st.just("key"), ints, max_size=1)), max_size=4)
EDGE_CASES = [
    ("%d %s %r", (True, True, "ab")), ("%s", (None,)), ("%x %o %x", (-255, 8, 2**64)),
    ("%f %f %f", (1.5, float("inf"), 3)), ("%s %s %s %s %s", (0.1, 1e16, 0.00001, 123456789.0, -0.0)),
    ("50%% done", (1,)), ("%5d", (42,)), ("%(user)s", ({"user": "ann"},)), ("%(user)s", ({},)),
    ("%s %s", (1,)), ("trailing %", (1,)), ("%s\0%d", ("nul", 7)), ("100% and %d stay", ()),
    # Formatted straight into the batch: given up after a long first argument, and longer than the room reserved.
    ("head %s then %d", ("x" * 300, "not a number")), ("%s|%r|%d|%x|%f", ('é"\n' * 200, "q", 7, 255, 0.5)),
]
FIELD = r'([^"\\]*(?:\\.[^"\\]*)*)'  # escaped JSON string body, unrolled so long lines match fast
TEXT_LINE = re.compile(rf'time=\S+ level=\w+(?: name=(?:"{FIELD}"|([^\x00-\x20="\x7f]+)))? msg="{FIELD}"')
NEEDS_QUOTES = re.compile(r'[\x00-\x20="\x7f]')


def parse(fmt, line):
    """(name or None, message) of one record line; fails on a malformed line."""
    if fmt == "json":
        record = json.loads(line)
        assert set(record) - {"name"} == {"time", "level", "msg"}
        return record.get("name"), record["msg"]
    match = TEXT_LINE.fullmatch(line)
    assert match, line
    quoted, bare, msg = match.groups()
    name = None if quoted is None and bare is None else json.loads(f'"{bare if quoted is None else quoted}"')
    # Quoted exactly when it is empty or could end its value or forge a member unquoted.
    assert name is None or (quoted is not None) == (name == "" or bool(NEEDS_QUOTES.search(name))), line
    return name, json.loads(f'"{msg}"')


def encodable(text):
    return not re.search("[\ud800-\udfff]", text)  # lone surrogates: the only str UTF-8 refuses


# In a fresh interpreter: the format is process-wide.
def log_messages(fmt, examples):
    from tarnwick._logger import PyLogger, basic_config
    basic_config(format=fmt, batch_size=1)
    keeper = PyLogger("keeper", path="m.log")  # keeps shutdown() from stopping the writer
    seen = 0

    def new_lines():
        nonlocal seen
        keeper.shutdown()
        [name] = [n for n in os.listdir() if n.startswith("m_")]
        with open(name, "rb") as f:
            f.seek(seen)
            data = f.read()
        seen += len(data)
        assert data == b"" or data.endswith(b"\n"), data[-80:]
        return data.decode("utf-8").split("\n")[:-1]  # strict: every line is valid UTF-8

    def check(name, template, args):
        if name is not None and not encodable(name):
            with pytest.raises(UnicodeEncodeError):  # a name that is not UTF-8
                PyLogger(name, path="m.log")
            return
        log = PyLogger(name, path="m.log")
        # The template is encoded first, each argument as it is converted: encoding can fail
        # before Python's own formatting would have.
        errors = set()
        if not encodable(template):
            errors.add(UnicodeEncodeError)
        else:
            try:
                mapping = len(args) == 1 and isinstance(args[0], dict) and args[0]
                want = template % (args[0] if mapping else tuple(args)) if args else template
                if not encodable(want):
                    errors.add(UnicodeEncodeError)
            except Exception as e:
                errors.add(type(e))
                if not all(encodable(a) for a in args if isinstance(a, str)):
                    errors.add(UnicodeEncodeError)
        try:
            assert log.warning(template, *args) is None
        except Exception as e:
            assert type(e) in errors, (e, errors)
            assert new_lines() == [], "a failed call leaves no line"
            return
        assert not errors, f"expected one of {errors}"
        lines = new_lines()
        assert len(lines) == 1, lines
        assert parse(fmt, lines[0]) == (name, want)

    for template, args in EDGE_CASES:
        check("edge", template, args)
    settings(max_examples=examples, deadline=None, database=None)(given(NAMES, TEMPLATES, ARGS)(check))()

    log, calls = PyLogger("more", path="m.log"), []

    class Counted:
        def __str__(self):
            calls.append(1)
            return "c"

    class Chatty:
        def __str__(self):
            log.warning("inner")
            return "chatty"

    log.warning("%s then %5d", Counted(), 7)  # the fast path gives up at %5d: conversion runs again
    log.warning("outer %s", Chatty())  # a record logged while converting comes first
    assert len(calls) == 2
    assert [parse(fmt, line)[1] for line in new_lines()] == ["c then     7", "inner", "outer chatty"]
    arg, text = object(), "fresh %d" % os.getpid()
    before = sys.getrefcount(arg), sys.getrefcount(text)
    for _ in range(100):
        log.warning("%s %r %s", arg, arg, text)
        log.warning("%5s", text)
    assert (sys.getrefcount(arg), sys.getrefcount(text)) == before, "arguments keep their reference counts"

    class Weird(str):
        def __mod__(self, other):
            return 42

    with pytest.raises(TypeError, match="'int' object cannot be cast as 'str'$"):  # a `%` that gives no str
        log.warning(Weird("%s"), 1, 2)


@pytest.mark.parametrize("fmt", ["logfmt", "json"])
def test_messages_match_python_percent_and_stay_one_intact_line(tmp_path, fmt):
    run_in_child(log_messages, fmt, 1000, cwd=tmp_path, timeout=300)


# A finalizer that logs while its thread renders a record that fails: the encoding error must not be
# made (and so no collection run) while the thread's record state is in use.
FAILING_RENDERS = [("bad \ud800 %s", "x"), ("%s", "bad \ud800")]
def log_beside_a_logging_finalizer(case, rounds):
    from tarnwick._logger import PyLogger
    template, arg = FAILING_RENDERS[case]
    log = PyLogger("f", path="f.log")

    class Cycle:
        def __init__(self):
            self.me = self

        def __del__(self):
            log.info("del %d", 1)

    gc.set_threshold(1)  # a collection at nearly every allocation
    for _ in range(rounds):
        Cycle()
        with pytest.raises(UnicodeEncodeError):
            log.info(template, arg)
    gc.collect()
    log.shutdown()


@pytest.mark.parametrize("case", range(len(FAILING_RENDERS)))
def test_finalizers_that_log_during_a_failed_render_lose_no_line(tmp_path, case):
    proc = run_in_child(log_beside_a_logging_finalizer, case, 500, cwd=tmp_path)
    assert proc.stderr == ""
    assert [parse("logfmt", line) for line in read_lines(tmp_path, "f_*.log")] == [("f", "del 1")] * 500
