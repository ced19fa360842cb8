import pathlib
import sys

import numpy
import pytest

from tarnwick._logger import PyLevel, basic_config


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise type(self.value)(*self.value.args)  # a fresh one: no traceback kept on self
        return self.value


ACCEPTED = [
    "",
    "'app.log', True, 0, 'always', 'json'",
    "path=None, unix_ts=False, batch_size=None, color='off', format='logfmt'",
    "batch_size=True",
    "batch_size=2**64 - 1",
    "batch_size=numpy.int64(7)",
    "batch_size=Index(3)",
    "unix_ts=numpy.True_",
    "unix_ts=numpy.bool_(False)",
    "color='ALWAYS', format='JSON'",
    "color=' off', format='json '",
    "path='', color='', format=''",
    "path='logs/\u00e9t\u00e9'",
]


@pytest.mark.parametrize("arguments", ACCEPTED)
def test_accepted_arguments_return_none(fresh_python, arguments):
    out = fresh_python(
        f"""
        import numpy
        from tarnwick._logger import basic_config
        class Index:
            def __init__(self, value): self.value = value
            def __index__(self): return self.value
        print(repr(basic_config({arguments})))
        """
    )
    assert out == "None\n"


CAST = "argument '{}': '{}' object cannot be cast as '{}'"

REJECTED = [
    (dict(path=3), TypeError, CAST.format("path", "int", "str")),
    (dict(path=pathlib.PurePosixPath("a")), TypeError,
     CAST.format("path", "PurePosixPath", "str")),
    (dict(path=b"app"), TypeError, CAST.format("path", "bytes", "str")),
    (dict(unix_ts=None), TypeError, CAST.format("unix_ts", "NoneType", "bool")),
    (dict(unix_ts=1), TypeError, CAST.format("unix_ts", "int", "bool")),
    (dict(unix_ts="yes"), TypeError, CAST.format("unix_ts", "str", "bool")),
    (dict(unix_ts=numpy.int64(1)), TypeError, CAST.format("unix_ts", "int64", "bool")),
    (dict(color=None), TypeError, CAST.format("color", "NoneType", "str")),
    (dict(color=PyLevel.Info), TypeError, CAST.format("color", "PyLevel", "str")),
    (dict(format=None), TypeError, CAST.format("format", "NoneType", "str")),
    (dict(batch_size=1.5), TypeError,
     "argument 'batch_size': 'float' object cannot be interpreted as an integer"),
    (dict(batch_size="8"), TypeError,
     "argument 'batch_size': 'str' object cannot be interpreted as an integer"),
    (dict(batch_size=PyLevel.Info), TypeError,
     "argument 'batch_size': 'builtins.PyLevel' object cannot be interpreted as an integer"),
    (dict(batch_size=Index(TypeError("no index"))), TypeError, "argument 'batch_size': no index"),
    (dict(batch_size=-1), OverflowError, "can't convert negative int to unsigned"),
    (dict(batch_size=2**64), OverflowError, "int too big to convert"),
    (dict(batch_size=Index(ValueError("bad"))), ValueError, "bad"),
    (dict(path="\udc80"), UnicodeEncodeError, None),
    (dict(color="of\udcff"), UnicodeEncodeError, None),
    (dict(format="\ud800json"), UnicodeEncodeError, None),
]


@pytest.mark.parametrize("kwargs, error, message", REJECTED)
def test_rejected_arguments(kwargs, error, message):
    with pytest.raises(error) as caught:
        basic_config(**kwargs)
    assert type(caught.value) is error
    if message is not None:
        assert str(caught.value) == message


def test_conversion_runs_in_parameter_order():
    # Both arguments are wrong: the error names the earlier parameter.
    with pytest.raises(TypeError, match="^argument 'path'"):
        basic_config(format=None, path=1)
    with pytest.raises(OverflowError):
        basic_config(color=None, batch_size=-1)
    with pytest.raises(TypeError, match="^argument 'unix_ts'"):
        basic_config(None, None, -1)


def test_rejected_calls_keep_no_reference():
    # Bound arguments are borrowed: a failing call must leave reference counts as they were.
    path, color, index = object(), object(), Index(TypeError("x"))
    before = [sys.getrefcount(o) for o in (path, color, index)]
    for _ in range(3):
        for name, value in (("path", path), ("color", color), ("batch_size", index)):
            try:
                basic_config(**{name: value})
            except TypeError:
                pass
            else:
                pytest.fail(f"{name} accepted")
    del name, value
    assert [sys.getrefcount(o) for o in (path, color, index)] == before


def test_numpy_style_bool_without_truth_value_is_refused(fresh_python):
    # A type that merely borrows numpy's name must not be read as true by default.
    out = fresh_python(
        """
        from tarnwick._logger import basic_config
        bool_ = type("bool_", (), {"__module__": "numpy"})
        try:
            basic_config(unix_ts=bool_())
        except TypeError as e:
            print(e)
        """
    )
    assert out == (
        "argument 'unix_ts': object of type 'bool_' does not define a '__bool__' conversion\n"
    )
