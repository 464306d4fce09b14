"""What happened to the files under the log names between two looks of a follower.

A follower that looks at the names now and then cannot tell, from what it sees, how many
rotations it missed: four and five leave the same names behind, though the fifth deleted a file
it never read. The kernel can: inotify queues every creation, rename and deletion in the folder,
in order, also while the follower is stopped. Replaying them on what the follower last saw tells
exactly which files came under a log name and left the names again unread.
"""

from __future__ import annotations

import ctypes
import errno
import os
import struct
from collections.abc import Collection

_IN_MODIFY = 0x2
_IN_MOVED_FROM = 0x40
_IN_MOVED_TO = 0x80
_IN_CREATE = 0x100
_IN_DELETE = 0x200
_IN_DELETE_SELF = 0x400
_IN_MOVE_SELF = 0x800
_IN_Q_OVERFLOW = 0x4000
_IN_IGNORED = 0x8000
_WATCHED = _IN_MODIFY | _IN_MOVED_FROM | _IN_MOVED_TO | _IN_CREATE | _IN_DELETE | _IN_DELETE_SELF | _IN_MOVE_SELF
_WATCH_LOST = _IN_Q_OVERFLOW | _IN_IGNORED | _IN_DELETE_SELF | _IN_MOVE_SELF
_STRUCTURAL = _IN_MOVED_FROM | _IN_MOVED_TO | _IN_CREATE | _IN_DELETE | _WATCH_LOST
_EVENT = struct.Struct("iIII")  # struct inotify_event: wd, mask, cookie, len; then the name

_libc: ctypes.CDLL | None
try:
    _libc = ctypes.CDLL(None, use_errno=True)
    _libc.inotify_add_watch.argtypes = (ctypes.c_int, ctypes.c_char_p, ctypes.c_uint32)
except (OSError, AttributeError):  # no inotify here: losses can only be estimated
    _libc = None


class _Unseen:
    """A file that came under a log name after the follower last looked."""

    __slots__ = ("written",)

    def __init__(self, written: bool) -> None:
        self.written = written  # it may hold records (a file just made and left empty holds none)


_ELSEWHERE = object()  # a file renamed from a name that is not a log name


class FolderWatch:
    """The files that left the log names of one folder unread since the follower last looked.

    A look goes: `watch()` the folder; see what is under the names until `moved()` says that
    nothing moved meanwhile; `lost()`; open the files; `looked()` with what it holds. Each
    replay of the notifications starts from what the last `looked()` recorded.
    """

    def __init__(self, names: Collection[str]) -> None:
        self._names = frozenset(names)
        self._fd = -1  # the inotify instance, made at the first look
        self._unavailable = _libc is None
        self._folder: tuple[int, int] | None = None  # the identity of the folder watched
        self._watch = -1  # its watch descriptor: a folder watched before may still tell of its files
        self._complete = False  # every notification since the last look is in hand
        self._quiet = True  # no file moved since the last replay
        self._under_names: dict[str, object] = {}  # a name's file: an identity, an _Unseen, or a skipped thing
        self._moving: dict[int, object] = {}  # files renamed away, by the rename's cookie, until they land
        self._lost = 0

    def close(self) -> None:
        if self._fd >= 0:
            os.close(self._fd)
            self._fd = -1
        self._unavailable = True

    def watch(self, folder: str | os.PathLike[str]) -> None:
        """Watches `folder` from now on, unless it is watched already (as the same folder). The
        files lost before are not known: the next look is where the counting starts."""
        try:
            identity = _identity(os.stat(folder))
        except OSError:
            return
        if self._unavailable or _libc is None or identity == self._folder:
            return
        if self._fd < 0:
            self._fd = _libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
            if self._fd < 0:  # out of inotify instances, say: the follower estimates
                self._unavailable = True
                return
        watch = _libc.inotify_add_watch(self._fd, os.fsencode(folder), _WATCHED)
        if watch >= 0:
            self._folder, self._watch = identity, watch
            self._under_names.clear()
            self._moving.clear()
        elif ctypes.get_errno() not in (errno.ENOENT, errno.ENOTDIR):
            self.close()  # out of watches, say: the follower estimates from then on

    def lost(self) -> int | None:
        """The files lost since the last look, or None when that cannot be told."""
        self._replay()
        lost, self._lost = self._lost, 0
        return lost if self._complete else None

    def moved(self) -> bool:
        """Whether a file came, went or moved since the last call (of this or `lost`)."""
        self._replay()
        return not self._quiet

    def looked(self, seen: dict[str, object]) -> None:
        """Records what the follower found under the names that it could take in (absent from
        `seen`: nothing there); the next replay starts from it."""
        for name in self._names:
            if name in seen:
                self._under_names[name] = seen[name]
            else:
                self._under_names.pop(name, None)
        self._complete = self._folder is not None and self._fd >= 0

    def _replay(self) -> None:
        self._quiet = True
        if self._fd < 0:
            return
        moving, self._moving = self._moving, {}
        for file in moving.values():  # renamed out of the folder: the rename's other half never came
            self._drop(file)
        while True:
            try:
                data = os.read(self._fd, 65536)
            except BlockingIOError:
                return
            offset = 0
            while offset < len(data):
                watch, mask, cookie, length = _EVENT.unpack_from(data, offset)
                name = os.fsdecode(data[offset + _EVENT.size:offset + _EVENT.size + length].rstrip(b"\0"))
                offset += _EVENT.size + length
                if watch == self._watch or mask & _IN_Q_OVERFLOW:
                    self._quiet = self._quiet and not mask & _STRUCTURAL
                    self._apply(mask, cookie, name)

    def _apply(self, mask: int, cookie: int, name: str) -> None:
        if mask & _WATCH_LOST:
            self._complete = False
            if mask & (_IN_IGNORED | _IN_DELETE_SELF | _IN_MOVE_SELF):
                self._folder = None
            return
        logged = name in self._names
        if mask & _IN_MODIFY:
            if isinstance(file := self._under_names.get(name), _Unseen):
                file.written = True
        elif mask & _IN_CREATE:
            if logged:
                self._drop(self._under_names.get(name))
                self._under_names[name] = _Unseen(written=False)
        elif mask & _IN_DELETE:
            if logged:
                self._drop(self._under_names.pop(name, None))
        elif mask & _IN_MOVED_FROM:
            self._moving[cookie] = self._under_names.pop(name, None) if logged else _ELSEWHERE
        elif mask & _IN_MOVED_TO:
            file = self._moving.pop(cookie, _ELSEWHERE)
            if logged:
                self._drop(self._under_names.get(name))
                # From another name, or from outside the folder: unknown, it may hold records.
                self._under_names[name] = _Unseen(written=True) if file is _ELSEWHERE else file
            else:
                self._drop(file)

    def _drop(self, file: object) -> None:
        """`file` left the log names: lost, if the follower never opened it and it held anything."""
        if isinstance(file, _Unseen) and file.written:
            self._lost += 1


def _identity(status: os.stat_result) -> tuple[int, int]:
    return status.st_dev, status.st_ino
