"""Markers live here rather than in pyproject.toml, so the suite runs alike when copied away from the
source tree to test an installed wheel (tools/wheels.sh, cibuildwheel)."""


def pytest_configure(config):
    config.addinivalue_line("markers", "stress: many threads and records; full size with TARNWICK_STRESS=full (make stress)")
    config.addinivalue_line("markers", "wheel: builds and installs a wheel from PyPI's build backend (make test-wheel)")
