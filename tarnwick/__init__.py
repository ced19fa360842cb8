"""A fast line logger: records are rendered on the calling thread and written by one
background thread per destination."""

from tarnwick._handler import Handler as Handler, capture_stdlib as capture_stdlib
from tarnwick._logger import PyLevel, PyLogger, get_logger
from tarnwick._structured import basic_config, bind_context, context, current_context, reset_context

# The one place the version is written: the wheel's metadata reads it from here.
__version__ = "0.1.0"

# The extension's own names (basic_config as a superset, with the file and context options), then
# the request context; Handler and
# capture_stdlib (stdlib logging) are imported by name.
__all__ = ["PyLevel", "PyLogger", "basic_config", "get_logger", "bind_context", "context", "current_context",
           "reset_context"]
