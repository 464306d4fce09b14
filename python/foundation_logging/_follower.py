"""The log files of a folder, read oldest first and then followed as they are written.

Only regular files are read, and a symbolic link is never followed: the reader may run with more
rights than the folder's writers. Anything else under a log name is reported once and skipped.
"""

from __future__ import annotations

import errno
import io
import os
import stat
import sys
import time
from collections.abc import Callable, Generator, Iterable, Iterator
from pathlib import Path

from foundation_logging._folder_watch import FolderWatch
from foundation_logging._records import CHUNK_SIZE, LogRecord, RecordStream

# The current file last; rotation renames varnel.log to varnel.1.log and shifts the older ones up.
LOG_FILE_NAMES = ("varnel.3.log", "varnel.2.log", "varnel.1.log", "varnel.log")

_TAIL_SIZE = 64  # the last bytes read of a file, to notice it truncated and written past them again
_SKIPPED = object()  # under a name: something that is not a regular file
_LOOKS_UNTIL_SETTLED = 3  # looks at the names while files move under them, before taking the last


def _report_to_stderr(text: str) -> None:
    try:
        sys.stderr.write(f"foundation_logging: {text}\n")
    except (AttributeError, OSError, ValueError):  # no standard error to tell
        pass


class _LogFile:
    """One log file, open, and how far it has been read."""

    def __init__(self, fd: int, status: os.stat_result, name: str) -> None:
        self.identity = (status.st_dev, status.st_ino)  # its own while it is open
        self.name = name  # the log name it had at the last look
        self.gone = False  # no longer under a log name: read it to its end, then let it go
        self._file = io.FileIO(fd)
        self._stream = RecordStream()
        self._position = 0
        self._tail = b""

    def close(self) -> None:
        self._file.close()

    def batches(self, final: bool, truncated: Callable[[str], None]) -> Generator[Iterable[LogRecord], None, bool]:
        """Yields the records of what was added since the last call, a batch at a time; then, if
        `final`, also what is held back. Returns whether anything was added. A file truncated in
        place (copytruncate) is read again from its start, after `truncated` is told its name."""
        grew = False
        if self._was_truncated():
            truncated(self.name)
            yield self._stream.finish()  # a part line from before is a torn record of its own
            self._file.seek(0)
            self._position, self._tail = 0, b""
        while data := self._file.read(CHUNK_SIZE):
            grew = True
            self._position += len(data)
            self._tail = (self._tail + data[-_TAIL_SIZE:])[-_TAIL_SIZE:]
            yield self._stream.feed(data)
        yield self._stream.finish() if final else self._stream.quiet()
        return grew

    def _was_truncated(self) -> bool:
        """Whether the file is now shorter than what was read, or no longer has the bytes read
        last where they were (truncated, then written past that point)."""
        if not self._position:
            return False
        size = os.fstat(self._file.fileno()).st_size
        return size < self._position or (
            size > self._position and os.pread(self._file.fileno(), len(self._tail),
                                               self._position - len(self._tail)) != self._tail)


class LogFollower:
    """The records of the log files of `folder`, oldest first, as they are written.

    Each file is known by its identity (device and inode) and is held open while it is under one
    of the log names, so that its identity stays its own and a rotation can neither hide it nor
    pass a new file off as it. The names are looked at on every read: a file not held is new,
    newer than every file held, and the reader goes on with it after them, however many
    rotations came in between. A file held is read to its end when it drops out (even when
    deleted meanwhile), and lines a late writer adds to a rotated file are read too: each record
    comes once.

    `report` receives one line for each thing skipped, a file truncated in place, and files
    rotated away before they were read (whose records are lost); by default it goes to standard
    error. With `watch`, the folder's notifications tell exactly how many files were lost;
    without, the names can only tell that some may have been. A folder that does not exist (yet,
    or any more) holds no records. Opens nothing before the first `read`.
    """

    def __init__(self, folder: str | os.PathLike[str], report: Callable[[str], None] = _report_to_stderr,
                 *, watch: bool = False) -> None:
        self._folder = Path(folder)
        self._report = report
        self._reported: set[object] = set()
        self._files: list[_LogFile] = []  # oldest first
        self._looked = False
        self._watch = FolderWatch(LOG_FILE_NAMES) if watch else None

    def __enter__(self) -> LogFollower:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def close(self) -> None:
        for file in self._files:
            file.close()
        self._files = []
        if self._watch is not None:
            self._watch.close()

    def read(self, final: bool = False) -> Generator[Iterable[LogRecord], None, bool]:
        """Yields the records written since the last call (the first: all that is on disk), a
        batch at a time; then, if `final`, also a last record that may still be growing and a torn
        last line. Returns whether anything was written."""
        self._look()
        grew = False
        for file in self._files:
            grew = (yield from file.batches(final or file.gone, self._truncated)) or grew
        for file in self._files:
            if file.gone:
                file.close()
        self._files = [file for file in self._files if not file.gone]
        return grew

    def follow(self, poll_interval: float = 0.2) -> Iterator[Iterable[LogRecord]]:
        """Yields the records as they are written, a batch at a time, looking every
        `poll_interval` seconds, until the caller stops iterating."""
        while True:
            if not (yield from self.read()):
                time.sleep(poll_interval)

    def _look(self) -> None:
        """Takes in the files under the log names that are new, marks those no longer there, and
        reports the files lost since the last look."""
        if self._watch is not None:
            self._watch.watch(self._folder)
        for _ in range(_LOOKS_UNTIL_SETTLED):
            found = self._look_at_names()
            if self._watch is None or not self._watch.moved():
                break
        lost = self._watch.lost() if self._watch is not None else None
        held = {file.identity: file for file in self._files}
        new: list[_LogFile] = []  # newest first
        seen: dict[str, object] = {}
        for name, status in found.items():
            identity = (status.st_dev, status.st_ino)
            if not stat.S_ISREG(status.st_mode):
                seen[name] = _SKIPPED
            elif identity in held:
                held[identity].name = name
                seen[name] = identity
            elif (file := self._open(name, identity)) is not None:
                new.append(file)
                seen[name] = identity
        present = set(seen.values())
        for file in self._files:
            file.gone = file.identity not in present
        if self._looked:
            self._report_loss(lost, found)
        if self._watch is not None:
            self._watch.looked(seen)
        self._looked = True
        self._files += reversed(new)

    def _look_at_names(self) -> dict[str, os.stat_result]:
        """What is under each log name, newest first, each file once (a rotation in between can
        repeat one under two names); reports what is not a regular file, once."""
        found: dict[str, os.stat_result] = {}
        identities = set()
        for name in reversed(LOG_FILE_NAMES):
            try:
                status = os.lstat(self._folder / name)
            except FileNotFoundError:
                continue
            except OSError as error:
                self._note(name, error.errno, f"skipped {self._folder / name}: {error.strerror}")
                continue
            identity = (status.st_dev, status.st_ino)
            if identity in identities:
                continue
            identities.add(identity)
            found[name] = status
            if stat.S_ISLNK(status.st_mode):
                self._note(name, identity, f"skipped {self._folder / name}: "
                                           "a symbolic link, which the reader never follows")
            elif not stat.S_ISREG(status.st_mode):
                self._note(name, identity, f"skipped {self._folder / name}: not a regular file")
        return found

    def _open(self, name: str, identity: tuple[int, int]) -> _LogFile | None:
        """The file under `name` opened for reading, if it is still the regular file seen there.
        Neither a link nor a FIFO or a device put there meanwhile can lead the reader elsewhere or
        block it."""
        try:
            fd = os.open(self._folder / name, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
        except OSError as error:
            if error.errno not in (errno.ENOENT, errno.ELOOP):
                self._note(name, identity, f"skipped {self._folder / name}: {error.strerror}")
            return None
        status = os.fstat(fd)
        if (status.st_dev, status.st_ino) != identity or not stat.S_ISREG(status.st_mode):
            os.close(fd)  # replaced since: the next look takes it
            return None
        return _LogFile(fd, status, name)

    def _report_loss(self, lost: int | None, found: dict[str, os.stat_result]) -> None:
        """Reports the files lost since the last look (`lost`, None when unknown); called before
        the new files are taken in."""
        if lost:
            files = "a log file" if lost == 1 else f"{lost} log files"
            self._report(f"{self._folder}: {files} rotated away before the reader got to "
                         f"{'it' if lost == 1 else 'them'}: {'its' if lost == 1 else 'their'} records are lost")
        elif lost is None:
            # Without the folder's notifications, only the names are known: when none of the files
            # held is left and the oldest name holds a new one, files may have come and gone unread.
            oldest = found.get(LOG_FILE_NAMES[0])
            if all(file.gone for file in self._files) and oldest is not None and stat.S_ISREG(oldest.st_mode) \
                    and (oldest.st_dev, oldest.st_ino) not in {file.identity for file in self._files}:
                self._report(f"{self._folder}: log files may have been rotated away before the reader "
                             "got to them; their records would be lost (how many, it cannot tell)")

    def _truncated(self, name: str) -> None:
        self._report(f"{self._folder / name} was truncated in place: reading it again from its start")

    def _note(self, name: str, what: object, text: str) -> None:
        """Reports `text` once for the same thing under the same name."""
        if (name, what) not in self._reported:
            self._reported.add((name, what))
            self._report(text)
