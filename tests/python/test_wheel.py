"""`pip install .` as a user runs it: a wheel from the build backend, installed and used elsewhere."""

import os
import subprocess
import sys
import venv
import zipfile

import pytest

from helpers import REPO

pytestmark = pytest.mark.wheel


def test_wheel_installs_the_package_and_logs(tmp_path):
    dist = tmp_path / "dist"
    subprocess.run([sys.executable, "-m", "pip", "wheel", "--no-deps", "-q", "-w", dist, REPO],
                   check=True, cwd=tmp_path, timeout=900)
    (wheel,) = dist.glob("tarnwick-*.whl")
    names = zipfile.ZipFile(wheel).namelist()
    for wanted in ("tarnwick/__init__.py", "tarnwick/_logger.pyi", "tarnwick/py.typed"):
        assert wanted in names
    assert any(n.startswith("tarnwick/_logger") and n.endswith(".so") for n in names), names

    env_dir = tmp_path / "env"
    venv.create(env_dir, with_pip=True)
    python = env_dir / "bin" / "python"
    subprocess.run([python, "-m", "pip", "install", "-q", "--no-deps", wheel], check=True, timeout=300)
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    code = "import tarnwick; print(tarnwick.__file__); tarnwick.PyLogger('w').info('from %s', 'wheel')"
    # From another directory, so neither the source tree nor the in-place build can stand in.
    out = subprocess.run([python, "-P", "-c", code], env=env, cwd=tmp_path, capture_output=True, text=True,
                         check=True, timeout=60).stdout
    assert out.splitlines()[0].startswith(str(env_dir))
    assert out.splitlines()[1].endswith('level=info name=w msg="from wheel"')
