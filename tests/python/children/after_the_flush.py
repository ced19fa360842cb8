"""A line logged after the module's exit flush, from where argv[1] names: an atexit handler registered before
the import, a daemon thread meanwhile, or __del__ as the interpreter clears the modules. A file: what happens
depends on __main__ and the import order."""

import atexit
import sys
import threading

late = sys.argv[1]
if late == "atexit":
    atexit.register(lambda: tarnwick.get_logger("app").info("goodbye"))
elif late == "daemon":
    ask, done = threading.Event(), threading.Event()
    atexit.register(lambda: (ask.set(), done.wait(10)))
import tarnwick  # noqa: E402


def hold(log):
    if late == "daemon":
        ask.wait()
        log.info("goodbye")
        done.set()
    threading.Event().wait()


threading.Thread(target=hold, args=(tarnwick.get_logger("app"),), daemon=True).start()


class Farewell:
    def __init__(self):
        self.log = tarnwick.get_logger("app")

    def __del__(self):
        self.log.info("goodbye")


if late == "__del__":
    sys.farewell = Farewell()  # cleared late: __main__ stays alive with its daemon thread
