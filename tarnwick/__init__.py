"""A fast line logger: records are rendered on the calling thread and written by one
background thread per destination."""

from tarnwick._handler import Handler as Handler, capture_stdlib as capture_stdlib
from tarnwick._logger import PyLevel, PyLogger, basic_config, get_logger

# The one place the version is written: the wheel's metadata reads it from here.
__version__ = "0.1.0"

# The extension's own names; Handler and capture_stdlib (stdlib logging) are imported by name.
__all__ = ["PyLevel", "PyLogger", "basic_config", "get_logger"]
