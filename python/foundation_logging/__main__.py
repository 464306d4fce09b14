"""python -m foundation_logging [FOLDER]: prints the records of foundation's log files."""

from __future__ import annotations

import argparse
import codecs
import collections
import datetime
import functools
import json
import os
import re
import sys
from collections.abc import Callable, Iterable, Iterator

from foundation_logging._lnav import lnav_format
from foundation_logging._reader import LEVEL_NAMES, LogFollower, LogRecord

_PROG = "python -m foundation_logging"

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
_LEVEL_CHOICES = {**{name: name for name in LEVEL_NAMES}, "warn": "warning"}
_DURATION = re.compile(r"(\d+(?:\.\d+)?)([smhd])")
_SECONDS = {"s": 1, "m": 60, "h": 3600, "d": 86400}


def _since(text: str) -> str:
    """The local time `text` names, in the log's own form: a duration ago ("90s", "15m", "2h",
    "1d"), a date and time ("2026-12-08 16:02", "2026-12-08T16:02:15"), a date, or a time today;
    a time given with a UTC offset ("+01:00", "Z") is converted to local time."""
    now = datetime.datetime.now()
    try:
        if duration := _DURATION.fullmatch(text):
            moment = now - datetime.timedelta(seconds=float(duration[1]) * _SECONDS[duration[2]])
        else:
            try:
                moment = datetime.datetime.fromisoformat(text)
            except ValueError:
                moment = datetime.datetime.combine(now.date(), datetime.time.fromisoformat(text))
        if moment.tzinfo is not None:
            moment = moment.astimezone().replace(tzinfo=None)
    except (ValueError, OverflowError, OSError):
        raise argparse.ArgumentTypeError(f"not a time or a duration: {text!r}") from None
    return moment.isoformat(sep=" ", timespec="seconds")


def _regex(text: str) -> re.Pattern[str]:
    try:
        return re.compile(text)
    except re.error as error:
        raise argparse.ArgumentTypeError(f"not a regular expression: {text!r} ({error})") from None


def _count(text: str) -> int:
    if not text.isdigit():
        raise argparse.ArgumentTypeError(f"not a number of records: {text!r}")
    return int(text)


def _arguments(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog=_PROG,
        description="Print the records of foundation's log files (varnel.3.log ... varnel.log), oldest first.")
    parser.add_argument("folder", nargs="?", default=".tamblin/logs", help="the log folder (default: %(default)s)")
    parser.add_argument("--level", choices=_LEVEL_CHOICES, help="only records at or above this level")
    parser.add_argument("--source", metavar="TEXT", help="only records whose source column contains TEXT")
    parser.add_argument("--grep", metavar="REGEX", type=_regex,
                        help="only records whose message matches REGEX (Python syntax)")
    parser.add_argument("--since", metavar="WHEN", type=_since,
                        help='only records from WHEN on: "2026-12-08 16:02", "16:02" (today), '
                             '"2026-12-08T15:02:00Z" (with a UTC offset), or a duration ago: "90s", "15m", "2h", '
                             '"1d"; with --follow, only the records already written')
    parser.add_argument("--lines", "-n", metavar="N", type=_count,
                        help="only the last N records (with --follow: of those already written)")
    parser.add_argument("--follow", "-f", action="store_true",
                        help="then wait for new records, across rotations, until interrupted")
    parser.add_argument("--json", action="store_true",
                        help="one JSON object per record and line, for log shippers")
    parser.add_argument("--lnav-format", action="store_true",
                        help="print a format definition for lnav (lnav -i FILE installs it), and nothing else")
    return parser.parse_args(argv)


def _selected(records: Iterable[LogRecord], args: argparse.Namespace, since: str | None) -> Iterator[LogRecord]:
    """The records that pass the filters. A damaged record passes a filter on a field it lacks;
    one without a time passes `since` when the record before it did."""
    minimum = LEVEL_NAMES.index(_LEVEL_CHOICES[args.level]) if args.level else 0
    since_passed = since is None
    for record in records:
        if since is not None and record.time is not None:
            since_passed = record.time >= since
        if not since_passed:
            continue
        if minimum and record.level is not None and LEVEL_NAMES.index(record.level) < minimum:
            continue
        if args.source is not None and record.source is not None and args.source not in record.source:
            continue
        if args.grep is not None and not args.grep.search(record.message):
            continue
        yield record


def _as_text(record: LogRecord, colour: bool) -> str:
    """The record as the file has it, the level coloured on a colour terminal."""
    columns = []
    if record.time is not None:
        columns.append(record.time)
    if record.elapsed is not None:
        columns.append(f"{record.elapsed:>9.3f}s")
    if record.level is not None:
        level = f"{record.level:<8}"
        columns.append(f"{_COLOURS[record.level]}{level}{_RESET}" if colour else level)
    if record.source is not None:
        columns.append(f"{record.source:<30}")
    columns.append(record.message)
    return " | ".join(columns)


@functools.lru_cache(maxsize=64)  # records come many to the second
def _timestamp(time: str | None) -> str | None:
    """`time`, the writer's local time, in ISO 8601 with this machine's UTC offset at that time:
    the reader runs where the log was written."""
    if time is None:
        return None
    try:
        return datetime.datetime.fromisoformat(time).astimezone().isoformat()
    except (ValueError, OverflowError, OSError):
        return None


def _as_json(record: LogRecord, ascii_only: bool) -> str:
    return json.dumps({**record._asdict(), "timestamp": _timestamp(record.time)}, ensure_ascii=ascii_only)


def _colour_terminal() -> bool:
    term = os.environ.get("TERM", "")
    return sys.stdout.isatty() and ("COLORTERM" in os.environ or any(name in term for name in _COLOUR_TERMS))


def _report(text: str) -> None:
    print(f"{_PROG}: {text}", file=sys.stderr)


def _write(records: Iterable[LogRecord], form: Callable[[LogRecord], str]) -> None:
    for record in records:
        sys.stdout.write(form(record) + "\n")
    sys.stdout.flush()


def main(argv: list[str] | None = None) -> int:
    args = _arguments(argv)
    if args.lnav_format:
        print(json.dumps(lnav_format(), indent=2))
        return 0
    # Never an encoding error, whatever the terminal; a follower's reader sees each record at once.
    sys.stdout.reconfigure(errors="backslashreplace", line_buffering=args.follow)  # type: ignore[union-attr]
    form: Callable[[LogRecord], str]
    if args.json:
        # JSON must stay valid: escaped where the output cannot take UTF-8.
        form = functools.partial(_as_json, ascii_only=codecs.lookup(sys.stdout.encoding).name != "utf-8")
    else:
        form = functools.partial(_as_text, colour=_colour_terminal())
    try:
        follower = LogFollower(args.folder, report=_report)
    except FileNotFoundError as error:
        _report(str(error))
        return 1
    try:
        with follower:
            # --since and --lines choose among the records already written; later ones all come.
            written: Iterable[LogRecord] = _selected(follower.read(final=not args.follow), args, args.since)
            if args.lines is not None:
                written = collections.deque(written, maxlen=args.lines)
            _write(written, form)
            if args.follow:
                _write(_selected(follower.follow(), args, since=None), form)
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:  # the reader at the other end has gone, as `head` does
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
