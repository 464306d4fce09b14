"""A format definition that teaches lnav, the log file navigator, to read foundation's log:

    python -m foundation_logging --lnav-format > varnel_log.json && lnav -i varnel_log.json
    lnav .tamblin/logs
"""

from __future__ import annotations

from typing import Any

from foundation_logging._reader import LEVEL_NAMES

FORMAT_NAME = "varnel_log"  # also the name of lnav's SQL table of the records

# lnav's names for the levels that it spells otherwise; `off` is above critical.
_LNAV_LEVELS = {"off": "fatal"}

# A line that starts a record; the lines after it that do not match continue its message, as lnav
# takes any line that matches no pattern.
_RECORD = (r"^(?<timestamp>\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}) \| +(?<elapsed>\d+\.\d{3})s \| "
           r"(?<level>[a-z]+) +\| (?<source>.*?) +\| (?<body>.*)$")


def lnav_format() -> dict[str, Any]:
    """The definition of the format `varnel_log`, as lnav's format files spell it."""
    return {
        FORMAT_NAME: {
            "title": "foundation log",
            "description": "The log files of varnel-foundation: varnel.log and its rotated varnel.N.log.",
            "file-pattern": r"varnel(\.\d+)?\.log$",
            "regex": {"record": {"pattern": _RECORD}},
            "timestamp-format": ["%Y-%m-%d %H:%M:%S"],
            "level-field": "level",
            "level": {_LNAV_LEVELS.get(name, name): f"^{name}$" for name in LEVEL_NAMES},
            "value": {
                "elapsed": {"kind": "float", "description": "seconds since the writing process started"},
                "source": {"kind": "string", "identifier": True,
                           "description": "the source file, its directories shortened to their first letter"},
            },
            "sample": [
                {"line": "2026-12-08 16:02:15 |     1.234s | info     |                                | "
                         "Logging to directory: /srv/robot/.tamblin/logs"},
                {"line": "2026-12-08 16:02:16 |     2.001s | error    | s.m.wheel.py                   | stalled\n"
                         "  Traceback (most recent call last):"},
            ],
        },
    }
