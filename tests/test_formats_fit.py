"""FIT in and out: samples against the vendor SDK's decoder, gaps, time, laps, errors,
workouts both ways, and the loss report."""

import datetime as dt
import json

import pytest

pytest.importorskip("fitdecode")
garmin = pytest.importorskip("garmin_fit_sdk")

import fitdecode  # noqa: E402
import tavrik_workout_sdk as sdk  # noqa: E402

import fit_files  # noqa: E402
from tavrik_workout.formats import FormatError, read_fit, write_fit_workout  # noqa: E402

SEMICIRCLE = 180 / 2**31


def sdk_messages(data):
    decoder = garmin.Decoder(garmin.Stream.from_byte_array(bytearray(data)))
    messages, errors = decoder.read(convert_datetimes_to_dates=False)
    return messages, errors


def imported(conversion):
    """The document, after checking it is in normal form and valid."""
    assert sdk.to_json(conversion.text) == conversion.text
    assert sdk.validate_workout(conversion.text) == []
    return json.loads(conversion.text)


def channels(doc):
    result = {}
    for channel in doc["streams"]["channels"]:
        metric = channel["metric"]
        key = metric if isinstance(metric, str) else metric["Custom"]
        result[key] = channel["data"]["values"]
    return result


def losses(conversion):
    return {(kind, subject): count for kind, subject, _detail, count in conversion.loss.entries()}


RIDE = [{"t": t, "heart_rate": 120 + t, "enhanced_speed": 5.0 + t / 10, "power": 200 + 3 * t,
         "cadence": 85 + t % 3, "enhanced_altitude": 100.5 + t, "temperature": 21,
         "distance": 5.0 * t, "position_lat": 600000000 + 1000 * t,
         "position_long": 100000000 - 500 * t, "developer_fields": {0: 90 + t}}
        for t in range(6)]
PLAIN_RIDE = [{key: value for key, value in record.items() if key != "developer_fields"}
              for record in RIDE]


class TestMapping:
    def test_every_sample_matches_the_sdk_decoder(self):
        data = fit_files.activity(RIDE, developer=fit_files.developer_field())
        doc = imported(read_fit(data))
        records = sdk_messages(data)[0]["record_mesgs"]
        got = channels(doc)
        assert doc["streams"]["timestamps"] == [float(t) for t in range(6)]
        assert got["HeartRate"] == [r["heart_rate"] for r in records]
        assert got["Speed"] == [r["enhanced_speed"] for r in records]
        assert got["Power"] == [r["power"] for r in records]
        assert got["Cadence"] == [r["cadence"] for r in records]
        assert got["Altitude"] == [r["enhanced_altitude"] for r in records]
        assert got["Temperature"] == [r["temperature"] for r in records]
        assert got["distance"] == [r["distance"] for r in records]
        assert got["Glucose"] == [r["developer_fields"][0] for r in records]
        assert got["Position"] == [{"lat": r["position_lat"] * SEMICIRCLE,
                                    "lng": r["position_long"] * SEMICIRCLE} for r in records]
        assert doc["metadata"]["units"]["Glucose"] == "mg/dL"
        assert doc["metadata"]["units"]["distance"] == "m"

    def test_plain_speed_is_the_speed_metric_once(self):
        data = fit_files.activity([{"t": t, "speed": 4.25, "altitude": 50.0} for t in range(3)])
        got = channels(imported(read_fit(data)))
        assert got["Speed"] == [4.25] * 3 and got["Altitude"] == [50.0] * 3
        assert "speed" not in got and "altitude" not in got

    def test_compressed_timestamps_import_although_the_sdk_refuses_them(self):
        data = fit_files.compressed(0, [100, 101, 102, 103, 104])
        with fitdecode.FitReader(data) as reader:
            decoded = [frame.get_value("heart_rate") for frame in reader
                       if isinstance(frame, fitdecode.FitDataMessage)]
        assert decoded == [100, 101, 102, 103, 104]
        doc = imported(read_fit(data))
        assert doc["streams"]["timestamps"] == [0.0, 1.0, 2.0, 3.0, 4.0]
        assert channels(doc)["HeartRate"] == [100.0, 101.0, 102.0, 103.0, 104.0]
        _, errors = sdk_messages(data)  # the reason the import does not use the SDK's decoder
        assert "Compressed timestamp messages are not currently supported" in str(errors[0])


class TestGaps:
    RECORDS = [{"t": 0, "power": 100}, {"t": 1, "heart_rate": 90, "power": 110},
               {"t": 2, "power": 120}, {"t": 3, "heart_rate": 95}]

    def test_fill_keeps_every_timestamp_and_counts(self):
        conversion = read_fit(fit_files.activity(self.RECORDS))
        got = channels(imported(conversion))
        assert got["HeartRate"] == [90.0, 90.0, 90.0, 95.0]
        assert got["Power"] == [100.0, 110.0, 120.0, 120.0]
        entries = {(s, d): c for k, s, d, c in conversion.loss.entries() if k == "filled"}
        assert entries == {
            ("channel HeartRate", "missing before the first value, set to it"): 1,
            ("channel HeartRate", "missing value, set to the previous one"): 1,
            ("channel Power", "missing value, set to the previous one"): 1}

    def test_drop_rows_keeps_full_rows_and_moves_lap_indices(self):
        laps = [{"start": 1, "end": 3, "lap_trigger": "manual"}]
        conversion = read_fit(fit_files.activity(self.RECORDS, laps=laps), gaps="drop-rows")
        doc = imported(conversion)
        assert doc["streams"]["timestamps"] == [0.0]  # the only full row, re-based at t=1
        assert channels(doc) == {"HeartRate": [90.0], "Power": [110.0]}
        assert (doc["laps"][0]["start_index"], doc["laps"][0]["end_index"]) == (0, 0)
        found = losses(conversion)
        assert found[("dropped", "samples")] == 3
        assert found[("dropped", "channel Power")] == 2
        assert found[("dropped", "channel HeartRate")] == 1

    def test_a_bad_gap_policy_is_refused(self):
        with pytest.raises(ValueError, match="gaps must be one of 'fill', 'drop-rows', not 'zero'"):
            read_fit(fit_files.activity(self.RECORDS), gaps="zero")

    def test_same_timestamp_records_merge_and_a_conflict_is_reported(self):
        records = [{"t": 0, "heart_rate": 100}, {"t": 0, "power": 200},
                   {"t": 1, "heart_rate": 101, "power": 201}, {"t": 1, "heart_rate": 102}]
        conversion = read_fit(fit_files.activity(records))
        doc = imported(conversion)
        assert doc["streams"]["timestamps"] == [0.0, 1.0]
        assert channels(doc) == {"HeartRate": [100.0, 102.0], "Power": [200.0, 201.0]}
        found = losses(conversion)
        assert found[("merged", "records with the same timestamp")] == 2
        assert found[("dropped", "channel HeartRate")] == 1


class TestTime:
    def test_local_offset_from_the_activity_message(self):
        data = fit_files.activity(PLAIN_RIDE, local_offset=dt.timedelta(hours=-5, minutes=-30))
        conversion = read_fit(data)
        doc = imported(conversion)
        assert doc["date"] == "2026-05-01T00:30:00-05:30"
        assert doc["metadata"]["start_time"] == "2026-05-01T06:00:00Z"
        assert not any(kind == "local time unknown" for kind, *_ in conversion.loss.entries())

    def test_no_local_time_is_utc_and_reported(self):
        conversion = read_fit(fit_files.activity(PLAIN_RIDE))
        assert imported(conversion)["date"] == "2026-05-01T06:00:00Z"
        assert ("local time unknown", "") in losses(conversion)


class TestLaps:
    def test_indices_triggers_and_summary(self):
        records = [{"t": t, "heart_rate": 100 + t} for t in range(10)]
        laps = [{"start": 0, "end": 4, "lap_trigger": "manual", "total_elapsed_time": 4.0,
                 "total_distance": 1000.0, "total_calories": 12, "avg_heart_rate": 102},
                {"start": 5, "end": 9, "lap_trigger": "position_lap",
                 "total_elapsed_time": 4.5}]
        doc = imported(read_fit(fit_files.activity(records, laps=laps)))
        first, second = doc["laps"]
        assert (first["start_index"], first["end_index"], first["trigger"]) == (0, 4, "Manual")
        assert first["summary"] == {"avg_heart_rate": 102.0, "total_calories": 12.0,
                                    "total_distance": 1000.0, "total_elapsed_time": 4.0}
        assert (second["start_index"], second["end_index"]) == (5, 9)
        assert second["trigger"] == {"Custom": "position_lap"}


class TestErrors:
    def data(self):
        return fit_files.activity([{"t": t, "heart_rate": 100 + t} for t in range(20)])

    @pytest.mark.parametrize("damage, fault", [
        (lambda data: b"not a fit file at all", "bad header"),
        (lambda data: data[:-2] + bytes([data[-2] ^ 0xFF, data[-1]]), "bad checksum"),
        (lambda data: data[: len(data) // 2], "unexpected end of file"),
        (lambda data: b"", "empty file"),
    ])
    def test_a_damaged_file_is_an_error_naming_file_and_fault(self, tmp_path, damage, fault):
        path = tmp_path / "ride.fit"
        path.write_bytes(damage(self.data()))
        with pytest.raises(FormatError, match=f"^{path}: {fault}"):
            read_fit(path)

    def test_allow_truncated_keeps_what_precedes_and_says_so(self):
        data = self.data()
        conversion = read_fit(data[: len(data) // 2], allow_truncated=True)
        doc = imported(conversion)
        assert 0 < len(doc["streams"]["timestamps"]) < 20
        assert channels(doc)["HeartRate"][:3] == [100.0, 101.0, 102.0]
        assert any(kind == "truncated" for kind, *_ in conversion.loss.entries())

    def test_damaged_bytes_give_a_document_or_a_format_error_never_a_crash(self):
        import random
        rng = random.Random(7)
        base = fit_files.activity(
            [{"t": t, "heart_rate": 100 + t, "position_lat": 5, "position_long": 6}
             for t in range(10)], laps=[{"start": 0, "end": 9, "lap_trigger": "manual"}],
            local_offset=dt.timedelta(hours=1))
        outcomes = set()
        for _ in range(150):
            data = bytearray(base)
            for _ in range(rng.randint(1, 3)):
                data[rng.randrange(len(data))] = rng.randrange(256)
            for allow in (False, True):
                try:
                    imported(read_fit(bytes(data), allow_truncated=allow))
                    outcomes.add("document")
                except FormatError as error:
                    outcomes.add(str(error).split(":")[1].strip())
        assert {"document", "bad checksum"} <= outcomes

    def test_a_file_with_neither_records_nor_steps(self):
        encoder = garmin.Encoder()
        encoder.write_mesg({"mesg_num": fit_files.MESG["FILE_ID"], "type": "settings"})
        with pytest.raises(FormatError, match="no activity records and no workout steps"):
            read_fit(encoder.close())


STEPS = [
    {"wkt_step_name": "Warm-up", "duration_type": "time", "duration_value": 600000,
     "target_type": "heart_rate", "target_value": 0, "custom_target_value_low": 70,
     "custom_target_value_high": 70, "intensity": "warmup"},
    {"duration_type": "reps", "duration_value": 8, "target_type": "open",
     "exercise_category": "squat", "exercise_name": 6, "exercise_weight": 100.0,
     "weight_display_unit": "kilogram", "intensity": "active"},
    {"wkt_step_name": "Rest", "duration_type": "time", "duration_value": 90000,
     "target_type": "open", "intensity": "rest"},
    {"duration_type": "repeat_until_steps_cmplt", "duration_value": 1, "target_type": "open",
     "target_value": 4},
    {"wkt_step_name": "Intervals", "duration_type": "distance", "duration_value": 40000,
     "target_type": "power", "target_value": 0, "custom_target_value_low": 1250,
     "custom_target_value_high": 1300, "secondary_target_type": "cadence",
     "secondary_target_value": 0, "secondary_custom_target_value_low": 90,
     "secondary_custom_target_value_high": 100, "intensity": "active"},
]
STEP_FIELDS = ("duration_type", "duration_value", "target_type", "target_value",
               "custom_target_value_low", "custom_target_value_high", "intensity",
               "exercise_category", "exercise_name", "exercise_weight", "weight_display_unit",
               "secondary_target_type", "secondary_custom_target_value_low",
               "secondary_custom_target_value_high")


def decoded_steps(data):
    """The steps as both decoders read them, checked to agree."""
    messages, errors = sdk_messages(data)
    assert errors == []
    decoder = garmin.Decoder(garmin.Stream.from_byte_array(bytearray(data)))
    assert decoder.check_integrity()  # header and file CRC
    from_sdk = [{key: step.get(key) for key in STEP_FIELDS}
                for step in messages["workout_step_mesgs"]]
    with fitdecode.FitReader(data, check_crc=fitdecode.CrcCheck.RAISE) as reader:
        frames = [frame for frame in reader if isinstance(frame, fitdecode.FitDataMessage)
                  and frame.name == "workout_step"]
    from_fitdecode = []
    for frame in frames:
        raw = {field.field_def.def_num: field for field in frame.fields if field.field_def}
        step = {}
        for key in STEP_FIELDS:
            number = garmin.Profile["messages"][27]["fields"]
            number = next(n for n, f in number.items() if f["name"] == key)
            field = raw.get(number)
            value = None if field is None else field.value
            if key in ("duration_value", "target_value", "custom_target_value_low",
                       "custom_target_value_high", "secondary_custom_target_value_low",
                       "secondary_custom_target_value_high") and field is not None:
                value = field.raw_value
            step[key] = value
        from_fitdecode.append(step)
    assert from_fitdecode == from_sdk
    return from_sdk


class TestWorkouts:
    def test_import_builds_blocks_exercises_and_targets(self):
        doc = imported(read_fit(fit_files.workout(STEPS)))
        assert doc["sport"] == "training/strength_training"
        warmup, block, intervals = doc["root"]["children"]
        assert warmup["children"][0]["payload"] == {
            "type": "Leaf", "measures": [{"type": "Duration", "value": {"seconds": 600.0}}],
            "intensity": {"type": "PercentOfMax", "value": 70.0}}
        assert warmup["children"][0]["metadata"] == {"intensity": "warmup"}
        assert block["payload"]["execution_mode"] == {"type": "Circuit", "value": {"rounds": 4}}
        squat, rest = block["children"]
        assert squat["name"] == "Barbell back squat"
        assert squat["metadata"] == {"exercise_category": "squat",
                                     "exercise_name": "barbell_back_squat"}
        assert squat["children"][0]["payload"]["measures"] == [
            {"type": "Reps", "value": 8},
            {"type": "Weight", "value": {"amount": 100.0, "unit": "Kg"}}]
        assert rest["children"][0]["metadata"] == {"intensity": "rest"}
        measures = intervals["children"][0]["payload"]["measures"]
        assert measures[0] == {"type": "Distance", "value": {"amount": 400.0, "unit": "Meters"}}
        assert {"type": "Custom", "value": {"name": "power_target", "value": {
            "low": 250, "high": 300, "unit": "W"}}} in measures
        assert {"type": "Custom", "value": {"name": "cadence_target", "value": {
            "low": 90, "high": 100, "unit": "rpm"}}} in measures

    def test_import_then_export_gives_the_same_steps(self):
        original = fit_files.workout(STEPS)
        conversion = write_fit_workout(read_fit(original).text)
        assert conversion.loss.lossless, conversion.loss.lines()
        assert decoded_steps(conversion.text) == decoded_steps(original)

    def test_export_of_a_strength_plan_keeps_reps_weight_and_rest(self):
        sets = [{"id": f"s{i}", "kind": {"type": "Set"},
                 "payload": {"type": "Leaf", "measures": [
                     {"type": "Reps", "value": 5},
                     {"type": "Weight", "value": {"amount": 225, "unit": "Lbs"}}],
                     "intensity": {"type": "RPE", "value": 8}}} for i in range(2)]
        doc = {"id": "w", "version": "1", "sport": "strength", "root": {
            "id": "r", "kind": {"type": "Session"}, "payload": {"type": "Temporal"},
            "children": [{"id": "bench", "kind": {"type": "Exercise"},
                          "name": "Barbell Bench Press", "children": sets,
                          "payload": {"type": "Exercise", "rest_seconds": 120}}]}}
        conversion = write_fit_workout(json.dumps(doc))
        steps = decoded_steps(conversion.text)
        assert [s["duration_type"] for s in steps] == ["reps", "time", "reps"]
        assert steps[0]["duration_value"] == 5 and steps[1]["duration_value"] == 120000
        assert steps[1]["intensity"] == "rest"
        assert steps[0]["exercise_category"] == "bench_press"
        assert steps[0]["exercise_weight"] == pytest.approx(102.06)
        assert steps[0]["weight_display_unit"] == "pound"
        kinds = {(kind, subject): detail for kind, subject, detail, _ in conversion.loss.entries()}
        assert kinds[("dropped", "node s0")] == "intensity RPE: FIT workouts have no such target"
        assert kinds[("rounded", "node s0")] == "weight 102.05828325 to 102.06"
        back = imported(read_fit(conversion.text))
        weights = [m for m in back["root"]["children"][0]["children"][0]["payload"]["measures"]
                   if m["type"] == "Weight"]
        assert weights == [{"type": "Weight", "value": {"amount": 225.0, "unit": "Lbs"}}]

    def test_export_refuses_an_invalid_document(self):
        with pytest.raises(FormatError, match="parse error: missing field `root`"):
            write_fit_workout('{"id": "w", "version": "1"}')


class TestExportTargets:
    def plan(self, sport, intensity, measures=({"type": "Duration", "value": {"seconds": 60}},)):
        return json.dumps({"id": "w", "version": "1", "sport": sport, "root": {
            "id": "r", "kind": {"type": "Session"}, "payload": {"type": "Temporal"},
            "children": [{"id": "s", "kind": {"type": "Set"}, "payload": {
                "type": "Leaf", "measures": list(measures), "intensity": intensity}}]}})

    def test_percent_of_max_is_power_on_a_bike_and_heart_rate_on_foot(self):
        intensity = {"type": "PercentOfMax", "value": 105}
        bike = decoded_steps(write_fit_workout(self.plan("cycling", intensity)).text)[0]
        assert (bike["target_type"], bike["custom_target_value_low"]) == ("power", 105)
        conversion = write_fit_workout(self.plan("running", intensity))
        run = decoded_steps(conversion.text)[0]
        assert run["target_type"] == "open"
        assert [(k, d) for k, _s, d, _c in conversion.loss.entries()] == [
            ("dropped", "PercentOfMax 105.0: FIT holds 0 to 100")]

    def test_a_strength_percentage_is_not_a_heart_rate(self):
        conversion = write_fit_workout(self.plan("strength", {"type": "PercentOfMax", "value": 80},
                                                 [{"type": "Reps", "value": 5}]))
        step = decoded_steps(conversion.text)[0]
        assert (step["duration_type"], step["duration_value"], step["target_type"]) == \
            ("reps", 5, "open")
        assert "one-repetition maximum" in conversion.loss.entries()[0][2]
