"""Messages with arguments: the logged text is exactly what Python's `%` gives, or the same error."""

import json
import re
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from tarnwick._logger import PyLogger

from helpers import read_lines


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
def logged(tmp_path_factory):
    """(log, messages): messages() flushes and returns every message logged so far."""
    directory = tmp_path_factory.mktemp("fmt")
    log = PyLogger("fmt", path=str(directory / "fmt.log"))
    keeper = PyLogger("keeper", path=str(directory / "fmt.log"))  # keeps shutdown() from stopping the writer

    def messages():
        log.shutdown()  # hands over and waits for the flush
        return [json.loads('"' + re.search(r' msg="(.*)"$', line).group(1) + '"') for line in read_lines(directory)]

    yield log, messages
    del keeper


def check(log, messages, template, args):
    before = len(messages())
    try:
        want = template % (args[0] if len(args) == 1 and isinstance(args[0], dict) and args[0] else tuple(args))
    except Exception as e:  # noqa: BLE001 - the logger must raise the same kind
        pytest.raises(type(e), log.info, template, *args)
        assert len(messages()) == before, "a failed call leaves no record"
        return
    assert log.info(template, *args) is None
    assert messages()[before:] == [want], (template, args)


ints = st.one_of(st.integers(-(2**63) - 2, -(2**63) + 2), st.integers(2**63 - 2, 2**63 + 2),
                 st.integers(-1000, 1000), st.integers(), st.booleans())
floats = st.one_of(st.floats(), st.sampled_from(
    [0.0, -0.0, 5e-324, 1e-5, 1e-4, 0.1, 1.5, 2.5e-7, 5e-7, 1e15, 1e16, 123456789.0, 1.7976931348623157e308]))
texts = st.text(alphabet=st.characters(blacklist_categories=("Cs",)), max_size=8)
args_strategy = st.one_of(ints, floats, texts, st.none(), st.just(Obj()), st.builds(IntSub, st.integers()),
                          st.builds(StrSub, texts), st.dictionaries(st.just("key"), ints, max_size=1))
pieces = st.one_of(
    st.text(alphabet=st.characters(blacklist_categories=("Cs",), blacklist_characters="%"), max_size=5),
    st.sampled_from(["%%", "%d", "%i", "%s", "%r", "%x", "%o", "%f", "%5d", "%e", "%(key)s", "%-3s", "%c", "%X"]),
)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(template=st.lists(pieces, max_size=6).map("".join), args=st.lists(args_strategy, min_size=1, max_size=4))
def test_matches_python_percent(logged, template, args):
    check(*logged, template, args)


@pytest.mark.parametrize("template, args", [
    ("%d %s %r", (True, True, "ab")), ("%s", (None,)), ("%x %o %x", (-255, 8, 2**64)),
    ("%f %f %f", (1.5, float("inf"), 3)), ("%s %s %s %s %s", (0.1, 1e16, 0.00001, 123456789.0, -0.0)),
    ("50%% done", (1,)), ("%5d", (42,)), ("%(user)s", ({"user": "ann"},)), ("%(user)s", ({},)),
    ("%s %s", (1,)), ("trailing %", (1,)), ("%s\0%d", ("nul", 7)),
])
def test_edge_cases_match_python_percent(logged, template, args):
    check(*logged, template, args)


def test_no_arguments_means_literal_text(logged):
    log, messages = logged
    log.info("100% and %d stay")
    assert messages()[-1] == "100% and %d stay"


def test_conversion_runs_twice_when_the_fast_path_gives_up(logged):
    log, messages = logged
    calls = []

    class Counted:
        def __str__(self):
            calls.append(1)
            return "c"

    log.info("%s then %5d", Counted(), 7)
    assert messages()[-1] == "c then     7" and len(calls) == 2


def test_arguments_keep_their_reference_counts(logged):
    log, _ = logged
    arg = object()
    text = "fresh " + str(id(arg))
    before = (sys.getrefcount(arg), sys.getrefcount(text))
    for _ in range(100):
        log.info("%s %r %s", arg, arg, text)
        log.info("%5s", text)
    assert (sys.getrefcount(arg), sys.getrefcount(text)) == before


def test_percent_returning_non_str_is_a_type_error(logged):
    class Weird(str):
        def __mod__(self, other):
            return 42

    with pytest.raises(TypeError, match="'int' object cannot be cast as 'str'"):
        logged[0].info(Weird("%s"), 1, 2)
