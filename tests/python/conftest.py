"""Markers and shared fixtures. The markers live here rather than in pyproject.toml, so the suite runs
alike when copied away from the source tree to test an installed wheel (tools/wheels.sh, cibuildwheel)."""

import subprocess

import pytest


def pytest_configure(config):
    config.addinivalue_line("markers", "stress: many threads and records; full size with TARNWICK_STRESS=full (make stress)")
    config.addinivalue_line("markers", "wheel: builds and installs a wheel from PyPI's build backend (make test-wheel)")


@pytest.fixture
def tmpfs(tmp_path, request):
    """A small tmpfs (mount options from an indirect parameter, else 256 KiB), unmounted afterwards."""
    disk = tmp_path / "disk"
    disk.mkdir()
    options = getattr(request, "param", "size=256k")
    mount = subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", str(disk)], capture_output=True)
    if mount.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs: {mount.stderr.decode().strip()}")
    try:
        yield disk
    finally:
        if subprocess.run(["umount", str(disk)]).returncode != 0:
            subprocess.run(["umount", "-l", str(disk)])
