"""Template strings (Python 3.14+) as messages: the f-string's text, one typed field per name, the
template's text on request, through every entry; the per-thread parse cache stays bounded."""

import json
import os
import sys

import pytest

from helpers import HERE, Bare, members, parse, read_lines, run_in_child

CHILDREN = os.path.join(HERE, "children", "templates.py")  # template strings: 3.14 syntax

pytestmark = pytest.mark.skipif(sys.version_info < (3, 14), reason="template strings are Python 3.14+")


@pytest.mark.parametrize("fmt", ["logfmt", "json"])
def test_message_is_the_f_string_and_names_become_typed_fields(tmp_path, fmt):
    out = run_in_child(f"{CHILDREN}:log_typed_fields", fmt, cwd=tmp_path).stdout
    first, second, third = map(parse, read_lines(tmp_path))
    texts = json.loads(out)
    assert (first["msg"], second["msg"], third["msg"]) == (*texts, "1.5 42")
    j = fmt == "json"
    num = (lambda v: v) if j else (lambda v: Bare(str(v).lower() if v is not None else "null"))
    assert [(k, type(v), v) for k, v in members(first).items()] == [
        ("user", str, 'a"b'), ("n", type(num(42)), num(42)), ("x", type(num(1.5)), num(1.5)),
        ("req.id", type(num(7)), num(7)), ("req", str, "Req()"), ("big", type(num(2**70)), num(2**70))]
    # Reserved, non-ASCII and non-name expressions stay in the message only.
    assert list(members(second).items()) == [("flag", num(True)), ("none", num(None)), ("x", num(1.5))]
    assert [(k, str(v)) for k, v in members(third).items()] == [("n", "42"), ("request", "r-1"), ("x", "1.5"),
                                                                ("k", "1")]


def test_arguments_disabled_levels_msg_template_exception_and_stdlib(tmp_path):
    run_in_child(f"{CHILDREN}:log_through_every_entry", cwd=tmp_path)
    records = [parse(line) for line in read_lines(tmp_path, "f_*.log")]
    got = [(r["msg"], [(k, str(v)) for k, v in members(r).items() if not k.startswith("exception.s")])
           for r in records]
    assert got == [
        ("a   1 {b} 2", [("msg_template", "a {x!r:>3} {{b}} {x + 1}"), ("x", "1")]),
        ("v 1", [("msg_template", "v {x}"), ("x", "1")]),
        ("v 5", [("msg_template", "v {y}"), ("y", "5")]),
        ("failed 1", [("msg_template", "failed {x}"), ("x", "1"), ("exception.type", "ZeroDivisionError"),
                      ("exception.message", "division by zero")]),
        ("std 1", [("msg_template", "std {x}"), ("x", "1"), ("k", "2")]),
        ("manual 9", [("x", "9")]),
        ("1 noisy 5", [("x", "1"), ("y", "5")]),
        ("std 1 5", [("x", "1"), ("y", "5"), ("k", "noisy")]),
    ]


def test_parse_cache_is_bounded_and_lets_go_of_its_keys(tmp_path):
    run_in_child(f"{CHILDREN}:fill_the_parse_cache", cwd=tmp_path)
    records = [parse(line) for line in read_lines(tmp_path)]
    assert len(records) == 1002 and all(str(r["i"]) == r["msg"].split()[-1] for r in records)


@pytest.mark.parametrize("fmt", ["logfmt", "json"])
def test_values_read_once_keep_their_text_types_and_the_order_of_python_calls(tmp_path, fmt):
    # The leading values that need no Python code are written in one pass, message and field together;
    # from the first value that does, the message's texts come before any field's str().
    calls, text = json.loads(run_in_child(f"{CHILDREN}:log_values_of_every_kind", fmt, cwd=tmp_path).stdout)
    assert calls == ["format p", "format r", "str p", "str r"]
    (record,) = map(parse, read_lines(tmp_path))
    assert record["msg"] == text
    num = (lambda v: v) if fmt == "json" else (lambda v: Bare(str(v)))
    assert list(members(record).items()) == [
        ("q", 'q"\\'), ("ctl", "a\tb\x01"), ("uni", "é☃"), ("long", "x" * 40), ("zero", num(0)), ("neg", num(-5)),
        ("small", num(2**29)), ("mid", num(2**62)), ("top", num(2**63 - 1)), ("low", num(-2**63)),
        ("big", num(2**63)), ("f", num(0.1)), ("p", "P"), ("after", 'a"'), ("r", "R")]


@pytest.mark.parametrize("fmt", ["logfmt", "json"])
def test_plain_names_of_every_length_give_the_f_string_and_their_fields(tmp_path, fmt):
    # Short templates of str and int names are written in one pass; the longer, the escaped and those of
    # more names take the general path: both give the same lines.
    expected = json.loads(run_in_child(f"{CHILDREN}:log_plain_names_of_every_size", fmt, cwd=tmp_path).stdout)
    records = [parse(line) for line in read_lines(tmp_path)]
    as_text = (lambda v: v) if fmt == "json" else str
    got = [[r["msg"], [[k, as_text(v)] for k, v in members(r).items() if not k.startswith("exception.")]]
           for r in records]
    assert got == [[msg, [[k, as_text(v)] for k, v in fields]] for msg, fields in expected]
    assert [r["name"] for r in records].count("a b") == 1 and records[-1]["exception.type"] == "ZeroDivisionError"
