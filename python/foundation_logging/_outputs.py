"""The outputs of `python -m foundation_logging`: the records as text, as JSON lines, or as
foxglove.Log messages in an MCAP file. Each takes the records a batch at a time, with their
moments when it needs them.
"""

from __future__ import annotations

import codecs
import contextlib
import json
import os
import re
import signal
import sys
from collections.abc import Iterable, Iterator
from typing import IO, Any

from foundation_logging._clock import Moment
from foundation_logging._mcap import McapLog
from foundation_logging._records import LogRecord, WholeRecords

# The colours of spdlog's colour console, by level; the level column alone is coloured.
_COLOURS = {
    "trace": "\033[37m",
    "debug": "\033[36m",
    "info": "\033[32m",
    "warning": "\033[33m\033[1m",
    "error": "\033[31m\033[1m",
    "critical": "\033[1m\033[41m",
    "off": "",  # as the console writes it: uncoloured
}
_RESET = "\033[m"
# The terminals spdlog's console takes for colour ones (or any, when COLORTERM is set).
_COLOUR_TERMS = ("ansi", "color", "console", "cygwin", "gnome", "konsole", "kterm", "linux", "msys", "putty",
                 "rxvt", "screen", "vt100", "xterm", "alacritty", "vt102")

# A whole record as the file has it (the `damaged` field, false, formatted away), and as JSON (as
# json.dumps writes it, with its string columns given encoded).
_LINE = "%s | %9.3fs | %-8s | %-30s | %s%.0s"
_JSON_LINE = '{"time": "%s", "elapsed": %r, "level": "%s", "source": %s, "message": %s, "damaged": false, ' \
             '"timestamp": %s}\n'
# What a terminal would act on: control characters but tab and line feed (which separate lines).
_UNSAFE = re.compile(r"[\x00-\x08\x0b-\x1f\x7f-\x9f]")
_UNSAFE_BYTES = bytes([*range(0x09), *range(0x0b, 0x20), 0x7f])


class OutputFailed(Exception):
    """An output cannot take what is written (a full disk, say): `str()` says so in one line."""


def _terminal_safe(text: str) -> str:
    """`text` with the control characters a terminal would act on written as \\xNN, as the writer
    writes them in the file."""
    return _UNSAFE.sub(lambda match: f"\\x{ord(match[0]):02x}", text)


class Stdout:
    """Standard output, as bytes in its own encoding (what it cannot encode, escaped)."""

    def __init__(self) -> None:
        if sys.stdout is None:
            raise OutputFailed("standard output is closed")
        self.encoding = codecs.lookup(sys.stdout.encoding or "utf-8").name
        self._buffer = sys.stdout.buffer

    def write(self, text: str) -> None:
        self._do(self._buffer.write, text.encode(self.encoding, "backslashreplace"))

    def write_bytes(self, data: bytes) -> None:
        self._do(self._buffer.write, data)

    def flush(self) -> None:
        self._do(self._buffer.flush)

    @staticmethod
    def _do(operation: Any, *args: Any) -> None:
        try:
            operation(*args)
        except BrokenPipeError:
            raise
        except OSError as error:
            raise OutputFailed(f"cannot write to standard output: {error.strerror or error}") from None


class TextOutput:
    """Records as the file has them, the level coloured on a colour terminal, and nothing a
    terminal would act on: control characters in any column are written as \\xNN."""

    needs_moments = False

    def __init__(self, stdout: Stdout, colour: bool) -> None:
        self._stdout = stdout
        self._colour = colour

    def write(self, records: Iterable[LogRecord], moments: Iterable[Moment | None] | None) -> None:
        if self._colour:
            self._stdout.write("".join(map(_as_coloured_text, records)))
            return
        text = records.text if isinstance(records, WholeRecords) else "".join(map(_as_text, records))
        if self._stdout.encoding == "utf-8":
            data = text.encode()
            # Fast: only C0 controls, DEL and (behind \xc2) C1 controls need a look.
            if len(data.translate(None, _UNSAFE_BYTES)) == len(data) and b"\xc2" not in data:
                self._stdout.write_bytes(data)
                return
        self._stdout.write(_terminal_safe(text))

    def flush(self) -> None:
        self._stdout.flush()

    def close(self) -> None:
        self._stdout.flush()


def _as_text(record: LogRecord, colour: bool = False) -> str:
    """The record as the file has it, with its line break; the level coloured with `colour`."""
    if record.source is not None and not colour:  # every column there
        return _LINE % record + "\n"
    columns = []
    if record.time is not None:
        columns.append(record.time)
    if record.elapsed is not None:
        columns.append(f"{record.elapsed:>9.3f}s")
    if record.level is not None:
        level = f"{record.level:<8}"
        columns.append(f"{_COLOURS[record.level]}{level}{_RESET}" if colour else level)
    if record.source is not None:
        source = f"{record.source:<30}"
        columns.append(_terminal_safe(source) if colour else source)
    columns.append(_terminal_safe(record.message) if colour else record.message)
    return " | ".join(columns) + "\n"


def _as_coloured_text(record: LogRecord) -> str:
    return _as_text(record, colour=True)


class JsonOutput:
    """One JSON object per record and line, valid whatever the output's encoding."""

    needs_moments = True

    def __init__(self, stdout: Stdout) -> None:
        self._stdout = stdout
        self._ascii_only = stdout.encoding != "utf-8"  # JSON must stay valid: escaped where it cannot take UTF-8
        self._string = json.encoder.encode_basestring_ascii if self._ascii_only else json.encoder.encode_basestring

    def write(self, records: Iterable[LogRecord], moments: Iterable[Moment | None] | None) -> None:
        assert moments is not None
        if not isinstance(records, WholeRecords):
            self._stdout.write("".join(map(self._as_json, records, moments)))
            return
        # All whole: every column there, the time and the level plain ASCII; no Python loop.
        times, elapsed, levels, sources, messages = records.columns
        stamps = {moment: f'"{moment[1]}"' if moment else "null" for moment in set(moments)}
        self._stdout.write("".join(map(_JSON_LINE.__mod__, zip(
            times, elapsed, levels, map(self._string, sources), map(self._string, messages),
            map(stamps.__getitem__, moments)))))

    def _as_json(self, record: LogRecord, moment: Moment | None) -> str:
        return json.dumps({**record._asdict(), "timestamp": moment and moment[1]}, ensure_ascii=self._ascii_only) + "\n"

    def flush(self) -> None:
        self._stdout.flush()

    def close(self) -> None:
        self._stdout.flush()


class McapOutput:
    """The records as foxglove.Log messages in an MCAP file; with --follow each reaches the file
    as it comes, and an interruption (Ctrl-C, SIGTERM) lets the file be finished first."""

    needs_moments = True

    def __init__(self, path: str, streaming: bool) -> None:
        self._path = path
        self._file: IO[bytes] = open(path, "wb")  # noqa: SIM115: closed by close()
        try:
            self._log = McapLog(self._file, streaming=streaming)
        except BaseException:
            self._file.close()
            raise

    def write(self, records: Iterable[LogRecord], moments: Iterable[Moment | None] | None) -> None:
        assert moments is not None
        with self._writing():
            for record, moment in zip(records, moments):
                self._log.write(record, moment and moment[0])

    def flush(self) -> None:
        with self._writing():
            self._log.flush()

    def close(self) -> None:
        with self._writing():
            try:
                self._log.close()
            finally:
                self._file.close()

    @contextlib.contextmanager
    def _writing(self) -> Iterator[None]:
        """Ctrl-C and SIGTERM wait until the block is done, so that the file is never left
        half-written; a failure to write says which file."""
        held = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM})
        try:
            yield
        except OSError as error:
            raise OutputFailed(f"cannot write {self._path}: {error.strerror or error}") from None
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, held)


def colour_terminal() -> bool:
    term = os.environ.get("TERM", "")
    return sys.stdout.isatty() and ("COLORTERM" in os.environ or any(name in term for name in _COLOUR_TERMS))
