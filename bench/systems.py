"""The benchmark's systems (the loggers compared, each behind one small interface) and its scenarios
(the call each makes and where its records go). Imported by the worker, so it imports nothing heavy:
each system imports its library when it opens a logger."""

import json
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

UNROLL = 10      # calls per loop iteration, so the loop's own cost is small next to a call
THREADS = 4
FT_THREADS = 8   # the producer threads of the free-threaded throughput row
# The interpreters beside the one running compare.py: a scenario with `python` set runs on that one
# (compare.py --py314 / --py314t), or is not measured when it is not given.
INTERPRETERS = ("3.14", "3.14t")

# Each scenario: the logger method, its template (printf style and, for loguru and logbook, the
# str.format equivalent), the arguments, where the records go, and the text every record shows.
SCENARIOS = {
    "file_text": dict(
        title='enabled call, one argument, text to a file: log.info("user %s logged in", "ann")',
        method="info", pct="user %s logged in", brace="user {} logged in", args=("ann",),
        dest="file", fmt="text", expect="user ann logged in", lines=True),
    "file_json": dict(
        title="the same call, JSON to a file",
        method="info", pct="user %s logged in", brace="user {} logged in", args=("ann",),
        dest="file", fmt="json", expect="user ann logged in", lines=True),
    "stdout": dict(
        title="the same call, text to standard output (/dev/null)",
        method="info", pct="user %s logged in", brace="user {} logged in", args=("ann",),
        dest="stdout", fmt="text", expect="user ann logged in", lines=True),
    "disabled": dict(
        title='disabled call: log.debug("user %s logged in", "ann") on an info logger',
        method="debug", pct="user %s logged in", brace="user {} logged in", args=("ann",),
        dest="file", fmt="text", expect=None, lines=False, also=("tarnwick-bound",)),
    "no_args": dict(
        title='call without arguments: log.info("user logged in")',
        method="info", pct="user logged in", brace="user logged in", args=(),
        dest="file", fmt="text", expect="user logged in", lines=True),
    "four_args": dict(
        title='four mixed arguments: log.info("%s %d %x %f", "ann", 42, 255, 1.5)',
        method="info", pct="%s %d %x %f", brace="{} {:d} {:x} {:f}", args=("ann", 42, 255, 1.5),
        dest="file", fmt="text", expect="ann 42 ff 1.500000", lines=True),
    "stdlib_handler": dict(
        title='a library\'s stdlib record: logging.getLogger("lib").info("x %s", 1), to a file',
        method="info", pct="x %s", brace="x {}", args=(1,),
        dest="file", fmt="text", expect="x 1", lines=True,
        systems=("stdlib-null", "tarnwick-handler", "stdlib")),
    "bound": dict(
        title='bound logger with three fields: log.info("user %s logged in", "ann"), text to a file',
        method="info", pct="user %s logged in", brace="user {} logged in", args=("ann",),
        dest="file", fmt="text", expect="user ann logged in", lines=True,
        systems=("tarnwick", "tarnwick-bound")),
    "baseline": dict(
        title='this build beside the --baseline build: log.info("user %s logged in", "ann"), text to a file, '
              'no context bound, trace ids off',
        method="info", pct="user %s logged in", brace="user {} logged in", args=("ann",),
        dest="file", fmt="text", expect="user ann logged in", lines=True,
        systems=("tarnwick", "tarnwick-baseline")),
    "context": dict(
        title='inside a request context of three fields: log.info("user %s logged in", "ann"), text to a file',
        method="info", pct="user %s logged in", brace="user {} logged in", args=("ann",),
        dest="file", fmt="text", expect="user ann logged in", lines=True,
        systems=("tarnwick-bound", "tarnwick-context", "structlog-context", "loguru-context")),
    "template": dict(
        title='template string with two names, log.info(t"user {user} logged in {n} times") with the Template '
              'built before the loop, beside the % call with two arguments; the peers inside their context',
        method="info", pct="user %s logged in %d times", brace="user {} logged in {} times", args=("ann", 3),
        dest="file", fmt="text", expect="user ann logged in 3 times", lines=True, python="3.14",
        systems=("tarnwick", "tarnwick-template", "structlog-context", "loguru-context")),
    "trace": dict(
        title='inside an OpenTelemetry span: log.info("user %s logged in", "ann") with trace_ids=True and off; '
              'the peers inside their context',
        method="info", pct="user %s logged in", brace="user {} logged in", args=("ann",),
        dest="file", fmt="text", expect="user ann logged in", lines=True, python="3.14",
        systems=("tarnwick-span", "tarnwick-trace", "structlog-context", "loguru-context")),
    "threads": dict(
        title=f"{THREADS} threads at once, the one-argument call, text to a file",
        method="info", pct="user %s logged in", brace="user {} logged in", args=("ann",),
        dest="file", fmt="text", expect="user ann logged in", lines=True, threads=THREADS,
        also=("tarnwick-baseline",),
        # Waiting for it would cost the run its timeout in every round.
        skip={"picologging": "picologging 0.9.3 deadlocks here (no CPU used, still waiting after minutes)"}),
    "threads_ft": dict(
        title=f"{FT_THREADS} threads at once on the free-threaded build, the one-argument call, text to a file",
        method="info", pct="user %s logged in", brace="user {} logged in", args=("ann",),
        dest="file", fmt="text", expect="user ann logged in", lines=True, threads=FT_THREADS, python="3.14t",
        systems=("tarnwick",)),
}


class BenchFailure(Exception):
    status = "failed"


class LostLines(BenchFailure):
    status = "lost lines"


class BadOutput(BenchFailure):
    status = "bad output"


class System:
    style = "pct"        # template style of the log call
    writes = True        # produces records that must be found in the destination

    def open(self, dest, fmt, name, path):
        """Returns a logger at level info writing to `path` (a file) or standard output."""
        raise NotImplementedError

    def close(self):
        """Returns once every record of the logger is in its destination."""


class Floor(System):
    writes = False

    def open(self, dest, fmt, name, path):
        import _bench_floor
        return _bench_floor.Floor()


class PyFormat(System):
    """Not a logger: the template's % formatting alone."""
    writes = False

    def open(self, dest, fmt, name, path):
        return None


class Tarnwick(System):
    def open(self, dest, fmt, name, path):
        from tarnwick import _logger as tw
        self.configure(path=path if dest == "file" else None, format="json" if fmt == "json" else "logfmt")
        self.log = tw.get_logger(name)
        return self.log

    def configure(self, **settings):
        from tarnwick import _logger as tw
        tw.basic_config(**settings)

    def close(self):
        self.log.shutdown()
        # Released before the next repetition's logger is made: a logger still alive would hand
        # the new one its stopped writer, and every record of that repetition would be dropped.
        self.log = None


class TarnwickBound(Tarnwick):
    """The same logger with three fields bound."""

    def open(self, dest, fmt, name, path):
        return super().open(dest, fmt, name, path).bind(request="r-1234", user="ann", attempt=3)


class TarnwickBaseline(Tarnwick):
    """Another build of tarnwick (--baseline DIR, say the main branch's), imported from DIR."""


class TarnwickContext(Tarnwick):
    """An unbound logger inside a request context of the three fields tarnwick-bound binds."""

    def open(self, dest, fmt, name, path):
        import tarnwick
        log = super().open(dest, fmt, name, path)
        self.token = tarnwick.bind_context(request="r-1234", user="ann", attempt=3)
        return log

    def close(self):
        import tarnwick
        super().close()
        tarnwick.reset_context(self.token)


class TarnwickTemplate(Tarnwick):
    """log.info(TEMPLATE): the template string's two names, the Template made outside the loop."""
    style = "template"

    def template(self, sc):
        if sys.version_info < (3, 14):
            raise NotImplementedError("template strings need Python 3.14")
        from string.templatelib import Interpolation, Template
        user, n = sc["args"]
        return Template("user ", Interpolation(user, "user"), " logged in ", Interpolation(n, "n"), " times")


class TarnwickSpan(Tarnwick):
    """Inside a current OpenTelemetry (SDK) span, trace ids off."""
    trace_ids = False

    def configure(self, **settings):
        import tarnwick
        tarnwick.basic_config(**settings, trace_ids=self.trace_ids)

    def open(self, dest, fmt, name, path):
        from opentelemetry import context, trace
        from opentelemetry.sdk.trace import TracerProvider
        self.span = TracerProvider().get_tracer("bench").start_span("request")
        self.token = context.attach(trace.set_span_in_context(self.span))
        return super().open(dest, fmt, name, path)

    def close(self):
        from opentelemetry import context
        super().close()
        context.detach(self.token)
        self.span.end()


class TarnwickTrace(TarnwickSpan):
    """The same with basic_config(trace_ids=True)."""
    trace_ids = True


class Stdlib(System):
    """A file handler with a time/level/name/message formatter on a stdlib-shaped logger."""
    module = "logging"   # picologging has the same shape

    def _handler(self, dest, path):
        lib = __import__(self.module)
        return lib.FileHandler(path, encoding="utf-8") if dest == "file" else lib.StreamHandler(sys.stdout)

    def _formatter(self, fmt):
        import logging
        if fmt != "json":
            return logging.Formatter("%(asctime)s %(levelname)s %(name)s %(message)s")

        class JsonFormatter(logging.Formatter):   # the stdlib has none; this is the usual one
            def format(self, record):
                return json.dumps({"ts": self.formatTime(record), "level": record.levelname,
                                   "logger": record.name, "msg": record.getMessage()})
        return JsonFormatter()

    def open(self, dest, fmt, name, path):
        lib = __import__(self.module)
        self.handler = self._handler(dest, path)
        formatter = self._formatter(fmt)
        if formatter is not None:
            self.handler.setFormatter(formatter)
        self.logger = lib.getLogger(name)
        self.logger.propagate = False
        self.logger.setLevel(lib.INFO)
        self.front = self._front()
        self.logger.addHandler(self.front)
        return self.logger

    def _front(self):
        return self.handler

    def close(self):
        self.handler.flush()
        self.handler.close()
        self.logger.removeHandler(self.front)


class TarnwickHandler(Stdlib):
    """A stdlib logger whose records go through tarnwick.Handler."""

    def open(self, dest, fmt, name, path):
        import tarnwick
        tarnwick.basic_config(format="json" if fmt == "json" else "logfmt")  # before the handler's writer
        return super().open(dest, fmt, name, path)

    def _handler(self, dest, path):
        import tarnwick
        return tarnwick.Handler(path if dest == "file" else None)

    def _formatter(self, fmt):
        return None   # the handler renders the line itself


def _stream(dest, path):
    return open(path, "w", encoding="utf-8") if dest == "file" else sys.stdout


class StdlibNull(Stdlib):
    """The stdlib's own cost of a record: a logger whose only handler is a NullHandler."""
    writes = False

    def _handler(self, dest, path):
        import logging
        return logging.NullHandler()


class StdlibQueue(Stdlib):
    """QueueHandler in the caller, the formatting file handler on a QueueListener thread."""

    def _front(self):
        import logging.handlers
        import queue
        q = queue.SimpleQueue()
        self.listener = logging.handlers.QueueListener(q, self.handler)
        self.listener.start()
        return logging.handlers.QueueHandler(q)

    def close(self):
        self.listener.stop()   # drains the queue, then joins the thread
        super().close()


class Picologging(Stdlib):
    """picologging's drop-in FileHandler and Formatter, the stdlib's format string."""
    module = "picologging"

    def _formatter(self, fmt):
        import picologging
        if fmt != "json":
            return picologging.Formatter("%(asctime)s %(levelname)s %(name)s %(message)s")

        class JsonFormatter(picologging.Formatter):   # picologging's has no formatTime
            def format(self, record):
                import datetime
                ts = datetime.datetime.fromtimestamp(record.created).isoformat(sep=" ")
                return json.dumps({"ts": ts, "level": record.levelname,
                                   "logger": record.name, "msg": record.getMessage()})
        return JsonFormatter()


class Structlog(System):
    def processors(self):
        import structlog
        return [structlog.processors.add_log_level, structlog.processors.TimeStamper(fmt="iso")]

    def open(self, dest, fmt, name, path):
        import logging
        import structlog
        p = structlog.processors
        # The configuration structlog's performance guide calls fastest: level filtering in the
        # wrapper class, no stdlib, bytes straight to the file through BytesLogger, and (for
        # JSON) orjson serialising to bytes.
        self.stream = open(path, "wb") if dest == "file" else sys.stdout.buffer
        if fmt == "json":
            import orjson
            renderer = p.JSONRenderer(serializer=orjson.dumps)
        else:
            logfmt = p.LogfmtRenderer()
            renderer = lambda logger, method, event: logfmt(logger, method, event).encode()
        return structlog.wrap_logger(
            structlog.BytesLogger(self.stream),
            processors=[*self.processors(), renderer],
            wrapper_class=structlog.make_filtering_bound_logger(logging.INFO),
            cache_logger_on_first_use=True,
        ).bind(logger=name)

    def close(self):
        self.stream.flush()
        if self.stream is not sys.stdout.buffer:
            self.stream.close()


class StructlogContext(Structlog):
    """structlog's request context: merge_contextvars first, three fields bound with bind_contextvars."""

    def open(self, dest, fmt, name, path):
        import structlog
        log = super().open(dest, fmt, name, path)
        structlog.contextvars.bind_contextvars(request="r-1234", user="ann", attempt=3)
        return log

    def processors(self):
        import structlog
        return [structlog.contextvars.merge_contextvars, *super().processors()]

    def close(self):
        import structlog
        super().close()
        structlog.contextvars.clear_contextvars()


class Loguru(System):
    style = "brace"
    enqueue = False
    format = "{time} {level} {name} {message}"

    def open(self, dest, fmt, name, path):
        from loguru import logger
        logger.remove()
        self.id = logger.add(path if dest == "file" else sys.stdout, level="INFO",
                             format=self.format, colorize=False,
                             serialize=(fmt == "json"), enqueue=self.enqueue)
        self.logger = logger
        return logger.bind(logger=name)

    def close(self):
        if self.enqueue:
            self.logger.complete()    # the queue's thread has handed every record to the sink
        self.logger.remove(self.id)   # flushes and closes the sink


class LoguruContext(Loguru):
    """loguru's request context: three fields through logger.contextualize(), shown in the line."""
    format = "{time} {level} {name} {message} {extra}"

    def open(self, dest, fmt, name, path):
        log = super().open(dest, fmt, name, path)
        self.scope = self.logger.contextualize(request="r-1234", user="ann", attempt=3)
        self.scope.__enter__()
        return log

    def close(self):
        super().close()
        self.scope.__exit__(None, None, None)


class LoguruEnqueue(Loguru):
    """loguru with enqueue=True: records go through a queue to a thread of its own."""
    enqueue = True


class Logbook(System):
    style = "brace"

    def open(self, dest, fmt, name, path):
        import logbook
        if dest == "file":
            self.handler = logbook.FileHandler(path, mode="w", level="INFO", bubble=False)
        else:
            self.handler = logbook.StreamHandler(sys.stdout, level="INFO", bubble=False)
        if fmt == "json":
            self.handler.formatter = lambda r, h: json.dumps(
                {"ts": r.time.isoformat(), "level": r.level_name, "logger": r.channel,
                 "msg": r.message})
        self.handler.push_application()
        log = logbook.Logger(name)
        log.level = logbook.INFO   # otherwise a disabled call builds a record first
        return log

    def close(self):
        self.handler.pop_application()
        self.handler.close()


SYSTEMS = {
    "floor": Floor, "% alone": PyFormat, "tarnwick": Tarnwick, "stdlib": Stdlib,
    "stdlib-queue": StdlibQueue, "picologging": Picologging, "structlog": Structlog,
    "loguru": Loguru, "loguru-enqueue": LoguruEnqueue, "logbook": Logbook,
    "tarnwick-bound": TarnwickBound, "tarnwick-handler": TarnwickHandler, "stdlib-null": StdlibNull,
    "tarnwick-baseline": TarnwickBaseline, "tarnwick-context": TarnwickContext,
    "tarnwick-template": TarnwickTemplate, "tarnwick-span": TarnwickSpan, "tarnwick-trace": TarnwickTrace,
    "structlog-context": StructlogContext, "loguru-context": LoguruContext,
}
# Systems that only run in the scenarios that name them (`systems` or `also`).
NAMED_ONLY = {"tarnwick-bound", "tarnwick-handler", "stdlib-null", "tarnwick-baseline", "tarnwick-context",
              "tarnwick-template", "tarnwick-span", "tarnwick-trace", "structlog-context", "loguru-context"}


def scenario_members(sc, systems):
    scenario = SCENARIOS[sc]
    if "systems" in scenario:
        return [s for s in systems if s in scenario["systems"]]
    return [s for s in systems if (s not in NAMED_ONLY or s in scenario.get("also", ()))
            and (s != "% alone" or sc in ("file_text", "four_args"))]
# The peers and their distributions: one not installed is reported as not measured.
OPTIONAL = {"picologging": "picologging", "structlog": "structlog", "loguru": "loguru",
            "loguru-enqueue": "loguru", "logbook": "logbook", "structlog-context": "structlog",
            "loguru-context": "loguru", "tarnwick-span": "opentelemetry-sdk", "tarnwick-trace": "opentelemetry-sdk"}
