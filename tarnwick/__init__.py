"""A fast line logger: records are rendered on the calling thread and written by one
background thread per destination."""

from tarnwick._logger import PyLevel, PyLogger, basic_config, get_logger

__all__ = ["PyLevel", "PyLogger", "basic_config", "get_logger"]
