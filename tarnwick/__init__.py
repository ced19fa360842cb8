"""A fast line logger: records are rendered on the calling thread and written by one
background thread per destination."""

from tarnwick._handler import Handler, capture_stdlib
from tarnwick._logger import PyLevel, PyLogger, basic_config, get_logger

__all__ = ["Handler", "PyLevel", "PyLogger", "basic_config", "capture_stdlib", "get_logger"]
