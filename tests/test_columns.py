"""Columns against parse_workout: every value the same, bit for bit, on the examples, the
benchmark's inputs and generated documents; and the cases where the tables differ from a
plain projection (ragged channels, empty documents, read errors)."""

import json
import random
import sys
from pathlib import Path

import pyarrow as pa
import pytest

import tavrik_workout_sdk as sdk
from conftest import doc
from tavrik_workout import columns

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))
import bench  # noqa: E402

KINDS = ["exercise", "block", "session", "day", "week", "phase", "program"]


def same(value):
    """A value with each float as its exact bits, so that -0.0 and 0.0 differ."""
    if isinstance(value, float):
        return ("f", value.hex())
    if isinstance(value, list):
        return [same(v) for v in value]
    if isinstance(value, dict):
        return {k: same(v) for k, v in value.items()}
    return value


def as_columns(column_table):
    """{name: list of values} through pyarrow, the reference reader of the format."""
    return {name: pa.table(column_table).column(name).to_pylist() for name in column_table.column_names}


# ---- what parse_workout says each table holds ----

def expected_streams(workout):
    streams = workout.get("streams", {"timestamps": []})
    out = {"timestamp": streams["timestamps"]}
    for channel in streams.get("channels", []):
        metric = channel["metric"]
        base = metric if isinstance(metric, str) else metric["Custom"]
        name, k = base, 2
        while name in out:
            name, k = f"{base}_{k}", k + 1
        values = channel["data"]["values"]
        if channel["data"]["type"] == "Position":
            values = [None if v is None else {"lat": v["lat"], "lng": v["lng"], "altitude": v.get("altitude")}
                      for v in values]
        out[name] = values
    return out


def expected_laps(workout):
    laps = workout.get("laps", [])
    keys = sorted({key for lap in laps for key in lap.get("summary", {})}, key=lambda key: key.encode())
    out = {"start_index": [], "end_index": [], "trigger": [], "trigger_name": [], "name": []}
    out.update({f"summary.{key}": [] for key in keys})
    for lap in laps:
        trigger = lap["trigger"]
        out["start_index"].append(lap.get("start_index"))
        out["end_index"].append(lap.get("end_index"))
        out["trigger"].append(trigger if isinstance(trigger, str) else "Custom")
        out["trigger_name"].append(None if isinstance(trigger, str) else trigger["Custom"])
        out["name"].append(lap.get("name"))
        for key in keys:
            out[f"summary.{key}"].append(lap.get("summary", {}).get(key))
    return out


MEASURE_COLUMNS = {
    "Reps": {"reps": None}, "Weight": {"weight_amount": "amount", "weight_unit": "unit"},
    "Distance": {"distance_amount": "amount", "distance_unit": "unit"},
    "Duration": {"duration_seconds": "seconds"}, "Pace": {"pace_per": "per", "pace_seconds": "seconds"},
    "HeartRate": {"heart_rate_bpm": "bpm"}, "Calories": {"calories": None},
    "Custom": {"custom_name": "name", "custom_value": "value"},
}


def expected_set_rows(workout):
    rows = []

    def walk(node, position, nearest, rest):
        payload = node["payload"]
        if payload["type"] == "Leaf":
            row = {"id": node["id"], "name": node.get("name")}
            for kind in KINDS:
                group = nearest.get(kind)
                row[f"{kind}_id"] = group and group["id"]
                row[f"{kind}_name"] = group and group.get("name")
            row["position"] = position
            row["measure_count"] = len(payload["measures"])
            for variant, fields in MEASURE_COLUMNS.items():
                first = next((m for m in payload["measures"] if m["type"] == variant), None)
                for column, field in fields.items():
                    value = None if first is None else first["value"] if field is None else first["value"][field]
                    row[column] = value
            intensity = payload.get("intensity")
            row["intensity"] = intensity and intensity["type"]
            value = intensity.get("value") if intensity else None
            custom = intensity is not None and intensity["type"] == "Custom"
            row["intensity_value"] = None if custom or value is None else float(value)
            row["intensity_custom_name"] = value["name"] if custom else None
            row["intensity_custom_value"] = value["value"] if custom else None
            row["rest_seconds"] = rest
            rows.append(row)
        kind = node["kind"]["type"].lower()
        inner = {**nearest, kind: node} if kind in KINDS else nearest
        inner_rest = payload.get("rest_seconds", rest)
        for index, child in enumerate(node.get("children", [])):
            walk(child, index, inner, inner_rest)

    walk(workout["root"], 0, {}, None)
    return rows


def set_rows(text):
    rows = pa.table(columns.sets(text)).to_pylist()
    for row in rows:  # free-form JSON compares as values
        for name in ("custom_value", "intensity_custom_value"):
            if row[name] is not None:
                row[name] = json.loads(row[name])
    return rows


# ---- the documents ----

def generated(seed):
    """A document with something of everything the tables distinguish."""
    rng = random.Random(seed)
    n = rng.choice([0, 1, 5, 300])
    number = lambda: rng.choice([0.0, -0.0, 1, 2.5, -7, 1e-300, 1.7976931348623157e308, rng.uniform(-1e6, 1e6)])  # noqa: E731
    metrics = ["HeartRate", "Power", "Power", "Speed", {"Custom": "lactate"}, {"Custom": "Power_2"},
               {"Custom": "timestamp"}, "Cadence"]
    channels = []
    for metric in rng.sample(metrics, rng.randint(0, len(metrics))):
        channels.append({"metric": metric, "data": {"type": "Scalar", "values": [number() for _ in range(n)]}})
    if rng.random() < 0.7:
        positions = [None if rng.random() < 0.2 else
                     {"lat": number(), "lng": number(), **({"altitude": number()} if rng.random() < 0.5 else {})}
                     for _ in range(n)]
        channels.insert(rng.randint(0, len(channels)), {"metric": "Position", "data": {"type": "Position", "values": positions}})
    triggers = ["Manual", "Distance", "Time", "HeartRateZone", "Auto", {"Custom": "pool end"}]
    laps = []
    for _ in range(rng.randint(0, 6)):
        lap = {"trigger": rng.choice(triggers)}
        if rng.random() < 0.6:
            lap["start_index"] = rng.choice([0, 7, 18446744073709551615])
        if rng.random() < 0.6:
            lap["end_index"] = rng.randint(0, 1000)
        if rng.random() < 0.6:
            lap["summary"] = {k: number() for k in rng.sample(["avg_hr", "Z", "é", "a b", "max"], rng.randint(0, 5))}
        if rng.random() < 0.5:
            lap["name"] = rng.choice(["", "Rep 1", "ünï"])
        laps.append(lap)

    measures = [bench.reps(5), bench.weight(100.5, "Lbs"), bench.distance(400), bench.duration(90),
                bench.pace(270, "Miles"), bench.heart_rate(150), bench.calories(0),
                bench.custom_measure("tempo", {"b": [1, -2, 2.5, None, True], "a": "3-1-1\n\"x\""}),
                bench.custom_measure("rpe", None), bench.reps(4294967295), bench.weight(-0.0)]
    intensities = [None, bench.percent(82.5), bench.rpe(8), bench.rir(2), bench.BODYWEIGHT,
                   {"type": "Custom", "value": {"name": "zone", "value": [3, {"hr": 150}]}}]

    def leaf_node(i):
        payload = bench.leaf(rng.sample(measures, rng.randint(1, 4)), rng.choice(intensities))
        return bench.node(f"s{i}", bench.kind("Set"), payload, name=rng.choice([None, f"set {i}"]))

    def exercise(i):
        return bench.node(f"e{i}", bench.kind("Exercise"),
                          bench.exercise_payload(rest=rng.choice([None, 90, 0.5])),
                          name=rng.choice([None, "Squat"]), children=[leaf_node(f"{i}.{j}") for j in range(rng.randint(0, 3))])

    blocks = [bench.node(f"b{i}", bench.kind("Block"), bench.block_payload(bench.SEQUENTIAL, rest=rng.choice([None, 120])),
                         children=[exercise(f"{i}.{j}") for j in range(rng.randint(1, 3))]) for i in range(3)]
    day = bench.node("d", bench.kind("Day"), bench.temporal(), name="Monday",
                     children=[bench.node("x", bench.kind("Session"), bench.temporal(rest=30), children=blocks),
                               leaf_node("loose")])
    workout = {"id": "w", "version": "1", "root": day, "laps": laps}
    if n or channels or rng.random() < 0.5:
        workout["streams"] = {"timestamps": [float(i) for i in range(n)], "channels": channels}
    return workout


def documents():
    for name in ("run_with_streams.workout.json", "plan_12_week_strength.workout.json"):
        yield name, (ROOT / "examples" / name).read_text()
    yield "bench ride", json.dumps(bench.make_recording(600))
    yield "bench plan", json.dumps(bench.make_plan(3), ensure_ascii=False)
    for seed in range(25):
        yield f"generated {seed}", json.dumps(generated(seed), ensure_ascii=False)


DOCUMENTS = [pytest.param(text, id=name) for name, text in documents()]


# ---- equality with parse_workout ----

@pytest.mark.parametrize("text", DOCUMENTS)
def test_streams_hold_what_parse_workout_gives(text):
    table = columns.streams(text)
    expected = expected_streams(sdk.parse_workout(text))
    assert table.column_names == list(expected)
    assert same(as_columns(table)) == same(expected)
    assert len(table) == len(expected["timestamp"])


@pytest.mark.parametrize("text", DOCUMENTS)
def test_laps_hold_what_parse_workout_gives(text):
    table = columns.laps(text)
    expected = expected_laps(sdk.parse_workout(text))
    assert table.column_names == list(expected)
    assert same(as_columns(table)) == same(expected)


@pytest.mark.parametrize("text", DOCUMENTS)
def test_sets_hold_what_parse_workout_gives_one_row_per_counted_set(text):
    rows = set_rows(text)
    assert same(rows) == same(expected_set_rows(sdk.parse_workout(text)))
    assert len(rows) == sdk.count_sets(text)


def test_generated_documents_reach_every_variant_and_null():
    """The generator is what makes the equality above worth something."""
    seen = set()
    for seed in range(25):
        text = json.dumps(generated(seed))
        for row in set_rows(text):
            seen.update(k for k, v in row.items() if v is not None)
            seen.add(("intensity", row["intensity"]))
        streams = as_columns(columns.streams(text))
        seen.update(name for name in streams if name.endswith("_2") or name.endswith("_3"))
        seen.update("null fix" for name, values in streams.items() if name == "Position" and None in values)
    assert {f"{column}" for fields in MEASURE_COLUMNS.values() for column in fields} <= seen
    assert {("intensity", v) for v in ("PercentOfMax", "RPE", "RIR", "Bodyweight", "Custom", None)} <= seen
    assert {"Power_2", "Power_3", "timestamp_2", "null fix", "rest_seconds"} <= seen


def test_sets_of_a_tree_that_does_not_validate_are_still_counted():
    # count_sets takes whatever tree was read, and so does sets.
    text = doc('{"id":"r","kind":{"type":"Block"},"payload":{"type":"Leaf","measures":[]},'
               '"children":[{"id":"c","kind":{"type":"Custom","value":"Mini"},"payload":{"type":"Leaf","measures":[]}}]}')
    assert sdk.validate_workout(text) != []
    rows = pa.table(columns.sets(text)).to_pylist()
    assert [(r["id"], r["block_id"], r["position"]) for r in rows] == [("r", None, 0), ("c", "r", 0)]
    assert len(rows) == sdk.count_sets(text)


def test_a_set_with_two_measures_of_one_variant_holds_the_first():
    leaf = {"type": "Leaf", "measures": [bench.reps(8), bench.weight(60), bench.reps(6), bench.weight(70, "Lbs")]}
    text = doc(json.dumps(bench.node("s", bench.kind("Set"), leaf)))
    (row,) = pa.table(columns.sets(text)).to_pylist()
    assert (row["reps"], row["weight_amount"], row["weight_unit"], row["measure_count"]) == (8, 60.0, "Kg", 4)


# ---- ragged, empty and unreadable ----

RAGGED = doc(streams=json.dumps({"timestamps": [0, 1, 2], "channels": [
    {"metric": "Power", "data": {"type": "Scalar", "values": [100, 110, 120]}},
    {"metric": "Power", "data": {"type": "Scalar", "values": [1, 2]}},
    {"metric": "Position", "data": {"type": "Position", "values": [None, {"lat": 1, "lng": 2}, None, {"lat": 3, "lng": 4}]}}]}))


def test_a_ragged_channel_is_an_error_naming_it_and_both_lengths():
    with pytest.raises(ValueError) as caught:
        columns.streams(RAGGED)
    assert str(caught.value) == ("channel `Power_2` has 2 samples but there are 3 timestamps "
                                 '(ragged="pad" pads the shorter columns with nulls)')


def test_ragged_pad_pads_every_shorter_column_with_nulls_at_its_end():
    table = columns.streams(RAGGED, ragged="pad")
    assert len(table) == 4
    assert as_columns(table) == {
        "timestamp": [0.0, 1.0, 2.0, None], "Power": [100.0, 110.0, 120.0, None], "Power_2": [1.0, 2.0, None, None],
        "Position": [None, {"lat": 1.0, "lng": 2.0, "altitude": None}, None, {"lat": 3.0, "lng": 4.0, "altitude": None}]}
    # Nulls are nulls in every consumer, not zeros.
    assert table.to_polars()["Power_2"].null_count() == 2
    assert table.to_pandas()["Power_2"].isna().tolist() == [False, False, True, True]


def test_ragged_takes_only_its_two_words():
    with pytest.raises(ValueError, match="ragged must be 'error' or 'pad', not 'truncate'"):
        columns.streams(RAGGED, ragged="truncate")


@pytest.mark.parametrize("streams, names", [
    pytest.param(None, ["timestamp"], id="no streams"),
    pytest.param('{"timestamps": []}', ["timestamp"], id="no channels"),
    pytest.param('{"timestamps": [], "channels": [{"metric": "Power", "data": ["Scalar", []]},'
                 '{"metric": "Position", "data": ["Position", []]}]}', ["timestamp", "Power", "Position"], id="empty channels"),
])
def test_empty_streams_give_zero_rows_that_every_consumer_reads(streams, names):
    text = doc() if streams is None else doc(streams=streams)
    table = columns.streams(text)
    assert (len(table), table.column_names) == (0, names)
    assert pa.table(table).num_rows == 0
    assert table.to_polars().shape == (0, len(names))
    assert len(table.to_pandas()) == 0
    assert all(len(array) == 0 for array in table.to_numpy().values())


def test_a_document_without_laps_or_sets():
    text = doc('{"id":"r","kind":{"type":"Session"},"payload":{"type":"Temporal"}}')
    assert (len(columns.laps(text)), columns.laps(text).column_names) == (
        0, ["start_index", "end_index", "trigger", "trigger_name", "name"])
    assert len(columns.sets(text)) == 0 == sdk.count_sets(text)
    assert pa.table(columns.sets(text)).num_rows == 0


BAD = ["", "[", '{"id":"w"}', doc()[:-1], doc() + "x", doc(streams='{"timestamps": [1, null]}'),
       doc(laps='[{"trigger": "Custom"}]'), (ROOT / "examples" / "broken_missing_comma.workout.json").read_text()]


@pytest.mark.parametrize("text", BAD)
@pytest.mark.parametrize("function", [columns.streams, columns.laps, columns.sets])
def test_read_errors_are_the_modules_own(function, text):
    with pytest.raises(ValueError) as ours:
        function(text)
    with pytest.raises(ValueError) as module:
        sdk.count_sets(text)
    assert str(ours.value) == str(module.value)
    assert str(ours.value).startswith("parse error: ")


@pytest.mark.parametrize("function", [columns.streams, columns.laps, columns.sets])
def test_a_wrong_argument_is_a_type_error(function):
    with pytest.raises(TypeError, match="argument 'json': 'bytes' object cannot be converted to 'PyString'"):
        function(doc().encode())
