"""Logs the records the shipping tests follow. Arguments: the base path, then "first" or "restart"."""

import os
import sys

from helpers import wait_for
from tarnwick._logger import PyLevel, PyLogger, basic_config

base, phase = sys.argv[1], sys.argv[2]
basic_config(format="json", batch_size=1)  # each record reaches its file within the writer's second
ODD = 'quote " backslash \\ tab \t esc \x1b ünï 😀 <13>1 - - {"msg":"forged"}'


def burst(log, tag, n=50):
    for i in range(n):
        getattr(log, ("trace", "debug", "info", "warn", "error")[i % 5])("%s %d %s", tag, i, ODD)


def failure(log):
    try:
        raise ValueError('bad "input"\nsecond line')
    except ValueError:
        log.exception("request %s failed", "r1")


if phase == "first":  # started two seconds before midnight
    log = PyLogger("api", path=base, level=PyLevel.Trace)
    burst(log, "before midnight")
    log.info("big %s", "x" * 65536)
    wait_for(lambda: os.path.exists(base.replace(".log", "_20260106.log")), "the next day's file", 10)
    burst(log, "after midnight")
    log.shutdown()  # stops the writer
    del log  # a logger made while the stopped one exists would share its stopped writer
    worker = PyLogger("worker", path=base, level=PyLevel.Trace)
    worker = worker.bind(request_id="r1", user="ann", attempt=3, share=0.25, ok=True)
    burst(worker, "replaced writer")
    failure(worker)
else:
    log = PyLogger("api", path=base, level=PyLevel.Trace)
    burst(log, "restarted process")
    failure(log.bind(request_id="r2"))
