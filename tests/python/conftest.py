import os
import subprocess
import sys
import textwrap

import pytest

import tarnwick._logger

# The directory holding the `tarnwick` package this test run imported, so that child
# interpreters load the same build.
PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(tarnwick._logger.__file__)))


def run_fresh(code, env=None):
    """Runs `code` in a fresh interpreter, where process-wide settings and flags start anew."""
    environment = dict(os.environ)
    environment["PYTHONPATH"] = os.pathsep.join(
        p for p in (PACKAGE_ROOT, os.environ.get("PYTHONPATH")) if p
    )
    environment.update(env or {})
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=environment,
        cwd=PACKAGE_ROOT,  # `-c` puts the cwd first on sys.path: keep a source tarnwick/ out
        timeout=60,
        capture_output=True,
        text=True,
    )


@pytest.fixture
def fresh_python():
    """Runs a snippet in a fresh interpreter; it must succeed. Returns its standard output."""

    def run(code, env=None):
        result = run_fresh(code, env)
        assert result.returncode == 0, result.stderr
        return result.stdout

    return run
