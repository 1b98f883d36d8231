"""Recorded activities: samples gathered as columns in one pass, then written as a document.

The readers call `row` once per record and `put` per value; columns are plain lists with
None for a value the record did not have, so a gap stays a gap until the policy decides."""

from __future__ import annotations

import datetime as dt
import json
from bisect import bisect_left, bisect_right
from math import isfinite
from typing import Any

import tavrik_workout_sdk as sdk

from tavrik_workout.formats.loss import (DROPPED, FILLED, LOCAL_TIME, MERGED, REWRITTEN,
                                         ROUNDED, JsonObject, LossReport)

GAPS = ("fill", "drop-rows")
METRICS = ("HeartRate", "Speed", "Cadence", "Power", "Altitude", "Grade", "Temperature")
POSITION = "Position"
_UTC = dt.timezone.utc
_EXACT = 2**53  # every integer up to here is a double

# A column: a metric's name, or ("Custom", name) for a channel the model has no metric for.
ColumnKey = str | tuple[str, str]
# A reading as the file gave it: a number, or (lat, lng) in the Position column; checked
# (finite, exact) before it is written.
Sample = Any
# A lap as read: (start, end, trigger, name, summary), start and end in ticks.
_Lap = tuple[int | None, int | None, str | dict[str, str], str | None, dict[str, float]]


def check_gaps(gaps: str) -> None:
    if gaps not in GAPS:
        raise ValueError(f"gaps must be one of {', '.join(map(repr, GAPS))}, not {gaps!r}")


def custom(name: str) -> tuple[str, str]:
    """The column key of a channel that the model has no metric for."""
    return ("Custom", name)


def iso(moment: dt.datetime) -> str:
    """ISO 8601 with `Z` for UTC and the offset otherwise; fractions only when there are some."""
    text = moment.isoformat()
    return text[:-6] + "Z" if moment.tzinfo is _UTC else text


class Activity:
    """The columns of one recorded activity.

    Times are integers in `tick`s per second after `epoch`, so that offsets from the first
    sample are exact (FIT: whole seconds; GPX and TCX: microseconds)."""

    def __init__(self, loss: LossReport, *, epoch: dt.datetime, tick: int) -> None:
        self.loss = loss
        self.epoch = epoch
        self.tick = tick
        self.times: list[int] = []
        self.index: dict[int, int] = {}
        self.columns: dict[ColumnKey, list[Sample | None]] = {}
        self.units: dict[ColumnKey, str] = {}
        self.merged = 0
        self.conflicts: dict[ColumnKey, int] = {}
        self.laps: list[_Lap] = []

    def row(self, time: int) -> int:
        """The row of the record at `time`; a second record at the same time joins the first."""
        row = self.index.get(time)
        if row is None:
            row = self.index[time] = len(self.times)
            self.times.append(time)
            for column in self.columns.values():
                column.append(None)
        else:
            self.merged += 1
        return row

    def put(self, row: int, key: ColumnKey, value: Sample) -> None:
        column = self.columns.get(key)
        if column is None:
            column = self.columns[key] = [None] * len(self.times)
        old = column[row]
        if old is not None and old != value:
            self.conflicts[key] = self.conflicts.get(key, 0) + 1
        column[row] = value

    def lap(self, start: int | None, end: int | None, trigger: str | dict[str, str], name: str | None = None,
            summary: dict[str, float] | None = None) -> None:
        kept: dict[str, float] = {}
        for key, value in (summary or {}).items():
            if isfinite(value):
                kept[key] = float(value)
            else:
                self.loss.add(DROPPED, f"lap value {key}", "not a finite number")
        self.laps.append((start, end, trigger, name, kept))

    # Writing the document.

    def document(self, *, workout_id: str, name: str, sport: str | None, offset: dt.timedelta | None,
                 source_format: str, metadata: JsonObject | None = None, gaps: str = "fill") -> str:
        """The workout text in normal form.  `offset` is the local UTC offset (a timedelta)
        or None when the file does not tell it."""
        check_gaps(gaps)
        loss = self.loss
        self._sort()
        if self.merged:
            loss.add(MERGED, "records with the same timestamp", "joined into one sample",
                     self.merged)
        for key, count in self.conflicts.items():
            loss.add(DROPPED, f"channel {_label(key)}",
                     "earlier of two values at the same timestamp", count)
        self._clean()
        channels: list[ColumnKey] = [key for key in (*METRICS, POSITION) if key in self.columns]
        channels += sorted((key for key in self.columns if isinstance(key, tuple)),
                           key=lambda key: key[1])
        times = self.times
        if gaps == "drop-rows":
            times = self._drop_rows(channels)
        else:
            self._fill(channels)
        meta = dict(metadata or {})
        meta["source_format"] = source_format
        doc: JsonObject = {"id": workout_id, "version": "1"}
        if sport:
            doc["sport"] = sport
        if self.times:
            start = self.epoch + dt.timedelta(microseconds=self.times[0] * 1_000_000 // self.tick)
            meta["start_time"] = iso(start)
            if offset is None:
                loss.add(LOCAL_TIME, "", "the date is given in UTC")
                doc["date"] = iso(start)
            else:
                doc["date"] = iso(start.astimezone(dt.timezone(offset)))
        doc["root"] = {"id": "session", "kind": {"type": "Session"}, "name": name,
                       "payload": {"type": "Temporal"}}
        if times:
            first, tick = times[0], self.tick
            if tick == 1:
                stamps = [float(time - first) for time in times]
            else:
                stamps = [(time - first) / tick for time in times]
            doc["streams"] = {"timestamps": stamps,
                              "channels": [self._channel(key) for key in channels]}
        laps = self._laps(times)
        if laps:
            doc["laps"] = laps
        units = {_label(key): self.units[key] for key in channels if self.units.get(key)}
        if units:
            meta["units"] = units
        doc["metadata"] = meta
        return normal_form(doc)

    def _channel(self, key: ColumnKey) -> JsonObject:
        if key == POSITION:
            values = [None if value is None else
                      {"lat": value[0], "lng": value[1]} for value in self.columns[key]]
            return {"metric": POSITION, "data": {"type": "Position", "values": values}}
        metric: str | dict[str, str] = {"Custom": key[1]} if isinstance(key, tuple) else key
        return {"metric": metric, "data": {"type": "Scalar", "values": self.columns[key]}}

    def _sort(self) -> None:
        times = self.times
        if all(a <= b for a, b in zip(times, times[1:])):
            return
        order = sorted(range(len(times)), key=times.__getitem__)
        self.times = [times[i] for i in order]
        for key, column in self.columns.items():
            self.columns[key] = [column[i] for i in order]
        self.loss.add(REWRITTEN, "samples", "put in time order")

    def _clean(self) -> None:
        # JSON has no NaN or infinity; such a reading is no reading.
        for key, column in self.columns.items():
            if key == POSITION:
                bad = 0
                for i, value in enumerate(column):
                    if value is not None and not (isfinite(value[0]) and isfinite(value[1])):
                        column[i] = None
                        bad += 1
                if bad:
                    self.loss.add(DROPPED, "channel Position", "not a finite number", bad)
                continue
            bad = rounded = 0
            for i, value in enumerate(column):
                if type(value) is float:
                    if not isfinite(value):
                        column[i] = None
                        bad += 1
                elif value is not None and not -_EXACT <= value <= _EXACT:
                    rounded += 1
            if bad:
                self.loss.add(DROPPED, f"channel {_label(key)}", "not a finite number", bad)
            if rounded:
                self.loss.add(ROUNDED, f"channel {_label(key)}",
                              "integer beyond 2**53 held as the nearest double", rounded)
        for key in [key for key, column in self.columns.items()
                    if all(value is None for value in column)]:
            del self.columns[key]

    def _fill(self, channels: list[ColumnKey]) -> None:
        for key in channels:
            if key == POSITION:
                continue  # a position channel holds a gap as null
            column = self.columns[key]
            first = next(i for i, value in enumerate(column) if value is not None)
            previous = column[first]
            for i in range(first):
                column[i] = previous
            filled = 0
            for i in range(first + 1, len(column)):
                value = column[i]
                if value is None:
                    column[i] = previous
                    filled += 1
                else:
                    previous = value
            label = f"channel {_label(key)}"
            if first:
                self.loss.add(FILLED, label, "missing before the first value, set to it", first)
            if filled:
                self.loss.add(FILLED, label, "missing value, set to the previous one", filled)

    def _drop_rows(self, channels: list[ColumnKey]) -> list[int]:
        columns = [self.columns[key] for key in channels]
        keep = [row for row in range(len(self.times))
                if all(column[row] is not None for column in columns)]
        dropped = len(self.times) - len(keep)
        if dropped:
            self.loss.add(DROPPED, "samples", "a channel had no value", dropped)
            for key, column in zip(channels, columns):
                lost = sum(1 for value in column if value is not None) - len(keep)
                if lost:
                    self.loss.add(DROPPED, f"channel {_label(key)}",
                                  "value in a sample that other channels lack", lost)
            for key, column in zip(channels, columns):
                self.columns[key] = [column[row] for row in keep]
        return [self.times[row] for row in keep]

    def _laps(self, times: list[int]) -> list[JsonObject]:
        result: list[JsonObject] = []
        for start, end, trigger, name, summary in self.laps:
            lap: JsonObject = {}
            if times and start is not None:
                index = bisect_left(times, start)
                if index < len(times) and (end is None or times[index] <= end):
                    lap["start_index"] = index
            if times and end is not None and "start_index" in lap:
                lap["end_index"] = bisect_right(times, end) - 1
            if summary:
                lap["summary"] = summary
            lap["trigger"] = trigger
            if name is not None:
                lap["name"] = name
            result.append(lap)
        return result


def _label(key: ColumnKey) -> str:
    return key[1] if isinstance(key, tuple) else key


def normal_form(doc: JsonObject) -> str:
    """The document as `to_json` writes it; a document the tree rules reject is our fault."""
    text = sdk.to_json(json.dumps(doc, ensure_ascii=False, allow_nan=False))
    errors = sdk.validate_workout(text)
    if errors:
        raise AssertionError(f"converted document does not validate: {errors}")
    return text

