"""Deferred messages: a message captured on the calling thread and rendered later gives exactly the text
of Python's `%` and of today's formatting, or raises at the capture what today raises.

Reached through the test-only module _render_probe, built with the GoogleTest suite (make check); the
tests skip where it is not built, as against an installed wheel."""

import importlib.util
import json
import math
import os
import re
import sys
import sysconfig

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from helpers import REPO, parse, read_lines, run_in_child


def load_probe():
    """The probe of the build whose package is under test (build/X/pkg/tarnwick, or the source tree's copy of build/release)."""
    import tarnwick
    pkg_parent = os.path.dirname(os.path.dirname(os.path.abspath(tarnwick.__file__)))
    build = os.path.dirname(pkg_parent) if os.path.basename(pkg_parent) == "pkg" else os.path.join(REPO, "build", "release")
    path = os.path.join(build, "tests", "_render_probe" + sysconfig.get_config_var("EXT_SUFFIX"))
    if not os.path.exists(path):
        return None
    spec = importlib.util.spec_from_file_location("_render_probe", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


probe = load_probe()
pytestmark = pytest.mark.skipif(probe is None, reason="the test-only module _render_probe is not built")
EXAMPLES = int(os.environ.get("TARNWICK_DEFERRED_EXAMPLES", "1500"))


class IntSub(int):
    def __str__(self): return "intsub"  # noqa: E704


class FloatSub(float):
    def __repr__(self): return "floatsub"  # noqa: E704


StrSub = type("StrSub", (str,), {})


class Obj:
    def __str__(self): return "obj-str ✓"  # noqa: E704
    def __repr__(self): return "<Obj é\x00>"  # noqa: E704
    def __index__(self): return 42  # noqa: E704
    def __float__(self): return 2.5  # noqa: E704


plain = st.one_of(st.characters(), st.sampled_from("\x00\x01\x1f\x7f\n\t\r'\"\\\x85\u2028é"))
# Lone surrogates in one text of ten: UTF-8 refuses them, so they end the call wherever they are.
chars = st.one_of(*[plain] * 9, st.characters(categories=["Cs"]))
texts = st.one_of(*[st.text(plain, max_size=12)] * 9, st.text(chars, max_size=12))
ints = st.one_of(st.integers(-1000, 1000), st.integers(), st.integers(-(2**63) - 2, -(2**63) + 2),
                 st.integers(2**63 - 2, 2**63 + 2), st.booleans())
floats = st.one_of(st.floats(), st.sampled_from([0.0, -0.0, 5e-324, 1e-5, 1e-4, 0.5, 2.5, 1e15, 1e16, 1e22, 123456789.0,
                                                 9.5, 0.125, 1.7976931348623157e308, -9.223372036854776e18]))
code_points = st.one_of(st.integers(0, 0x10FFFF), chars, st.sampled_from([-1, 0x110000, "ab", 0xD800]))
others = st.one_of(st.none(), st.builds(IntSub, st.integers()), st.builds(FloatSub, st.floats()), st.builds(StrSub, texts),
                   st.just(Obj()), st.lists(st.one_of(ints, texts), max_size=2), st.tuples(ints),
                   st.dictionaries(texts, ints, max_size=1))
anything = st.one_of(ints, floats, texts, others)
FITTING = {**dict.fromkeys("sra", anything), **dict.fromkeys("diu", st.one_of(ints, floats)),
           **dict.fromkeys("oxX", ints), **dict.fromkeys("eEfFgG", st.one_of(floats, ints)), "c": code_points}
literal = st.lists(st.one_of(*[plain.filter(lambda c: c != "%")] * 5, chars.filter(lambda c: c != "%"), st.just("%%")),
                   max_size=6).map("".join)


@st.composite
def calls(draw):
    """(format, args): conversions with flags, width, precision and "*", mostly with fitting arguments."""
    fmt, args = [draw(literal)], []
    for _ in range(draw(st.integers(0, 4))):
        conv = draw(st.sampled_from([*"sradiuoxXeEfFgGc" * 4, "z", "%", "(k)s", "", "é"]))
        width = draw(st.sampled_from(["", "", "", "*", "1", "5", "12", "0", "25", "07"]))
        precision = draw(st.sampled_from(["", "", "", ".", ".*", ".0", ".1", ".3", ".17", ".30"]))
        fmt += ["%", draw(st.text(st.sampled_from("-+ #0"), max_size=3)), width, precision,
                draw(st.sampled_from(["", "", "", "h", "l", "L"])), conv, draw(literal)]
        for _ in range((width == "*") + (precision == ".*")):
            args.append(draw(st.integers(-30, 30) if draw(st.integers(0, 19)) else st.sampled_from([True, 2**70, 1.5, "3"])))
        args.append(draw(FITTING.get(conv, anything) if draw(st.integers(0, 19)) else anything))
    extra = draw(st.integers(0, 39))
    if extra == 0 and args:
        args.pop()
    elif extra == 1:
        args.append(draw(anything))
    return "".join(fmt), tuple(args)


def outcome(f, *a):
    try:
        return f(*a)
    except Exception as e:
        return type(e), str(e)


def deferred(fmt, args):
    return probe.render(probe.capture(fmt, args))


def encodable(text):
    return not re.search("[\ud800-\udfff]", text)


@settings(max_examples=EXAMPLES, deadline=None, database=None, suppress_health_check=[HealthCheck.too_slow])
@given(calls())
def test_deferred_matches_python_percent_and_today(call):
    fmt, args = call
    got = outcome(deferred, fmt, args)
    if not args:  # taken literally
        assert got == fmt if encodable(fmt) else got[0] is UnicodeEncodeError
        return
    today = outcome(probe.today, fmt, args)
    captured = outcome(probe.capture, fmt, args)
    if isinstance(captured, bytes):
        event("formatted at the call" if captured[0] == 0 else "deferred")
    assert got == today
    # A single non-empty dict is the mapping of %(key)s formats, as today.
    mapping = len(args) == 1 and isinstance(args[0], dict) and args[0]
    want = outcome(lambda: fmt % (args[0] if mapping else args))
    event(f"python {'raises ' + want[0].__name__ if isinstance(want, tuple) else 'formats'}")
    if isinstance(want, tuple) or not encodable(want):
        # Text that UTF-8 refuses is refused as each piece is encoded, so an encoding error may come first.
        assert got == want or got[0] is UnicodeEncodeError
    else:
        assert got == want


EDGE_CASES = [
    ("user %s logged in", ("ann",)), ("%d %s %r %a", (True, True, "ab", "it's")), ("%s", (None,)),
    ("%x %o %X %#x %#o %#X", (-255, 8, 255, 255, -8, 255)), ("%x", (2**64,)),
    ("%f %e %g %F %E %G", (1.5, 1.5, 1.5, math.inf, -math.inf, math.nan)), ("%f %+f %5.1f", (-math.nan, math.nan, math.inf)),
    ("%s %s %s %s %s %r", (0.1, 1e16, 0.00001, 123456789.0, -0.0, 1e300)), ("%+05d|%#.3g|%-#8x", (-6, 100.0, 255)),
    ("%.1100f|%.900e|%#.800g", (5e-324, 0.1, 0.1)), ("%f", (1e308,)), ("%d %e %f", (2**63 - 1, 2**63 - 1, -(2**63))),
    ("%c%c%c%c|%5c|%-3c", (65, "é", 0x1F600, True, "x", 65)), ("%r|%a|%r", ('a"b\'c\x00\x7f\n\t\r\\', "é\U0001f600", "\x85")),
    ("%10.3s|%-6s|%.2s|%.1r", ("héllo", "é", "日本語", "é")), ("%*d|%-*d|%.*f|%*.*s|%.*s", (5, 1, -5, 2, -2, 3.14159, 8, 2, "abc", True, "x")),
    ("%d %i %u", (3.9, -3.9, 1e18)), ("%d", (9.3e18,)), ("%hd %ls %Lf", (1, "a", 1.0)), ("%s %s", ([1, "a"], (1,))),
    ("%s %d %x %e %c", (IntSub(5), IntSub(6), IntSub(255), IntSub(2), IntSub(66))), ("%s %r %.1f", (FloatSub(1.5),) * 3),
    ("%s|%5s|%r|%d|%x|%f|%c", (Obj(),) * 7), ("%s %5s", (StrSub("sub"), StrSub("é"))), ("%s", (2**70,)),
    ("%(user)s", ({"user": "ann"},)), ("%s", ({},)), ("50%% done", ()), ("100%", ()),
    # Errors: each raises at the capture what today raises.
    ("%s %d", ("x",)), ("%d", ("x",)), ("%z", (1,)), ("%", (1,)), ("50%% done", (1,)), ("%5%", (1,)), ("%(user)s", ({},)),
    ("%d", (math.nan,)), ("%d", (math.inf,)), ("%x", (1.5,)), ("%c", (0x110000,)), ("%c", ("ab",)), ("%c", (1.5,)),
    ("%*d", ("5", 1)), ("%.*f", (2**70, 1.0)), ("%*d", (2**70, 1)), ("%f", (2**2000,)), ("%f", ("x",)),
    ("%c", (0xD800,)), ("%s", ("a\ud800",)), ("%5s", ("a\ud800",)), ("%r", ("a\ud800",)), ("bad \ud800 %s", ("x",)), ("x \ud800", ()),
]


@pytest.mark.parametrize(("fmt", "args"), EDGE_CASES)
def test_deferred_edge_cases(fmt, args):
    got, today = outcome(deferred, fmt, args), outcome(probe.today, fmt, args) if args else outcome(lambda: fmt)
    if not args and not encodable(fmt):
        assert got[0] is UnicodeEncodeError
        return
    assert got == today


def test_arguments_are_captured_when_logged():
    class Mutable:
        def __init__(self): self.state = "before"  # noqa: E704
        def __repr__(self): return self.state  # noqa: E704
    items, obj = [1], Mutable()
    captured = probe.capture("%s %r %5s", (items, obj, obj))
    items.append(2)
    obj.state = "after"
    assert probe.render(captured) == "[1] before before"


def test_capture_keeps_reference_counts():
    arg, text = object(), "fresh %d" % os.getpid()
    before = sys.getrefcount(arg), sys.getrefcount(text)
    for _ in range(100):
        probe.capture("%s %r %s %5s", (arg, arg, text, text))
        outcome(probe.capture, "%d", (arg,))
    assert (sys.getrefcount(arg), sys.getrefcount(text)) == before


def test_simple_captures_stay_compact():
    # The message and each value, a few bytes of framing: no larger than the text it stands for, give or take.
    assert len(probe.capture("user %s logged in", ("ann",))) == 2 + 17 + 2 + 3
    assert len(probe.capture("%d %f %s", (7, 1.5, "x"))) == 2 + 8 + 9 + 9 + 3


LOGGED_CASES = [c for c in EDGE_CASES if c[1]]


def print_logged_messages(fmt):
    """In a fresh interpreter: prints, as JSON, the msg each of LOGGED_CASES gives through the public API, or
    the exception's type and text."""
    from tarnwick._logger import PyLogger, basic_config
    basic_config(format=fmt, batch_size=1)
    log, results = PyLogger("d", path="d.log"), []
    for template, args in LOGGED_CASES:
        try:
            log.warning(template, *args)
            results.append(None)
        except Exception as e:
            results.append((type(e).__name__, str(e)))
    log.shutdown()
    lines = iter(parse(line)["msg"] for line in read_lines(".", "d_*"))
    results = [r or ("line", next(lines)) for r in results]
    assert next(lines, None) is None
    json.dump(results, sys.stdout)


# The public API is the reference the deferred path must keep: compare with what today's logger writes.
@pytest.mark.parametrize("fmt", ["logfmt", "json"])
def test_deferred_matches_the_logged_message(tmp_path, fmt):
    logged = json.loads(run_in_child(print_logged_messages, fmt, cwd=tmp_path).stdout)
    for (template, args), (kind, text) in zip(LOGGED_CASES, logged, strict=True):
        got = outcome(deferred, template, args)
        if kind == "line":
            assert got == text, (template, args)
        else:
            assert (got[0].__name__, got[1]) == (kind, text), (template, args)
