import sys
from typing import Any, ClassVar, SupportsIndex, TypeAlias, final

if sys.version_info >= (3, 14):
    from string.templatelib import Template

    _Message: TypeAlias = str | Template
else:
    _Message: TypeAlias = str

__all__ = ["PyLevel", "PyLogger", "basic_config", "get_logger"]

@final
class PyLevel:
    Trace: ClassVar[PyLevel]
    Debug: ClassVar[PyLevel]
    Info: ClassVar[PyLevel]
    Warn: ClassVar[PyLevel]
    Error: ClassVar[PyLevel]
    def __int__(self) -> int: ...

@final
class PyLogger:
    def __new__(
        cls, name: str | None, path: str | None = None, level: PyLevel = ...
    ) -> PyLogger: ...
    def shutdown(self) -> None: ...
    def trace(self, message: _Message, *args: object) -> None: ...
    def debug(self, message: _Message, *args: object) -> None: ...
    def info(self, message: _Message, *args: object) -> None: ...
    def warn(self, message: _Message, *args: object) -> None: ...
    def warning(self, message: _Message, *args: object) -> None: ...
    def error(self, message: _Message, *args: object) -> None: ...
    def exception(self, message: _Message, *args: object) -> None: ...
    def bind(self, /, **fields: object) -> PyLogger: ...
    def _flush(self) -> None: ...
    def _emit(
        self,
        levelno: int,
        name: str | None,
        msg: object,
        args: object,
        extras: dict[str, object] | None,
        stack: str | None,
        exc: BaseException | None,
        exc_text: str | None,
        /,
    ) -> None: ...

class InternalFault(BaseException): ...

def basic_config(
    path: str | None = None,
    unix_ts: bool = False,
    batch_size: SupportsIndex | None = None,
    color: str = ...,
    format: str = ...,
) -> None: ...
def _basic_config_files(max_bytes: int, keep_days: int, compress: bool, /, *args: Any, **kwargs: Any) -> None: ...
def get_logger(name: str | None, level: PyLevel = ...) -> PyLogger: ...
