"""Log functions that write through foundation's filtered path with their module's source file."""

from collections.abc import Callable

import foundation
from foundation import Level

Log = Callable[[Level, str], None]


def source_logger(path: str) -> Log:
    """A log function for the module whose file is `path`: pass the module's `__file__`.

    Its lines obey the file and package thresholds for that path and show it in the source column.
    """
    def log(level: Level, message: str) -> None:
        foundation._log_filtered(level, path, message)
    return log
