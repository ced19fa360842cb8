"""Accepted basic_config() arguments change the process-wide settings, which new writers take up; failing calls
change nothing. A file, not a function of test_arguments, whose import makes a logger to standard output."""

import contextlib
import glob

import numpy

from helpers import wait_for
from tarnwick._logger import PyLogger, basic_config, get_logger

ACCEPTED = [
    ((), {}), (("app.log", True, 0, "always", "json"), {}), ((), {"batch_size": True}),
    ((), {"batch_size": 2**64 - 1}),
    ((), {"path": None, "unix_ts": False, "batch_size": None, "color": "off", "format": "logfmt"}),
    ((), {"batch_size": numpy.int64(7)}), ((), {"unix_ts": numpy.True_}), ((), {"unix_ts": numpy.bool_(False)}),
    ((), {"color": "ALWAYS", "format": " json"}), ((), {"path": "", "color": "", "format": ""}),
    ((), {"path": "logs/\u00e9t\u00e9"}),
]
assert [basic_config(*args, **kwargs) for args, kwargs in ACCEPTED] == [None] * len(ACCEPTED)
basic_config()  # back to the defaults, but for the batch size
for bad in (dict(path="x", batch_size=-1), dict(path="x", unix_ts=True, format="json", color=None)):
    with contextlib.suppress(TypeError, OverflowError):
        basic_config(**bad)
s = get_logger("s")  # standard output, logfmt, calendar time: the failing calls changed nothing
basic_config(batch_size=True)  # one record per batch
basic_config(path="b.log", unix_ts=numpy.True_, format="JSON")  # batch size kept; "JSON" is not "json"
get_logger("b").info("y")
s.info("plain")
PyLogger("t").info("shared")  # shares the writer of `s`, with its settings


def read():
    return "".join(open(p).read() for p in glob.glob("b_*.log"))


wait_for(read, "the record, handed over alone")  # a 32-record batch would wait for shutdown
print("files", *sorted(glob.glob("*")), read(), end="")
