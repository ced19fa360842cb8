"""A fast line logger: records are rendered on the calling thread and written by one
background thread per destination."""

from tarnwick._file_options import basic_config as basic_config
from tarnwick._handler import Handler as Handler, capture_stdlib as capture_stdlib
from tarnwick._logger import PyLevel, PyLogger, get_logger

# The one place the version is written: the wheel's metadata reads it from here.
__version__ = "0.1.0"

# The extension's own names, and basic_config, which adds the file options to the extension's;
# Handler and capture_stdlib (stdlib logging) are imported by name.
__all__ = ["PyLevel", "PyLogger", "basic_config", "get_logger"]
