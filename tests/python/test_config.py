import pathlib
import re
import sys

import numpy
import pytest

from tarnwick._logger import PyLevel, basic_config

from helpers import run_py

ACCEPTED = [
    "", "'app.log', True, 0, 'always', 'json'", "batch_size=True", "batch_size=2**64 - 1",
    "path=None, unix_ts=False, batch_size=None, color='off', format='logfmt'", "batch_size=numpy.int64(7)",
    "unix_ts=numpy.True_", "unix_ts=numpy.bool_(False)", "color='ALWAYS', format=' json'",
    "path='', color='', format=''", "path='logs/\u00e9t\u00e9'",
]


class Index:
    def __init__(self, error, text):
        self.error, self.text = error, text

    def __index__(self):
        raise self.error(self.text)  # a fresh one: no traceback kept on self


CAST = "argument '{}': '{}' object cannot be cast as '{}'"
NOT_INT = "argument 'batch_size': '{}' object cannot be interpreted as an integer"


@pytest.mark.parametrize("kwargs, error, message", [
    (dict(path=3), TypeError, CAST.format("path", "int", "str")),
    (dict(path=pathlib.PurePosixPath("a")), TypeError, CAST.format("path", "PurePosixPath", "str")),
    (dict(unix_ts=1), TypeError, CAST.format("unix_ts", "int", "bool")),
    (dict(unix_ts=numpy.int64(1)), TypeError, CAST.format("unix_ts", "int64", "bool")),
    # Borrowing numpy's name is not enough: the default truth value would read as true.
    (dict(unix_ts=type("bool_", (), {"__module__": "numpy"})()), TypeError,
     "argument 'unix_ts': object of type 'bool_' does not define a '__bool__' conversion"),
    (dict(color=PyLevel.Info), TypeError, CAST.format("color", "PyLevel", "str")),
    (dict(format=None), TypeError, CAST.format("format", "NoneType", "str")),
    (dict(batch_size=1.5), TypeError, NOT_INT.format("float")),
    (dict(batch_size=PyLevel.Info), TypeError, NOT_INT.format("builtins.PyLevel")),
    (dict(batch_size=Index(TypeError, "no index")), TypeError, "argument 'batch_size': no index"),
    (dict(batch_size=-1), OverflowError, "can't convert negative int to unsigned"),
    (dict(batch_size=Index(ValueError, "bad")), ValueError, "bad"),
    (dict(path="\udc80"), UnicodeEncodeError, None),
    (dict(format="\ud800json"), UnicodeEncodeError, None),
    # Conversion runs in parameter order: the earlier parameter is the one reported.
    (dict(format=None, path=1), TypeError, CAST.format("path", "int", "str")),
    (dict(color=None, batch_size=-1), OverflowError, "can't convert negative int to unsigned"),
])
def test_rejected_arguments(kwargs, error, message):
    with pytest.raises(error) as caught:
        basic_config(**kwargs)
    assert type(caught.value) is error
    assert message is None or str(caught.value) == message


def test_rejected_calls_keep_no_reference():
    # Bound arguments are borrowed: a failing call must leave reference counts as they were.
    values = {"path": object(), "color": object(), "batch_size": Index(TypeError, "x")}
    before = [sys.getrefcount(v) for v in values.values()]
    for name, value in values.items():
        with pytest.raises(TypeError):
            basic_config(**{name: value})
    del value
    assert [sys.getrefcount(v) for v in values.values()] == before


def test_accepted_arguments_and_what_they_change(tmp_path):
    # In a child: successful calls change process-wide settings.
    out = run_py(f"""
        import glob, numpy, time
        from tarnwick._logger import PyLogger, basic_config, get_logger
        assert [{", ".join(f"basic_config({a})" for a in ACCEPTED)}] == [None] * {len(ACCEPTED)}
        basic_config()  # back to the defaults, but for the batch size
        for bad in (dict(path="x", batch_size=-1), dict(path="x", unix_ts=True, format="json", color=None)):
            try:
                basic_config(**bad)
            except (TypeError, OverflowError):
                pass
        s = get_logger("s")
        s.info("plain")  # stdout, logfmt, calendar time: the failing calls changed nothing
        basic_config(batch_size=True)  # one record per batch
        basic_config(unix_ts=numpy.True_, format="JSON")  # batch size kept; "JSON" is not "json"
        b = PyLogger("b", path="b.log")
        b.info("y")
        time.sleep(2.6)  # the writer flushes within about two seconds; a 32-record batch would wait
        print("files", *sorted(glob.glob("*")), open(glob.glob("b_*.log")[0]).read(), end="")
        """, cwd=tmp_path).stdout
    for line in (r"files b_\d{8}\.log time=\d+\.\d{9} level=info name=b msg=\"y\"",
                 r"time=\d{4}-\S+ level=info name=s msg=\"plain\""):
        assert re.search(f"^{line}$", out, re.M), out
