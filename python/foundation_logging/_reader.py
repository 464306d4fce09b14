"""Reading foundation's log files back as records.

A record starts at the beginning of a line with its date and time and is laid out as
`date time | elapsed | level | source | message`; the lines after it that start with whitespace
continue its message. Control characters in a message are written escaped (`\\x1b`), and
the reader leaves them so: it joins continuation lines and undoes nothing else.

The files are read a chunk at a time and a record is parsed once it is whole, so memory follows
the largest record, never the file. Only regular files are read, and a symbolic link is never
followed: the reader may run with more rights than the folder's writers.
"""

from __future__ import annotations

import errno
import io
import os
import re
import stat
import sys
import time
from collections.abc import Callable, Generator, Iterator
from pathlib import Path
from typing import NamedTuple

# The current file last; rotation renames varnel.log to varnel.1.log and shifts the older ones up.
LOG_FILE_NAMES = ("varnel.3.log", "varnel.2.log", "varnel.1.log", "varnel.log")

# spdlog's level names in severity order, as the level column spells them (`off` is written by
# messages logged at Level.off, which pass every threshold).
LEVEL_NAMES = ("trace", "debug", "info", "warning", "error", "critical", "off")

CHUNK_SIZE = 1 << 20  # bytes read at a time


class LogRecord(NamedTuple):
    """One record: a line of the log and the continuation lines after it.

    `time` is the local date and time as written ("2026-12-08 16:02:15"), `elapsed` the seconds
    since the writer's start, `level` the level name ("info", "warning", ...), `source` the
    source column without its padding ("" when blank), `message` the message with each
    continuation line joined by "\\n" as written, indent included. Nothing is unescaped.

    `damaged` marks a record that was not whole: a line torn by a crash, or text that is not a
    record at all. Its fields hold what could be parsed, in order, None from the first one that
    could not; `message` holds the rest of the text, so nothing is lost.
    """

    time: str | None
    elapsed: float | None
    level: str | None
    source: str | None
    message: str
    damaged: bool = False


# A whole record, then (for anything else) one line with its continuation lines, then a last line
# without its line end. Every line start is matched by one of them, so nothing is skipped. The
# continuation lines are taken possessively and the source column ends at its first bar (the
# writer escapes bars there): the engine keeps no state per line and never backtracks far.
_CONTINUATION = r"(?:\n[ \t].*)*+"
_RECORDS = re.compile(
    r"^(?:(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d) \| +(\d+\.\d{3})s \| (" + "|".join(LEVEL_NAMES) + r") +\| "
    r"([^|\n]*+)(?<= )\| (.*" + _CONTINUATION + r")\n"
    r"|(.*" + _CONTINUATION + r")\n"
    r"|((?=[\s\S]).*" + _CONTINUATION + r")\Z)",
    re.MULTILINE)
# Up to the last line end after which a record starts.
_LAST_RECORD_BOUNDARY = re.compile(rb"(?s:.*)\n(?=[^ \t])")
_TIME = re.compile(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d")
_ELAPSED = re.compile(r" *(\d+\.\d{3})s")
_SEPARATOR = " | "


def _damaged(text: str) -> LogRecord:
    """What can be read of text that does not follow the layout: the columns of its first line
    that parse, in order, and the rest of the text as the message."""
    line_end = text.find("\n")
    if line_end < 0:
        line_end = len(text)
    # (start, end) of the text before each of the first four separators, then of the rest of the line.
    columns: list[tuple[int, int]] = []
    start = 0
    while len(columns) < 4 and (separator := text.find(_SEPARATOR, start, line_end)) >= 0:
        columns.append((start, separator))
        start = separator + len(_SEPARATOR)
    columns.append((start, line_end))

    time = text[:columns[0][1]] if _TIME.fullmatch(text, *columns[0]) else None
    elapsed_column = _ELAPSED.fullmatch(text, *columns[1]) if time is not None and len(columns) > 1 else None
    elapsed = float(elapsed_column[1]) if elapsed_column else None
    level = text[slice(*columns[2])].rstrip(" ") if elapsed is not None and len(columns) > 2 else None
    if level not in LEVEL_NAMES:
        level = None
    # The source column is known only by the separator after it.
    source = text[slice(*columns[3])].rstrip(" ") if level is not None and len(columns) > 4 else None
    parsed = sum(field is not None for field in (time, elapsed, level, source))
    message_start = columns[parsed][0] if parsed < len(columns) else line_end
    return LogRecord(time, elapsed, level, source, text[message_start:], True)


def _parse(text: str) -> list[LogRecord]:
    """The records of `text`; a last line without its line end is torn."""
    make = tuple.__new__  # LogRecord's own constructor is a Python function: this is the hot loop
    return [make(LogRecord, (time, float(elapsed), level, source.rstrip(" "), message, False)) if time
            else _damaged(other or torn)
            for time, elapsed, level, source, message, other, torn in _RECORDS.findall(text)]


def _parse_bytes(chunks: list[bytes]) -> list[LogRecord]:
    """The records of `chunks` joined, which it empties: each byte is held once at a time."""
    data = b"".join(chunks)
    chunks.clear()
    # Invalid UTF-8 comes out as \xNN, the way control characters are written.
    text = data.decode("utf-8", "backslashreplace")
    del data
    return _parse(text)


class _Stream:
    """Turns the bytes of one file, as they are read, into records. It holds the bytes of the
    last record until the next one starts or the file goes quiet (its continuation lines may still
    be on their way), and a line without its line end; nothing else."""

    def __init__(self) -> None:
        self._held: list[bytes] = []  # the bytes after the last record parsed, none of them empty

    def feed(self, data: bytes) -> list[LogRecord]:
        if boundary := _LAST_RECORD_BOUNDARY.match(data):
            self._held.append(data[:boundary.end()])
            records = _parse_bytes(self._held)
            data = data[boundary.end():]
        elif data[:1] not in (b" ", b"\t"):
            records = self.quiet()  # the record held ended with the last read, if its last line did
        else:
            records = []
        self._held.append(data)
        return records

    def quiet(self) -> list[LogRecord]:
        """Nothing new came: the record held back is complete, unless its last line is not."""
        return _parse_bytes(self._held) if self._held and self._held[-1].endswith(b"\n") else []

    def finish(self) -> list[LogRecord]:
        """The file is done: everything held back, a line without its line end as a torn record."""
        return _parse_bytes(self._held)


class _LogFile:
    """One log file, open, and how far it has been read."""

    def __init__(self, fd: int, status: os.stat_result) -> None:
        self.identity = (status.st_dev, status.st_ino)  # its own while it is open
        self.gone = False  # no longer under a log name: read it to its end, then let it go
        self._file = io.FileIO(fd)
        self._stream = _Stream()

    def close(self) -> None:
        self._file.close()

    def records(self, final: bool) -> Generator[LogRecord, None, bool]:
        """Yields the records of what was added since the last call; then, if `final`, also what
        is held back. Returns whether anything was added."""
        grew = False
        while True:
            data = self._file.read(CHUNK_SIZE)
            if data:
                grew = True
                yield from self._stream.feed(data)
            elif os.fstat(self._file.fileno()).st_size < self._file.tell():  # cut short by someone else
                self._file.seek(0)
            else:
                break
        yield from self._stream.finish() if final else self._stream.quiet()
        return grew


def _open_log_file(path: Path, report: Callable[[str], None]) -> _LogFile | None:
    """`path` opened for reading if it is a regular file; None (and a report) for anything else.
    Neither a link nor the opening of a FIFO or a device can lead the reader elsewhere or block it."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    except FileNotFoundError:
        return None
    except OSError as error:
        reason = "a symbolic link, which the reader never follows" if error.errno == errno.ELOOP else error.strerror
        report(f"skipped {path}: {reason}")
        return None
    status = os.fstat(fd)
    if not stat.S_ISREG(status.st_mode):
        os.close(fd)
        report(f"skipped {path}: not a regular file")
        return None
    return _LogFile(fd, status)


def _identity(path: Path) -> tuple[int, int] | None:
    try:
        status = os.lstat(path)
    except OSError:
        return None
    return status.st_dev, status.st_ino


_NOT_LOOKED = object()


def _report_to_stderr(text: str) -> None:
    print(f"foundation_logging: {text}", file=sys.stderr)


class LogFollower:
    """The records of the log files of `folder`, oldest first, as they are written.

    Each file is known by its identity (device and inode) and is held open while it is under one
    of the log names, so that its identity stays its own and a rotation can neither hide it nor
    pass a new file off as it. A file seen for the first time is newer than every file held: the
    reader goes on with it after them, however many rotations came in between. A file held is
    read to its end when it drops out (even when deleted meanwhile), and lines a late writer adds
    to a rotated file are read too: each record comes once.

    `report` receives one line for each file skipped and for a follower that fell so far behind
    that files may have been deleted unread; by default it goes to standard error. Raises
    FileNotFoundError when `folder` does not exist; opens nothing before the first `read`.
    """

    def __init__(self, folder: str | os.PathLike[str],
                 report: Callable[[str], None] = _report_to_stderr) -> None:
        self._folder = Path(folder)
        if not self._folder.is_dir():
            raise FileNotFoundError(f"no log folder {str(folder)!r}")
        self._report = report
        self._reported: set[str] = set()
        self._files: list[_LogFile] = []  # oldest first
        self._looked_at: object = _NOT_LOOKED  # the identity of varnel.log at the last look

    def __enter__(self) -> LogFollower:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def close(self) -> None:
        for file in self._files:
            file.close()
        self._files = []

    def read(self, final: bool = False) -> Generator[LogRecord, None, bool]:
        """Yields the records written since the last call (the first: all that is on disk); then,
        if `final`, also a last record that may still be growing and a torn last line. Returns
        whether anything was written."""
        # Files change names only when a rotation makes a new varnel.log.
        current = _identity(self._folder / LOG_FILE_NAMES[-1])
        if current != self._looked_at:
            self._looked_at = current
            self._look_for_files()
        grew = False
        for file in self._files:
            grew = (yield from file.records(final or file.gone)) or grew
        for file in self._files:
            if file.gone:
                file.close()
        self._files = [file for file in self._files if not file.gone]
        return grew

    def follow(self, poll_interval: float = 0.2) -> Iterator[LogRecord]:
        """Yields the records as they are written, looking every `poll_interval` seconds, until the
        caller stops iterating."""
        while True:
            if not (yield from self.read()):
                time.sleep(poll_interval)

    def _look_for_files(self) -> None:
        """Takes in the files under the log names that are new, and marks those no longer there."""
        held = {file.identity for file in self._files}
        present = set()
        new = []  # newest first
        # Newest first, a file already open (by its identity) skipped: a rotation in between can
        # repeat a name but lose no file, since files only move to older names.
        for name in reversed(LOG_FILE_NAMES):
            file = _open_log_file(self._folder / name, self._note)
            if file is None:
                continue
            if file.identity in present or file.identity in held:
                file.close()
            else:
                new.append(file)
            present.add(file.identity)
        for file in self._files:
            file.gone = file.identity not in present
        if self._files and all(file.gone for file in self._files) and present:
            self._report(f"{self._folder}: fell four or more rotations behind the writers; "
                         "the records of any file rotated away before it was read are lost")
        self._files += reversed(new)

    def _note(self, text: str) -> None:
        if text not in self._reported:
            self._reported.add(text)
            self._report(text)


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
    follower = LogFollower(folder)  # opens nothing yet
    return _records(follower, follow, poll_interval)


def _records(follower: LogFollower, follow: bool, poll_interval: float) -> Iterator[LogRecord]:
    with follower:
        yield from follower.follow(poll_interval) if follow else follower.read(final=True)
