"""The file options of tarnwick.basic_config: size split, retention and compression of the dated
files, checked here and stored by the extension together with the other settings."""

from __future__ import annotations

import operator
from typing import SupportsIndex

from tarnwick import _logger

__all__ = ["file_options"]

# Bounds that no real size or retention reaches, so the extension's 64-bit values never overflow.
_MAX_BYTES = 2**62
_MAX_DAYS = 2**31 - 1


def _count(value: object, name: str, least: int, most: int) -> int:
    if isinstance(value, bool) or not hasattr(type(value), "__index__"):
        raise TypeError(f"argument '{name}': '{type(value).__name__}' object cannot be cast as 'int'")
    number = operator.index(value)  # type: ignore[arg-type]
    if number < least:
        raise ValueError(f"argument '{name}': must be at least {least}, not {number}")
    if number > most:
        raise ValueError(f"argument '{name}': must be at most {most}, not {number}")
    return number


def file_options(max_bytes: SupportsIndex | None, keep_days: SupportsIndex | None, compress: bool) -> tuple[int, int, bool]:
    """The options as the extension takes them: max_bytes (0: no split), keep_days (-1: keep every
    day), compress. Raises TypeError or ValueError naming the argument."""
    size = 0 if max_bytes is None else _count(max_bytes, "max_bytes", 1, _MAX_BYTES)
    days = -1 if keep_days is None else _count(keep_days, "keep_days", 0, _MAX_DAYS)
    if not isinstance(compress, bool):
        raise TypeError(f"argument 'compress': '{type(compress).__name__}' object cannot be cast as 'bool'")
    return size, days, compress

