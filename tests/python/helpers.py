"""Shared helpers: fresh interpreters, polling with a deadline, reading log files and parsing their lines."""

import errno
import glob
import json
import os
import re
import select
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
CHILD = os.path.join(HERE, "child.py")  # the entry of every child interpreter
REPO = os.path.dirname(os.path.dirname(HERE))
# Lines a thread has handed over reach the file within one writer check; 50 ms keeps polls short.
FAST = {"TARNWICK_CHECK_INTERVAL_MS": "50"}
# The sanitizer runtime's allocator can be inherited locked by the fork child of a threaded parent.
ASAN = "asan" in os.environ.get("LD_PRELOAD", "")


def child_env(**extra):
    """This environment without colour hints, with `extra` set (None removes a variable)."""
    env = {**os.environ, "NO_COLOR": None, "FORCE_COLOR": None, **extra}
    # Children often run in a temporary directory: relative entries would stop resolving there.
    entries = [os.path.abspath(p) for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    env["PYTHONPATH"] = os.pathsep.join([*(entries or [REPO]), HERE])  # children import these helpers too
    return {key: value for key, value in env.items() if value is not None}


def child_cmd(target, *args):
    """The command that runs `target` in a fresh interpreter: a module-level function, or "FILE.py:FUNCTION" for
    one of a file that this interpreter may not compile, called with `args` (literals); or the path of a Python
    file, run as the main module with `args` (strings) as its arguments."""
    if callable(target):
        file = sys.modules[target.__module__].__file__
        # Modules of this folder by name (children import them by name too), others by their file.
        module = target.__module__ if os.path.dirname(os.path.abspath(file)) == HERE else os.path.abspath(file)
        where, args = f"{module}:{target.__qualname__}", [repr(args)]
    elif ".py:" in os.fspath(target):
        where, args = os.fspath(target), [repr(args)]
    else:
        where, args = os.fspath(target), [str(a) for a in args]
    # -P: the working directory must not shadow the package under test (PYTHONPATH picks it).
    return [sys.executable, "-P", CHILD, where, *args]


def run_in_child(target, *args, env=None, cwd=None, timeout=60, check=True, prefix=()):
    """Runs `target(*args)` (see child_cmd) in a fresh interpreter, with `env` overriding child_env();
    returns the CompletedProcess (text mode), or fails with the child's output when it ended badly."""
    cmd = [*prefix, *child_cmd(target, *args)]
    proc = subprocess.run(cmd, env=child_env(**(env or {})), cwd=cwd, capture_output=True, text=True,
                          timeout=timeout)
    if check and proc.returncode != 0:
        raise AssertionError(f"child failed ({proc.returncode}):\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}")
    return proc


def spawn(target, *args, cwd=None, text=False, stdin=None, **env):
    """Starts `target(*args)` (see child_cmd) in a fresh interpreter with piped output, without waiting for it."""
    return subprocess.Popen(child_cmd(target, *args), cwd=cwd, env=child_env(**env), text=text, stdin=stdin,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def finish(proc, timeout=600):
    """The standard output of `proc`, which must end well and write nothing on standard error."""
    try:
        out, err = proc.communicate(timeout=timeout)
    finally:
        proc.kill()
    assert proc.returncode == 0 and not err, err
    return out


def run_threads(*threads):
    """Starts the threads, then waits for every one of them."""
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def fill(directory, size):
    """Files of `size` bytes until the disk (blocks or inodes) is full; their paths."""
    made = []
    for i in range(10_000):  # bounded: the disks here are small
        path = os.path.join(directory, f"filler{i}")
        try:
            with open(path, "wb") as f:
                f.write(bytes(size))
        except OSError as e:
            assert e.errno == errno.ENOSPC, e
            if os.path.exists(path):
                os.remove(path)
            return made
        made.append(path)
    raise AssertionError("the disk never filled")


def wait_for(condition, what, timeout=30.0):
    """Polls `condition` until it returns a true value, which is returned; fails naming `what`."""
    deadline = time.monotonic() + timeout
    while not (result := condition()):
        assert time.monotonic() < deadline, f"timed out waiting for {what}"
        select.select([], [], [], 0.02)  # not time.sleep(), which faketime breaks
    return result


def wait_for_line(proc, prefix):
    """The first line of the text-mode child's standard error that starts with `prefix`."""
    while not (line := proc.stderr.readline()).startswith(prefix):
        assert line, f"child ended before {prefix!r}: {proc.wait()}"
    return line


def read_lines(directory, pattern="*"):
    """All lines of the files matching `pattern` under `directory`, file by file in name order."""
    lines = []
    for path in sorted(glob.glob(os.path.join(str(directory), pattern))):
        with open(path, encoding="utf-8") as f:
            lines.extend(f.read().split("\n")[:-1])  # not splitlines(): U+2028 and friends are not line ends
    return lines


class Bare(str):
    """A logfmt value written without quotes: a number, true, false, null."""


ANSI = re.compile(r"\x1b\[[0-9;]*m")  # markup only: values escape ESC as \u001b
PAIR = re.compile(r'([^\s="]+)=("[^"\\]*(?:\\.[^"\\]*)*"|[^\s"]*)(?: |$)')


def parse(line):
    """The members of a JSON or logfmt line in line order; quoted logfmt values unescaped, bare ones as Bare."""
    if line.startswith("{"):
        return json.loads(line)
    line, fields, pos = ANSI.sub("", line), {}, 0
    while pos < len(line):
        m = PAIR.match(line, pos)
        assert m, f"not logfmt at {pos}: {line[pos:pos + 80]!r}"
        key, value = m.groups()
        assert key not in fields, f"duplicate key {key}"
        fields[key] = json.loads(value) if value.startswith('"') else Bare(value)
        pos = m.end()
    return fields


def members(record):
    """The members after msg, in line order."""
    keys = list(record)
    return {k: record[k] for k in keys[keys.index("msg") + 1:]}
