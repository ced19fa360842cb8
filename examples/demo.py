"""tarnwick at work: several loggers and threads, standard output and a dated log file, text and JSON;
a library's stdlib logging records, a caught exception, a bound request logger, a request context
and, on Python 3.14, a template-string message."""

import datetime
import logging
import os
import sys
import threading

import stdlib_library
from tarnwick import PyLevel, PyLogger, basic_config, capture_stdlib, context, get_logger

LOG_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "logs")
LOG_DIR = os.path.normpath(LOG_DIR)


def worker(log, n):
    for i in range(5):
        log.info("worker %d step %d of %d", n, i + 1, 5)
    log.warning("worker %d done in %f s", n, 0.25 * n)


def main():
    # Text records on standard output.
    console = get_logger("demo")
    console.info("tarnwick demo starting, pid %d", os.getpid())
    console.debug("dropped: the default threshold is info")
    verbose = PyLogger("demo.verbose", level=PyLevel.Debug)
    verbose.debug("shown: this logger's threshold is %r", PyLevel.Debug)

    # JSON records into a dated file under logs/.
    basic_config(path=os.path.join(LOG_DIR, "demo.log"), format="json")
    files = get_logger("api")
    threads = [threading.Thread(target=worker, args=(files, n)) for n in range(1, 4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    files.error("request %s failed: %s", "/login", ValueError("bad password\nsecond line"))
    files.shutdown()

    console.info("message with a line break\nstays on one line")

    # A library logging through the standard logging module: its records become tarnwick lines.
    capture_stdlib(level=logging.INFO)
    stdlib_library.charge("ann", 4200)

    # A request logger whose lines all carry the request's fields, and a caught exception.
    request_log = console.bind(request="r-1234", user="ann")
    request_log.info("refund requested")
    try:
        stdlib_library.refund("ann", -5)
    except ValueError:
        request_log.exception("refund failed")

    # A request context: every line inside, from any logger or library, carries its fields.
    with context(request="r-5678", user="bob"):
        console.info("checkout started")
        stdlib_library.charge("bob", 990)
        if sys.version_info >= (3, 14):
            # Compiled only where template strings exist, so the demo still runs on 3.11.
            items, total = 3, 9.9
            exec(compile('console.info(t"{items} items, total {total:.2f}")', "<demo>", "exec"))
    console.shutdown()

    day = datetime.date.today().strftime("%Y%m%d")
    path = os.path.join(LOG_DIR, f"demo_{day}.log")
    with open(path, encoding="utf-8") as f:
        lines = f.readlines()
    print(f"\n{len(lines)} JSON records appended to {path}; the last three:")
    for line in lines[-3:]:
        print("  " + line.rstrip("\n"))


if __name__ == "__main__":
    main()
