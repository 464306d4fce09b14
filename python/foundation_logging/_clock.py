"""The moments of the log's times, which are local times written without their UTC offset.

Outside a daylight-saving change a local time names one moment. The hour that a change repeats
(in autumn) names two: the log's records come in time order, so the first pass comes first, and
the clock going back inside that hour, by more than writers ever disagree, marks where the second
pass starts; it ends with the first time outside the hour. A time in the hour that a change skips
(in spring), which a correct clock never writes, is read with the offset from before the change.

Limits: records of a repeated hour read without the ones before the change (a log, or a reading
with --since, that begins after it) are taken for the first pass, and so are the records of the
second pass that are later than every record of the first (a writer silent across the change).
"""

from __future__ import annotations

import datetime
from collections.abc import Iterable

# How far the time may go back between records of several writers before it counts as the change.
_WRITERS_DISAGREE = 10.0  # seconds
_CACHED_TIMES = 4096


def _offset_text(seconds: float) -> str:
    minutes = round(seconds / 60)
    sign = "-" if minutes < 0 else "+"
    return f"{sign}{abs(minutes) // 60:02d}:{abs(minutes) % 60:02d}"


def _readings(time: str) -> tuple[tuple[float, str], ...] | None:
    """The readings of `time` as POSIX seconds and ISO 8601 text with the UTC offset: two in a
    repeated hour, first pass first, else one; None for a time that is no date."""
    try:
        written = datetime.datetime.fromisoformat(time)
        as_utc = written.replace(tzinfo=datetime.timezone.utc).timestamp()
        first, second = (written.replace(fold=fold).astimezone().timestamp() for fold in (0, 1))
    except (ValueError, OverflowError, OSError):
        return None
    iso = written.isoformat()
    # In a skipped hour the first reading (fold 0) is the one with the offset from before it.
    moments = (first, second) if first < second else (first,)
    return tuple((moment, iso + _offset_text(as_utc - moment)) for moment in moments)


Moment = tuple[float, str]  # POSIX seconds and ISO 8601 text with the UTC offset


class LocalClock:
    """Reads the times of records given in the order of the log: `moments(times)` gives the
    POSIX seconds and the ISO 8601 text (with the UTC offset that this machine had then) of each,
    None for a record without a time."""

    def __init__(self) -> None:
        self._readings: dict[str | None, tuple[Moment, ...] | None] = {None: None}
        self._second_pass = False  # inside a repeated hour, after the clock went back
        self._latest_first = float("-inf")  # the latest moment read as the first pass of the hour

    def moments(self, times: Iterable[str | None]) -> list[Moment | None]:
        times = list(times)
        distinct = set(times)
        if len(self._readings) + len(distinct) > _CACHED_TIMES:
            self._readings = {None: None}
        for time in distinct.difference(self._readings):
            self._readings[time] = _readings(time)  # type: ignore[arg-type]  # None is always there
        if any(len(self._readings[time] or ()) > 1 for time in distinct):  # a repeated hour: the order decides
            return [self._read(self._readings[time]) for time in times]
        # Each time names one moment, and a second pass, if one was under way, is over.
        if distinct != {None}:
            self._second_pass, self._latest_first = False, float("-inf")
        first: dict[str | None, Moment | None] = {
            time: readings[0] if readings else None for time in distinct for readings in [self._readings[time]]}
        return list(map(first.__getitem__, times))

    def _read(self, readings: tuple[Moment, ...] | None) -> Moment | None:
        if readings is None:
            return None
        if len(readings) == 1:  # outside a repeated hour
            self._second_pass, self._latest_first = False, float("-inf")
            return readings[0]
        first, second = readings
        if not self._second_pass and first[0] < self._latest_first - _WRITERS_DISAGREE:
            self._second_pass = True
        if self._second_pass:
            return second
        self._latest_first = max(self._latest_first, first[0])
        return first
