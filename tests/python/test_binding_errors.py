import pytest
from hypothesis import assume, given, settings, strategies as st

from tarnwick._logger import PyLevel, PyLogger, basic_config, get_logger

CALLABLES = {"get_logger": get_logger, "basic_config": basic_config, "PyLogger": PyLogger}
CAST = "argument '{}': '{}' object cannot be cast as '{}'"


@pytest.mark.parametrize("name, args, kwargs, message", [
    ("get_logger", ("a", PyLevel.Info, 3), {}, "get_logger() takes from 1 to 2 positional arguments but 3 were given"),
    ("basic_config", (None,) * 6, {}, "basic_config() takes from 0 to 5 positional arguments but 6 were given"),
    ("PyLogger", ("a", None, PyLevel.Info, 4), {},
     "PyLogger.__new__() takes from 1 to 3 positional arguments but 4 were given"),
    ("get_logger", (), {"level": PyLevel.Info}, "get_logger() missing 1 required positional argument: 'name'"),
    ("PyLogger", (), {"path": None}, "PyLogger.__new__() missing 1 required positional argument: 'name'"),
    ("basic_config", (), {"colour": "off"}, "basic_config() got an unexpected keyword argument 'colour'"),
    ("get_logger", ("a",), {"l\u00e9vel": 1}, "get_logger() got an unexpected keyword argument 'l\u00e9vel'"),
    ("PyLogger", ("a",), {"Name": "b"}, "PyLogger.__new__() got an unexpected keyword argument 'Name'"),
    ("get_logger", ("a",), {"name": "b"}, "get_logger() got multiple values for argument 'name'"),
    ("basic_config", (None, False), {"unix_ts": True}, "basic_config() got multiple values for argument 'unix_ts'"),
    ("PyLogger", ("a", None, PyLevel.Info), {"level": PyLevel.Info},
     "PyLogger.__new__() got multiple values for argument 'level'"),
    # Conversions, once binding succeeded; the first bad parameter in declared order is named.
    ("get_logger", (1,), {}, CAST.format("name", "int", "str")),
    ("get_logger", (), {"name": b"a"}, CAST.format("name", "bytes", "str")),
    ("get_logger", ("a", 2), {}, CAST.format("level", "int", "PyLevel")),
    ("get_logger", ("a",), {"level": PyLevel}, CAST.format("level", "type", "PyLevel")),
    ("PyLogger", ("a", None, None), {}, CAST.format("level", "NoneType", "PyLevel")),
    ("PyLogger", (PyLevel.Info,), {"path": 3}, CAST.format("name", "PyLevel", "str")),
    ("PyLogger", ("a",), {"level": None, "path": 3}, CAST.format("path", "int", "str")),
])
def test_binding_and_conversion_errors(name, args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        CALLABLES[name](*args, **kwargs)
    assert type(caught.value) is TypeError and str(caught.value) == message


@pytest.mark.parametrize("make", [get_logger, PyLogger])
def test_lone_surrogate_name_raises_encoding_error(make):
    pytest.raises(UnicodeEncodeError, make, "\udc80")


def _twin(qualname, params):
    """A Python function with the same parameters: its TypeErrors are the wording the binder owes."""
    namespace = {}
    exec(f"def f({params}): pass", namespace)
    function = namespace["f"]
    function.__code__, function.__qualname__ = function.__code__.replace(co_qualname=qualname), qualname
    return function


TWINS = {
    "get_logger": _twin("get_logger", "name, level=..."),
    "basic_config": _twin("basic_config", "path=None, unix_ts=False, batch_size=None, color=..., format=..."),
    "PyLogger": _twin("PyLogger.__new__", "name, path=None, level=..."),
}


def _type_error(function, args, kwargs):
    try:
        function(*args, **kwargs)
    except TypeError as e:
        return str(e)


@settings(max_examples=300, deadline=None)
@given(st.sampled_from(sorted(TWINS)), st.integers(0, 7), st.lists(st.sampled_from(
    ["name", "level", "path", "unix_ts", "batch_size", "color", "format", "colour"]), unique=True, max_size=4))
def test_binding_messages_match_python_functions(name, nargs, keywords):
    # A value no conversion accepts, so a call that binds cleanly can never succeed.
    args, kwargs = (object(),) * nargs, dict.fromkeys(keywords, object())
    expected = _type_error(TWINS[name], args, kwargs)
    assume(expected is not None or args or kwargs)  # basic_config() would change settings
    actual = _type_error(CALLABLES[name], args, kwargs)
    assert actual is not None, "a call with unconvertible arguments succeeded"
    if expected is None:
        assert actual.startswith("argument '")
    else:  # newer interpreters may append a suggestion ("Did you mean ...?")
        assert actual == expected or expected.startswith(actual + ".")


LOG_METHODS = ["trace", "debug", "info", "warn", "warning", "error"]
QUIET = PyLogger(None, level=PyLevel.Error)  # stdout, but nothing below Error is written


@pytest.mark.parametrize("method", LOG_METHODS)
@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "PyLogger.{}() missing 1 required positional argument: 'message'"),
    (("x",), {"extra": 1}, "PyLogger.{}() got an unexpected keyword argument 'extra'"),
    ((), {"args": (1,)}, "PyLogger.{}() got an unexpected keyword argument 'args'"),
    (("x",), {"message": "y"}, "PyLogger.{}() got multiple values for argument 'message'"),
    ((5,), {}, CAST.format("message", "int", "str")),
    ((None, 1, 2), {}, CAST.format("message", "NoneType", "str")),
])
def test_log_method_binding_errors(method, args, kwargs, message):
    # Raised even where the logger's threshold drops the record.
    with pytest.raises(TypeError) as caught:
        getattr(QUIET, method)(*args, **kwargs)
    assert str(caught.value) == message.format(method)


def test_dropped_records_take_message_by_keyword_and_skip_formatting():
    assert all(getattr(QUIET, m)(message="x") is None for m in LOG_METHODS if m != "error")
    assert QUIET.debug("%d", "not a number") is None
