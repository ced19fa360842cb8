"""Writer sharing, writer threads, colour decision and unopenable destinations."""

import os

import pytest

from helpers import child_env, read_lines, run_py

THREADS = "import os\ndef threads(): return len(os.listdir('/proc/self/task'))\n"


def test_one_writer_thread_per_destination_text(tmp_path):
    run_py(
        THREADS
        + """
from tarnwick._logger import PyLogger, get_logger
base = threads()
a = PyLogger("a", path="app.log")
b = PyLogger("b", path="app.log")
assert threads() == base + 1, "same path text shares one writer"
c = PyLogger("c", path="./app.log")
assert threads() == base + 2, "path texts are not normalised"
out1 = PyLogger(None)
out2 = get_logger("x")
assert threads() == base + 3, "standard output has one writer"
empty = PyLogger("e", path="")
assert threads() == base + 4, "the empty path is a destination of its own"
for log in (a, b, c):
    log.info("via %s", "x")
del a, b, c, out1, out2, empty, log
assert threads() == base, "releasing the last logger stops its writer"
""",
        cwd=tmp_path,
    )
    # app.log and ./app.log both append to the same dated file
    assert len(read_lines(tmp_path, "app_*.log")) == 3


def test_new_writer_after_release_follows_new_settings(tmp_path):
    run_py(
        THREADS
        + """
from tarnwick._logger import PyLogger, basic_config
base = threads()
a = PyLogger("a", path="f.log")
a.info("text line")
del a
assert threads() == base
basic_config(format="json")
b = PyLogger("b", path="f.log")
assert threads() == base + 1
b.info("json line")
""",
        cwd=tmp_path,
    )
    lines = read_lines(tmp_path, "f_*.log")
    assert lines[0].startswith("time=") and lines[0].endswith('msg="text line"')
    assert lines[1].startswith('{"time":"') and lines[1].endswith('"msg":"json line"}')


def test_live_writer_keeps_its_choices(tmp_path):
    run_py(
        """
from tarnwick._logger import PyLogger, basic_config, get_logger
basic_config(path="one.log")
a = get_logger("a")
basic_config(path="two.log", format="json")
b = get_logger("b")
c = PyLogger("c", path="one.log")   # shares a's writer: still text
for log in (a, b, c):
    log.info("hi")
""",
        cwd=tmp_path,
    )
    one = read_lines(tmp_path, "one_*.log")
    two = read_lines(tmp_path, "two_*.log")
    assert len(one) == 2 and all(line.startswith("time=") for line in one)
    assert len(two) == 1 and two[0].startswith("{")


def test_failed_argument_starts_no_writer():
    run_py(
        THREADS
        + """
from tarnwick._logger import PyLogger, PyLevel
base = threads()
for kwargs in ({"path": 3}, {"level": None}, {"level": 2}, {"path": b"x"}):
    try:
        PyLogger("x", **kwargs)
    except TypeError:
        pass
    else:
        raise AssertionError(kwargs)
assert threads() == base
"""
    )


COLOR_CODE = """
import os, sys
from tarnwick._logger import PyLogger, basic_config
if sys.argv[1] == "pty":
    master, slave = os.openpty()
    os.dup2(slave, 1)
if sys.argv[2] != "default":
    basic_config(color=sys.argv[2])
log = PyLogger("c")
log.info("x")
log.shutdown()
if sys.argv[1] == "pty":
    data = os.read(master, 65536)
    os.write(2, data)
"""


@pytest.mark.parametrize(
    "terminal, mode, env, colored",
    [
        ("pipe", "default", {}, False),
        ("pty", "default", {}, True),
        ("pty", "default", {"NO_COLOR": "1"}, False),
        ("pipe", "default", {"FORCE_COLOR": "1"}, True),
        ("pipe", "default", {"NO_COLOR": "1", "FORCE_COLOR": "1"}, False),
        ("pipe", "default", {"NO_COLOR": "", "FORCE_COLOR": "1"}, True),
        ("pipe", "default", {"FORCE_COLOR": "0"}, False),
        ("pty", "default", {"FORCE_COLOR": "0"}, True),
        ("pipe", "default", {"FORCE_COLOR": "false"}, True),
        ("pipe", "always", {"NO_COLOR": "1"}, True),
        ("pty", "off", {"FORCE_COLOR": "1"}, False),
        ("pty", "ALWAYS", {}, True),  # unrecognised means auto: the terminal decides
    ],
)
def test_colour_decision(terminal, mode, env, colored):
    proc = run_py(COLOR_CODE, terminal, mode, env=child_env(**env))
    out = proc.stderr if terminal == "pty" else proc.stdout
    assert '"x"' in out
    assert ("\x1b[32minfo\x1b[0m" in out) == colored
    assert ("\x1b[2mtime=\x1b[0m" in out) == colored


def test_file_destination_colour_only_when_always(tmp_path):
    run_py(
        """
from tarnwick._logger import PyLogger, basic_config
PyLogger("auto", path="auto.log").info("x")
basic_config(color="always")
PyLogger("always", path="always.log").info("x")
""",
        cwd=tmp_path,
        env=child_env(FORCE_COLOR="1"),
    )
    assert "\x1b" not in read_lines(tmp_path, "auto_*.log")[0]
    assert "\x1b[32minfo\x1b[0m" in read_lines(tmp_path, "always_*.log")[0]


def test_unopenable_destination_reports_once_and_loses_silently(tmp_path):
    (tmp_path / "file").write_text("")
    proc = run_py(
        """
import time
from tarnwick._logger import PyLogger, basic_config
basic_config(batch_size=1)
log = PyLogger("x", path="file/sub/app.log")
for i in range(100):
    log.info("lost %d", i)
start = time.monotonic()
log.shutdown()
assert time.monotonic() - start < 4, "a writer that has ended is not waited for"
log.info("after shutdown")
""",
        cwd=tmp_path,
    )
    errors = proc.stderr.splitlines()
    assert errors == ["error Not a directory (os error 20)"]
    assert proc.stdout == ""
    assert os.listdir(tmp_path) == ["file"]
