"""GPX and TCX in: files written by gpxpy and by hand, extensions, time zones, laps, errors."""

import datetime as dt
import json

import pytest

gpxpy = pytest.importorskip("gpxpy")
import gpxpy.gpx  # noqa: E402
import tavrik_workout_sdk as sdk  # noqa: E402

from tavrik_workout.formats import FormatError, read_gpx, read_tcx  # noqa: E402


def imported(conversion):
    assert sdk.to_json(conversion.text) == conversion.text
    assert sdk.validate_workout(conversion.text) == []
    return json.loads(conversion.text)


def channels(doc):
    return {(c["metric"] if isinstance(c["metric"], str) else c["metric"]["Custom"]):
            c["data"]["values"] for c in doc["streams"]["channels"]}


def kinds(conversion):
    return {(kind, subject) for kind, subject, _detail, _count in conversion.loss.entries()}


GPX_HEAD = ('<?xml version="1.0" encoding="UTF-8"?>\n<gpx version="1.1" creator="Hand" '
            'xmlns="http://www.topografix.com/GPX/1/1" '
            'xmlns:gpxtpx="http://www.garmin.com/xmlschemas/TrackPointExtension/v1">\n')


def point(lat, lng, time, ele=None, extensions=""):
    ele = f"<ele>{ele}</ele>" if ele is not None else ""
    ext = f"<extensions>{extensions}</extensions>" if extensions else ""
    return f'<trkpt lat="{lat}" lon="{lng}">{ele}<time>{time}</time>{ext}</trkpt>'


class TestGpx:
    def test_written_by_gpxpy(self):
        gpx = gpxpy.gpx.GPX()
        track = gpxpy.gpx.GPXTrack(name="Morning run")
        gpx.tracks.append(track)
        start = dt.datetime(2026, 5, 1, 6, 0, tzinfo=dt.timezone.utc)
        for first in (0, 10):
            segment = gpxpy.gpx.GPXTrackSegment()
            track.segments.append(segment)
            for i in range(first, first + 3):
                segment.points.append(gpxpy.gpx.GPXTrackPoint(
                    48.0 + i / 1000, 11.0 - i / 1000, elevation=500 + i,
                    time=start + dt.timedelta(seconds=i)))
        conversion = read_gpx(gpx.to_xml().encode())
        doc = imported(conversion)
        assert doc["root"]["name"] == "Morning run"
        assert doc["streams"]["timestamps"] == [0.0, 1.0, 2.0, 10.0, 11.0, 12.0]
        got = channels(doc)
        assert got["Position"][4] == {"lat": 48.011, "lng": 10.989}
        assert got["Altitude"] == [500.0, 501.0, 502.0, 510.0, 511.0, 512.0]
        assert [(lap["start_index"], lap["end_index"]) for lap in doc["laps"]] == [(0, 2), (3, 5)]
        assert doc["laps"][0]["trigger"] == {"Custom": "segment"}
        assert doc["date"] == "2026-05-01T06:00:00Z"
        assert ("local time unknown", "") in kinds(conversion)

    def test_garmin_extensions_and_an_offset_written_in_the_times(self):
        points = [
            point(1, 2, "2026-05-01T08:00:00.250+02:00", 10,
                  "<gpxtpx:TrackPointExtension><gpxtpx:hr>120</gpxtpx:hr><gpxtpx:cad>80"
                  "</gpxtpx:cad><gpxtpx:atemp>19.5</gpxtpx:atemp><gpxtpx:wtemp>14"
                  "</gpxtpx:wtemp></gpxtpx:TrackPointExtension><power>250</power>"),
            point(1.001, 2, "2026-05-01T08:00:01.5+02:00", 11,
                  "<gpxtpx:TrackPointExtension><gpxtpx:hr>121</gpxtpx:hr>"
                  "</gpxtpx:TrackPointExtension><power>n/a</power>"),
        ]
        text = GPX_HEAD + "<trk><trkseg>" + "".join(points) + "</trkseg></trk></gpx>"
        conversion = read_gpx(text.encode())
        doc = imported(conversion)
        assert doc["date"] == "2026-05-01T08:00:00.250000+02:00"
        assert doc["metadata"]["start_time"] == "2026-05-01T06:00:00.250000Z"
        assert doc["streams"]["timestamps"] == [0.0, 1.25]
        got = channels(doc)
        assert got["HeartRate"] == [120.0, 121.0]
        assert got["Cadence"] == [80.0, 80.0] and got["Temperature"] == [19.5, 19.5]
        assert got["Power"] == [250.0, 250.0] and got["wtemp"] == [14.0, 14.0]
        assert ("dropped", "point extension power") in kinds(conversion)
        assert ("filled", "channel Power") in kinds(conversion)
        assert ("local time unknown", "") not in kinds(conversion)

    def test_points_without_time_and_waypoints_are_reported(self):
        text = (GPX_HEAD + '<wpt lat="1" lon="1"/><trk><trkseg>'
                + point(1, 2, "2026-05-01T06:00:00Z") + '<trkpt lat="1" lon="3"/>'
                + "</trkseg></trk></gpx>")
        conversion = read_gpx(text.encode())
        assert len(imported(conversion)["streams"]["timestamps"]) == 1
        assert {("dropped", "track points"), ("dropped", "waypoints")} <= kinds(conversion)

    def test_values_that_are_not_finite_are_dropped_and_counted(self):
        text = (GPX_HEAD + "<trk><trkseg>" + point("nan", 2, "2026-05-01T06:00:00Z", "inf")
                + point(1, 2, "2026-05-01T06:00:01Z", 5) + "</trkseg></trk></gpx>")
        conversion = read_gpx(text.encode())
        got = channels(imported(conversion))
        assert got["Position"] == [None, {"lat": 1.0, "lng": 2.0}]
        assert got["Altitude"] == [5.0, 5.0]
        found = {(s, d): c for k, s, d, c in conversion.loss.entries() if k == "dropped"}
        assert found == {("channel Position", "not a finite number"): 1,
                         ("channel Altitude", "not a finite number"): 1}

    @pytest.mark.parametrize("text, message", [
        (b"<gpx><trk>", "not GPX"),
        (b"\xff\xfe<gpx/>", "not UTF-8 text"),
        (GPX_HEAD.encode() + b"</gpx>", "no track point with a time"),
    ])
    def test_errors(self, text, message):
        with pytest.raises(FormatError, match=f"^<bytes>: {message}"):
            read_gpx(text)


TCX = """<?xml version="1.0" encoding="UTF-8"?>
<TrainingCenterDatabase xmlns="http://www.garmin.com/xmlschemas/TrainingCenterDatabase/v2"
  xmlns:ns3="http://www.garmin.com/xmlschemas/ActivityExtension/v2">
 <Activities><Activity Sport="Biking"><Id>2026-05-01T06:00:00Z</Id>
  {laps}
  <Creator><Name>Edge 530</Name></Creator>
 </Activity></Activities>
</TrainingCenterDatabase>"""

LAP = """<Lap StartTime="{start}"><TotalTimeSeconds>{total}</TotalTimeSeconds>
 <DistanceMeters>1000.5</DistanceMeters><Calories>30</Calories>
 <AverageHeartRateBpm><Value>130</Value></AverageHeartRateBpm><Intensity>Active</Intensity>
 <TriggerMethod>{trigger}</TriggerMethod><Track>{points}</Track>
 <Extensions><ns3:LX><ns3:AvgWatts>210</ns3:AvgWatts></ns3:LX></Extensions></Lap>"""

TRACKPOINT = """<Trackpoint><Time>{time}</Time><Position><LatitudeDegrees>{lat}</LatitudeDegrees>
 <LongitudeDegrees>7.5</LongitudeDegrees></Position><AltitudeMeters>300</AltitudeMeters>
 <DistanceMeters>{distance}</DistanceMeters>{hr}<Cadence>90</Cadence>
 <Extensions><ns3:TPX><ns3:Speed>8.5</ns3:Speed><ns3:Watts>{watts}</ns3:Watts></ns3:TPX>
 </Extensions></Trackpoint>"""


def tcx(times, triggers=("Manual", "Location")):
    laps = []
    for lap, (chunk, trigger) in enumerate(zip(times, triggers)):
        points = "".join(TRACKPOINT.format(
            time=time, lat=45 + i / 100, distance=100 * i,
            hr="" if i == 1 else f"<HeartRateBpm><Value>{140 + i}</Value></HeartRateBpm>",
            watts=200 + i) for i, time in enumerate(chunk, start=lap * 10))
        laps.append(LAP.format(start=chunk[0], total=len(chunk), trigger=trigger, points=points))
    return TCX.format(laps="".join(laps)).encode()


class TestTcx:
    def test_trackpoints_laps_and_extensions(self):
        conversion = read_tcx(tcx([["2026-05-01T06:00:00Z", "2026-05-01T06:00:01Z"],
                                   ["2026-05-01T06:00:02Z", "2026-05-01T06:00:03Z"]]))
        doc = imported(conversion)
        assert doc["sport"] == "Biking" and doc["metadata"]["device"] == "Edge 530"
        got = channels(doc)
        assert got["HeartRate"] == [140.0, 140.0, 150.0, 151.0]
        assert got["Power"] == [200.0, 201.0, 210.0, 211.0]
        assert got["Speed"] == [8.5] * 4 and got["Cadence"] == [90.0] * 4
        assert got["distance"] == [0.0, 100.0, 1000.0, 1100.0]
        assert got["Position"][2] == {"lat": 45.1, "lng": 7.5}
        first, second = doc["laps"]
        assert (first["start_index"], first["end_index"], first["trigger"]) == (0, 1, "Manual")
        assert second["trigger"] == {"Custom": "Location"}
        assert first["summary"] == {"AvgWatts": 210.0, "avg_heart_rate": 130.0,
                                    "calories": 30.0, "distance": 1000.5, "total_time": 2.0}
        found = {(s, d): c for k, s, d, c in conversion.loss.entries()}
        assert found[("channel HeartRate", "missing value, set to the previous one")] == 1
        assert found[("lap Intensity", "not a number")] == 2

    @pytest.mark.parametrize("stamp, date", [
        ("2026-05-01T08:00:00+02:00", "2026-05-01T08:00:00+02:00"),
        ("2026-05-01T01:00:00.5-05:00", "2026-05-01T01:00:00.500000-05:00"),
        ("2026-05-01T06:00:00", "2026-05-01T06:00:00Z"),
    ])
    def test_time_zones_written_several_ways(self, stamp, date):
        conversion = read_tcx(tcx([[stamp]]))
        assert imported(conversion)["date"] == date
        assert (("local time unknown", "") in kinds(conversion)) == date.endswith("Z")

    @pytest.mark.parametrize("text, message", [
        (b"<TrainingCenterDatabase><Activities>", "not XML: no element found at line 1 column 37"),
        (b"<gpx/>", "not a TCX activity file"),
        (tcx([["yesterday"]]), "invalid time 'yesterday'"),
    ])
    def test_errors(self, text, message):
        with pytest.raises(FormatError, match=f"^<bytes>: {message}"):
            read_tcx(text)
