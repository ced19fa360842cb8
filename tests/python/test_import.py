import inspect
import sys

import pytest

import tarnwick
import tarnwick._logger as logger_module
from tarnwick._logger import PyLevel, PyLogger, basic_config, get_logger

from conftest import run_fresh

PUBLIC = ["PyLevel", "PyLogger", "basic_config", "get_logger"]


def test_all_lists_the_four_names_in_registration_order():
    assert logger_module.__all__ == PUBLIC
    names = [n for n in vars(logger_module) if not n.startswith("__")]
    assert names[:4] == PUBLIC


def test_star_import_and_package_reexports():
    namespace = {}
    exec("from tarnwick._logger import *", namespace)
    assert sorted(n for n in namespace if n != "__builtins__") == sorted(PUBLIC)
    assert tarnwick.__all__ == PUBLIC
    assert all(getattr(tarnwick, n) is getattr(logger_module, n) for n in PUBLIC)


def test_reimport_returns_the_same_module():
    first = sys.modules.pop("tarnwick._logger")
    try:
        import tarnwick._logger as again

        assert again is first
        assert again.PyLevel is PyLevel and again.PyLevel.Info is PyLevel.Info
    finally:
        sys.modules["tarnwick._logger"] = first


@pytest.mark.parametrize("cls", [PyLevel, PyLogger])
def test_classes_are_builtins_heap_types(cls):
    name = cls.__name__
    assert (cls.__module__, cls.__qualname__) == ("builtins", name)
    assert name in ("PyLevel", "PyLogger")
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(TypeError):
        cls.extra = 1


@pytest.mark.parametrize("function", [basic_config, get_logger])
def test_functions_are_builtins_named_as_registered(function):
    assert type(function).__name__ == "builtin_function_or_method"
    assert getattr(logger_module, function.__name__) is function
    assert function.__module__ == "tarnwick._logger"


@pytest.mark.parametrize(
    "obj, signature",
    [
        (PyLogger, "(name, path=None, level=...)"),
        (PyLogger.shutdown, "($self)"),
        *[(getattr(PyLogger, m), "($self, message, *args)")
          for m in ("trace", "debug", "info", "warn", "warning", "error")],
        (get_logger, "(name, level=...)"),
        (basic_config, "(path=None, unix_ts=False, batch_size=None, color=..., format=...)"),
    ],
    ids=lambda v: getattr(v, "__name__", None) if callable(v) else None,
)
def test_text_signatures(obj, signature):
    assert obj.__text_signature__ == signature
    inspect.signature(obj)  # parseable


def test_logger_methods_in_declared_order():
    methods = [n for n, v in vars(PyLogger).items() if callable(v) and not n.startswith("__")]
    assert methods == ["shutdown", "trace", "debug", "info", "warn", "warning", "error"]


def test_internal_fault_is_reachable_but_not_public():
    fault = logger_module.InternalFault
    assert issubclass(fault, BaseException) and not issubclass(fault, Exception)
    assert "InternalFault" not in logger_module.__all__


def test_import_starts_no_thread_and_opens_no_file(fresh_python):
    out = fresh_python(
        """
        import os
        def state():
            return len(os.listdir("/proc/self/task")), sorted(os.listdir("/proc/self/fd"))
        before = state()
        import tarnwick._logger
        after = state()
        print(before == after, before, after)
        """
    )
    assert out.startswith("True"), out


def test_subinterpreter_import_is_refused():
    result = run_fresh(
        """
        import sys
        try:
            import _testcapi
        except ImportError:
            sys.exit(77)
        import tarnwick._logger
        status = _testcapi.run_in_subinterp("import tarnwick._logger")
        print(status)
        """
    )
    if result.returncode == 77:
        pytest.skip("_testcapi is not available")
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "-1"
    assert "ImportError" in result.stderr and "sub-interpreters" in result.stderr
