"""TCX activities in: trackpoints become samples, laps stay laps.

TCX is plain XML; the standard library's parser reads it, and elements are matched by
local name so files that bind the Garmin namespaces to any prefix read the same."""

from __future__ import annotations

import datetime as dt
import xml.etree.ElementTree as ET
from collections.abc import Callable

from tavrik_workout.formats import activity as act
from tavrik_workout.formats.gpx import EPOCH, extension_values, micros, offset_of
from tavrik_workout.formats.loss import DROPPED, Conversion, FormatError, JsonObject, LossReport
from tavrik_workout.formats.source import Source, load, stem

_TRIGGERS = {"Manual": "Manual", "Distance": "Distance", "Time": "Time",
             "HeartRate": "HeartRateZone"}
_EXTENSIONS = {"Speed": "Speed", "Watts": "Power", "RunCadence": "Cadence"}
# Lap values whose number is the summary; nested ones are read from their Value child.
_SUMMARY = {"TotalTimeSeconds": "total_time", "DistanceMeters": "distance",
            "MaximumSpeed": "max_speed", "Calories": "calories", "Cadence": "avg_cadence",
            "AverageHeartRateBpm": "avg_heart_rate", "MaximumHeartRateBpm": "max_heart_rate"}


def _local(element: ET.Element) -> str:
    return element.tag.rsplit("}", 1)[-1]


def _child(element: ET.Element, name: str) -> ET.Element | None:
    for child in element:
        if _local(child) == name:
            return child
    return None


def _number(element: ET.Element | None) -> float | None:
    if element is None:
        return None
    value = _child(element, "Value")
    text = ((value if value is not None else element).text or "").strip()
    try:
        return float(text)
    except ValueError:
        return None


def parse_time(text: str | None, name: str) -> dt.datetime:
    text = (text or "").strip()
    try:
        return dt.datetime.fromisoformat(text)
    except ValueError:
        raise FormatError(f"{name}: invalid time {text!r}") from None


def read_tcx(source: Source, *, gaps: str = "fill") -> Conversion:
    act.check_gaps(gaps)
    data, name = load(source)
    try:
        root = ET.fromstring(data)
    except ET.ParseError as error:
        line, column = error.position
        what = str(error).split(":")[0]
        raise FormatError(f"{name}: not XML: {what} at line {line} column {column + 1}") from None
    activities = [element for element in root.iter() if _local(element) == "Activity"]
    if _local(root) != "TrainingCenterDatabase" or not activities:
        raise FormatError(f"{name}: not a TCX activity file")
    loss = LossReport()
    if len(activities) > 1:
        loss.add(DROPPED, "activities after the first", "one document per file",
                 len(activities) - 1)
    activity_element = activities[0]
    activity = act.Activity(loss, epoch=EPOCH, tick=1_000_000)
    row_of, put = activity.row, activity.put
    offset, seen = None, False
    for lap_element in activity_element:
        if _local(lap_element) != "Lap":
            continue
        start_text = lap_element.get("StartTime")
        start = micros(parse_time(start_text, name)) if start_text else None
        last: int | None = None
        summary: dict[str, float] = {}
        trigger: str | None = None
        for item in lap_element:
            word = _local(item)
            if word == "Track":
                for point in item:
                    if _local(point) != "Trackpoint":
                        continue
                    time_element = _child(point, "Time")
                    if time_element is None:
                        loss.add(DROPPED, "trackpoints", "no time")
                        continue
                    moment = parse_time(time_element.text, name)
                    if not seen:
                        seen, offset = True, offset_of(moment)
                    time = micros(moment)
                    last = time
                    start = time if start is None else start
                    row = row_of(time)
                    _point(point, row, put, loss)
            elif word == "TriggerMethod":
                trigger = (item.text or "").strip()
            elif word in _SUMMARY:
                value = _number(item)
                if value is not None:
                    summary[_SUMMARY[word]] = value
            elif word == "Extensions":
                def put_value(element: str, number: float) -> None:
                    summary[element] = number
                extension_values(list(item), put_value, loss, "lap")
            elif word in ("Intensity", "Notes"):
                loss.add(DROPPED, f"lap {word}", "not a number")
        lap_trigger: str | dict[str, str] = _TRIGGERS.get(trigger or "") or {"Custom": trigger or "unknown"}
        end = last
        if end is None and start is not None and "total_time" in summary:
            end = start + round(summary["total_time"] * 1_000_000) - 1
        activity.lap(start, end, lap_trigger, None, summary)
    if not activity.times:
        raise FormatError(f"{name}: no trackpoint with a time")
    sport = activity_element.get("Sport")
    metadata: JsonObject = {}
    creator = _child(activity_element, "Creator")
    device = _child(creator, "Name") if creator is not None else None
    if device is not None and device.text:
        metadata["device"] = device.text.strip()
    notes = _child(activity_element, "Notes")
    if notes is not None and notes.text:
        metadata["notes"] = notes.text
    activity.units.update({"Altitude": "m", "HeartRate": "bpm", act.custom("distance"): "m"})
    text = activity.document(workout_id=stem(name) or "tcx",
                             name=f"{sport or 'Activity'} activity", sport=sport, offset=offset,
                             source_format="tcx", metadata=metadata, gaps=gaps)
    return Conversion(text, loss)


def _point(point: ET.Element, row: int, put: Callable[[int, act.ColumnKey, act.Sample], None],
           loss: LossReport) -> None:
    for item in point:
        word = _local(item)
        if word == "Position":
            lat = _number(_child(item, "LatitudeDegrees"))
            lng = _number(_child(item, "LongitudeDegrees"))
            if lat is not None and lng is not None:
                put(row, act.POSITION, (lat, lng))
        elif word == "AltitudeMeters":
            value = _number(item)
            if value is not None:
                put(row, "Altitude", value)
        elif word == "DistanceMeters":
            value = _number(item)
            if value is not None:
                put(row, act.custom("distance"), value)
        elif word == "HeartRateBpm":
            value = _number(item)
            if value is not None:
                put(row, "HeartRate", value)
        elif word == "Cadence":
            value = _number(item)
            if value is not None:
                put(row, "Cadence", value)
        elif word == "Extensions":
            def put_value(element: str, number: float) -> None:
                put(row, _EXTENSIONS.get(element) or act.custom(element), number)
            extension_values(list(item), put_value, loss, "trackpoint")
        elif word == "SensorState":
            loss.add(DROPPED, "trackpoint SensorState", "not a number")
        elif word != "Time":
            loss.add(DROPPED, f"trackpoint {word}", "unknown element")
