"""Whatever a caller logs, a call gives exactly one intact, escaped line or the matching exception."""

import json
import re

import pytest

from helpers import run_py

FIELD = r'([^"\\]*(?:\\.[^"\\]*)*)'  # escaped JSON string body, unrolled so long lines match fast
TEXT_LINE = re.compile(rf'time=\S+ level=warn(?: name={FIELD})? msg="{FIELD}"')


def parse(fmt, line):
    """(name or None, message) of one record line; fails on a malformed line."""
    if fmt == "json":
        record = json.loads(line)
        assert set(record) - {"name"} == {"time", "level", "msg"} and record["level"] == "warn"
        return record.get("name"), record["msg"]
    match = TEXT_LINE.fullmatch(line)
    assert match, line
    name, msg = match.groups()
    return None if name is None else json.loads(f'"{name}"'), json.loads(f'"{msg}"')


# Runs hypothesis inside a fresh interpreter: the format is process-wide.
HOSTILE_CODE = r"""
import os, sys
from hypothesis import given, settings, strategies as st
from tarnwick._logger import PyLogger, basic_config
from test_hostile_input import parse
fmt = sys.argv[1]
basic_config(format=fmt, batch_size=1)
keeper = PyLogger("keeper", path="h.log")  # keeps shutdown() from stopping the writer
seen = 0

def new_lines():
    global seen
    keeper.shutdown()
    [name] = [n for n in os.listdir() if n.startswith("h_")]
    with open(name, "rb") as f:
        f.seek(seen)
        data = f.read()
    seen += len(data)
    assert data == b"" or data.endswith(b"\n"), data[-80:]
    return data.decode("utf-8").split("\n")[:-1]  # strict: every line is valid UTF-8

def encodable(text):
    try:
        return text.encode("utf-8") is not None
    except UnicodeEncodeError:
        return False

anything = st.text(st.characters(), max_size=40)  # every code point, lone surrogates included
hostile = st.one_of(
    anything,
    st.sampled_from(["", "\x00", "\x1b[31mred\x1b[0m", "a\r\nb", "\n", '" msg="forged', "\\", "\u2028\x7f\x9b",
                     'forged\ntime=2026-01-01T00:00:00.000000+00:00 level=error msg="owned"']),
    st.builds(lambda piece, n: piece * n, anything.filter(bool), st.integers(1000, 20000)),
)
arguments = st.lists(st.one_of(anything, st.integers(), st.floats(), st.none()), max_size=3)

@settings(max_examples=int(sys.argv[2]), deadline=None, database=None)
@given(name=st.one_of(st.none(), hostile), template=hostile, args=arguments)
def check(name, template, args):
    if name is not None and not encodable(name):
        try:
            PyLogger(name, path="h.log")
        except UnicodeEncodeError:
            return
        raise AssertionError("a name that is not UTF-8 was accepted")
    log = PyLogger(name, path="h.log")
    # The template is encoded first, each argument as it is converted: encoding can fail
    # before Python's own formatting would have.
    errors = set()
    if not encodable(template):
        errors.add(UnicodeEncodeError)
    else:
        try:
            want = template % tuple(args) if args else template
            if not encodable(want):
                errors.add(UnicodeEncodeError)
        except Exception as e:
            errors.add(type(e))
            if not all(encodable(a) for a in args if isinstance(a, str)):
                errors.add(UnicodeEncodeError)
    try:
        log.warning(template, *args)
    except Exception as e:
        assert type(e) in errors, (e, errors)
        assert new_lines() == [], "a failed call leaves no line"
        return
    assert not errors, f"expected one of {errors}"
    lines = new_lines()
    assert len(lines) == 1, lines
    assert parse(fmt, lines[0]) == (name, want)

check()
"""


@pytest.mark.parametrize("fmt", ["logfmt", "json"])
def test_arbitrary_names_messages_and_arguments(tmp_path, fmt):
    run_py(HOSTILE_CODE, fmt, 1000, cwd=tmp_path, timeout=300)


@pytest.mark.parametrize("fmt", ["logfmt", "json"])
def test_huge_messages_arrive_intact(tmp_path, fmt):
    sizes = [0, 2**20 - 1, 2**20, 10 * 2**20]
    run_py(f"""
        from tarnwick._logger import PyLogger, basic_config
        basic_config(format={fmt!r})
        log = PyLogger("big", path="big.log")
        for size in {sizes}:
            log.warning(("0123456789abcdef" * (size // 16 + 1))[:size])
            log.warning("%s", ("é" * size)[:size // 2])
        """, cwd=tmp_path)
    data = next(tmp_path.glob("big_*.log")).read_text(encoding="utf-8")
    lines = data.split("\n")
    assert lines[-1] == "" and len(lines) == 2 * len(sizes) + 1
    for size, plain, accented in zip(sizes, lines[0::2], lines[1::2]):
        assert parse(fmt, plain) == ("big", ("0123456789abcdef" * (size // 16 + 1))[:size])
        assert parse(fmt, accented) == ("big", "é" * (size // 2))
