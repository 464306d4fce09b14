"""The log's records as `foxglove.Log` messages in an MCAP file, for Foxglove.

One channel, JSON-encoded messages with the JSON schema Foxglove documents for `foxglove.Log`;
each message's log time is the record's moment in UTC. Written with `mcap`, the format's own
Python library: an optional dependency (`pip install 'varnel-foundation[mcap]'`).
"""

from __future__ import annotations

import json
from typing import IO, Any

from foundation_logging._records import LogRecord

TOPIC = "/varnel/log"
SCHEMA_NAME = "foxglove.Log"
INSTALL_HINT = "pip install 'varnel-foundation[mcap]'"

# foxglove.LogLevel: UNKNOWN 0 (a damaged record), DEBUG 1, INFO 2, WARNING 3, ERROR 4, FATAL 5.
_LEVELS = {"trace": 1, "debug": 1, "info": 2, "warning": 3, "error": 4, "critical": 5, "off": 5}
_SCHEMA = {
    "title": SCHEMA_NAME,
    "description": "A log message",
    "type": "object",
    "properties": {
        "timestamp": {
            "type": "object", "title": "time", "description": "Timestamp of log message",
            "properties": {"sec": {"type": "integer", "minimum": 0},
                           "nsec": {"type": "integer", "minimum": 0, "maximum": 999999999}},
        },
        "level": {
            "title": "foxglove.LogLevel", "description": "Log level",
            "oneOf": [{"title": title, "const": value} for value, title in
                      enumerate(("UNKNOWN", "DEBUG", "INFO", "WARNING", "ERROR", "FATAL"))],
        },
        "message": {"type": "string", "description": "Log message"},
        "name": {"type": "string", "description": "Process or node name"},
        "file": {"type": "string", "description": "Filename"},
        "line": {"type": "integer", "minimum": 0, "description": "Line number in the file"},
    },
}


class McapLog:
    """An MCAP file being written, one `foxglove.Log` message per record.

    `streaming` writes each message to the file at once, unchunked, so that a reader (or a
    crash) finds every record written so far; otherwise messages are gathered in compressed,
    indexed chunks. `close()` writes the summary: only then is the file complete.
    """

    def __init__(self, output: IO[bytes], streaming: bool) -> None:
        from mcap.writer import Writer  # ImportError: mcap is not installed

        self._output = output
        self._writer = Writer(output, use_chunking=not streaming)
        self._writer.start(profile="", library="foundation_logging")
        schema = self._writer.register_schema(SCHEMA_NAME, "jsonschema", json.dumps(_SCHEMA).encode())
        self._channel = self._writer.register_channel(TOPIC, "json", schema)
        self._sequence = 0
        self._last_seconds: int | None = None  # the moment of the last record with a time
        self._untimed: list[LogRecord] = []  # records without a time, before the first with one

    def write(self, record: LogRecord, seconds: float | None) -> None:
        """Adds `record`, whose moment is `seconds` (POSIX); a record without one (damaged) takes
        the moment of the record before it, or of the first that has one."""
        if seconds is None:
            if self._last_seconds is None:
                self._untimed.append(record)
                return
        else:
            self._last_seconds = int(seconds)
            for untimed in self._untimed:
                self._add(untimed)
            self._untimed.clear()
        self._add(record)

    def flush(self) -> None:
        self._output.flush()

    def close(self) -> None:
        if self._last_seconds is None:
            self._last_seconds = 0  # nothing said when: the epoch
        for untimed in self._untimed:
            self._add(untimed)
        self._writer.finish()  # type: ignore[no-untyped-call]
        self._output.flush()

    def _add(self, record: LogRecord) -> None:
        assert self._last_seconds is not None
        message: dict[str, Any] = {
            "timestamp": {"sec": self._last_seconds, "nsec": 0},
            "level": 0 if record.damaged else _LEVELS[record.level],  # type: ignore[index]
            "message": record.message,
            "name": record.source or "",
            "file": "",
            "line": 0,
        }
        nanoseconds = self._last_seconds * 1_000_000_000
        self._writer.add_message(self._channel, log_time=nanoseconds, publish_time=nanoseconds,
                                 data=json.dumps(message).encode(), sequence=self._sequence)
        self._sequence += 1
