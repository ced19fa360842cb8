"""Messages formatted straight into the thread's batch: a call that needs the interpreter partway
through leaves no partial line behind, and a nested call from an argument stays a line of its own."""

import json

import pytest

from helpers import read_lines, run_py

# In a fresh interpreter: the format is process-wide.
CODE = r"""
import sys
from tarnwick._logger import PyLogger, basic_config
basic_config(format=sys.argv[1])
log = PyLogger("direct", path="d.log")

class Logs:
    def __str__(self):
        log.info("inner %d", 1)
        return "outer"

try:
    log.info("head %s then %d", "x" * 300, "not a number")  # given up after the first argument
except TypeError:
    pass
else:
    raise AssertionError("no TypeError")
log.info("%s and %s", Logs(), 2)
log.info("%s|%r|%d|%x|%f", 'é"\n' * 200, "q", 7, 255, 0.5)  # longer than the room reserved
log.shutdown()
"""


@pytest.mark.parametrize("fmt", ["logfmt", "json"])
def test_lines_stay_whole_when_the_interpreter_takes_over(tmp_path, fmt):
    run_py(CODE, fmt, cwd=tmp_path)
    lines = read_lines(tmp_path)
    if fmt == "json":
        got = [json.loads(line)["msg"] for line in lines]
    else:
        got = [json.loads('"' + line.rsplit(' msg="', 1)[1][:-1] + '"') for line in lines]
    assert got == ["inner 1", "outer and 2", 'é"\n' * 200 + "|'q'|7|ff|0.500000"]
