"""Importing the module starts no thread, opens no file, keeps the GIL off and re-imports as a working module; exits 77
without _testcapi, else prints what importing it in a sub-interpreter returned. A file, not a function of a
test module: those import the package first."""

import importlib
import os
import sys
import sysconfig


def state():
    return len(os.listdir("/proc/self/task")), sorted(os.listdir("/proc/self/fd"))


before = state()
import tarnwick._logger as first  # noqa: E402

assert state() == before, "import started a thread or opened a file"
if sysconfig.get_config_var("Py_GIL_DISABLED"):
    assert not sys._is_gil_enabled(), "import turned the GIL on"
del sys.modules["tarnwick._logger"]
again = importlib.import_module("tarnwick._logger")
assert again.__all__ == first.__all__ and isinstance(again.get_logger(None), again.PyLogger)
try:
    import _testcapi
except ImportError:
    sys.exit(77)
print(_testcapi.run_in_subinterp("import tarnwick._logger"))
