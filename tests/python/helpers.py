"""Shared helpers for tests that need a fresh interpreter or read log files."""

import datetime
import glob
import os
import subprocess
import sys
import textwrap
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
# Lines a thread has handed over reach the file within one writer check; 50 ms keeps polls short.
FAST = {"TARNWICK_CHECK_INTERVAL_MS": "50"}


def child_env(**extra):
    """This environment without colour hints, with `extra` set (None removes a variable)."""
    env = {**os.environ, "NO_COLOR": None, "FORCE_COLOR": None, **extra}
    # Children often run in a temporary directory: relative entries would stop resolving there.
    entries = [os.path.abspath(p) for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    env["PYTHONPATH"] = os.pathsep.join([*(entries or [REPO]), HERE])  # children import these helpers too
    return {key: value for key, value in env.items() if value is not None}


def child_cmd(code, *args):
    # -P: the working directory must not shadow the package under test (PYTHONPATH picks it).
    return [sys.executable, "-P", "-c", textwrap.dedent(code), *map(str, args)]


def run_py(code, *args, env=None, cwd=None, timeout=60, check=True, prefix=()):
    """Runs `code` in a fresh interpreter; returns the CompletedProcess (text mode)."""
    cmd = [*prefix, *child_cmd(code, *args)]
    proc = subprocess.run(cmd, env=env or child_env(), cwd=cwd, capture_output=True, text=True, timeout=timeout)
    if check and proc.returncode != 0:
        raise AssertionError(f"child failed ({proc.returncode}):\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}")
    return proc


def wait_for(condition, what, timeout=30.0):
    """Polls `condition` until it returns a true value, which is returned; fails naming `what`."""
    deadline = time.monotonic() + timeout
    while not (result := condition()):
        assert time.monotonic() < deadline, f"timed out waiting for {what}"
        time.sleep(0.02)
    return result


def today_suffix():
    return datetime.date.today().strftime("_%Y%m%d")


def read_lines(directory, pattern="*"):
    """All lines of the files matching `pattern` under `directory`, file by file in name order."""
    lines = []
    for path in sorted(glob.glob(os.path.join(str(directory), pattern))):
        with open(path, encoding="utf-8") as f:
            lines.extend(f.read().split("\n")[:-1])  # not splitlines(): U+2028 and friends are not line ends
    return lines


def msgs(directory, pattern="*"):
    """The messages of the text lines in the files matching `pattern`."""
    return [line.rsplit(' msg="', 1)[1][:-1] for line in read_lines(directory, pattern)]
