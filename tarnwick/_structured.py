"""Fields a line gets from where it is written: the request context (contextvars), the current
OpenTelemetry span's ids, and the package's basic_config() with the options that turn them on."""

from __future__ import annotations

import contextvars
import importlib.machinery
import importlib.util
import sys
from contextvars import Token
from types import TracebackType
from typing import TYPE_CHECKING, Any, SupportsIndex

from tarnwick import _logger
from tarnwick._file_options import file_options


def _load_context_module() -> Any:
    # The extension's second init function: loaded from the same file, the two modules share the
    # process-wide state the log call reads (a second build of the sources would have its own).
    name = "tarnwick._context"
    if name in sys.modules:
        return sys.modules[name]
    path = _logger.__file__
    loader = importlib.machinery.ExtensionFileLoader(name, path)
    spec = importlib.util.spec_from_file_location(name, path, loader=loader)
    assert spec is not None
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    sys.modules[name] = module
    return module


if TYPE_CHECKING:
    from tarnwick import _context
else:
    _context = _load_context_module()

bind_context = _context.bind_context
reset_context = _context.reset_context
current_context = _context.current_context

__all__ = ["basic_config", "bind_context", "context", "current_context", "reset_context"]


class context:
    """`with context(request="r-1", user="ann"):` every line this thread or task writes inside
    carries the fields, after msg. Nested uses add fields (a key set again takes the inner
    value); leaving restores exactly what was there. Keys and values as bind() takes them."""

    __slots__ = ("_fields", "_tokens")

    def __init__(self, **fields: object) -> None:
        self._fields = fields
        self._tokens: list[Token[Any]] = []

    def __enter__(self) -> None:
        self._tokens.append(bind_context(**self._fields))

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        reset_context(self._tokens.pop())


def _check_bool(value: object, name: str) -> bool:
    if value.__class__ is not bool:
        raise TypeError(f"argument '{name}': '{type(value).__name__}' object cannot be cast as 'bool'")
    return bool(value)


def _trace_source() -> tuple[contextvars.ContextVar[Any] | None, Any, Any]:
    try:
        from opentelemetry import context as otel_context
        from opentelemetry import trace as otel_trace
    except ImportError as e:
        raise ImportError(
            "basic_config(trace_ids=True) needs the package opentelemetry-api (pip install opentelemetry-api)",
            name="opentelemetry",
        ) from e
    # The default runtime context keeps the current context in a ContextVar, read from C without a
    # call; any other runtime is asked through get_current().
    var = getattr(getattr(otel_context, "_RUNTIME_CONTEXT", None), "_current_context", None)
    if not isinstance(var, contextvars.ContextVar):
        var = None
    return var, otel_context.get_current, otel_trace.get_current_span


def basic_config(
    path: str | None = None,
    unix_ts: bool = False,
    batch_size: SupportsIndex | None = None,
    color: str = "auto",
    format: str = "logfmt",
    *,
    max_bytes: SupportsIndex | None = None,
    keep_days: SupportsIndex | None = None,
    compress: bool = False,
    msg_template: bool = False,
    trace_ids: bool = False,
) -> None:
    """tarnwick._logger.basic_config(), plus, for writers created afterwards: max_bytes splits a day's
    file into parts of at most that many bytes, keep_days deletes the days more than that many days
    before today, compress gzips closed files in the background. And at once, for every logger:
    msg_template=True adds the template's text to lines whose message is a template string (Python
    3.14+); trace_ids=True adds trace_id and span_id of the current OpenTelemetry span (needs
    opentelemetry-api)."""
    files = file_options(max_bytes, keep_days, compress)
    with_template = _check_bool(msg_template, "msg_template")
    with_trace = _check_bool(trace_ids, "trace_ids")
    source = _trace_source() if with_trace else (None, None, None)
    # Everything that can fail runs before anything is stored; the extension stores its settings and
    # the file options at once.
    _logger._basic_config_files(*files, path, unix_ts, batch_size, color, format)
    _context._set_msg_template(with_template)
    _context._set_trace(*source)
