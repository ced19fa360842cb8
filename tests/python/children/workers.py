"""A parent that logs, with a thread whose line is still pending, and four worker processes that log to the
same path, started by the method argv[1] names ("pool": a ProcessPoolExecutor). A file: the "spawn" and
"forkserver" methods import the main module again by its path. argv[2]: the path."""

import concurrent.futures
import multiprocessing
import sys
import threading

from tarnwick import PyLogger


def work(worker):
    log = PyLogger("w%d" % worker, path=sys.argv[2])
    for n in range(10_000):
        log.info("%d", n)


if __name__ == "__main__":
    parent = PyLogger("parent", path=sys.argv[2])
    parent.info("0")
    e = threading.Event()  # a thread whose line is still pending: forked workers start with a copy of it
    threading.Thread(daemon=True, target=lambda: (PyLogger("thread", path=sys.argv[2]).info("0"), e.set(),
                                                  threading.Event().wait())).start()
    e.wait()
    if sys.argv[1] == "pool":
        with concurrent.futures.ProcessPoolExecutor(4) as pool:
            list(pool.map(work, range(4)))
    else:
        workers = [multiprocessing.get_context(sys.argv[1]).Process(target=work, args=(i,)) for i in range(4)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
    parent.info("1")
