"""Shared helpers for tests that need a fresh interpreter or read log files."""

import datetime
import glob
import os
import subprocess
import sys
import textwrap

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def child_env(**extra):
    env = dict(os.environ)
    # Children often run in a temporary directory: relative entries would stop resolving there.
    entries = [os.path.abspath(p) for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    env["PYTHONPATH"] = os.pathsep.join(entries or [REPO])
    env.pop("NO_COLOR", None)
    env.pop("FORCE_COLOR", None)
    for key, value in extra.items():
        if value is None:
            env.pop(key, None)
        else:
            env[key] = value
    return env


def run_py(code, *args, env=None, cwd=None, timeout=60, check=True, prefix=None):
    """Runs `code` in a fresh interpreter; returns the CompletedProcess (text mode)."""
    # -P: the working directory must not shadow the package under test (PYTHONPATH picks it).
    cmd = [sys.executable, "-P", "-c", textwrap.dedent(code), *args]
    if prefix:
        cmd = [*prefix, *cmd]
    proc = subprocess.run(cmd, env=env or child_env(), cwd=cwd, capture_output=True, text=True, timeout=timeout)
    if check and proc.returncode != 0:
        raise AssertionError(f"child failed ({proc.returncode}):\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}")
    return proc


def today_suffix():
    return datetime.date.today().strftime("_%Y%m%d")


def read_lines(directory, pattern="*"):
    """All lines of the files matching `pattern` under `directory`, file by file in name order."""
    lines = []
    for path in sorted(glob.glob(os.path.join(directory, pattern))):
        with open(path, encoding="utf-8") as f:
            lines.extend(f.read().splitlines())
    return lines
