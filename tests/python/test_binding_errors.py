import pytest
from hypothesis import assume, given, settings, strategies as st

from tarnwick._logger import PyLevel, PyLogger, basic_config, get_logger

CALLABLES = {"get_logger": get_logger, "basic_config": basic_config, "PyLogger": PyLogger}

BINDING = [
    # too many positionals
    ("get_logger", ("a", PyLevel.Info, 3), {},
     "get_logger() takes from 1 to 2 positional arguments but 3 were given"),
    ("basic_config", (None, False, None, "auto", "logfmt", 1), {},
     "basic_config() takes from 0 to 5 positional arguments but 6 were given"),
    ("PyLogger", ("a", None, PyLevel.Info, 4), {},
     "PyLogger.__new__() takes from 1 to 3 positional arguments but 4 were given"),
    # missing required
    ("get_logger", (), {}, "get_logger() missing 1 required positional argument: 'name'"),
    ("get_logger", (), {"level": PyLevel.Info},
     "get_logger() missing 1 required positional argument: 'name'"),
    ("PyLogger", (), {"path": None},
     "PyLogger.__new__() missing 1 required positional argument: 'name'"),
    # unexpected keyword
    ("basic_config", (), {"colour": "off"},
     "basic_config() got an unexpected keyword argument 'colour'"),
    ("get_logger", ("a",), {"path": "x"}, "get_logger() got an unexpected keyword argument 'path'"),
    ("PyLogger", ("a",), {"Name": "b"},
     "PyLogger.__new__() got an unexpected keyword argument 'Name'"),
    ("get_logger", ("a",), {"l\u00e9vel": 1},
     "get_logger() got an unexpected keyword argument 'l\u00e9vel'"),
    # given twice
    ("get_logger", ("a",), {"name": "b"}, "get_logger() got multiple values for argument 'name'"),
    ("basic_config", (None, False), {"unix_ts": True},
     "basic_config() got multiple values for argument 'unix_ts'"),
    ("PyLogger", ("a", None, PyLevel.Info), {"level": PyLevel.Info},
     "PyLogger.__new__() got multiple values for argument 'level'"),
    # conversions, after a successful binding
    ("get_logger", (1,), {}, "argument 'name': 'int' object cannot be cast as 'str'"),
    ("get_logger", (), {"name": b"a"}, "argument 'name': 'bytes' object cannot be cast as 'str'"),
    ("PyLogger", ("a",), {"path": 3}, "argument 'path': 'int' object cannot be cast as 'str'"),
    ("PyLogger", ("a", None, None), {},
     "argument 'level': 'NoneType' object cannot be cast as 'PyLevel'"),
    ("PyLogger", (PyLevel.Info,), {"path": 3},
     "argument 'name': 'PyLevel' object cannot be cast as 'str'"),
    ("PyLogger", ("a",), {"path": 3, "level": None},
     "argument 'path': 'int' object cannot be cast as 'str'"),
]


@pytest.mark.parametrize("callable_name, args, kwargs, message", BINDING)
def test_binding_and_conversion_errors(callable_name, args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        CALLABLES[callable_name](*args, **kwargs)
    assert type(caught.value) is TypeError
    assert str(caught.value) == message


@pytest.mark.parametrize("callable_name", ["get_logger", "PyLogger"])
def test_lone_surrogate_name_raises_encoding_error(callable_name):
    with pytest.raises(UnicodeEncodeError):
        CALLABLES[callable_name]("\udc80")


# Python functions with the same parameters: their interpreter-made TypeErrors are the wording
# the binder promises. Only calls that the reference rejects are made on the real callable.
def _reference(qualname, source):
    namespace = {}
    exec(source, namespace)
    function = next(v for k, v in namespace.items() if k != "__builtins__")
    function.__code__ = function.__code__.replace(co_qualname=qualname)
    function.__qualname__ = qualname
    return function


REFERENCES = {
    "get_logger": _reference("get_logger", "def f(name, level=...): pass"),
    "basic_config": _reference(
        "basic_config",
        "def f(path=None, unix_ts=False, batch_size=None, color=..., format=...): pass",
    ),
    "PyLogger": _reference("PyLogger.__new__", "def f(name, path=None, level=...): pass"),
}
PARAMS = {"get_logger": ["name", "level"],
          "basic_config": ["path", "unix_ts", "batch_size", "color", "format"],
          "PyLogger": ["name", "path", "level"]}


def _reference_error(reference, args, kwargs):
    try:
        reference(*args, **kwargs)
    except TypeError as e:
        return str(e)
    return None


@st.composite
def calls(draw):
    name = draw(st.sampled_from(sorted(REFERENCES)))
    nargs = draw(st.integers(0, 7))
    keywords = draw(st.lists(st.sampled_from(PARAMS[name] + ["colour", "nme", "x"]),
                             unique=True, max_size=4))
    # A value no conversion accepts, so a call that binds cleanly can never succeed.
    return name, (object(),) * nargs, dict.fromkeys(keywords, object())


@settings(max_examples=300, deadline=None)
@given(calls())
def test_binding_messages_match_python_functions(call):
    name, args, kwargs = call
    expected = _reference_error(REFERENCES[name], args, kwargs)
    assume(expected is not None or args or kwargs)  # basic_config() would change settings
    try:
        CALLABLES[name](*args, **kwargs)
    except TypeError as e:
        actual = str(e)
    else:
        pytest.fail("a call with unconvertible arguments succeeded")
    if expected is not None:
        # Newer interpreters may append a suggestion ("Did you mean ...?").
        assert actual == expected or expected.startswith(actual + ".")
    else:
        assert actual.startswith("argument '")


LOG_METHODS = ["trace", "debug", "info", "warn", "warning", "error"]


@pytest.fixture
def quiet_logger():
    """A stdout logger that drops everything below Error, or a skip while loggers are pending."""
    try:
        return PyLogger(None, level=PyLevel.Error)
    except NotImplementedError:
        pytest.skip("logger construction is not available yet")


@pytest.mark.parametrize("method", LOG_METHODS)
@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "PyLogger.{}() missing 1 required positional argument: 'message'"),
        (("x",), {"extra": 1}, "PyLogger.{}() got an unexpected keyword argument 'extra'"),
        (("x",), {"message": "y"}, "PyLogger.{}() got multiple values for argument 'message'"),
        ((), {"args": (1,)}, "PyLogger.{}() got an unexpected keyword argument 'args'"),
        ((5,), {}, "argument 'message': 'int' object cannot be cast as 'str'"),
        ((), {"message": b"x"}, "argument 'message': 'bytes' object cannot be cast as 'str'"),
        ((None, 1, 2), {}, "argument 'message': 'NoneType' object cannot be cast as 'str'"),
    ],
)
def test_log_method_binding_errors(quiet_logger, method, args, kwargs, message):
    # Raised even where the logger's threshold would drop the record.
    with pytest.raises(TypeError) as caught:
        getattr(quiet_logger, method)(*args, **kwargs)
    assert str(caught.value) == message.format(method)


@pytest.mark.parametrize("method", LOG_METHODS)
def test_log_method_accepts_message_by_keyword(quiet_logger, method):
    assert getattr(quiet_logger, "debug" if method == "error" else method)(message="x") is None
    assert quiet_logger.debug("%d", "not a number") is None
