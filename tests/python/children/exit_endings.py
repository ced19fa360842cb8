"""Lines logged before the interpreter ends, in the way named by argv[1]; a file, so that the logger is a
global of __main__, as in a program. argv[2]: "stdout" or "file"."""

import atexit
import sys
import threading

from tarnwick._logger import PyLogger, get_logger

ending, dest = sys.argv[1:]
log = PyLogger("x", path=None if dest == "stdout" else "x.log")
for i in range(100):
    log.info("line %d", i)
get_logger("y").info("hi")
if ending == "exit":
    sys.exit(3)
elif ending == "raise":
    raise RuntimeError("boom")
elif ending == "atexit":
    atexit.register(lambda: log.info("from atexit"))
elif ending == "daemon":  # a daemon thread never ends: its last lines are handed over for it
    e = threading.Event()
    threading.Thread(daemon=True, target=lambda: (log.info("from daemon"), e.set(), threading.Event().wait())).start()
    e.wait()
