"""Import-and-log smoke test for one interpreter (standard library only)."""

import os
import subprocess
import sys
import tempfile

CHILD = r"""
import sys
from tarnwick._logger import PyLevel, PyLogger, basic_config, get_logger
assert sys.modules["tarnwick._logger"].__all__ == ["PyLevel", "PyLogger", "basic_config", "get_logger"]
log = PyLogger("smoke", level=PyLevel.Debug)
log.info("hello %s from %d.%d", "smoke", *sys.version_info[:2])
log.debug("float %f int %d", 1.5, 42)
basic_config(path=sys.argv[1], format="json")
f = get_logger("file")
for i in range(100):
    f.info("line %d", i)
f.shutdown()
log.shutdown()
"""

with tempfile.TemporaryDirectory() as tmp:
    base = os.path.join(tmp, "smoke.log")
    # -P and a foreign working directory: the source tree must not shadow the built package.
    out = subprocess.run([sys.executable, "-P", "-c", CHILD, base], capture_output=True, text=True, timeout=60,
                         cwd=tmp)
    if out.returncode != 0:
        sys.exit(f"smoke run failed ({out.returncode}):\n{out.stdout}{out.stderr}")
    if 'msg="hello smoke from' not in out.stdout or 'msg="float 1.500000 int 42"' not in out.stdout:
        sys.exit(f"unexpected standard output:\n{out.stdout}")
    files = os.listdir(tmp)
    lines = 0
    for name in files:
        with open(os.path.join(tmp, name), encoding="utf-8") as f:
            lines += len(f.readlines())
    if lines != 100:
        sys.exit(f"expected 100 lines in {files}, found {lines}")
print(f"smoke ok: Python {sys.version.split()[0]}")
