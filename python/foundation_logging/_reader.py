"""Reading foundation's log files back as records.

A record starts at the beginning of a line with its date and time and is laid out as
`date time | elapsed | level | source | message`; the lines after it that start with whitespace
continue its message. Control characters in a message are written escaped (`\\x1b`), and
the reader leaves them so: it joins continuation lines and undoes nothing else.
"""

from __future__ import annotations

import os
import re
import time
from collections.abc import Generator, Iterator
from pathlib import Path
from typing import BinaryIO, NamedTuple

# The current file last; rotation renames varnel.log to varnel.1.log and shifts the older ones up.
LOG_FILE_NAMES = ("varnel.3.log", "varnel.2.log", "varnel.1.log", "varnel.log")

# spdlog's level names in severity order, as the level column spells them (`off` is written by
# messages logged at Level.off, which pass every threshold).
LEVEL_NAMES = ("trace", "debug", "info", "warning", "error", "critical", "off")


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


# A whole record, then (for anything else) one line with its continuation lines, then an
# unterminated last line. Every line start is matched by one of them, so nothing is skipped.
_RECORDS = re.compile(
    r"^(?:(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d) \| +(\d+\.\d{3})s \| (" + "|".join(LEVEL_NAMES) + r") +\| "
    r"(.*?) +\| (.*(?:\n[ \t].*)*)\n"
    r"|(.*(?:\n[ \t].*)*)\n"
    r"|(.+(?:\n[ \t].*)*)\Z)",
    re.MULTILINE)
_TIME = re.compile(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d")
_ELAPSED = re.compile(r" *(\d+\.\d{3})s")
_SEPARATOR = " | "


def _damaged(text: str) -> LogRecord:
    """What can be read of text that does not follow the layout: the columns that parse, in
    order, and the rest of the text as the message."""
    first, newline, continuation = text.partition("\n")
    parts = first.split(_SEPARATOR, 4)
    time = parts[0] if _TIME.fullmatch(parts[0]) else None
    elapsed_column = _ELAPSED.fullmatch(parts[1]) if time is not None and len(parts) > 1 else None
    elapsed = float(elapsed_column[1]) if elapsed_column else None
    level = parts[2].rstrip(" ") if elapsed is not None and len(parts) > 2 else None
    if level not in LEVEL_NAMES:
        level = None
    # The source column is known only by the separator after it.
    source = parts[3].rstrip(" ") if level is not None and len(parts) > 4 else None
    parsed = sum(field is not None for field in (time, elapsed, level, source))
    return LogRecord(time, elapsed, level, source, _SEPARATOR.join(parts[parsed:]) + newline + continuation, True)


def _parse(text: str, end: int | None = None) -> list[LogRecord]:
    """The records of `text` up to `end`; a last line without its line end is torn."""
    make = tuple.__new__  # LogRecord's own constructor is a Python function: this is the hot loop
    return [make(LogRecord, (time, float(elapsed), level, source, message, False)) if time
            else _damaged(other or torn)
            for time, elapsed, level, source, message, other, torn
            in _RECORDS.findall(text, 0, len(text) if end is None else end)]


def _decode(data: bytes) -> str:
    # Invalid UTF-8 comes out as \xNN, the way control characters are written.
    return data.decode("utf-8", "backslashreplace")


def _last_record_start(text: str) -> int:
    """Where the last line of `text` that does not start with whitespace begins (0 if none)."""
    start = text.rfind("\n", 0, len(text) - 1) + 1
    while start > 0 and text[start] in " \t":
        start = text.rfind("\n", 0, start - 1) + 1
    return start


class _Stream:
    """Turns the bytes of one file, as they are appended, into records. It holds back a line
    without its line end, and the last record until the next one starts or the file goes quiet,
    since its continuation lines may still be on their way."""

    def __init__(self) -> None:
        self._unfinished = b""  # after the last line end
        self._last = ""  # the last record's lines, held back

    def feed(self, data: bytes) -> list[LogRecord]:
        data = self._unfinished + data
        end = data.rfind(b"\n") + 1
        self._unfinished = data[end:]
        text = self._last + _decode(data[:end])
        start = _last_record_start(text)
        self._last = text[start:]
        return _parse(text, start)

    def quiet(self) -> list[LogRecord]:
        """Nothing new came: the record held back is complete."""
        text, self._last = self._last, ""
        return _parse(text)

    def finish(self) -> list[LogRecord]:
        """The file is done: everything held back, an unfinished line as a torn record."""
        text = self._last + _decode(self._unfinished)
        self._last, self._unfinished = "", b""
        return _parse(text)


def _open_files(folder: Path) -> list[BinaryIO]:
    """Opens the log files, oldest first. They are opened newest first and a file already open
    (by its inode) is skipped, so a rotation in between can repeat a name but lose no file."""
    opened: list[BinaryIO] = []
    inodes = set()
    for name in reversed(LOG_FILE_NAMES):
        try:
            file = open(folder / name, "rb")  # noqa: SIM115 (the caller closes it)
        except FileNotFoundError:
            continue
        inode = _inode(file)
        if inode in inodes:
            file.close()
            continue
        inodes.add(inode)
        opened.append(file)
    return opened[::-1]


def _inode(file: BinaryIO) -> int:
    return os.fstat(file.fileno()).st_ino


def _is_current(file: BinaryIO) -> bool:
    return os.path.basename(file.name) == LOG_FILE_NAMES[-1]


def _read_whole(file: BinaryIO) -> list[LogRecord]:
    with file:
        stream = _Stream()
        return stream.feed(file.read()) + stream.finish()


def read_log(folder: str | os.PathLike[str] = ".tamblin/logs", *, follow: bool = False,
             poll_interval: float = 0.2) -> Iterator[LogRecord]:
    """Yields the records of "varnel.3.log" ... "varnel.log" in `folder`, oldest first.

    Continuation lines (lines that start with whitespace) are joined to their record's message
    with "\\n"; nothing else is undone. A damaged line comes out as a record with
    `damaged=True`, never as an exception. With `follow`, it then waits for new records like
    `tail -F`, looking every `poll_interval` seconds, also across rotations made by other
    processes, until the caller stops iterating. Raises FileNotFoundError when `folder` does not
    exist.
    """
    folder = Path(folder)
    if not folder.is_dir():
        raise FileNotFoundError(f"no log folder {str(folder)!r}")
    return _follow(folder, poll_interval) if follow else _read(_open_files(folder))


def _read(files: list[BinaryIO]) -> Iterator[LogRecord]:
    try:
        for file in files:
            yield from _read_whole(file)
    finally:
        for file in files:
            file.close()


def _follow(folder: Path, poll_interval: float) -> Iterator[LogRecord]:
    done: int | None = None  # the inode of the newest file read to its end
    while True:
        files = _open_files(folder)
        if done is not None:
            files = _newer_than(files, done)
        current = files.pop() if files and _is_current(files[-1]) else None
        if files:
            done = _inode(files[-1])
            yield from _read(files)
        if current is None:
            time.sleep(poll_interval)
        else:
            done = yield from _follow_file(current, folder / LOG_FILE_NAMES[-1], poll_interval)


def _follow_file(file: BinaryIO, path: Path, poll_interval: float) -> Generator[LogRecord, None, int]:
    """Yields the records of `file` as they come, until it is no longer the file at `path`
    (rotated away or deleted); returns its inode."""
    stream = _Stream()
    inode = _inode(file)
    with file:
        while True:
            data = file.read()
            if data:
                yield from stream.feed(data)
                continue
            yield from stream.quiet()
            try:
                status = os.stat(path)
            except FileNotFoundError:
                break
            if status.st_ino != inode:
                break
            if status.st_size < file.tell():  # cut short by someone else: start again
                file.seek(0)
            time.sleep(poll_interval)
        # A writer in another process may add a line before it notices the rotation.
        time.sleep(poll_interval)
        yield from stream.feed(file.read())
        yield from stream.finish()
    return inode


def _newer_than(files: list[BinaryIO], inode: int) -> list[BinaryIO]:
    """The files (oldest first) that came after the one with `inode`. When that one is gone
    (deleted rather than rotated), the rotated files are older than it: only the current one is new."""
    inodes = [_inode(file) for file in files]
    newer = files[inodes.index(inode) + 1:] if inode in inodes else [f for f in files if _is_current(f)]
    for file in files:
        if file not in newer:
            file.close()
    return newer
