"""The one-pass walk against the general reader for the lap and set tables: where the walk
takes a text, its table is the general reader's to the bit (names, types, nulls, values,
free-form JSON text); where it gives up, the general reader still answers."""

import json
import random

import pyarrow as pa
import pytest

from conftest import doc, for_the_general_reader, node
from tavrik_workout import _native, columns


def exact(table):
    """Schema and rows of a table, floats by their bits so that -0.0 and 0.0 differ."""
    arrow = pa.table(table)

    def bits(value):
        if isinstance(value, float):
            return value.hex()
        if isinstance(value, dict):
            return {k: bits(v) for k, v in value.items()}
        return value

    return str(arrow.schema), [bits(row) for row in arrow.to_pylist()]


def assert_walk_agrees(table, text):
    walked = _native._walked(table, text)
    assert walked is not None, "the walk gave this text up"
    reference = getattr(columns, table)(for_the_general_reader(text))
    assert exact(walked) == exact(reference)
    assert exact(getattr(columns, table)(text)) == exact(reference)


def leaf(*measures, intensity=None):
    payload = {"type": "Leaf", "measures": list(measures)}
    if intensity is not None:
        payload["intensity"] = intensity
    return json.dumps(payload)


# ---- laps ----

LAPS = {
    "indices, summaries and names": [
        {"start_index": 0, "end_index": 9223372036854775808, "summary": {"b": 1, "a": 2.5}, "trigger": "Time",
         "name": "first"},
        {"summary": {"c": -3e2, "a": 0.1}, "trigger": {"Custom": "pool end"}, "name": ""},
        {"start_index": None, "end_index": 7, "trigger": {"Manual": None}, "name": None},
        {"trigger": "Auto", "summary": {}},
    ],
    "no laps": [],
    "keys in byte order, not text order": [
        {"summary": {"é": 1, "Z": 2, "a b": 3, "z": 4}, "trigger": "Distance"},
        {"summary": {"A": 5}, "trigger": "HeartRateZone"},
    ],
}


@pytest.mark.parametrize("laps", LAPS.values(), ids=LAPS.keys())
def test_laps_walk_agrees_with_the_general_reader(laps):
    assert_walk_agrees("laps", doc(laps=json.dumps(laps, ensure_ascii=False)))


def test_a_repeated_summary_key_keeps_its_last_value_on_the_walk_too():
    text = doc(laps='[{"summary": {"x": 1, "a": 2, "x": 3}, "trigger": "Manual"}]')
    assert_walk_agrees("laps", text)
    assert pa.table(columns.laps(text)).to_pylist()[0]["summary.x"] == 3.0


# ---- sets ----

MEASURES = [
    {"type": "Reps", "value": 4294967295},
    {"type": "Weight", "value": {"amount": 100, "unit": "Kg"}},
    {"type": "Weight", "value": {"unit": "Lbs", "amount": 2.5}},
    {"type": "Distance", "value": {"amount": 5, "unit": "Kilometers"}},
    {"type": "Distance", "value": {"amount": 400, "unit": {"Miles": None}}},
    {"type": "Duration", "value": {"seconds": 90}},
    {"type": "Pace", "value": {"seconds": 270.5, "per": "Meters"}},
    {"type": "HeartRate", "value": {"bpm": 150}},
    {"type": "Calories", "value": 0},
    {"type": "Custom", "value": {"name": "tempo", "value": {"b": [1, -2, 2.5e3, None, True], "a": "3-1-1"}}},
    {"type": "Custom", "value": {"value": None, "name": ""}},
]

INTENSITIES = [
    {"type": "PercentOfMax", "value": 80},
    {"type": "RPE", "value": 8.5},
    {"type": "RIR", "value": 2},
    {"type": "Bodyweight"},
    {"type": "Bodyweight", "value": None},
    {"type": "Custom", "value": {"name": "zone", "value": [3, {"y": 1, "x": 0.5}]}},
    {"type": "Custom", "value": {"value": 1.0, "name": "feel"}},
]


def plan(leaves, rest_payload='{"type":"Exercise","rest_seconds":90}'):
    exercise = node('{"type":"Exercise"}', rest_payload, "e", leaves)
    block = node('{"type":"Block"}', '{"type":"Block","execution_mode":{"type":"Sequential"},"rest_seconds":null}',
                 "b", [exercise])
    return doc(node('{"type":"Session"}', '{"type":"Temporal","rest_seconds":30}', "s", [block]))


def test_every_measure_variant_and_unit_agree():
    leaves = [node(payload=leaf(measure), node_id=f"m{i}") for i, measure in enumerate(MEASURES)]
    leaves.append(node(payload=leaf(*MEASURES), node_id="all"))  # the first of each variant
    leaves.append(node(payload=leaf(), node_id="none"))
    # A free value with a repeated key, unsorted keys and numbers of every form, as written.
    leaves.append(node(payload='{"type":"Leaf","measures":[{"type":"Custom","value":{"name":"raw",'
                               '"value":{"k":1,"a":{"z":[],"y":{}},"k":-2,"f":1E2,"g":0.000001}}}]}', node_id="raw"))
    assert_walk_agrees("sets", plan(leaves))


def test_every_intensity_variant_agrees():
    leaves = [node(payload=leaf(MEASURES[0], intensity=intensity), node_id=f"i{i}")
              for i, intensity in enumerate(INTENSITIES)]
    leaves.append(node(payload='{"type":"Leaf","measures":[],"intensity":null}', node_id="null"))
    assert_walk_agrees("sets", plan(leaves))


@pytest.mark.parametrize("rest_payload", ['{"type":"Exercise","rest_seconds":90}', '{"type":"Exercise"}',
                                          '{"type":"Exercise","rest_seconds":null}', '{"type":"Custom","rest_seconds":5}'])
def test_rest_comes_from_the_nearest_node_that_states_one(rest_payload):
    assert_walk_agrees("sets", plan([node(node_id="a"), node(node_id="b")], rest_payload))


def test_a_payload_written_before_the_children_and_sets_below_sets_keep_depth_first_order():
    inner = node(node_id="inner", children=[node(node_id="innermost")])
    # Members in writer order (payload last) and with the payload first.
    outer = ('{"id":"outer","kind":{"type":"Set"},"children":[' + inner + "," + node(node_id="sibling") + "],"
             '"payload":' + leaf({"type": "Reps", "value": 1}) + "}")
    first = ('{"payload":' + leaf({"type": "Reps", "value": 2}) + ',"name":"late","kind":{"type":"Day"},'
             '"children":[' + outer + '],"id":"day"}')
    text = doc(first)
    assert_walk_agrees("sets", text)
    rows = pa.table(columns.sets(text)).to_pylist()
    assert [row["id"] for row in rows] == ["day", "outer", "inner", "innermost", "sibling"]
    assert [row["position"] for row in rows] == [0, 0, 0, 0, 1]
    assert rows[2]["day_id"] == "day" and rows[2]["day_name"] == "late"


def test_nearest_groups_by_kind_with_custom_kinds_and_names_between():
    custom = node('{"type":"Custom","value":"Mesocycle"}', '{"type":"Temporal"}', "meso",
                  [node('{"type":"Week"}', '{"type":"Temporal"}', "w2",
                        [node('{"type":"Exercise"}', '{"type":"Exercise"}', "e",
                              [node(node_id="set")])])])
    root = node('{"type":"Program"}', '{"type":"Temporal"}', "p",
                [node('{"type":"Week"}', '{"type":"Temporal"}', "w1", [custom])])
    assert_walk_agrees("sets", doc(root))
    row = pa.table(columns.sets(doc(root))).to_pylist()[0]
    assert (row["week_id"], row["program_id"], row["exercise_id"], row["block_id"]) == ("w2", "p", "e", None)


# ---- what the walk leaves to the general reader ----

@pytest.mark.parametrize("payload", ['{"measures":[],"type":"Leaf"}',
                                     '{"type":"Leaf","measures":[{"value":3,"type":"Reps"}]}',
                                     '{"intensity":{"value":7,"type":"RPE"},"measures":[{"value":{"seconds":9},'
                                     '"type":"Duration"}],"type":"Leaf"}'],
                         ids=["payload tag last", "measure value before its tag", "tags last at two depths"])
def test_tags_not_first_are_walked_where_they_stand(payload):
    assert_walk_agrees("sets", plan([node(node_id="a"), node(node_id="b", payload=payload), node(node_id="c")]))


GIVE_UPS = {
    "a measure in array form": ("sets", doc(node(payload='{"type":"Leaf","measures":[["Reps",3]]}'))),
    "a unit given as {}": ("sets", doc(node(payload=leaf({"type": "Weight", "value": {"amount": 1, "unit": {"Kg": {}}}})))),
    "a rest of -0": ("sets", plan([node()], '{"type":"Exercise","rest_seconds":-0}')),
    "a lap in array form": ("laps", doc(laps='[[0, 10, {}, "Auto", null]]')),
    "a summary value of -0": ("laps", doc(laps='[{"summary": {"a": -0}, "trigger": "Auto"}]')),
    "an index of twenty digits": ("laps", doc(laps='[{"end_index": 18446744073709551615, "trigger": "Auto"}]')),
}


@pytest.mark.parametrize("table, text", GIVE_UPS.values(), ids=GIVE_UPS.keys())
def test_what_the_walk_gives_up_the_general_reader_reads(table, text):
    assert _native._walked(table, text) is None
    assert exact(getattr(columns, table)(text)) == exact(getattr(columns, table)(for_the_general_reader(text)))
    assert len(getattr(columns, table)(text)) == 1


def test_an_escaped_lap_name_is_walked():
    assert_walk_agrees("laps", doc(laps='[{"trigger": "Auto", "name": "a\\"b"}]'))


def test_walked_takes_only_the_three_tables():
    with pytest.raises(ValueError, match="streams, laps or sets"):
        _native._walked("nodes", doc())
    with pytest.raises(TypeError):
        _native._walked("sets")


# ---- samples ----

def sample_tokens(seed):
    """Number tokens of every length around the short form that samples usually take."""
    rng = random.Random(seed)
    tokens = ["0", "0.0", "-0.0", "7", "-7", "0.5", "-0.000001", "99999999.99999999", "12345678.1", "1.12345678",
              "123456789", "123456789.5", "1.123456789", "-12345678.87654321", "9007199254740993", "1e3", "2.5E-3",
              "4.35", "0.1", "0.3", "1.005", "8.5417316", "47.3769673"]
    for _ in range(400):
        whole = str(rng.randint(0, 10 ** rng.randint(0, 9)))
        token = ("-" if rng.random() < 0.3 else "") + whole
        if rng.random() < 0.8:
            token += "." + "".join(rng.choice("0123456789") for _ in range(rng.randint(1, 10)))
        tokens.append(token)
    return tokens


@pytest.mark.parametrize("seed", range(3))
def test_samples_read_as_the_nearest_double_of_their_text(seed):
    tokens = sample_tokens(seed)
    separators = [",", ", ", ",\n  "]
    values = separators[seed].join(tokens)
    # The same samples as timestamps and as a channel, the channel's last ones close to the end.
    text = doc(streams='{"timestamps": [' + values + '], "channels": [{"metric": "Power", '
                       '"data": {"type": "Scalar", "values": [' + values + ']}}]}')
    expected = [float(token).hex() for token in tokens]
    table = pa.table(columns.streams(text))
    for name in ("timestamp", "Power"):
        assert [value.hex() for value in table.column(name).to_pylist()] == expected
    # A negative zero, or more digits than a double holds exactly, holds the walk off;
    # without them it takes the text and still agrees.
    kept = [t for t in tokens if (float(t) != 0 or not t.startswith("-")) and sum(c.isdigit() for c in t) <= 15]
    kept_values = separators[seed].join(kept)
    walked = _native._walked("streams", doc(streams='{"timestamps": [' + kept_values + ']}'))
    assert walked is not None
    assert [v.hex() for v in pa.table(walked).column("timestamp").to_pylist()] == [float(t).hex() for t in kept]
