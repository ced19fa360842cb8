"""The module's surface: names, sealed types, the level members, and what import does.
(Signatures: the stub check, make test-stubs.)"""

import operator
import os

import pytest

import tarnwick
import tarnwick._logger as logger_module
from tarnwick._logger import PyLevel, PyLogger

from helpers import HERE, run_in_child

PUBLIC = ["PyLevel", "PyLogger", "basic_config", "get_logger"]
PACKAGE = ["bind_context", "context", "current_context", "reset_context"]  # the package's own
LEVELS = [("Trace", 0), ("Debug", 1), ("Info", 2), ("Warn", 3), ("Error", 4)]


def test_public_names():
    assert logger_module.__all__ == PUBLIC and tarnwick.__all__ == PUBLIC + PACKAGE
    # The package's basic_config is a superset of the extension's, which stays as it is.
    assert all(getattr(tarnwick, n) is getattr(logger_module, n) for n in PUBLIC if n != "basic_config")
    # Reachable for the package, but not an Exception: `except Exception` must not swallow it.
    assert not issubclass(logger_module.InternalFault, Exception)
    for cls in (PyLevel, PyLogger):  # sealed built-in types
        assert (cls.__module__, cls.__qualname__) == ("builtins", cls.__name__)
        pytest.raises(TypeError, type, "Sub", (cls,), {})
        pytest.raises(TypeError, setattr, cls, "extra", 1)


def test_level_members_compare_by_identity_only():
    members = [getattr(PyLevel, name) for name, _ in LEVELS]
    assert all(type(m) is PyLevel and getattr(PyLevel, n) is m for m, (n, _) in zip(members, LEVELS))
    assert [(int(m), repr(m), str(m)) for m in members] == [(v, f"PyLevel.{n}", f"PyLevel.{n}") for n, v in LEVELS]
    assert len(set(members)) == 5 and {PyLevel.Info: 1}[PyLevel.Info] == 1 and PyLevel.Info != PyLevel.Warn
    assert PyLevel.Debug != 1 and PyLevel.Info != "PyLevel.Info"
    for use in (operator.lt, operator.le, operator.gt, operator.ge,  # unordered
                lambda a, b: operator.index(a), lambda a, b: [0, 1, 2][a], lambda a, b: hex(a),  # no index
                lambda a, b: PyLevel(), lambda a, b: type(a)(2)):  # no constructor
        pytest.raises(TypeError, use, PyLevel.Info, PyLevel.Warn)


def test_import_starts_nothing_and_loads_in_sub_interpreters():
    result = run_in_child(os.path.join(HERE, "children", "fresh_import.py"), check=False)
    if result.returncode == 77:
        pytest.skip("_testcapi is not available for the sub-interpreter part")
    assert (result.returncode, result.stdout) == (0, "0\n"), result.stderr
