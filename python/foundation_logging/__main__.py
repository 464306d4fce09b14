"""python -m foundation_logging [FOLDER]: prints the records of foundation's log files."""

from __future__ import annotations

import argparse
import collections
import contextlib
import datetime
import json
import os
import re
import signal
import sys
import time
from collections.abc import Iterable
from itertools import chain, repeat
from pathlib import Path

from foundation_logging._clock import LocalClock, Moment
from foundation_logging._follower import LogFollower
from foundation_logging._lnav import lnav_format
from foundation_logging._mcap import INSTALL_HINT
from foundation_logging._outputs import (JsonOutput, McapOutput, OutputFailed, Stdout, TextOutput,
                                         colour_terminal)
from foundation_logging._records import LEVEL_NAMES, LogRecord, WholeRecords

_PROG = "python -m foundation_logging"

_LEVEL_CHOICES = {**{name: name for name in LEVEL_NAMES}, "warn": "warning"}
_DURATION = re.compile(r"(\d+(?:\.\d+)?)([smhd])")
_SECONDS = {"s": 1, "m": 60, "h": 3600, "d": 86400}


class _Terminated(Exception):
    """SIGTERM arrived."""


def _since(text: str) -> float:
    """The moment (POSIX seconds) that `text` names: a duration ago ("90s", "15m", "2h", "1d"), a
    local date and time ("2026-12-08 16:02", "2026-12-08T16:02:15"), a date, a time today, or a
    time with a UTC offset ("+01:00", "Z"). A local time that a clock change repeats is its first
    pass; one that a change skipped is read with the offset from before it."""
    try:
        if duration := _DURATION.fullmatch(text):  # from now, which no clock change makes ambiguous
            seconds = time.time() - float(duration[1]) * _SECONDS[duration[2]]
        else:
            try:
                moment = datetime.datetime.fromisoformat(text)
            except ValueError:
                moment = datetime.datetime.combine(datetime.date.today(), datetime.time.fromisoformat(text))
            seconds = moment.timestamp()
        datetime.datetime.fromtimestamp(seconds)  # a local time of this machine too
        return seconds
    except (ValueError, OverflowError, OSError):
        raise argparse.ArgumentTypeError(f"not a time or a duration: {text!r}") from None


def _regex(text: str) -> re.Pattern[str]:
    try:
        return re.compile(text)
    except (re.error, RecursionError, OverflowError) as error:
        raise argparse.ArgumentTypeError(f"not a regular expression: {text!r} ({error})") from None


def _count(text: str) -> int:
    if not text.isdigit() or not text.isascii() or int(text) > sys.maxsize:
        raise argparse.ArgumentTypeError(f"not a number of records (0 to {sys.maxsize}): {text!r}")
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
                        help="then wait for new records, across rotations, until interrupted; a log folder "
                             "not made yet is waited for")
    form = parser.add_mutually_exclusive_group()
    form.add_argument("--json", action="store_true", help="one JSON object per record and line, for log shippers")
    form.add_argument("--mcap", metavar="FILE",
                      help="write the records to FILE, an MCAP file of foxglove.Log messages for Foxglove "
                           f"(needs the mcap package: {INSTALL_HINT})")
    form.add_argument("--lnav-format", action="store_true",
                      help="print a format definition for lnav (lnav -i FILE installs it), and nothing else")
    return parser.parse_args(argv)


def _report(text: str) -> None:
    with contextlib.suppress(AttributeError, OSError, ValueError):  # no standard error to tell
        sys.stderr.write(f"{_PROG}: {text}\n")


class _Selection:
    """The records that pass the filters, and their moments when something needs them. A damaged
    record passes a filter on a field it lacks; one without a time passes `since` when the record
    before it did. The clock reads every record, selected or not: the order tells its time."""

    def __init__(self, args: argparse.Namespace, clock: LocalClock | None) -> None:
        self._minimum = LEVEL_NAMES.index(_LEVEL_CHOICES[args.level]) if args.level else 0
        self._source = args.source
        self._grep = args.grep
        self.since = args.since
        self._clock = clock
        self._since_passed = args.since is None

    def __call__(self, records: Iterable[LogRecord]) -> tuple[Iterable[LogRecord], list[Moment | None] | None]:
        filtering = self._minimum or self._source is not None or self._grep is not None or self.since is not None
        if self._clock is None and not filtering:
            return records, None
        if not isinstance(records, WholeRecords):
            records = list(records)
        times = records.columns[0] if isinstance(records, WholeRecords) else [record.time for record in records]
        moments = self._clock.moments(times) if self._clock is not None else None
        if not filtering:
            return records, moments
        selected, selected_moments = [], []
        for record, moment in zip(records, moments or repeat(None)):
            if self.since is not None:
                if moment is not None:
                    self._since_passed = moment[0] >= self.since
                if not self._since_passed:
                    continue
            if self._minimum and record.level is not None and LEVEL_NAMES.index(record.level) < self._minimum:
                continue
            if self._source is not None and record.source is not None and self._source not in record.source:
                continue
            if self._grep is not None and not self._grep.search(record.message):
                continue
            selected.append(record)
            selected_moments.append(moment)
        return selected, selected_moments if moments is not None else None


def _output(args: argparse.Namespace) -> TextOutput | JsonOutput | McapOutput:
    if args.mcap is not None:
        return McapOutput(args.mcap, streaming=args.follow)
    if args.json:
        return JsonOutput(Stdout())
    return TextOutput(Stdout(), colour=colour_terminal())


def _print_records(args: argparse.Namespace, output: TextOutput | JsonOutput | McapOutput) -> int:
    if not Path(args.folder).is_dir():
        if not args.follow:
            _report(f"no log folder {str(args.folder)!r}")
            return 1
        _report(f"no log folder {str(args.folder)!r} yet: waiting for it")
    # --since and -n choose among the records already written (the clock needs them all, in
    # order); with --follow, every record written after that comes, whatever its time.
    select = _Selection(args, LocalClock() if output.needs_moments or args.since is not None else None)
    with LogFollower(args.folder, report=_report, watch=args.follow) as follower:
        written = map(select, follower.read(final=not args.follow))
        if args.lines is None:
            for records, moments in written:
                output.write(records, moments)
        else:
            last = collections.deque(chain.from_iterable(
                zip(records, moments if moments is not None else repeat(None)) for records, moments in written),
                maxlen=args.lines)
            output.write([record for record, _ in last], [moment for _, moment in last])
        if args.follow:  # each record passed on as it comes
            output.flush()
            select.since = None
            for batch in follower.follow():
                output.write(*select(batch))
                output.flush()
    return 0


def main(argv: list[str] | None = None) -> int:
    args = _arguments(argv)
    signal.signal(signal.SIGTERM, _terminate)
    try:
        if args.lnav_format:
            stdout = Stdout()
            stdout.write(json.dumps(lnav_format(), indent=2) + "\n")
            stdout.flush()
            return 0
        try:
            output = _output(args)
        except ImportError:
            _report(f"--mcap needs the mcap package: {INSTALL_HINT}")
            return 2
        except OSError as error:
            _report(f"cannot write {args.mcap}: {error.strerror or error}")
            return 1
        try:
            return _print_records(args, output)
        finally:
            output.close()
    except KeyboardInterrupt:
        return 130
    except _Terminated:
        return 128 + signal.SIGTERM
    except BrokenPipeError:  # the reader at the other end has gone, as `head` does: quietly
        _quiet_stdout()
        return 1
    except OutputFailed as failure:
        _report(str(failure))
        _quiet_stdout()
        return 1
    except OSError as error:
        _report(f"cannot read the log: {error}")
        return 1


def _terminate(signum: int, frame: object) -> None:
    raise _Terminated


def _quiet_stdout() -> None:
    """Standard output goes nowhere from now on: what is still buffered for it cannot fail again
    when the interpreter exits."""
    with contextlib.suppress(OSError):
        os.dup2(os.open(os.devnull, os.O_WRONLY), 1)


if __name__ == "__main__":
    sys.exit(main())
