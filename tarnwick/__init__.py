"""A fast line logger: records are rendered on the calling thread and written by one
background thread per destination."""

from tarnwick._handler import Handler as Handler, capture_stdlib as capture_stdlib
from tarnwick._logger import PyLevel, PyLogger, basic_config, get_logger

# The extension's own names; Handler and capture_stdlib (stdlib logging) are imported by name.
__all__ = ["PyLevel", "PyLogger", "basic_config", "get_logger"]
