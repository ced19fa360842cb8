"""Writer sharing, writer threads, colour decision and unopenable destinations."""

import os
import subprocess

import pytest

from helpers import child_env, read_lines, run_py, today_suffix

THREADS = "import os\ndef threads(): return len(os.listdir('/proc/self/task'))\n"


def test_one_writer_thread_per_destination_text(tmp_path):
    run_py(THREADS + """
from tarnwick._logger import PyLogger, get_logger
base = threads()
a, b = PyLogger("a", path="app.log"), PyLogger("b", path="app.log")
assert threads() == base + 1, "same path text shares one writer"
c = PyLogger("c", path="./app.log")
assert threads() == base + 2, "path texts are not normalised"
out1, out2 = PyLogger(None), get_logger("x")
assert threads() == base + 3, "standard output has one writer"
empty = PyLogger("e", path="")
assert threads() == base + 4, "the empty path is a destination of its own"
a.info("1"); b.info("2"); c.info("3")
del a, b, c, out1, out2, empty
assert threads() == base, "releasing the last logger stops its writer"
for kwargs in ({"path": 3}, {"level": None}, {"level": 2}, {"path": b"x"}):
    try:
        PyLogger("x", **kwargs)
    except TypeError:
        pass
    else:
        raise AssertionError(kwargs)
assert threads() == base, "a failed argument starts no writer"
""", cwd=tmp_path)
    assert len(read_lines(tmp_path, "app_*.log")) == 3  # app.log and ./app.log share the dated file


def test_writers_keep_the_choices_they_were_made_with(tmp_path):
    run_py("""
from tarnwick._logger import PyLogger, basic_config, get_logger
basic_config(path="one.log")
a = get_logger("a")
basic_config(path="two.log", format="json")
b = get_logger("b")
c = PyLogger("c", path="one.log")   # shares a's writer: still text
for log in (a, b, c):
    log.info("hi")
del a, c, log
PyLogger("d", path="one.log").info("now json")   # a new writer follows the new settings
""", cwd=tmp_path)
    one, two = read_lines(tmp_path, "one_*.log"), read_lines(tmp_path, "two_*.log")
    assert [line[:5] for line in one] == ["time=", "time=", '{"tim']
    assert len(two) == 1 and two[0].startswith("{")


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
    os.write(2, os.read(master, 65536))
"""


@pytest.mark.parametrize("terminal, mode, env, colored", [
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
])
def test_colour_decision(terminal, mode, env, colored):
    proc = run_py(COLOR_CODE, terminal, mode, env=child_env(**env))
    out = proc.stderr if terminal == "pty" else proc.stdout
    assert '"x"' in out
    assert ("\x1b[32minfo\x1b[0m" in out) == colored and ("\x1b[2mtime=\x1b[0m" in out) == colored


def test_file_destination_colour_only_when_always(tmp_path):
    run_py("""
from tarnwick._logger import PyLogger, basic_config
PyLogger("auto", path="auto.log").info("x")
basic_config(color="always")
PyLogger("always", path="always.log").info("x")
""", cwd=tmp_path, env=child_env(FORCE_COLOR="1"))
    assert "\x1b" not in read_lines(tmp_path, "auto_*.log")[0]
    assert "\x1b[32minfo\x1b[0m" in read_lines(tmp_path, "always_*.log")[0]


FAULT_CODE = """
import os, sys, time
from tarnwick._logger import PyLogger, basic_config
fault = sys.argv[1]
path = {"under_file": "file/sub/app.log", "directory": "dir.log", "nul": "dir/a\\0b.log",
        "disk_full": "full/app.log"}.get(fault)
if fault == "stdout_closed":
    os.close(1)
elif fault == "broken_pipe":
    r, w = os.pipe()
    os.dup2(w, 1)
    os.close(r)
    os.close(w)
basic_config(batch_size=1)
log = PyLogger("x", path=path)
for i in range(20000):  # more than the 64 KiB file system and a pipe hold
    log.info("record %d of the fault test", i)
start = time.monotonic()
log.shutdown()
assert time.monotonic() - start < 4, "a writer that has ended is not waited for"
for i in range(100000):  # more batches than the queue holds: an ended writer never blocks
    log.info("after %d", i)
log.shutdown()
os.write(2, b"done\\n")
"""


@pytest.mark.parametrize("fault, error", [
    ("under_file", "Not a directory (os error 20)"),
    ("directory", "Is a directory (os error 21)"),
    ("nul", "file name contained an unexpected NUL byte"),
    ("disk_full", "No space left on device (os error 28)"),
    ("stdout_closed", None),
    ("broken_pipe", "Broken pipe (os error 32)"),
])
def test_destination_faults_report_one_line_and_go_on(tmp_path, fault, error):
    (tmp_path / "file").write_text("")
    (tmp_path / f"dir{today_suffix()}.log").mkdir()
    mounted = False
    if fault == "disk_full":
        (tmp_path / "full").mkdir()
        mount = ["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", str(tmp_path / "full")]
        if os.geteuid() != 0 or subprocess.run(mount, capture_output=True).returncode != 0:
            pytest.skip("needs root to mount a small file system")
        mounted = True
    try:
        proc = run_py(FAULT_CODE, fault, cwd=tmp_path)
    finally:
        if mounted:
            subprocess.run(["umount", str(tmp_path / "full")], check=True)
    assert proc.stderr.splitlines() == ([f"error {error}"] if error else []) + ["done"]
    assert proc.stdout == ""
