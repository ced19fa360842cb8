"""A worker joined by an atexit handler registered before the import, and a daemon thread that keeps waiting in
shutdown() while the interpreter finalises. A file: what happens depends on __main__ and the import order.
argv[1]: how the worker waits, "shutdown" or "flush"."""

import atexit
import sys
import threading
import time

stop = threading.Event()


def stop_worker():
    stop.set()
    worker.join()
    print("worker joined", flush=True)


atexit.register(stop_worker)
import tarnwick  # noqa: E402


def work():
    log, handler = tarnwick.get_logger("worker"), tarnwick.Handler()
    try:
        while not stop.wait(0.05):
            log.info("tick")
    finally:
        log.shutdown() if sys.argv[1] == "shutdown" else handler.flush()


def wait_again_and_again(log=tarnwick.PyLogger("x", path="x.log"), other=tarnwick.PyLogger("y", path="x.log")):
    while True:
        log.shutdown()  # never the sole owner: it never stops the writer


class Slow:
    def __del__(self, sleep=time.sleep):
        sleep(0.5)  # lets go of the interpreter as it finalises: the daemon thread comes back meanwhile


worker = threading.Thread(target=work, daemon=True)
worker.start()
threading.Thread(target=wait_again_and_again, daemon=True).start()
time.sleep(0.2)
sys.slow = Slow()  # cleared late: __main__ stays alive with its daemon threads
