"""Standard-library logging through tarnwick: a logging.Handler that writes each record as a
tarnwick line, and capture_stdlib() to route every library's records there."""

from __future__ import annotations

import logging
import os
from typing import Callable

from tarnwick._logger import PyLevel, PyLogger

__all__ = ["Handler", "capture_stdlib"]

# The attributes every LogRecord has (and those formatters add); any other is an `extra`.
_PLAIN_RECORD = logging.LogRecord("", logging.INFO, "", 0, "", (), None)
_PLAIN_LEN = len(_PLAIN_RECORD.__dict__)
_PLAIN = frozenset(_PLAIN_RECORD.__dict__) | {"message", "asctime"}
del _PLAIN_RECORD
# The message is made in the extension as this makes it, unless a record class overrides it.
_GET_MESSAGE = logging.LogRecord.getMessage


class Handler(logging.Handler):
    """Writes stdlib records to a tarnwick destination: standard output (path=None) or the
    daily files of a base path, in the format, colour and time settings of basic_config().
    The line's shape is tarnwick's: a Formatter set on this handler is not used."""

    def __init__(self, path: str | None = None, level: int | str = logging.NOTSET) -> None:
        super().__init__(level)
        # Resolved now, as FileHandler does: a record after close() reopens the same files even after
        # a chdir. A non-str is left to PyLogger, which raises the usual argument error.
        self.path = os.path.join(os.getcwd(), path) if isinstance(path, str) else path
        self._logger: PyLogger | None = None
        self._emit: Callable[..., None] = self._reopen
        self._open()

    def _open(self) -> Callable[..., None]:
        self._logger = PyLogger(None, self.path, PyLevel.Trace)
        self._emit = self._logger._emit
        return self._emit

    def _reopen(self, *args: object) -> None:
        # A record after close() reopens the destination, as logging.FileHandler does.
        self._open()(*args)

    def handle(self, record: logging.LogRecord) -> logging.LogRecord | bool:  # type: ignore[override]
        # The writer path is thread-safe on its own: no handler lock per record, only the filters.
        if self.filters:
            rv = self.filter(record)
            if not rv:
                return False
            if isinstance(rv, logging.LogRecord):
                record = rv
        self.emit(record)
        return record

    def emit(self, record: logging.LogRecord) -> None:
        try:
            d = record.__dict__
            extras = None
            if len(d) > _PLAIN_LEN:
                extras = {k: v for k, v in d.items() if k not in _PLAIN} or None
            msg, args = record.msg, record.args
            if record.__class__ is not logging.LogRecord and record.__class__.getMessage is not _GET_MESSAGE:
                msg, args = record.getMessage(), None
            ei = record.exc_info
            self._emit(
                record.levelno, record.name, msg, args, extras, record.stack_info,
                ei[1] if ei else None, record.exc_text if ei else None)
        except RecursionError:
            raise
        except Exception:
            self.handleError(record)

    def flush(self) -> None:
        """Hands this thread's pending lines to the writer and waits until they are written."""
        logger = self._logger
        if logger is not None:
            logger._flush()

    def close(self) -> None:
        """Releases this handler's hold on the writer; a writer other loggers share keeps running."""
        self.flush()
        self._emit = self._reopen  # the bound method holds the logger, and so the writer
        self._logger = None
        super().close()


def capture_stdlib(level: int | str = logging.INFO, path: str | None = None) -> Handler:
    """Makes one tarnwick Handler the root logger's only handler and sets the root level, as
    logging.basicConfig(force=True) would; returns the handler."""
    handler = Handler(path)
    root = logging.getLogger()
    for old in root.handlers[:]:
        root.removeHandler(old)
        old.close()
    root.addHandler(handler)
    root.setLevel(level)
    return handler
