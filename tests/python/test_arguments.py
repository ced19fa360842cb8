"""Arguments of every entry point: the exact error texts, what is accepted, and what it changes."""

import os
import pathlib
import re
import sys

import numpy
import pytest

from tarnwick._logger import PyLevel, PyLogger, basic_config, get_logger

from helpers import FAST, HERE, run_in_child

CAST = "argument '{}': '{}' object cannot be cast as '{}'"
NOT_INT = "argument 'batch_size': '{}' object cannot be interpreted as an integer"
LOG_METHODS = ["trace", "debug", "info", "warn", "warning", "error", "exception"]
QUIET = PyLogger(None, level=PyLevel.Error)  # stdout, but nothing below Error is written


class Index:
    def __init__(self, error, text):
        self.error, self.text = error, text

    def __index__(self):
        raise self.error(self.text)  # a fresh one: no traceback kept on self


# An expected text stands for a TypeError with that text; an exception class for that class, any text.
@pytest.mark.parametrize("call, args, kwargs, expected", [
    # Binding: the wording of a Python function with the same parameters, in Python's order of checks.
    (get_logger, ("a", PyLevel.Info, 3), {}, "get_logger() takes from 1 to 2 positional arguments but 3 were given"),
    (basic_config, (None,) * 6, {}, "basic_config() takes from 0 to 5 positional arguments but 6 were given"),
    (PyLogger, ("a", 1, 2, 3), {}, "PyLogger.__new__() takes from 1 to 3 positional arguments but 4 were given"),
    (PyLogger, (), {"path": None}, "PyLogger.__new__() missing 1 required positional argument: 'name'"),
    (get_logger, ("a",), {"l\u00e9vel": 1}, "get_logger() got an unexpected keyword argument 'l\u00e9vel'"),
    (PyLogger, ("a",), {"Name": "b"}, "PyLogger.__new__() got an unexpected keyword argument 'Name'"),
    (basic_config, (None, False), {"unix_ts": True}, "basic_config() got multiple values for argument 'unix_ts'"),
    (get_logger, ("a", PyLevel.Info, 3), {"x": 1}, "get_logger() got an unexpected keyword argument 'x'"),
    (PyLogger, (), {"x": 1}, "PyLogger.__new__() got an unexpected keyword argument 'x'"),
    (basic_config, (None,) * 6, {"path": 1}, "basic_config() got multiple values for argument 'path'"),
    # Conversion, once binding succeeded; the first bad parameter in declared order is named.
    (get_logger, (1,), {}, CAST.format("name", "int", "str")),
    (get_logger, ("a", 2), {}, CAST.format("level", "int", "PyLevel")),
    (PyLogger, ("a", None, None), {}, CAST.format("level", "NoneType", "PyLevel")),
    (PyLogger, ("a",), {"level": None, "path": 3}, CAST.format("path", "int", "str")),
    (PyLogger, ("\udc80",), {}, UnicodeEncodeError),
    (basic_config, (), {"path": pathlib.PurePosixPath("a")}, CAST.format("path", "PurePosixPath", "str")),
    (basic_config, (), {"unix_ts": 1}, CAST.format("unix_ts", "int", "bool")),
    (basic_config, (), {"unix_ts": numpy.int64(1)}, CAST.format("unix_ts", "int64", "bool")),
    # Borrowing numpy's name is not enough: the default truth value would read as true.
    (basic_config, (), {"unix_ts": type("bool_", (), {"__module__": "numpy"})()},
     "argument 'unix_ts': object of type 'bool_' does not define a '__bool__' conversion"),
    (basic_config, (), {"color": PyLevel.Info}, CAST.format("color", "PyLevel", "str")),
    (basic_config, (), {"format": None}, CAST.format("format", "NoneType", "str")),
    (basic_config, (), {"batch_size": 1.5}, NOT_INT.format("float")),
    (basic_config, (), {"batch_size": PyLevel.Info}, NOT_INT.format("builtins.PyLevel")),
    (basic_config, (), {"batch_size": Index(TypeError, "no index")}, "argument 'batch_size': no index"),
    (basic_config, (), {"batch_size": Index(ValueError, "bad")}, (ValueError, "bad")),
    (basic_config, (), {"color": None, "batch_size": -1}, (OverflowError, "can't convert negative int to unsigned")),
    (basic_config, (), {"format": None, "path": 1}, CAST.format("path", "int", "str")),
    (basic_config, (), {"path": "\udc80"}, UnicodeEncodeError),
    (QUIET.bind, ({"a": 1},), {}, "PyLogger.bind() takes 0 positional arguments but 1 was given"),
    # Log methods check their arguments even where the logger's threshold drops the record.
    *[(getattr(QUIET, m), args, kwargs, text.format(m)) for m in LOG_METHODS for args, kwargs, text in [
        ((), {}, "PyLogger.{}() missing 1 required positional argument: 'message'"),
        (("x",), {"extra": 1}, "PyLogger.{}() got an unexpected keyword argument 'extra'"),
        ((), {"args": (1,)}, "PyLogger.{}() got an unexpected keyword argument 'args'"),
        (("x",), {"message": "y"}, "PyLogger.{}() got multiple values for argument 'message'"),
        ((5,), {}, CAST.format("message", "int", "str")),
        ((None, 1, 2), {}, CAST.format("message", "NoneType", "str"))]],
])
def test_rejected_arguments(call, args, kwargs, expected):
    expected = (TypeError, expected) if isinstance(expected, str) else expected
    error, message = expected if isinstance(expected, tuple) else (expected, None)
    with pytest.raises(error) as caught:
        call(*args, **kwargs)
    assert type(caught.value) is error
    assert message is None or str(caught.value) == message


def test_dropped_records_evaluate_nothing():
    class Boom:
        def __str__(self):
            raise AssertionError("evaluated")
        __repr__ = __str__

    assert all(getattr(QUIET, m)(message="x") is None for m in LOG_METHODS[:5])
    assert QUIET.debug("%d %s", "not a number", Boom()) is None and QUIET.trace("%q %s") is None


def test_rejected_calls_keep_no_reference():
    # Bound arguments are borrowed: a failing call must leave reference counts as they were.
    values = {"path": object(), "color": object(), "batch_size": Index(TypeError, "x")}
    before = [sys.getrefcount(v) for v in values.values()]
    for name, value in values.items():
        pytest.raises(TypeError, basic_config, **{name: value})
    del value
    assert [sys.getrefcount(v) for v in values.values()] == before


def test_accepted_arguments_and_what_they_change(tmp_path):
    # In a child: successful calls change process-wide settings, which new writers take up.
    out = run_in_child(os.path.join(HERE, "children", "accepted_settings.py"), cwd=tmp_path, env=FAST).stdout
    for line in (r"files b_\d{8}\.log time=\d+\.\d{9} level=info name=b msg=\"y\"",
                 r"time=\d{4}-\S+ level=info name=s msg=\"plain\"", r"time=\d{4}-\S+ level=info name=t msg=\"shared\""):
        assert re.search(f"^{line}$", out, re.M), out
