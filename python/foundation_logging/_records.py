"""The records of foundation's log, parsed from the bytes of a file as they are read.

A record starts at the beginning of a line with its date and time and is laid out as
`date time | elapsed | level | source | message`; the lines after it that start with whitespace
continue its message. Control characters in a message are written escaped (`\\x1b`), and the
parser leaves them so: it joins continuation lines and undoes nothing else.

Memory follows the largest record, never the file: the bytes of a record are held only until it
is whole, and a record larger than a read is decoded piece by piece, each piece of bytes let go
once decoded.
"""

from __future__ import annotations

import codecs
import re
from collections.abc import Iterable
from itertools import repeat
from typing import NamedTuple

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


# The columns before the message. The source column ends at its first bar (the writer escapes
# bars there), and its padding is left out; every part is taken possessively, so the engine never
# backtracks far. ASCII digits only: a digit of another script is no time.
_HEADER = (r"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d) \| +(\d+\.\d{3})s \| (" + "|".join(LEVEL_NAMES) + r") +\| "
           r"((?:[^ |\n]++| ++(?=[^ |\n]))*+) ++\| ")
_CONTINUATION = r"(?:\n[ \t].*)*+"
# What the writer ends a part line with (a write cut short, a writer killed mid-line) before the
# next line: CAN, "cancel", which it never writes raw into a line. Such a record is damaged.
_PART_LINE_END = "\x18"
# Splitting "\n" + text at each header leaves the messages between the columns.
_HEADERS = re.compile("\n" + _HEADER, re.ASCII)
_HEADER_BYTES = re.compile(_HEADER.encode(), re.ASCII)
# A whole record, then (for anything else) one line with its continuation lines, then a last line
# without its line end. Every line start is matched by one of them, so nothing is skipped.
_RECORDS = re.compile(
    "^(?:" + _HEADER + "(.*" + _CONTINUATION + r")(?<!" + _PART_LINE_END + r")\n|(.*" + _CONTINUATION + r")\n|((?=[\s\S]).*" + _CONTINUATION
    + r")\Z)", re.MULTILINE | re.ASCII)
# The line ends after which a record starts (or a line that is not one).
_RECORD_START = re.compile(rb"\n(?=[^ \t])")
_NOT_CONTINUED = re.compile(r"\n(?![ \t])")
_LAST_RECORD_BOUNDARY = re.compile(rb"(?s:.*)\n(?=[^ \t])")
_TIME = re.compile(rb"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d", re.ASCII)
_ELAPSED = re.compile(rb" *(\d+\.\d{3})s", re.ASCII)
_SEPARATOR = b" | "
_LEVELS = {name.encode(): name for name in LEVEL_NAMES}

_make = tuple.__new__  # LogRecord's own constructor is a Python function: too slow for the hot path


def _decode(data: bytes) -> str:
    # Invalid UTF-8 comes out as \xNN, the way control characters are written.
    return data.decode("utf-8", "backslashreplace")


def _damaged(line: bytes, rest: list[bytes]) -> LogRecord:
    """What can be read of a record that does not follow the layout, given as its first piece
    and the pieces after it (which it empties): the columns of the first line that parse, in
    order, and the rest of the text as the message."""
    line_end = line.find(b"\n")
    if line_end < 0:
        line_end = len(line)
    # (start, end) of the text before each of the first four separators, then of the rest of the line.
    columns: list[tuple[int, int]] = []
    start = 0
    while len(columns) < 4 and (separator := line.find(_SEPARATOR, start, line_end)) >= 0:
        columns.append((start, separator))
        start = separator + len(_SEPARATOR)
    columns.append((start, line_end))

    time = line[:columns[0][1]].decode() if _TIME.fullmatch(line, *columns[0]) else None
    elapsed_column = _ELAPSED.fullmatch(line, *columns[1]) if time is not None and len(columns) > 1 else None
    elapsed = float(elapsed_column[1]) if elapsed_column else None
    level = _LEVELS.get(line[slice(*columns[2])].rstrip(b" ")) if elapsed is not None and len(columns) > 2 else None
    # The source column is known only by the separator after it.
    source = _decode(line[slice(*columns[3])]).rstrip(" ") if level is not None and len(columns) > 4 else None
    parsed = sum(field is not None for field in (time, elapsed, level, source))
    rest.insert(0, line[columns[parsed][0] if parsed < len(columns) else line_end:])
    return LogRecord(time, elapsed, level, source, _decode_pieces(rest), True)


def _decode_pieces(pieces: list[bytes]) -> str:
    """The text of `pieces` joined, which it empties: each piece is let go once decoded, so a
    large record is held twice (as bytes and as text) only a piece at a time."""
    decoder = codecs.getincrementaldecoder("utf-8")("backslashreplace")
    pieces.reverse()
    texts = []
    while pieces:
        texts.append(decoder.decode(pieces.pop()))
    texts.append(decoder.decode(b"", True))
    return "".join(texts)


class WholeRecords(map):  # type: ignore[type-arg]
    """Records that are all whole. Beside them, for readers that print many: `text`, the lines
    they were parsed from, each with its line break, and `columns`, their fields but `damaged`
    (all false), column by column."""

    text: str
    columns: tuple[list[str], list[float], list[str], list[str], list[str]]


def _whole_records(text: str) -> WholeRecords | None:
    """The records of `text` (lines that each end with a line break), or None unless every one
    of them is whole: the common case, parsed without a Python loop."""
    parts = _HEADERS.split("\n" + text[:-1])
    messages = parts[5::5]
    # A line that starts neither a record nor with whitespace would lie in a message.
    if parts[0] or _PART_LINE_END + "\n" in text or _NOT_CONTINUED.search("\n ".join(messages)):
        return None
    columns = parts[1::5], list(map(float, parts[2::5])), parts[3::5], parts[4::5], messages
    records = WholeRecords(_make, repeat(LogRecord), zip(*columns, repeat(False)))
    records.text, records.columns = text, columns
    return records


def _any_records(text: str) -> list[LogRecord]:
    """The records of `text`, damaged ones included; a last line without its line end is torn."""
    return [_make(LogRecord, (time, float(elapsed), level, source, message, False)) if time
            else _damaged((other or torn).encode(), [])
            for time, elapsed, level, source, message, other, torn in _RECORDS.findall(text)]


def _large_record(pieces: list[bytes]) -> LogRecord:
    """The one record that `pieces` hold, larger than a read: its columns from the first piece,
    its message decoded piece by piece. Empties `pieces`."""
    while len(pieces) > 1 and len(pieces[0]) < CHUNK_SIZE:  # the columns all in the first piece
        pieces[:2] = [pieces[0] + pieces[1]]
    whole_lines = pieces[-1].endswith(b"\n")
    pieces[-1] = pieces[-1].removesuffix(b"\n")
    whole_lines = whole_lines and not pieces[-1].endswith(_PART_LINE_END.encode())  # a part line: damaged
    first = pieces.pop(0)
    header = _HEADER_BYTES.match(first) if whole_lines else None
    if header is None:
        return _damaged(first, pieces)
    time, elapsed, level, source = header.groups()
    pieces.insert(0, first[header.end():])
    del first, header  # let go of the piece before the message is decoded
    return LogRecord(time.decode(), float(elapsed), level.decode(), _decode(source), _decode_pieces(pieces))


def parse(pieces: list[bytes]) -> Iterable[LogRecord]:
    """The records of `pieces` joined, which it empties: records, and a last line without its
    line end as a torn one. A record larger than a read can only be the first (the others all lie
    in the last piece); it is parsed apart."""
    if sum(map(len, pieces)) > 2 * CHUNK_SIZE:
        last = pieces.pop()
        # Where the next record starts: in the last piece, or right at its beginning.
        end = _RECORD_START.search(pieces[-1][-1:] + last)
        if end is None:
            pieces.append(last)
            return [_large_record(pieces)]
        split = end.end() - 1
        if split:
            pieces.append(last[:split])
        return [_large_record(pieces), *parse([last[split:]])]
    data = b"".join(pieces)
    pieces.clear()
    text = _decode(data)
    del data
    return (text.endswith("\n") and _whole_records(text)) or _any_records(text)


class RecordStream:
    """Turns the bytes of one file, as they are read, into records. It holds the bytes of the
    last record until the next one starts or the file goes quiet (its continuation lines may still
    be on their way), and a line without its line end; nothing else."""

    def __init__(self) -> None:
        self._held: list[bytes] = []  # the bytes after the last record parsed, none of them empty

    def feed(self, data: bytes) -> Iterable[LogRecord]:
        if boundary := _LAST_RECORD_BOUNDARY.match(data):
            self._held.append(data[:boundary.end()])
            records = parse(self._held)
            data = data[boundary.end():]
        elif data[:1] not in (b" ", b"\t"):
            records = self.quiet()  # the record held ended with the last read, if its last line did
        else:
            records = ()
        if data:
            self._held.append(data)
        return records

    def quiet(self) -> Iterable[LogRecord]:
        """Nothing new came: the record held back is complete, unless its last line is not."""
        return parse(self._held) if self._held and self._held[-1].endswith(b"\n") else ()

    def finish(self) -> Iterable[LogRecord]:
        """The file is done: everything held back, a line without its line end as a torn record."""
        return parse(self._held) if self._held else ()
