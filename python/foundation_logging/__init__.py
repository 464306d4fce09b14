"""Bridge from Python's standard `logging` to foundation's log, and a reader of the log files.

Records handled by a `FoundationHandler` go through foundation's filtered path with the record's
own source file: they obey the same global, file and package thresholds as foundation's other
callers and land in the same log, with the calling file in the source column.

    import logging, foundation, foundation_logging

    foundation.initialize_logging()
    foundation_logging.install()
    logging.getLogger(__name__).warning("motor %s hot", "left")

Python's own levels still decide first: the root logger passes WARNING and above unless it is set
lower (for example `logging.getLogger().setLevel(logging.DEBUG)`), and only the records that pass
it reach foundation's thresholds.

`log` writes through the same road from the calling file, within limits of its call site (once,
every N-th call, at most one line per period, the first held back), for control loops.

`read_log` yields the records of the log files (`python -m foundation_logging` prints them).
"""

import logging
import threading

import foundation
from foundation import Level
from foundation_logging._limits import log
from foundation_logging._reader import LogRecord, read_log

__all__ = ["FoundationHandler", "LogRecord", "install", "log", "read_log"]

# The standard levels, highest first, with the foundation level each one maps to.
_LEVELS = (
    (logging.CRITICAL, Level.critical),
    (logging.ERROR, Level.error),
    (logging.WARNING, Level.warn),
    (logging.INFO, Level.info),
    (logging.DEBUG, Level.debug),
)


def _foundation_level(levelno: int) -> Level:
    for threshold, level in _LEVELS:
        if levelno >= threshold:
            return level
    return Level.trace


def _utf8_safe(text: str) -> str:
    """`text`, with what UTF-8 cannot encode (lone surrogates, as `os.fsdecode` makes of undecodable
    bytes) written as backslash escapes: `_log_filtered` refuses such text, and here no caller would
    see the error."""
    if not isinstance(text, str) or text.isascii():
        return text
    return text.encode("utf-8", "backslashreplace").decode("utf-8")


class FoundationHandler(logging.Handler):
    """Forwards each record to foundation's filtered log, with the record's `pathname` as source.

    Levels: DEBUG, INFO, WARNING, ERROR and CRITICAL become `Level.debug`, `Level.info`,
    `Level.warn`, `Level.error` and `Level.critical`. A custom level between two standard ones
    takes the lower of the two (15 is debug, 25 info, 45 error); one above CRITICAL is critical;
    one below DEBUG, NOTSET included, is trace.

    The default formatter writes the message alone (with the traceback of `exc_info`, if any):
    foundation's line already carries the time, the level and the source file. Before
    `foundation.initialize_logging()` and after `foundation.shutdown_logging()` records are
    dropped silently, as on foundation's own filtered path.
    """

    def __init__(self, level: int | str = logging.NOTSET) -> None:
        super().__init__(level)
        self.setFormatter(logging.Formatter("%(message)s"))

    def emit(self, record: logging.LogRecord) -> None:
        try:
            foundation._log_filtered(_foundation_level(record.levelno), _utf8_safe(record.pathname),
                                     _utf8_safe(self.format(record)))
        except RecursionError:  # as the standard handlers do: no handleError for a blown stack
            raise
        except Exception:
            self.handleError(record)


_install_lock = threading.Lock()  # so that two threads installing at once add one handler


def install(level: int | str = logging.NOTSET) -> FoundationHandler:
    """Puts a `FoundationHandler` on the root logger and returns it.

    Idempotent: when the root logger already has one, that handler is returned (with its level
    set to `level`) and no second one is added.
    """
    root = logging.getLogger()
    with _install_lock:
        for handler in root.handlers:
            if isinstance(handler, FoundationHandler):
                handler.setLevel(level)
                return handler
        handler = FoundationHandler(level)
        root.addHandler(handler)
        return handler
