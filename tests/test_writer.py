"""The normalised text written by to_json, and the Python objects built by parse_workout."""

import json
import re
import struct

import pytest

import tavrik_workout_sdk as sdk
from conftest import SET_NODE, doc, node


def assert_same(actual, expected, path="$"):
    """Equal values of the same Python types, dict keys in the same order, floats bit for bit."""
    assert type(actual) is type(expected), (path, actual, expected)
    if isinstance(expected, dict):
        assert list(actual) == list(expected), path
        for key in expected:
            assert_same(actual[key], expected[key], f"{path}.{key}")
    elif isinstance(expected, list):
        assert len(actual) == len(expected), path
        for index, (item, want) in enumerate(zip(actual, expected)):
            assert_same(item, want, f"{path}[{index}]")
    elif isinstance(expected, float):
        assert struct.pack("<d", actual) == struct.pack("<d", expected), (path, actual, expected)
    else:
        assert actual == expected, path


def table(rows):
    """parametrize arguments for rows whose first item is the case id."""
    return dict(argvalues=[row[1:] for row in rows], ids=[row[0] for row in rows])


def flat(text):
    """The written text without its line feeds and indentation (strings never hold raw line feeds)."""
    return re.sub(r"\n *", "", text)


HEAD = '{"id": "w","version": "1","root": '
SET_FLAT = '{"id": "s","kind": {"type": "Set"},"payload": {"type": "Leaf","measures": [{"type": "Reps","value": 5}]}}'

FULL = ('{"version":"1","id":"w","root":{"id":"r","kind":{"type":"Session"},"children":[{"id":"d","kind":'
        '{"type":"Day"},"payload":{"type":"Temporal"}}],"payload":{"type":"Temporal","rest_seconds":60}},'
        '"metadata":{"z":[{},[]],"a":{}}}')

FULL_WRITTEN = """{
  "id": "w",
  "version": "1",
  "root": {
    "id": "r",
    "kind": {
      "type": "Session"
    },
    "children": [
      {
        "id": "d",
        "kind": {
          "type": "Day"
        },
        "payload": {
          "type": "Temporal"
        }
      }
    ],
    "payload": {
      "type": "Temporal",
      "rest_seconds": 60.0
    }
  },
  "metadata": {
    "a": {},
    "z": [
      {},
      []
    ]
  }
}"""


def test_full_document_layout_is_exact():
    # Two-space indentation per level, ": " after keys, no final line feed, members in record order.
    assert sdk.to_json(FULL) == FULL_WRITTEN
    assert_same(sdk.parse_workout(FULL), json.loads(FULL_WRITTEN))


def test_absent_null_and_empty_members_are_left_out():
    text = doc(SET_NODE, sport="null", date="null", streams="null", laps="[]", metadata="{}", notes='[1,{"x":true}]')
    assert flat(sdk.to_json(text)) == HEAD + SET_FLAT + "}"
    assert list(sdk.parse_workout(text)) == ["id", "version", "root"]


LEAF = '{"type": "Leaf","measures": [{"type": "Reps","value": 5}]'


def normal(case_id, member, text):
    """A case whose input is already in the written form."""
    return case_id, member, text, text


CASES = [
    normal("reps-calories", "payload", '{"type": "Leaf","measures": [{"type": "Reps","value": 0},'
           '{"type": "Calories","value": 4294967295}]}'),
    normal("weights-distances", "payload", '{"type": "Leaf","measures": [{"type": "Weight","value": {"amount": 100.5,'
           '"unit": "Lbs"}},{"type": "Weight","value": {"amount": -2.5,"unit": "Kg"}},{"type": "Distance","value": '
           '{"amount": 5.0,"unit": "Kilometers"}},{"type": "Distance","value": {"amount": 0.0,"unit": "Meters"}},'
           '{"type": "Distance","value": {"amount": 1.0,"unit": "Miles"}}]}'),
    normal("duration-pace-heart-rate", "payload", '{"type": "Leaf","measures": [{"type": "Duration","value": '
           '{"seconds": 60.0}},{"type": "Pace","value": {"per": "Miles","seconds": 300.0}},{"type": "HeartRate",'
           '"value": {"bpm": 150}}]}'),
    normal("custom-measure", "payload", '{"type": "Leaf","measures": [{"type": "Custom","value": {"name": "feel",'
           '"value": {"a": [-3,0.5,null,true,"x"],"b": {}}}},{"type": "Custom","value": {"name": "","value": null}}]}'),
    normal("percent", "payload", LEAF + ',"intensity": {"type": "PercentOfMax","value": 85.5}}'),
    normal("rpe", "payload", LEAF + ',"intensity": {"type": "RPE","value": 8.0}}'),
    normal("rir", "payload", LEAF + ',"intensity": {"type": "RIR","value": 2}}'),
    normal("bodyweight", "payload", LEAF + ',"intensity": {"type": "Bodyweight"}}'),
    normal("custom-intensity", "payload", LEAF + ',"intensity": {"type": "Custom","value": {"name": "zone",'
           '"value": [1,{}]}}}'),
    normal("leaf-without-measures", "payload", '{"type": "Leaf","measures": []}'),
    normal("exercise-bare", "payload", '{"type": "Exercise"}'),
    normal("exercise-full", "payload", '{"type": "Exercise","measures": [{"type": "Reps","value": 8}],'
           '"intensity": {"type": "RIR","value": 1},"rest_seconds": 90.0}'),
    normal("sequential", "payload", '{"type": "Block","execution_mode": {"type": "Sequential"},"rest_seconds": 0.5}'),
    normal("parallel", "payload", '{"type": "Block","execution_mode": {"type": "Parallel"}}'),
    normal("circuit", "payload", '{"type": "Block","execution_mode": {"type": "Circuit","value": {"rounds": 3}}}'),
    normal("custom-mode", "payload", '{"type": "Block","execution_mode": {"type": "Custom","value": "superset"}}'),
    normal("temporal", "payload", '{"type": "Temporal","rest_seconds": 60.0}'),
    normal("temporal-bare", "payload", '{"type": "Temporal"}'),
    normal("custom-payload", "payload", '{"type": "Custom","Type": null,"a": {"x": 1,"y": [{},[]]},"b": -1}'),
    normal("custom-payload-bare", "payload", '{"type": "Custom"}'),
    ("custom-fields-sorted", "payload", '{"b":1,"type":"Custom","a":{"y":2,"x":1},"b":[{},[]]}',
     '{"type": "Custom","a": {"x": 1,"y": 2},"b": [{},[]]}'),
    *[normal(kind.lower(), "kind", '{"type": "' + kind + '"}')
      for kind in ["Set", "Exercise", "Block", "Session", "Day", "Week", "Phase", "Program"]],
    normal("custom-kind", "kind", '{"type": "Custom","value": "Meso"}'),
    *[normal("metric-" + m, "streams", '{"timestamps": [0.0,1.5],"channels": [{"metric": "' + m + '","data": '
             '{"type": "Scalar","values": [-1.0,2.5]}}]}')
      for m in ["HeartRate", "Speed", "Cadence", "Power", "Altitude", "Grade", "Temperature", "Position"]],
    normal("positions", "streams", '{"timestamps": [],"channels": [{"metric": {"Custom": "gps"},"data": {"type": '
           '"Position","values": [null,{"lat": 1.0,"lng": 2.0},{"lat": -0.5,"lng": 3.0,"altitude": -10.0}]}}]}'),
    normal("streams-bare", "streams", '{"timestamps": []}'),
    normal("triggers", "laps", '[' + ",".join('{"trigger": "' + t + '"}' for t in
                                              ["Manual", "Distance", "Time", "HeartRateZone", "Auto"]) + ']'),
    normal("lap-full", "laps", '[{"start_index": 0,"end_index": 18446744073709551615,"summary": {"a": 3.0,'
           '"z": 1.0},"trigger": {"Custom": "pool end"},"name": ""}]'),
    ("metadata-numbers", "metadata", '{"u":18446744073709551615,"n":-9223372036854775808,"z":-0,"f":1.0,'
     '"v":18446744073709551616,"e":1E2}', '{"e": 100.0,"f": 1.0,"n": -9223372036854775808,'
     '"u": 18446744073709551615,"v": 1.8446744073709552e+19,"z": -0.0}'),
    ("metadata-escaped-keys", "metadata", '{"\\u0001k\\"":true,"\\u00e9":1,"z":2}',
     '{"\\u0001k\\"": true,"z": 2,"\u00e9": 1}'),
]


@pytest.mark.parametrize("member, text, written", **table(CASES))
def test_written_form(member, text, written):
    if member == "payload":
        document, expected = doc(node(payload=text)), '{"id": "n","kind": {"type": "Set"},"payload": ' + written + "}}"
    elif member == "kind":
        document = doc(node(kind=text, payload='{"type":"Temporal"}'))
        expected = '{"id": "n","kind": ' + written + ',"payload": {"type": "Temporal"}}}'
    else:
        document, expected = doc(SET_NODE, **{member: text}), SET_FLAT + ',"' + member + '": ' + written + "}"
    assert flat(sdk.to_json(document)) == HEAD + expected


FLOATS = [("1e16", "1e+16"), ("1e15", "1000000000000000.0"), ("0.1", "0.1"), ("5", "5.0"), ("-0.0", "-0.0"),
          ("-0", "-0.0"), ("0", "0.0"), ("-100", "-100.0"), ("12.34", "12.34"), ("5e-324", "5e-324"),
          ("4.9e-324", "5e-324"), ("2.2250738585072014e-308", "2.2250738585072014e-308"),
          ("1.7976931348623157e308", "1.7976931348623157e+308"), ("1e-7", "1e-7"), ("0.00001", "0.00001"),
          ("0.000001", "1e-6"), ("2.5E-7", "2.5e-7"), ("1.5e300", "1.5e+300"), ("100e-2", "1.0"),
          ("123456789012345.6", "123456789012345.6"), ("9007199254740993", "9007199254740992.0"),
          ("18446744073709551616", "1.8446744073709552e+19"), ("0.30000000000000004", "0.30000000000000004"),
          ("1e-400", "0.0"), ("1.2345678901234567e-300", "1.2345678901234568e-300"),
          ("2.2250738585072011e-308", "2.225073858507201e-308"), ("9.553557779573523e+233", "9.553557779573523e+233")]


@pytest.mark.parametrize("literal, written", FLOATS, ids=[row[0] for row in FLOATS])
def test_double_written_in_shortest_round_trip_form(literal, written):
    text = sdk.to_json(doc(node('{"type":"Session"}', '{"type":"Temporal","rest_seconds":' + literal + "}")))
    assert text.endswith('"rest_seconds": ' + written + "\n    }\n  }\n}")
    assert sdk.to_json(text) == text


STRINGS = [("quote-backslash", '"a\\"b\\\\c"', '"a\\"b\\\\c"'),
           ("short-escapes", '"\\b\\f\\n\\r\\t"', '"\\b\\f\\n\\r\\t"'),
           ("other-controls", '"\\u0001\\u001F\\u000b\\u0000"', '"\\u0001\\u001f\\u000b\\u0000"'),
           ("slash", '"a\\/b/c"', '"a/b/c"'),
           ("non-ascii-and-del", '"\u00e9\\u00e9\\u2603\\ud83d\\ude00\x7f"', '"\u00e9\u00e9\u2603\U0001f600\x7f"')]


@pytest.mark.parametrize("literal, written", **table(STRINGS))
def test_string_escaping(literal, written):
    text = sdk.to_json('{"id":' + literal + ',"version":"1","root":' + SET_NODE + "}")
    assert text.startswith('{\n  "id": ' + written + ',\n  "version": "1",\n')
    assert sdk.parse_workout(text)["id"] == json.loads(literal)


def test_parsed_workout_exact_objects():
    text = ('{"id": "w1", "version": "1", "root": {"id": "s1", "kind": {"type": "Set"}, "payload": {"type": "Leaf",'
            ' "measures": [{"type": "Reps", "value": 10}]}}, "metadata": {"b": true, "a": [1, 2.5, null]},'
            ' "streams": [[1], [["Position", ["Position", [null, {"lat": 1, "lng": 2}]]]]]}')
    assert_same(sdk.parse_workout(text), {
        "id": "w1", "version": "1",
        "root": {"id": "s1", "kind": {"type": "Set"},
                 "payload": {"type": "Leaf", "measures": [{"type": "Reps", "value": 10}]}},
        "streams": {"timestamps": [1.0], "channels": [{"metric": "Position", "data": {
            "type": "Position", "values": [None, {"lat": 1.0, "lng": 2.0}]}}]},
        "metadata": {"a": [1, 2.5, None], "b": True}})


INVALID = [
    ("empty-block", node('{"type":"Block"}', '{"type":"Block","execution_mode":{"type":"Parallel"}}', "b"),
     "b: Block node must have at least one child"),
    ("two-errors", node('{"type":"Exercise"}', '{"type":"Leaf","measures":[]}', "x"),
     "x: NodeKind Exercise does not match payload variant; x: Set node must have at least one measure"),
    ("last-node-of-deep-tree", node('{"type":"Session"}', '{"type":"Temporal"}', "r", [SET_NODE] * 3 + [
        node('{"type":"Day"}', '{"type":"Temporal"}', "d", [SET_NODE, node(node_id="bad", kind='{"type":"Week"}')])]),
     "bad: NodeKind Week does not match payload variant"),
]


@pytest.mark.parametrize("root, message", **table(INVALID))
def test_validation_errors_refuse_the_whole_conversion(root, message):
    text = doc(root, metadata='{"k":[1,{"x":2}]}')
    with pytest.raises(ValueError) as caught:
        sdk.parse_workout(text)
    assert caught.value.args == ("validation errors: " + message,)
    assert "; ".join(sdk.validate_workout(text)) == message
    assert json.loads(sdk.to_json(text))["root"]["id"] == json.loads(root)["id"]


def test_strings_of_every_short_length_either_way():
    # Strings up to past 64 bytes meet the writer's fixed-width moves at each of their
    # edges, with a character that is not ASCII and an escape at the start, inside and at
    # the end; the metadata is last, so its string ends within the last bytes of the text.
    # The unknown member sends the text through the model, its absence straight to the
    # re-indenting (for strings without escapes).
    for size in range(0, 70):
        plain = "".join(chr(ord("a") + i % 26) for i in range(size))
        cases = [plain, "\u00e9" + plain, plain + "\u20ac", plain[: size // 2] + "\U0001f600" + plain[size // 2:],
                 '"' + plain, plain + "\\", plain[: size // 3] + "\x1f" + plain[size // 3:] + "\n"]
        for value in cases:
            document = {"id": value, "version": "1", "root": json.loads(SET_NODE), "metadata": {"k": value}}
            expected = json.dumps(document, indent=2, ensure_ascii=False)
            text = json.dumps(document, ensure_ascii=False)
            assert sdk.to_json(text) == expected, value
            assert sdk.to_json('{"~": 0, ' + text[1:]) == expected, value
