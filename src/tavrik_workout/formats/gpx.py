"""GPX tracks in: points become samples, segments become laps.

Extensions are read by their element names, whatever the namespace, so Garmin's
TrackPointExtension (hr, cad, atemp) and the common power element both map to metrics."""

from __future__ import annotations

import datetime as dt
import xml.etree.ElementTree as ET
from collections.abc import Callable, Iterable

from tavrik_workout.formats import activity as act
from tavrik_workout.formats.loss import DROPPED, Conversion, FormatError, JsonObject, LossReport, need
from tavrik_workout.formats.source import Source, load, stem

EPOCH = dt.datetime(1970, 1, 1, tzinfo=dt.timezone.utc)
_UTC = dt.timezone.utc
EXTENSIONS = {"hr": "HeartRate", "heartrate": "HeartRate", "cad": "Cadence",
              "cadence": "Cadence", "power": "Power", "watts": "Power", "atemp": "Temperature",
              "temp": "Temperature", "speed": "Speed"}


def micros(moment: dt.datetime) -> int:
    """Microseconds since 1970 of an aware datetime (naive times are UTC, as GPX says)."""
    if moment.tzinfo is None:
        moment = moment.replace(tzinfo=_UTC)
    delta = moment - EPOCH
    return (delta.days * 86400 + delta.seconds) * 1_000_000 + delta.microseconds


def offset_of(moment: dt.datetime) -> dt.timedelta | None:
    """The UTC offset written in a time, or None for UTC or no zone: `Z` says nothing about
    where the activity took place, and the parsers do not tell `Z` from `+00:00`."""
    if moment.tzinfo is None:
        return None
    offset = moment.utcoffset()
    return offset or None


def extension_values(elements: Iterable[ET.Element], put_value: Callable[[str, float], None],
                     loss: LossReport, where: str) -> None:
    """Calls put_value(name, number) for every leaf element below the extensions."""
    for element in elements:
        children = list(element)
        if children:
            extension_values(children, put_value, loss, where)
            continue
        name = element.tag.rsplit("}", 1)[-1]
        text = (element.text or "").strip()
        try:
            put_value(name, float(text))
        except ValueError:
            loss.add(DROPPED, f"{where} extension {name}", "not a number")


def read_gpx(source: Source, *, gaps: str = "fill") -> Conversion:
    act.check_gaps(gaps)
    need("gpxpy")
    import gpxpy
    import gpxpy.gpx
    data, name = load(source)
    try:
        gpx = gpxpy.parse(data.decode("utf-8-sig"))
    except UnicodeDecodeError as error:
        raise FormatError(f"{name}: not UTF-8 text: {error.reason} at byte {error.start}") from None
    except gpxpy.gpx.GPXException as error:
        raise FormatError(f"{name}: not GPX: {error}") from None
    loss = LossReport()
    activity = act.Activity(loss, epoch=EPOCH, tick=1_000_000)
    row_of, put = activity.row, activity.put
    offset: dt.timedelta | None = None
    seen_time = False
    untimed = 0
    for track in gpx.tracks:
        for segment in track.segments:
            first: int | None = None
            last: int | None = None
            for point in segment.points:
                if point.time is None:
                    untimed += 1
                    continue
                time = micros(point.time)
                if not seen_time:
                    seen_time, offset = True, offset_of(point.time)
                first = time if first is None else first
                last = time
                row = row_of(time)
                put(row, act.POSITION, (point.latitude, point.longitude))
                if point.elevation is not None:
                    put(row, "Altitude", point.elevation)

                def put_value(element: str, number: float, row: int = row) -> None:
                    key: act.ColumnKey = EXTENSIONS.get(element.lower()) or act.custom(element)
                    put(row, key, number)

                extension_values(point.extensions, put_value, loss, "point")
            if first is not None:
                activity.lap(first, last, {"Custom": "segment"}, track.name)
    if untimed:
        loss.add(DROPPED, "track points", "no time", untimed)
    if gpx.waypoints:
        loss.add(DROPPED, "waypoints", "not samples", len(gpx.waypoints))
    if gpx.routes:
        loss.add(DROPPED, "routes", "not samples", len(gpx.routes))
    if not activity.times:
        raise FormatError(f"{name}: no track point with a time")
    title = gpx.name or next((track.name for track in gpx.tracks if track.name), None)
    sport = next((track.type for track in gpx.tracks if track.type), None)
    metadata: JsonObject = {}
    if gpx.creator:
        metadata["device"] = gpx.creator
    if gpx.description:
        metadata["description"] = gpx.description
    activity.units.update({"Altitude": "m"})
    text = activity.document(workout_id=stem(name) or "gpx", name=title or "GPX track",
                             sport=sport, offset=offset, source_format="gpx",
                             metadata=metadata, gaps=gaps)
    return Conversion(text, loss)
