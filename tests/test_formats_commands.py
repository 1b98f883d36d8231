"""Zwift export, and the import and export commands: outputs, loss reports, --strict,
JSON reports, errors and the missing extra."""

import json
import sys
import xml.etree.ElementTree as ET

import pytest

pytest.importorskip("fitdecode")
pytest.importorskip("garmin_fit_sdk")

import tavrik_workout_sdk as sdk  # noqa: E402

import fit_files  # noqa: E402
from tavrik_workout.cli import main  # noqa: E402
from tavrik_workout.formats import FormatError, MissingExtra, read_fit, write_zwo  # noqa: E402


def leaf(node_id, seconds=None, power=None, name=None, extra=()):
    measures = [{"type": "Duration", "value": {"seconds": seconds}}] if seconds else []
    measures += list(extra)
    payload = {"type": "Leaf", "measures": measures}
    if power is not None:
        payload["intensity"] = {"type": "Custom", "value": {"name": "power", "value": {
            "low": power[0], "high": power[1], "unit": "%FTP"}}}
    node = {"id": node_id, "kind": {"type": "Set"}, "payload": payload}
    if name:
        node["name"] = name
    return node


def exercise(node_id, *children):
    return {"id": node_id, "kind": {"type": "Exercise"}, "payload": {"type": "Exercise"},
            "children": list(children)}


def plan(*children):
    return json.dumps({"id": "p", "version": "1", "sport": "cycling", "root": {
        "id": "r", "kind": {"type": "Session"}, "name": "Over-unders",
        "payload": {"type": "Temporal"}, "children": list(children)}})


def block(node_id, rounds, *children):
    return {"id": node_id, "kind": {"type": "Block"}, "children": list(children),
            "payload": {"type": "Block", "execution_mode": {"type": "Circuit",
                                                           "value": {"rounds": rounds}}}}


class TestZwo:
    def test_steps_intervals_ramps_and_what_zwo_cannot_hold(self):
        text = plan(
            leaf("wu", 600, (40, 75), name="Warm-up"),
            block("b", 3, exercise("e1", leaf("on", 120, (105, 105))),
                  exercise("e2", leaf("off", 60, (55, 55)))),
            block("c", 2, exercise("e3", leaf("a", 30, (60, 90))),
                  exercise("e4", leaf("b1", 30.4)), exercise("e5", leaf("c1", 10, (80, 80)))),
            leaf("reps", extra=[{"type": "Reps", "value": 10}]),
            leaf("cd", 300, (60, 40), name="Cool-down"))
        conversion = write_zwo(text)
        root = ET.fromstring(conversion.text)
        assert root.findtext("name") == "Over-unders" and root.findtext("sportType") == "bike"
        got = [(element.tag, element.attrib) for element in root.find("workout")]
        ramp = ("Ramp", {"Duration": "30", "PowerLow": "0.6", "PowerHigh": "0.9"})
        free = ("FreeRide", {"Duration": "30"})
        steady = ("SteadyState", {"Duration": "10", "Power": "0.8"})
        assert got == [
            ("Warmup", {"Duration": "600", "PowerLow": "0.4", "PowerHigh": "0.75"}),
            ("IntervalsT", {"Repeat": "3", "OnDuration": "120", "OffDuration": "60",
                            "OnPower": "1.05", "OffPower": "0.55"}),
            ramp, free, steady, ramp, free, steady,
            ("Cooldown", {"Duration": "300", "PowerLow": "0.6", "PowerHigh": "0.4"})]
        found = {(kind, subject, detail) for kind, subject, detail, _ in conversion.loss.entries()}
        assert found == {("dropped", "node reps", "Reps measure: ZWO holds time and power"),
                         ("dropped", "node reps", "step without a time"),
                         ("rounded", "node b1", "30.4 s to 30 s")}

    def test_nothing_timed_is_an_error(self):
        with pytest.raises(FormatError, match="no timed step that ZWO can hold"):
            write_zwo(plan(leaf("reps", extra=[{"type": "Reps", "value": 10}])))


@pytest.fixture
def ride(tmp_path):
    path = tmp_path / "ride.fit"
    path.write_bytes(fit_files.activity(
        [{"t": t, "heart_rate": 100 + t} for t in range(5)],
        local_offset=fit_files.dt.timedelta(hours=1)))
    return path


class TestImportCommand:
    def test_writes_the_document_and_reports_no_loss(self, ride, tmp_path, capsys):
        out = tmp_path / "ride.json"
        assert main(["import", str(ride), "-o", str(out)]) == 0
        text = out.read_text()
        assert text == read_fit(ride).text + "\n"
        assert sdk.validate_workout(text) == []
        assert capsys.readouterr().err.splitlines() == [
            f"{ride}: lossless: nothing dropped, filled, rounded or clamped"]

    def test_strict_refuses_a_lossy_import_and_writes_nothing(self, tmp_path, capsys):
        path = tmp_path / "gappy.fit"
        path.write_bytes(fit_files.activity([{"t": 0, "power": 1}, {"t": 1, "heart_rate": 2}]))
        out = tmp_path / "out"
        out.mkdir()
        assert main(["import", str(path), "--out-dir", str(out), "--strict"]) == 1
        assert list(out.iterdir()) == []
        err = capsys.readouterr().err
        assert f"{path}: filled: channel HeartRate" in err
        assert f"{path}: error: loss under --strict: not written" in err

    def test_json_report_and_several_files(self, ride, tmp_path, capsys):
        broken = tmp_path / "broken.fit"
        broken.write_bytes(b"garbage!" * 3)
        out = tmp_path / "out"
        out.mkdir()
        status = main(["import", str(ride), str(broken), "--out-dir", str(out),
                       "--format", "json"])
        assert status == 1
        report = json.loads(capsys.readouterr().err)
        assert report[0] == {"file": str(ride), "output": str(out / "ride.json"),
                             "lossless": True, "losses": []}
        assert report[1]["file"] == str(broken)
        assert report[1]["error"].startswith("bad header")
        assert sorted(path.name for path in out.iterdir()) == ["ride.json"]

    def test_two_files_with_one_name_do_not_overwrite_each_other(self, ride, tmp_path, capsys):
        other = tmp_path / "again" / "ride.fit"
        other.parent.mkdir()
        other.write_bytes(fit_files.activity([{"t": 0, "heart_rate": 50}]))
        out = tmp_path / "out"
        out.mkdir()
        assert main(["import", str(ride), str(other), "--out-dir", str(out)]) == 2
        assert (out / "ride.json").read_text() == read_fit(ride).text + "\n"
        assert f"{other}: error: {out / 'ride.json'} was written for an earlier file" in \
            capsys.readouterr().err

    def test_usage_errors(self, ride, tmp_path, capsys):
        assert main(["import", str(ride), str(ride)]) == 2
        assert "several FILEs need --out-dir" in capsys.readouterr().err
        other = tmp_path / "ride.xyz"
        other.write_bytes(b"")
        assert main(["import", str(other)]) == 2
        assert "unknown format: name it with --from fit|gpx|tcx" in capsys.readouterr().err

    def test_missing_extra_is_named(self, ride, monkeypatch, capsys):
        monkeypatch.setitem(sys.modules, "fitdecode", None)
        with pytest.raises(MissingExtra, match=r"fitdecode is not installed: install the "
                                               r"formats extra"):
            read_fit(ride)
        assert main(["import", str(ride)]) == 2
        assert "tavrik_workout_sdk[formats]" in capsys.readouterr().err


class TestExportCommand:
    def test_fit_beside_the_input_and_zwo_to_stdout(self, tmp_path, capsysbinary):
        source = tmp_path / "plan.json"
        source.write_text(plan(leaf("on", 120, (90, 90))))
        assert main(["export", "--to", "fit", str(source)]) == 0
        data = (tmp_path / "plan.fit").read_bytes()
        doc = json.loads(read_fit(data).text)
        assert doc["root"]["name"] == "Over-unders"
        assert main(["export", "--to", "zwo", str(source), "-o", "-"]) == 0
        captured = capsysbinary.readouterr()
        assert b'<SteadyState Duration="120" Power="0.9"/>' in captured.out
        assert b"lossless" in captured.err

    def test_strict_and_an_invalid_document(self, tmp_path, capsys):
        source = tmp_path / "plan.json"
        source.write_text(plan(leaf("reps", extra=[{"type": "Reps", "value": 3}]),
                               leaf("t", 60)))
        assert main(["export", "--to", "zwo", "--strict", str(source)]) == 1
        assert not (tmp_path / "plan.zwo").exists()
        source.write_text("{")
        assert main(["export", "--to", "fit", str(source)]) == 1
        assert "parse error: EOF while parsing an object" in capsys.readouterr().err
