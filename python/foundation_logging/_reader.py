"""Reading foundation's log files back as records: `read_log`."""

from __future__ import annotations

import os
from collections.abc import Generator, Iterable, Iterator
from itertools import chain
from pathlib import Path
from typing import cast

from foundation_logging._follower import LOG_FILE_NAMES, LogFollower
from foundation_logging._records import LEVEL_NAMES, LogRecord

__all__ = ["LEVEL_NAMES", "LOG_FILE_NAMES", "LogRecord", "read_log"]


def read_log(folder: str | os.PathLike[str] = ".tamblin/logs", *, follow: bool = False,
             poll_interval: float = 0.2) -> Iterator[LogRecord]:
    """Yields the records of "varnel.3.log" ... "varnel.log" in `folder`, oldest first.

    Continuation lines (lines that start with whitespace) are joined to their record's message
    with "\\n"; nothing else is undone. A damaged line comes out as a record with
    `damaged=True`, never as an exception. Anything under a log name that is not a regular file
    (a symbolic link, a FIFO, a folder) is skipped with a line on standard error. With `follow`,
    it then waits for new records like `tail -F`, looking every `poll_interval` seconds, across
    rotations however many there were, until the caller stops iterating.

    The files are opened when iteration starts and closed when it ends, also when the caller
    stops early. Raises FileNotFoundError when `folder` does not exist.
    """
    if not Path(folder).is_dir():
        raise FileNotFoundError(f"no log folder {str(folder)!r}")
    return _Records(_batches(LogFollower(folder, watch=follow), follow, poll_interval))


def _batches(follower: LogFollower, follow: bool,
             poll_interval: float) -> Generator[Iterable[LogRecord], None, None]:
    with follower:  # opens nothing until the first batch is asked for
        yield from follower.follow(poll_interval) if follow else follower.read(final=True)


class _Records(chain):  # type: ignore[type-arg]
    """The records of the batches a follower reads, one at a time without a Python frame for
    each; `close()` ends the reading early, closing the files, as a generator's does."""

    _batches: Generator[Iterable[LogRecord], None, None]

    def __new__(cls, batches: Generator[Iterable[LogRecord], None, None]) -> _Records:
        records = cast(_Records, cls.from_iterable(batches))
        records._batches = batches
        return records

    def close(self) -> None:
        self._batches.close()
