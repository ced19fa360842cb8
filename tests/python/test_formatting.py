"""Messages with arguments: the logged text is exactly what Python's `%` gives, or the same error."""

import glob
import json
import os
import re
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from tarnwick._logger import PyLogger


class Obj:
    def __str__(self):
        return "obj-str ✓"

    def __repr__(self):
        return "<Obj>"


class IntSub(int):
    def __str__(self):
        return "intsub"


class StrSub(str):
    pass


@pytest.fixture(scope="module")
def logfile(tmp_path_factory):
    base = tmp_path_factory.mktemp("fmt") / "fmt.log"
    log = PyLogger("fmt", path=str(base))
    keeper = PyLogger("keeper", path=str(base))  # keeps shutdown() from stopping the writer

    def last_message():
        log.shutdown()  # hands over and waits for the flush
        [path] = glob.glob(os.path.join(base.parent, "fmt_*.log"))
        with open(path, encoding="utf-8") as f:
            lines = f.read().split("\n")[:-1]  # not splitlines(): U+2028 and friends are not line ends
        return lines, json.loads('"' + re.search(r' msg="(.*)"$', lines[-1]).group(1) + '"') if lines else None

    yield log, last_message
    del keeper


def expected(template, args):
    if len(args) == 1 and isinstance(args[0], dict) and args[0]:
        return template % args[0]
    return template % tuple(args)


def check(log, last_message, template, args):
    before, _ = last_message()
    try:
        want = expected(template, args)
    except Exception as e:  # noqa: BLE001 - the logger must raise the same kind
        with pytest.raises(type(e)):
            log.info(template, *args)
        after, _ = last_message()
        assert len(after) == len(before), "a failed call leaves no record"
        return
    assert log.info(template, *args) is None
    after, got = last_message()
    assert len(after) == len(before) + 1
    assert got == want, (template, args)


ints = st.one_of(
    st.integers(min_value=-(2**63) - 2, max_value=-(2**63) + 2),
    st.integers(min_value=2**63 - 2, max_value=2**63 + 2),
    st.integers(min_value=-1000, max_value=1000),
    st.integers(),
    st.booleans(),
)
floats = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([0.0, -0.0, 5e-324, 1e-5, 1e-4, 0.1, 1.5, 2.5e-7, 5e-7, 1e15, 1e16, 123456789.0, 1.7976931348623157e308]),
)
texts = st.text(alphabet=st.characters(blacklist_categories=("Cs",)), max_size=8)
args_strategy = st.one_of(ints, floats, texts, st.none(), st.just(Obj()), st.builds(IntSub, st.integers()),
                          st.builds(StrSub, texts), st.dictionaries(st.just("key"), ints, max_size=1))
pieces = st.one_of(
    st.text(alphabet=st.characters(blacklist_categories=("Cs",), blacklist_characters="%"), max_size=5),
    st.sampled_from(["%%", "%d", "%i", "%s", "%r", "%x", "%o", "%f", "%5d", "%e", "%(key)s", "%-3s", "%c", "%X"]),
)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(template=st.lists(pieces, max_size=6).map("".join), args=st.lists(args_strategy, min_size=1, max_size=4))
def test_matches_python_percent(logfile, template, args):
    check(*logfile, template, args)


@pytest.mark.parametrize(
    "template, args",
    [
        ("%d %s %r", (True, True, "ab")),
        ("%s", (None,)),
        ("%x %o %x", (-255, 8, 2**64)),
        ("%f %f %f", (1.5, float("inf"), 3)),
        ("%s %s %s %s %s", (0.1, 1e16, 0.00001, 123456789.0, -0.0)),
        ("50%% done", (1,)),
        ("%5d", (42,)),
        ("%(user)s", ({"user": "ann"},)),
        ("%(user)s", ({},)),
        ("%s %s", (1,)),
        ("trailing %", (1,)),
        ("%s\0%d", ("nul", 7)),
    ],
)
def test_documented_cases(logfile, template, args):
    check(*logfile, template, args)


def test_no_arguments_means_literal_text(logfile):
    log, last_message = logfile
    log.info("100% and %d stay")
    assert last_message()[1] == "100% and %d stay"
    with pytest.raises(UnicodeEncodeError):
        log.info("lone \udc80 surrogate")
    with pytest.raises(UnicodeEncodeError):
        log.info("%s", "lone \udc80 surrogate")


def test_conversion_runs_twice_when_the_fast_path_gives_up(logfile):
    log, last_message = logfile
    calls = []

    class Counted:
        def __str__(self):
            calls.append(1)
            return "c"

    log.info("%s then %5d", Counted(), 7)
    assert last_message()[1] == "c then     7"
    assert len(calls) == 2


def test_arguments_keep_their_reference_counts(logfile):
    log, _ = logfile
    arg = object()
    text = "fresh " + str(id(arg))
    before = (sys.getrefcount(arg), sys.getrefcount(text))
    for _ in range(100):
        log.info("%s %r %s", arg, arg, text)
        log.info("%5s", text)
    assert (sys.getrefcount(arg), sys.getrefcount(text)) == before


def test_percent_returning_non_str_is_a_type_error(logfile):
    log, _ = logfile

    class Weird(str):
        def __mod__(self, other):
            return 42

    with pytest.raises(TypeError, match="'int' object cannot be cast as 'str'"):
        log.info(Weird("%s"), 1, 2)
