#!/usr/bin/env python3
"""Side-by-side benchmark: tarnwick against the standard library's logging and the other Python
logging libraries (requirements/bench.txt), with a do-nothing extension call as the floor.

Every (system, scenario) pair runs in its own subprocess (the worker half of this file), which
prints one JSON result line; the parent collects them and prints a markdown report. See
bench/README.md for the columns and the targets.
"""
# The worker half runs with only these imported, so the interpreter's resident size at start
# (the baseline of the memory run) is not inflated by the parent's modules.
import gc
import json
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

UNROLL = 10      # calls per loop iteration, so the loop's own cost is small next to a call
THREADS = 4

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
        dest="file", fmt="text", expect="user ann logged in 3 times", lines=True,
        systems=("tarnwick", "tarnwick-template", "structlog-context", "loguru-context")),
    "trace": dict(
        title='inside an OpenTelemetry span: log.info("user %s logged in", "ann") with trace_ids=True and off; '
              'the peers inside their context',
        method="info", pct="user %s logged in", brace="user {} logged in", args=("ann",),
        dest="file", fmt="text", expect="user ann logged in", lines=True,
        systems=("tarnwick-span", "tarnwick-trace", "structlog-context", "loguru-context")),
    "threads": dict(
        title=f"{THREADS} threads at once, the one-argument call, text to a file",
        method="info", pct="user %s logged in", brace="user {} logged in", args=("ann",),
        dest="file", fmt="text", expect="user ann logged in", lines=True, threads=THREADS),
}


# ------------------------------------------------------------------------------------------------
# Worker: the systems under test
# ------------------------------------------------------------------------------------------------

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


def call_source(system, sc):
    if isinstance(system, PyFormat):
        return f"{sc['pct']!r} % {tuple(sc['args'])!r}"
    if system.style == "template":
        return f"log.{sc['method']}(TEMPLATE)"
    template = sc["brace"] if system.style == "brace" else sc["pct"]
    args = "".join(", " + repr(a) for a in sc["args"])
    return f"log.{sc['method']}({template!r}{args})"


def make_loop(source, names=None):
    """A function calling `source` UNROLL times per iteration, with constants as literals (and
    `names`, made before, as globals)."""
    body = "\n".join("        " + source for _ in range(UNROLL))
    code = f"def loop(log, iterations):\n    for _ in range(iterations):\n{body}\n"
    # A module name of its own: loguru looks one up per call and is slow without it.
    ns = {"__name__": "bench_loop", **(names or {})}
    exec(compile(code, "<bench loop>", "exec"), ns)
    return ns["loop"]


def timed_run(loop, log, calls, threads):
    """Runs `calls` calls over `threads` threads; returns the start time of the calls."""
    if threads <= 1:
        t0 = time.perf_counter_ns()
        loop(log, calls // UNROLL)
        return t0
    import threading
    barrier = threading.Barrier(threads + 1)

    def body():
        barrier.wait()
        loop(log, calls // UNROLL // threads)

    workers = [threading.Thread(target=body) for _ in range(threads)]
    for w in workers:
        w.start()
    barrier.wait()
    t0 = time.perf_counter_ns()
    for w in workers:
        w.join()
    return t0


def check_output(files, expected, sc):
    """Counts the lines of `files`; each must show the message, and in JSON the first and last
    must parse."""
    want = (sc["expect"] or "").encode()
    total = with_message = 0
    first = last = None
    for f in files:
        with open(f, "rb") as fh:
            rest = b""
            while chunk := fh.read(1 << 20):
                chunk = rest + chunk
                cut = chunk.rfind(b"\n") + 1      # whole lines only; the rest joins the next chunk
                whole, rest = chunk[:cut], chunk[cut:]
                if not whole:
                    continue
                total += whole.count(b"\n")
                if want:
                    with_message += whole.count(want)
                if first is None:
                    first = whole.split(b"\n", 1)[0]
                last = whole[:-1].rsplit(b"\n", 1)[-1]
            if rest:
                raise BadOutput(f"{os.path.basename(f)} ends in a partial line: {rest[:200]!r}")
    if total < expected:
        raise LostLines(f"{total:,} of {expected:,} lines written")
    if total > expected:
        raise BadOutput(f"{total:,} lines written for {expected:,} records")
    # Some formats repeat the message in a record (loguru's JSON has it twice): every line must
    # show it as often as the first does.
    per_line = first.count(want) if expected and first else 0
    if expected and (per_line == 0 or with_message != per_line * total):
        raise BadOutput(f"lines without the message (first line: {(first or b'')[:200]!r})")
    if expected and sc["fmt"] == "json":
        for line in (first, last):
            try:
                json.loads(line)
            except ValueError:
                raise BadOutput(f"not a JSON line: {line[:200]!r}") from None


def rss_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def worker(job):
    rss_start = rss_kib("VmRSS")
    sc = SCENARIOS[job["scenario"]]
    mode = job["mode"]
    threads = sc.get("threads", 1)
    system = SYSTEMS[job["system"]]()
    if job["system"] == "floor":
        sys.path.insert(0, job["floor_dir"])
    if job["system"] == "tarnwick-baseline":
        sys.path.insert(0, job["baseline_dir"])
    names = {"TEMPLATE": system.template(sc)} if system.style == "template" else None
    loop = make_loop(call_source(system, sc), names)
    expected_lines = sc["lines"] and system.writes
    stdout_file = job.get("stdout_to")
    if stdout_file == os.devnull:
        stdout_file = None   # nothing to count
    work = job["workdir"]
    seq = [0]

    def rep(calls, gc_off=True, extra=None, check=True):
        import tempfile
        seq[0] += 1
        # A directory of its own: one left behind by a failed worker must not fail the next.
        rep_dir = tempfile.mkdtemp(prefix=f"rep{seq[0]}-", dir=work)
        log = system.open(sc["dest"], sc["fmt"], f"bench{seq[0]}", os.path.join(rep_dir, "app.log"))
        if extra:
            extra(log)
        gc.collect()
        if gc_off:
            gc.disable()
        t0 = timed_run(loop, log, calls, threads)
        t1 = time.perf_counter_ns()
        system.close()
        t2 = time.perf_counter_ns()
        gc.enable()
        peak = rss_kib("VmHWM")   # before reading the output back
        total = calls + (extra.calls if extra else 0)
        if system.writes and check:
            if sc["dest"] == "file":
                files = sorted(os.path.join(rep_dir, f) for f in os.listdir(rep_dir))
                check_output(files, total if expected_lines else 0, sc)
            elif stdout_file:
                check_output([stdout_file], total if expected_lines else 0, sc)
        for f in os.listdir(rep_dir):
            os.unlink(os.path.join(rep_dir, f))
        os.rmdir(rep_dir)
        per = max(calls, 1)   # the callgrind baseline makes no calls
        return (t1 - t0) / per, ((t2 - t0) if system.writes else (t1 - t0)) / per, peak

    step = UNROLL * threads
    if mode == "check":      # one pass whose standard output is a file, to count its lines
        rep(job["calls"])
        return {"ok": True, "checked": True}
    if mode == "rss":
        calls = job["calls"] // step * step
        _, e2e, peak = rep(calls, gc_off=False)
        return {"ok": True, "calls": calls, "rss_start_kib": rss_start, "rss_peak_kib": peak,
                "e2e_ns": e2e}
    if mode == "callgrind":  # warm-up and N calls on one logger; the parent diffs two runs
        calls = job["calls"] // step * step

        def warm(log):
            loop(log, warm.calls // UNROLL)
        warm.calls = job["warmup"] // UNROLL * UNROLL
        # Reading the output back is the benchmark's own work, not the logger's: leave it out of
        # the counted instructions.
        rep(calls, extra=warm, check=False)
        return {"ok": True, "calls": calls}

    # Warm up. Without a call count from an earlier round, grow the count until a repetition is
    # long enough to estimate the cost per call (thread start-up and logger creation would
    # otherwise dominate a short one).
    calls = max(job["warmup"] // step * step, step)
    if job.get("calls"):
        rep(calls)
        calls = job["calls"]
    else:
        while True:
            loop_ns, e2e_ns, _ = rep(calls)
            per_call = max(loop_ns, e2e_ns, 1.0)
            if per_call * calls >= 0.2e9 * job["budget_s"] or calls >= job["max_calls"]:
                break
            calls = min(calls * 8, job["max_calls"]) // step * step
        calls = int(job["budget_s"] * 1e9 / per_call)
        calls = max(job["min_calls"], min(job["max_calls"], calls)) // step * step
    loops, e2es = [], []
    for _ in range(job["reps"]):
        a, b, _ = rep(calls)
        loops.append(a)
        e2es.append(b)
    return {"ok": True, "calls": calls, "reps": job["reps"], "loop_ns": median(loops),
            "e2e_ns": median(e2es), "loop_ns_all": loops, "e2e_ns_all": e2es,
            "checked": bool(system.writes and (sc["dest"] == "file" or stdout_file))}


def median(xs):
    s = sorted(xs)
    n = len(s)
    return s[n // 2] if n % 2 else (s[n // 2 - 1] + s[n // 2]) / 2


def worker_main(job_json):
    job = json.loads(job_json)
    # The result goes to the original standard output; the records may take its place.
    out = os.fdopen(os.dup(1), "w")
    target = job.get("stdout_to") or os.devnull
    sys.stdout.flush()
    fd = os.open(target, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    os.dup2(fd, 1)
    os.close(fd)
    try:
        result = worker(job)
    except BenchFailure as e:
        result = {"ok": False, "status": e.status, "error": str(e)}
    except BaseException as e:   # a system that does not work yet is reported, not fatal
        result = {"ok": False, "status": "failed", "error": f"{type(e).__name__}: {e}"[:300]}
    out.write(json.dumps(result) + "\n")
    out.flush()
    # Skip interpreter teardown: a logger that hangs or crashes at exit would spoil a good result.
    sys.stdout.flush()
    sys.stderr.flush()
    os._exit(0)


# ------------------------------------------------------------------------------------------------
# Parent: scheduling and the report
# ------------------------------------------------------------------------------------------------

def run_worker(job, timeout, env, prefix=()):
    import signal
    import subprocess
    cmd = [*prefix, sys.executable, os.path.abspath(__file__), "--worker", json.dumps(job)]
    try:
        p = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout,
                           env=env, text=True, errors="replace")
    except subprocess.TimeoutExpired:
        return {"ok": False, "status": "failed", "error": f"timed out after {timeout:.0f} s"}
    for line in reversed(p.stdout.splitlines()):
        if line.startswith("{"):
            try:
                return json.loads(line)
            except ValueError:
                break
    if p.returncode < 0:
        try:
            sig = signal.Signals(-p.returncode).name
        except ValueError:
            sig = str(-p.returncode)
        why = f"crashed ({sig})"
    else:
        why = f"exit status {p.returncode}"
    err = [ln for ln in p.stderr.strip().splitlines() if ln.strip()]
    return {"ok": False, "status": "failed", "error": why + (": " + err[-1][:200] if err else "")}


def why_not_installed(package):
    """Why a peer is absent: requirements/bench.txt leaves it out for this interpreter, or this
    environment was not made from it."""
    try:
        with open(os.path.join(ROOT, "requirements", "bench.txt")) as f:
            for line in f:
                req, _, marker = line.split("#")[0].partition(";")
                if req.split("==")[0].strip().lower() == package and marker.strip():
                    v = sys.version_info
                    return (f"requirements/bench.txt installs it only where {marker.strip()}, "
                            f"not on Python {v.major}.{v.minor} (no wheel and no build there)")
    except OSError:
        pass
    return "not installed here (make bench installs requirements/bench.txt into build/venv/bench)"


def installed(package):
    import importlib.metadata
    try:
        importlib.metadata.distribution(package)
        return True
    except importlib.metadata.PackageNotFoundError:
        return False


def fmt_ns(x):
    if x is None:
        return "–"
    return f"{x:,.1f}" if x < 100 else f"{x:,.0f}"


def fmt_ratio(x):
    if x is None:
        return "–"
    return f"{x:.2f}x" if x < 10 else f"{x:,.0f}x"


def ratio(a, b):
    return a / b if a and b else None


def report(results, rss, systems, missing, args, instructions=None):
    out = []
    w = out.append
    w("# tarnwick side by side\n")
    w(f"Python {sys.version.split()[0]}, {os.cpu_count()} CPUs; median of {args.reps} repetitions "
      f"with the garbage collector off; times in ns. `loop` is the caller's time per call, "
      f"`e2e` the time per record until every record is in its destination.\n")
    for s, why in missing.items():
        w(f"- {s}: **not measured**: {why}")
    if missing:
        w("")
    for name, sc in SCENARIOS.items():
        rows = [(s, results.get((name, s))) for s in systems if (name, s) in results]
        if not rows:
            continue
        floor = results.get((name, "floor")) or {}
        std = results.get((name, "stdlib")) or {}
        fl, fe = floor.get("loop_ns"), floor.get("e2e_ns")
        sl, se = std.get("loop_ns"), std.get("e2e_ns")
        tl = (results.get((name, "tarnwick")) or {}).get("loop_ns")
        w(f"## {sc['title']}\n")
        extra = " records/s | vs 1 thread |" if name == "threads" else ""
        w("| system | calls | loop ns | loop / floor | loop / tarnwick | stdlib / loop | e2e ns "
          f"| e2e / floor | stdlib / e2e |{extra}")
        w("|---|---:|---:|---:|---:|---:|---:|---:|---:|" + ("---:|---:|" if extra else ""))
        for s, r in rows:
            if not r.get("ok"):
                cells = [s, "", f"**{r.get('status', 'failed')}**: {r.get('error', '')}"]
                w("| " + " | ".join(cells) + " |" + " |" * (6 + (2 if extra else 0)))
                continue
            lo, e2 = r["loop_ns"], r["e2e_ns"]
            cells = [s, f"{r['calls']:,}", fmt_ns(lo), fmt_ratio(ratio(lo, fl)),
                     fmt_ratio(ratio(lo, tl)), fmt_ratio(ratio(sl, lo)), fmt_ns(e2), fmt_ratio(ratio(e2, fe)),
                     fmt_ratio(ratio(se, e2))]
            if extra:
                one = results.get(("file_text", s)) or {}
                rate = 1e9 / e2
                cells += [f"{rate:,.0f}",
                          fmt_ratio(ratio(rate, 1e9 / one["e2e_ns"]) if one.get("ok") else None)]
            w("| " + " | ".join(cells) + " |")
        w("")
    if rss:
        w("## Peak memory (text to a file, one repetition, collector on)\n")
        w("| system | records | RSS at start MiB | peak RSS MiB | peak − start MiB | e2e ns |")
        w("|---|---:|---:|---:|---:|---:|")
        for s, r in rss.items():
            if not r.get("ok"):
                w(f"| {s} | | **{r.get('status')}**: {r.get('error', '')} | | | |")
                continue
            a, b = r["rss_start_kib"] / 1024, r["rss_peak_kib"] / 1024
            w(f"| {s} | {r['calls']:,} | {a:.1f} | {b:.1f} | {b - a:.1f} | {fmt_ns(r['e2e_ns'])} |")
        w("")
    side = side_by_side(results)
    if side:
        w("## Context, template strings and trace ids beside structlog and loguru\n")
        w("Each peer inside its own request context of the same three fields (structlog's "
          "`bind_contextvars` with `merge_contextvars`, loguru's `contextualize`), making its own form of the call.\n")
        w("| tarnwick row | tarnwick ns | structlog ns | structlog / tarnwick | loguru ns | loguru / tarnwick |")
        w("|---|---:|---:|---:|---:|---:|")
        out.extend(side)
        w("")
    w("## Targets (tarnwick, this run)\n")
    w("| target | measured | result |")
    w("|---|---|---|")
    for label, value, met in targets(results, rss):
        w(f"| {label} | {value} | {'met' if met else '**not met**'} |")
    label, met, shown = instruction_target(instructions)
    w(f"| {label} | {shown} | {'met' if met else '**not met**'} |")
    return "\n".join(out)


def side_by_side(results):
    def loop(scen, system):
        r = results.get((scen, system)) or {}
        return r.get("loop_ns") if r.get("ok") else None

    rows = []
    for scen, system, label in (("context", "tarnwick-context", "inside a context of three fields"),
                                ("template", "tarnwick-template", "template string, two names"),
                                ("trace", "tarnwick-trace", "inside a span, trace_ids=True")):
        tw, st, lu = loop(scen, system), loop(scen, "structlog-context"), loop(scen, "loguru-context")
        if tw is None and st is None and lu is None:
            continue
        cells = [label] + [fmt_ns(v) if v is not None else "not measured" for v in (tw,)]
        for peer in (st, lu):
            cells += [fmt_ns(peer) if peer is not None else "not measured", fmt_ratio(ratio(peer, tw))]
        rows.append("| " + " | ".join(cells) + " |")
    return rows


def targets(results, rss):
    def get(scen, system, key):
        r = results.get((scen, system)) or {}
        return r.get(key) if r.get("ok") else None

    def why_missing(*pairs):
        for scen, system in pairs:
            r = results.get((scen, system))
            if r is None:
                return f"{system} not measured"
            if not r.get("ok"):
                return f"{system} {scen}: {r.get('status')}"
        return "no measurement"

    def row(label, pairs, compute, show, limit_ok):
        try:
            v = compute()
        except (TypeError, ZeroDivisionError):
            v = None
        if v is None:
            return (label, why_missing(*pairs), False)
        return (label, show(v), limit_ok(v))

    tw = "tarnwick"
    t = []
    text_vs_floor = lambda: get("file_text", tw, "loop_ns") / get("file_text", "floor", "loop_ns")  # noqa: E731
    for label, limit in (("text call to a file ≤ 8x floor", 8), ("(stretch) text call to a file ≤ 5x floor", 5)):
        t.append(row(label, [("file_text", tw), ("file_text", "floor")], text_vs_floor, fmt_ratio,
                     lambda v, limit=limit: v <= limit))
    t.append(row("picologging's text call ≥ 20x slower than tarnwick's",
                 [("file_text", tw), ("file_text", "picologging")],
                 lambda: get("file_text", "picologging", "loop_ns") / get("file_text", tw, "loop_ns"),
                 lambda v: f"{v:,.1f}x", lambda v: v >= 20))
    t.append(row("text call ≥ 100x faster than stdlib", [("file_text", tw), ("file_text", "stdlib")],
                 lambda: get("file_text", "stdlib", "loop_ns") / get("file_text", tw, "loop_ns"),
                 lambda v: f"{v:,.0f}x", lambda v: v >= 100))
    t.append(row("text end to end ≥ 80x faster than stdlib",
                 [("file_text", tw), ("file_text", "stdlib")],
                 lambda: get("file_text", "stdlib", "e2e_ns") / get("file_text", tw, "e2e_ns"),
                 lambda v: f"{v:,.0f}x", lambda v: v >= 80))
    t.append(row("JSON call within 15% of the text call", [("file_json", tw), ("file_text", tw)],
                 lambda: get("file_json", tw, "loop_ns") / get("file_text", tw, "loop_ns"),
                 lambda v: f"{v:.2f}x text", lambda v: v <= 1.15))
    t.append(row("disabled call ≤ 1.15x floor", [("disabled", tw), ("disabled", "floor")],
                 lambda: get("disabled", tw, "loop_ns") / get("disabled", "floor", "loop_ns"),
                 fmt_ratio, lambda v: v <= 1.15))
    t.append(row("call without arguments ≤ 6x floor", [("no_args", tw), ("no_args", "floor")],
                 lambda: get("no_args", tw, "loop_ns") / get("no_args", "floor", "loop_ns"),
                 fmt_ratio, lambda v: v <= 6))
    t.append(row("four mixed arguments ≤ 1.2x % alone",
                 [("four_args", tw), ("four_args", "% alone")],
                 lambda: get("four_args", tw, "loop_ns") / get("four_args", "% alone", "loop_ns"),
                 lambda v: f"{v:.2f}x % alone", lambda v: v <= 1.2))
    t.append(row(f"{THREADS} threads: records/s ≥ 80% of one thread's",
                 [("threads", tw), ("file_text", tw)],
                 lambda: get("file_text", tw, "e2e_ns") / get("threads", tw, "e2e_ns"),
                 lambda v: f"{v:.0%} (end to end)", lambda v: v >= 0.8))
    t.append(row("stdlib record through tarnwick.Handler ≤ 1.25x NullHandler",
                 [("stdlib_handler", "tarnwick-handler"), ("stdlib_handler", "stdlib-null")],
                 lambda: get("stdlib_handler", "tarnwick-handler", "loop_ns")
                 / get("stdlib_handler", "stdlib-null", "loop_ns"),
                 lambda v: f"{v:.2f}x NullHandler", lambda v: v <= 1.25))
    t.append(row("stdlib records end to end ≥ 2x faster than FileHandler",
                 [("stdlib_handler", "tarnwick-handler"), ("stdlib_handler", "stdlib")],
                 lambda: get("stdlib_handler", "stdlib", "e2e_ns")
                 / get("stdlib_handler", "tarnwick-handler", "e2e_ns"),
                 lambda v: f"{v:.2f}x", lambda v: v >= 2))
    t.append(row("bound call with three fields ≤ 1.2x an unbound call",
                 [("bound", "tarnwick-bound"), ("bound", tw)],
                 lambda: get("bound", "tarnwick-bound", "loop_ns") / get("bound", tw, "loop_ns"),
                 lambda v: f"{v:.2f}x unbound", lambda v: v <= 1.2))
    t.append(row("disabled bound call costs a disabled unbound one (≤ 1.1x, for noise)",
                 [("disabled", "tarnwick-bound"), ("disabled", tw)],
                 lambda: get("disabled", "tarnwick-bound", "loop_ns") / get("disabled", tw, "loop_ns"),
                 lambda v: f"{v:.2f}x unbound", lambda v: v <= 1.1))
    t.append(row("no context bound, trace ids off ≤ 1.05x the --baseline build's call",
                 [("baseline", tw), ("baseline", "tarnwick-baseline")],
                 lambda: get("baseline", tw, "loop_ns") / get("baseline", "tarnwick-baseline", "loop_ns"),
                 lambda v: f"{v:.3f}x baseline", lambda v: v <= 1.05))
    t.append(row("call inside a context of three fields ≤ 1.15x the logger bound with them",
                 [("context", "tarnwick-context"), ("context", "tarnwick-bound")],
                 lambda: get("context", "tarnwick-context", "loop_ns") / get("context", "tarnwick-bound", "loop_ns"),
                 lambda v: f"{v:.2f}x bound", lambda v: v <= 1.15))
    t.append(row("template string with two names ≤ 1.3x the % call with two arguments",
                 [("template", "tarnwick-template"), ("template", tw)],
                 lambda: get("template", "tarnwick-template", "loop_ns") / get("template", tw, "loop_ns"),
                 lambda v: f"{v:.2f}x %", lambda v: v <= 1.3))
    t.append(row("call inside a span with trace_ids=True ≤ 1.25x with it off",
                 [("trace", "tarnwick-trace"), ("trace", "tarnwick-span")],
                 lambda: get("trace", "tarnwick-trace", "loop_ns") / get("trace", "tarnwick-span", "loop_ns"),
                 lambda v: f"{v:.2f}x off", lambda v: v <= 1.25))
    r = rss.get(tw) or {}
    label = f"{r.get('calls', 1_000_000):,} records: peak RSS ≤ 32 MiB above start"
    if r.get("ok"):
        v = (r["rss_peak_kib"] - r["rss_start_kib"]) / 1024
        t.append((label, f"{v:.1f} MiB", v <= 32))
    else:
        t.append((label, f"tarnwick: {r.get('status', 'not run')}", False))
    return t


# (scenario, system) pairs counted by --callgrind, and the ratios of their instructions per call
# that have targets: instruction counts do not depend on the machine's pace.
CALLGRIND_RUNS = [("file_text", "floor"), ("file_text", "tarnwick"), ("bound", "tarnwick-bound"),
                  ("disabled", "tarnwick"), ("disabled", "tarnwick-bound"),
                  ("stdlib_handler", "stdlib-null"), ("stdlib_handler", "tarnwick-handler"),
                  ("stdlib_handler", "stdlib")]
# (label, numerator, denominator, the ratio's limit, whether it is an upper bound)
CALLGRIND_RATIOS = [
    ("bound call with three fields ≤ 1.2x an unbound call", ("bound", "tarnwick-bound"), ("file_text", "tarnwick"),
     1.2, True),
    ("disabled bound call = a disabled unbound one (±2%)", ("disabled", "tarnwick-bound"), ("disabled", "tarnwick"),
     1.02, True),
    ("stdlib record through tarnwick.Handler ≤ 1.25x NullHandler", ("stdlib_handler", "tarnwick-handler"),
     ("stdlib_handler", "stdlib-null"), 1.25, True),
    ("stdlib records, all threads' work: FileHandler ≥ 2x tarnwick.Handler", ("stdlib_handler", "stdlib"),
     ("stdlib_handler", "tarnwick-handler"), 2.0, False),
]


def count_instructions(pairs, args, env, tmp):
    """Instructions per call of each (scenario, system): (Ir of N calls − Ir of 0 calls) / N, all
    threads. Returns [(scenario, system, [Ir 0, Ir N] or the failed worker's result)]."""
    env = dict(env, PYTHONHASHSEED="0")  # the two runs must do the same work apart from the calls
    rows = []
    for scenario, system in pairs:
        totals = []
        for n in (0, args.callgrind_calls):
            outfile = os.path.join(tmp, f"callgrind.{scenario}.{system}.{n}")
            workdir = os.path.join(tmp, f"cg-{scenario}-{system}-{n}")
            os.mkdir(workdir)
            job = dict(system=system, scenario=scenario, mode="callgrind", calls=n,
                       warmup=args.callgrind_warmup, workdir=workdir, floor_dir=args.floor_dir)
            print(f"callgrind: {scenario}, {system}, {n:,} calls", file=sys.stderr, flush=True)
            r = run_worker(job, 1200, env, prefix=("valgrind", "--tool=callgrind", "-q",
                                                     f"--callgrind-out-file={outfile}"))
            if not r.get("ok"):
                totals = r
                break
            with open(outfile) as f:
                ir = next(int(ln.split()[1]) for ln in f if ln.startswith(("totals:", "summary:")))
            totals.append(ir)
        rows.append((scenario, system, totals))
    return rows


INSTRUCTIONS_PER_CALL = 600


def instruction_target(per_call):
    label = f"instructions per enabled call ≤ {INSTRUCTIONS_PER_CALL} (callgrind, all threads)"
    if per_call is None:
        return label, False, "not measured"
    return label, per_call <= INSTRUCTIONS_PER_CALL, f"{per_call:,.0f}"


def callgrind(args, env, tmp):
    """Instructions per call of CALLGRIND_RUNS, and their targets."""
    import shutil
    if not shutil.which("valgrind"):
        print("valgrind not found", file=sys.stderr)
        return 1
    rows = count_instructions(CALLGRIND_RUNS, args, env, tmp)
    print(f"# Instructions per call under callgrind ({args.callgrind_calls:,} calls after "
          f"{args.callgrind_warmup:,} warm-up calls, all threads)\n")
    print("| scenario | system | Ir, 0 calls | Ir, N calls | instructions per call |")
    print("|---|---|---:|---:|---:|")
    per_call = {}
    for scenario, system, t in rows:
        if isinstance(t, dict):
            print(f"| {scenario} | {system} | **{t.get('status')}**: {t.get('error', '')} | | |")
        else:
            per_call[(scenario, system)] = (t[1] - t[0]) / args.callgrind_calls
            print(f"| {scenario} | {system} | {t[0]:,} | {t[1]:,} | {per_call[(scenario, system)]:,.0f} |")
    print("\n| target | measured | result |")
    print("|---|---|---|")
    # "Equal" allows 2%: the two workers' set-up differs by some thousand instructions, which the
    # subtraction spreads over the calls.
    label, met, shown = instruction_target(per_call.get(("file_text", "tarnwick")))
    print(f"| {label} | {shown} | {'met' if met else '**not met**'} |")
    for label, a, b, limit, upper in CALLGRIND_RATIOS:
        if a in per_call and b in per_call:
            v = per_call[a] / per_call[b]
            met = v <= limit if upper else v >= limit
            print(f"| {label} | {v:.3f}x | {'met' if met else '**not met**'} |")
        else:
            print(f"| {label} | not measured | **not met** |")
    return 0


def main(argv):
    import argparse
    import shutil
    import tempfile
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build-dir", default="build/release",
                    help="build directory holding bench/_bench_floor (relative to the repository)")
    ap.add_argument("--quick", action="store_true", help="a fast smoke run with small counts")
    ap.add_argument("--callgrind", action="store_true",
                    help="only measure instructions per call under valgrind (several scenarios)")
    ap.add_argument("--systems", help="comma-separated subset of: " + ", ".join(SYSTEMS).replace("%", "%%"))
    ap.add_argument("--scenarios", help="comma-separated subset of: " + ", ".join(SCENARIOS))
    ap.add_argument("--no-rss", action="store_true", help="skip the peak memory run")
    ap.add_argument("--no-callgrind", action="store_true",
                    help="skip the instruction count of the enabled call (valgrind)")
    ap.add_argument("--baseline", metavar="DIR",
                    help="the package directory (holding tarnwick/) of another build to time beside this one, "
                         "say the main branch's build/release/pkg")
    ap.add_argument("--rss-all", action="store_true",
                    help="give the Python libraries the full record count in the memory run too")
    args = ap.parse_args(argv)

    build = args.build_dir if os.path.isabs(args.build_dir) else os.path.join(ROOT, args.build_dir)
    args.floor_dir = os.path.join(build, "bench")
    args.reps = 3 if args.quick else 5
    budget_s = 0.02 if args.quick else 0.15      # loop time per repetition
    warmup = 1_000 if args.quick else 5_000
    min_calls, max_calls = (2_000, 200_000) if args.quick else (10_000, 3_000_000)
    args.rss_records = 100_000 if args.quick else 1_000_000
    # The Python libraries take 10-30 us a record; a million of them would eat the time budget,
    # and the memory target is tarnwick's.
    rss_records_python = args.rss_records if args.rss_all else min(args.rss_records, 100_000)
    args.callgrind_calls = 10_000 if args.quick else 100_000
    args.callgrind_warmup = 1_000 if args.quick else 10_000
    # A worker normally takes a few seconds; these bound a system that hangs (in shutdown, say).
    timeout = 30 if args.quick else 60
    rss_timeout = 60 if args.quick else (300 if args.rss_all else 120)

    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (env.get("PYTHONPATH"), ROOT) if p)
    env["PYTHONDONTWRITEBYTECODE"] = "1"

    systems = list(SYSTEMS)
    missing = {s: why_not_installed(m) for s, m in OPTIONAL.items() if not installed(m)}
    systems = [s for s in systems if s not in missing]
    if args.baseline:
        args.baseline = os.path.abspath(args.baseline)
    else:
        systems.remove("tarnwick-baseline")
    if args.systems:
        wanted = args.systems.split(",")
        systems = [s for s in systems if s in wanted or s in ("floor", "% alone", "stdlib")]
    scenarios = args.scenarios.split(",") if args.scenarios else list(SCENARIOS)
    if "threads" in scenarios and "file_text" not in scenarios:
        scenarios.insert(0, "file_text")   # the threads ratio compares with it

    tmp = tempfile.mkdtemp(prefix="tarnwick-bench-")
    try:
        if args.callgrind:
            return callgrind(args, env, tmp)
        started = time.monotonic()
        # Repetitions go round the systems of a scenario, one worker per system and round, so a
        # change of the machine's pace (this shared machine has them, lasting seconds) touches
        # every system of a scenario alike instead of one system's whole block.
        plan = [(sc, scenario_members(sc, systems)) for sc in SCENARIOS if sc in scenarios]
        total = sum(len(members) for _, members in plan)
        done = 0
        results = {}
        hung = set()   # a system that timed out once is not given the time again
        for sc, members in plan:
            workdir = os.path.join(tmp, sc)
            os.mkdir(workdir)
            stdout_to = os.devnull if SCENARIOS[sc]["dest"] == "stdout" else None
            base = dict(scenario=sc, mode="time", reps=1, budget_s=budget_s, warmup=warmup,
                        min_calls=min_calls, max_calls=max_calls, workdir=workdir,
                        floor_dir=args.floor_dir, baseline_dir=args.baseline, stdout_to=stdout_to)
            rounds = {s: [] for s in members}
            for _ in range(args.reps):
                for s in members:
                    if (sc, s) in results:
                        continue   # failed in an earlier round
                    if s in hung:
                        results[(sc, s)] = {"ok": False, "status": "skipped",
                                            "error": "timed out in an earlier scenario"}
                        continue
                    calls = rounds[s][0]["calls"] if rounds[s] else None
                    r = run_worker(dict(base, system=s, calls=calls), timeout, env)
                    if not r.get("ok"):
                        results[(sc, s)] = r
                        if r.get("error", "").startswith("timed out"):
                            hung.add(s)
                        continue
                    rounds[s].append(r)
            for s in members:
                if (sc, s) not in results:
                    runs = rounds[s]
                    r = {"ok": True, "calls": runs[0]["calls"], "reps": len(runs),
                         "loop_ns": median([x["loop_ns"] for x in runs]),
                         "e2e_ns": median([x["e2e_ns"] for x in runs]),
                         "checked": runs[0]["checked"]}
                    if stdout_to and SYSTEMS[s].writes:
                        # /dev/null cannot be counted: a separate pass writes the same calls to a file.
                        check = dict(base, system=s, mode="check", calls=r["calls"],
                                     stdout_to=os.path.join(workdir, f"stdout-{s}.log"))
                        c = run_worker(check, timeout, env)
                        if not c.get("ok"):
                            r = c
                    results[(sc, s)] = r
                r = results[(sc, s)]
                done += 1
                shown = (f"{fmt_ns(r['loop_ns'])} ns/call, {fmt_ns(r['e2e_ns'])} ns/record"
                         if r.get("ok") else f"{r.get('status')}: {r.get('error')}")
                print(f"[{done}/{total} {time.monotonic() - started:5.1f}s] {sc:10} {s:13} {shown}",
                      file=sys.stderr, flush=True)
            shutil.rmtree(workdir, ignore_errors=True)
        rss = {}
        if not args.no_rss:
            for s in systems:
                if s == "% alone" or s in hung or s in NAMED_ONLY:
                    continue
                workdir = os.path.join(tmp, f"rss-{s}")
                os.mkdir(workdir)
                n = args.rss_records if s in ("floor", "tarnwick") else rss_records_python
                job = dict(system=s, scenario="file_text", mode="rss", calls=n,
                            workdir=workdir, floor_dir=args.floor_dir)
                rss[s] = run_worker(job, rss_timeout, env)
                shutil.rmtree(workdir, ignore_errors=True)
                r = rss[s]
                shown = (f"peak {(r['rss_peak_kib'] - r['rss_start_kib']) / 1024:.1f} MiB "
                         "above start" if r.get("ok") else f"{r.get('status')}: {r.get('error')}")
                print(f"[rss {time.monotonic() - started:5.1f}s] {s:13} {shown}",
                      file=sys.stderr, flush=True)
        instructions = None
        if shutil.which("valgrind") and not args.no_callgrind and "tarnwick" in systems:
            t = count_instructions([("file_text", "tarnwick")], args, env, tmp)[0][2]
            if not isinstance(t, dict):
                instructions = (t[1] - t[0]) / args.callgrind_calls
        print(report(results, rss, systems, missing, args, instructions))
        return 0
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--worker":
        worker_main(sys.argv[2])
    sys.exit(main(sys.argv[1:]))
