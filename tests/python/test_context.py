"""Fields a line takes from where it is written: the request context (contextvars) and the current
OpenTelemetry span's ids, in every line shape, with their order and precedence."""

import asyncio
import contextvars
import gc
import importlib.util
import json
import logging
import sys
import threading

import pytest

import tarnwick
from tarnwick._logger import PyLogger

from helpers import Bare, members, parse, read_lines, run_in_child, run_threads

SHAPES = [("logfmt", "off"), ("logfmt", "always"), ("json", "off")]
OTEL = importlib.util.find_spec("opentelemetry") is not None and importlib.util.find_spec("opentelemetry.sdk")


def typed(record):
    return [(k, type(v), v) for k, v in members(record).items()]


def log_in_contexts(fmt, color):
    from tarnwick import bind_context, context, current_context, reset_context
    tarnwick.basic_config(format=fmt, color=color)
    log = tarnwick.PyLogger("app", path="f.log")
    log.info("none")
    with context(s='a"b', i=7, big=10**30, f=0.5, t=True, n=None, o=[1]):
        log.info("typed")
    with context(user="ctx", request="r-1"):
        with context(user="inner", depth=2):
            assert current_context() == {"user": "inner", "request": "r-1", "depth": 2}
            log.info("nested")
        log.bind(attempt=1, user="bound").info("bound %d", 1)
        try:
            1 / 0
        except ZeroDivisionError:
            log.bind(user="bound").exception("failed")
        handler = tarnwick.Handler("f.log")
        std = logging.getLogger("lib")
        std.addHandler(handler)
        std.warning("std", extra={"user": "extra", "k": 1})
    token = bind_context(a=1)
    log.info("token")
    reset_context(token)
    log.info("reset")

    class Leaves:  # leaves the context while the call formats it: the line keeps the call's context
        def __str__(self):
            reset_context(leaving)
            gc.collect()
            return "x"

    leaving = bind_context(gone="yes")
    log.info("left %s", Leaves())
    assert current_context() == {}
    handler.close()
    log.shutdown()


@pytest.mark.parametrize("fmt, color", SHAPES)
def test_context_fields_nest_restore_and_give_way_to_bound_and_call_fields(tmp_path, fmt, color):
    run_in_child(log_in_contexts, fmt, color, cwd=tmp_path)
    lines = read_lines(tmp_path, "f_*.log")
    records = {r["msg"]: r for r in map(parse, lines)}
    json_ = fmt == "json"
    assert typed(records["typed"]) == [
        ("s", str, 'a"b'), ("i", *((int, 7) if json_ else (Bare, "7"))),
        ("big", *((int, 10**30) if json_ else (Bare, str(10**30)))), ("f", *((float, 0.5) if json_ else (Bare, "0.5"))),
        ("t", *((bool, True) if json_ else (Bare, "true"))), ("n", *((type(None), None) if json_ else (Bare, "null"))),
        ("o", str, "[1]")]
    fields = {msg: [(k, str(v)) for k, v in members(r).items()] for msg, r in records.items()}
    assert fields["none"] == fields["reset"] == []
    assert fields["nested"] == [("user", "inner"), ("request", "r-1"), ("depth", "2")]
    # A key appears once, at its first place, with the most specific value.
    assert fields["bound 1"] == [("user", "bound"), ("request", "r-1"), ("attempt", "1")]
    assert fields["failed"][:2] == [("user", "bound"), ("request", "r-1")]
    assert [k for k, _ in fields["failed"][2:]] == ["exception.type", "exception.message", "exception.stacktrace"]
    assert fields["std"] == [("user", "extra"), ("request", "r-1"), ("k", "1")]
    assert fields["token"] == [("a", "1")]
    assert fields["left x"] == [("gone", "yes")]
    if color == "always":
        assert '\x1b[2muser=\x1b[0m"inner"' in lines[2]


@pytest.mark.parametrize("fields, error", [
    ({"bad key": 1}, ValueError), ({"msg": 1}, ValueError), ({"exception.type": 1}, ValueError)])
def test_context_keys_are_checked_as_bind_checks_them(fields, error):
    with pytest.raises(error) as by_bind:
        PyLogger(None).bind(**fields)
    with pytest.raises(error) as by_context:
        tarnwick.bind_context(**fields)
    assert str(by_context.value) == str(by_bind.value)
    with pytest.raises(error), tarnwick.context(**fields):
        pass
    assert tarnwick.current_context() == {}
    with pytest.raises(TypeError, match="positional"):
        tarnwick.bind_context({"a": 1})
    with pytest.raises(TypeError):
        tarnwick.reset_context("not a token")


def log_from_tasks_and_threads():
    log = tarnwick.PyLogger("app", path="f.log")
    probe = contextvars.ContextVar("probe", default="unset")

    async def task(name, rounds):
        with tarnwick.context(task=name):
            for i in range(rounds):
                log.info(f"{name} {i}")
                await asyncio.sleep(0)
        log.info(f"{name} done")

    async def main():
        with tarnwick.context(request="r-1"):
            await asyncio.gather(task("a", 3), task("b", 2))
            made = asyncio.ensure_future(task("c", 1))
        await made
        log.info("main")

    asyncio.run(main())

    # A thread sees what the interpreter gives it (inherited on free-threaded builds).
    def worker(i):
        with tarnwick.context(worker=i):
            for _ in range(200):
                log.info(f"worker {i} {probe.get()}")

    with tarnwick.context(request="r-2"):
        probe.set("inherited")
        run_threads(*(threading.Thread(target=worker, args=(i,)) for i in range(4)))
    log.shutdown()


def test_tasks_and_threads_see_the_context_contextvars_gives_them(tmp_path):
    run_in_child(log_from_tasks_and_threads, cwd=tmp_path)
    fields = [(r["msg"], {k: str(v) for k, v in members(r).items()}) for r in map(parse, read_lines(tmp_path))]
    for msg, got in fields:
        who = msg.split()[0]
        if who in ("a", "b"):
            assert got == ({"request": "r-1", "task": who} if msg[2:] != "done" else {"request": "r-1"})
        elif who == "c":  # made inside the context, run after it was left
            assert got == ({"request": "r-1", "task": "c"} if msg != "c done" else {"request": "r-1"})
        elif who == "main":
            assert got == {}
        else:
            _, i, inherited = msg.split()
            assert got == ({"request": "r-2"} if inherited == "inherited" else {}) | {"worker": i}
    assert len(fields) == (3 + 1) + (2 + 1) + (1 + 1) + 1 + 4 * 200


def log_in_spans(fmt):
    from opentelemetry import trace
    from opentelemetry.sdk.trace import TracerProvider
    trace.set_tracer_provider(TracerProvider())
    tracer = trace.get_tracer("test")
    tarnwick.basic_config(format=fmt, trace_ids=True)
    log = tarnwick.PyLogger("app", path="f.log")
    ids = {}

    def note(name, span):
        c = span.get_span_context()
        ids[name] = [format(c.trace_id, "032x"), format(c.span_id, "016x")]
        log.info(name)

    log.info("no span")
    with tracer.start_as_current_span("outer") as outer:
        note("outer", outer)
        with tarnwick.context(request="r-1"), tracer.start_as_current_span("inner") as inner:
            note("inner", inner)
            log.bind(trace_id="mine").info("bound")
        note("outer again", outer)

        class InSpan:  # logs inside another span while the outer call holds the outer span's ids
            def __str__(self):
                with tracer.start_as_current_span("in str") as span:
                    note("in str", span)
                return "x"

        ids["outer x"] = ids["outer"]
        log.info("outer %s", InSpan())

        def in_thread():
            with tracer.start_as_current_span("thread") as span:
                note("thread", span)

        run_threads(threading.Thread(target=in_thread))

        async def in_task(name):
            with tracer.start_as_current_span(name) as span:
                await asyncio.sleep(0)
                note(name, span)

        async def main():
            await asyncio.gather(in_task("task a"), in_task("task b"))

        asyncio.run(main())
    remote = trace.SpanContext(0x0af7651916cd43dd8448eb211c80319c, 0xb7ad6b7169203331, is_remote=True)
    with trace.use_span(trace.NonRecordingSpan(remote)) as span:
        note("non-recording", span)
    with trace.use_span(trace.INVALID_SPAN):
        log.info("invalid")
    tarnwick.basic_config(format=fmt)
    with tracer.start_as_current_span("off"):
        log.info("off")
    log.shutdown()
    print(json.dumps(ids))


@pytest.mark.skipif(not OTEL, reason="opentelemetry-sdk is not installed for this interpreter")
@pytest.mark.parametrize("fmt", ["logfmt", "json"])
def test_trace_ids_are_the_current_spans(tmp_path, fmt):
    out = run_in_child(log_in_spans, fmt, cwd=tmp_path).stdout
    ids = json.loads(out)
    assert len({tuple(v) for v in ids.values()}) == len(ids) - 2  # "outer again" and "outer x" are "outer"
    assert ids["inner"][0] == ids["outer"][0] and ids["inner"][1] != ids["outer"][1]
    for record in map(parse, read_lines(tmp_path)):
        got = [(k, str(v)) for k, v in members(record).items()]
        want = ids.get(record["msg"])
        if record["msg"] == "inner":
            assert got == [("trace_id", want[0]), ("span_id", want[1]), ("request", "r-1")]
        elif record["msg"] == "bound":
            assert got == [("trace_id", "mine"), ("span_id", ids["inner"][1]), ("request", "r-1")]
        elif want:
            assert got == [("trace_id", want[0]), ("span_id", want[1])], record["msg"]
        else:
            assert got == [], record["msg"]


def log_without_opentelemetry():
    sys.modules["opentelemetry"] = None  # as if not installed
    with pytest.raises(ImportError, match="opentelemetry-api"):
        tarnwick.basic_config(format="json", trace_ids=True)
    for bad in ({"trace_ids": 1}, {"msg_template": "yes"}):
        with pytest.raises(TypeError, match="cannot be cast as 'bool'"):
            tarnwick.basic_config(**bad)
    log = tarnwick.PyLogger("app", path="f.log")
    log.info("still logfmt")
    log.shutdown()


def test_trace_ids_without_opentelemetry_name_the_package_and_change_nothing(tmp_path):
    run_in_child(log_without_opentelemetry, cwd=tmp_path)
    assert read_lines(tmp_path)[0].endswith('msg="still logfmt"')
