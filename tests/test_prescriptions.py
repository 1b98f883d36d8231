"""Measures, units, node payloads, execution modes and intensities: the accepted forms,
the normal form written back, and the exact read errors."""

import json

import pytest

import tavrik_workout_sdk as sdk
from conftest import REPS, doc, node, read_error, read_message, table

MEASURE_NAMES = "`Reps`, `Weight`, `Distance`, `Duration`, `Pace`, `HeartRate`, `Calories`, `Custom`"
PAYLOAD_NAMES = "`Leaf`, `Exercise`, `Block`, `Temporal`, `Custom`"
MODE_NAMES = "`Sequential`, `Parallel`, `Circuit`, `Custom`"
INTENSITY_NAMES = "`PercentOfMax`, `RPE`, `RIR`, `Bodyweight`, `Custom`"


def with_payload(payload):
    return doc(node(payload=payload))


def with_measure(measure):
    return with_payload('{"type":"Leaf","measures":[' + measure + "]}")


def with_mode(mode):
    return with_payload('{"type":"Block","execution_mode":' + mode + "}")


def with_intensity(intensity):
    return with_payload('{"type":"Leaf","measures":[' + REPS + '],"intensity":' + intensity + "}")


def written_payload(text):
    return json.loads(sdk.to_json(text))["root"]["payload"]


def assert_same(got, expected):
    # json.dumps keeps member order and tells 90 from 90.0.
    assert json.dumps(got) == json.dumps(expected)


@pytest.mark.parametrize("measure, expected", table(
    ("reps-type-first", '{"type":"Reps","value":10}', {"type": "Reps", "value": 10}),
    ("reps-value-first", '{"value":10,"type":"Reps"}', {"type": "Reps", "value": 10}),
    ("extra-member-dropped", '{"note":[1,{"a":2}],"type":"Reps","value":10}', {"type": "Reps", "value": 10}),
    ("array-with-name", '["Reps",10]', {"type": "Reps", "value": 10}),
    ("array-with-index", "[0,10]", {"type": "Reps", "value": 10}),
    ("tag-object-null", '{"type":{"Reps":null},"value":3}', {"type": "Reps", "value": 3}),
    ("tag-object-empty", '{"value":3,"type":{"Reps":{}}}', {"type": "Reps", "value": 3}),
    ("calories-u32-max", "[6,4294967295]", {"type": "Calories", "value": 4294967295}),
    ("weight-fields-reordered", '{"type":"Weight","value":{"unit":"Lbs","amount":100}}',
     {"type": "Weight", "value": {"amount": 100.0, "unit": "Lbs"}}),
    ("weight-unit-object", '{"type":"Weight","value":{"amount":2.5,"unit":{"Kg":{}}}}',
     {"type": "Weight", "value": {"amount": 2.5, "unit": "Kg"}}),
    ("distance-by-index", '[2,{"amount":5,"unit":"Kilometers"}]',
     {"type": "Distance", "value": {"amount": 5.0, "unit": "Kilometers"}}),
    ("distance-unit-null-object", '["Distance",{"amount":0,"unit":{"Meters":null}}]',
     {"type": "Distance", "value": {"amount": 0.0, "unit": "Meters"}}),
    ("duration-negative", '{"type":"Duration","value":{"seconds":-1.5}}', {"type": "Duration", "value": {"seconds": -1.5}}),
    ("pace-fields-reordered", '{"type":"Pace","value":{"seconds":300,"per":"Miles"}}',
     {"type": "Pace", "value": {"per": "Miles", "seconds": 300.0}}),
    ("heart-rate-extra-field", '[5,{"zone":2,"bpm":150}]', {"type": "HeartRate", "value": {"bpm": 150}}),
    ("custom-null-value", '{"type":"Custom","value":{"name":"rpe","value":null}}',
     {"type": "Custom", "value": {"name": "rpe", "value": None}}),
    ("custom-value-sorted-later-wins", '[7,{"value":{"b":1,"a":[1,1.0,-2],"b":3},"name":"x"}]',
     {"type": "Custom", "value": {"name": "x", "value": {"a": [1, 1.0, -2], "b": 3}}}),
))
def test_measure_reads_and_is_written_in_normal_form(measure, expected):
    assert_same(written_payload(with_measure(measure))["measures"], [expected])


@pytest.mark.parametrize("measure, message", table(
    ("empty-object", "{}", "missing field `type`"),
    ("type-only", '{"type":"Reps"}', "missing field `value`"),
    ("value-only", '{"value":10}', "missing field `type`"),
    ("value-twice-before-type", '{"value":1,"value":2,"type":"Reps"}', "duplicate field `value`"),
    ("type-twice", '{"type":"Reps","type":"Pace"}', "duplicate field `type`"),
    ("value-twice-after-content", '{"type":"Reps","value":10,"value":11}', "duplicate field `value`"),
    ("type-again-after-content", '{"value":10,"type":"Reps","type":"Reps"}', "duplicate field `type`"),
    ("content-error-before-duplicate", '{"type":"Reps","value":-1,"value":2}', "invalid value: integer `-1`, expected u32"),
    ("tag-error-before-content", '{"value":-1,"type":"reps"}', f"unknown variant `reps`, expected one of {MEASURE_NAMES}"),
    ("tag-integer", '{"type":0,"value":1}', "invalid type: integer `0`, expected string or map"),
    ("tag-array", '{"type":["Reps"],"value":1}', "invalid type: sequence, expected string or map"),
    ("tag-empty-object", '{"type":{},"value":1}', "invalid value: map, expected map with a single key"),
    ("tag-two-members", '{"type":{"Reps":null,"Calories":null},"value":1}', "invalid value: map, expected map with a single key"),
    ("tag-member-not-unit", '{"type":{"Reps":1},"value":1}', "invalid type: integer `1`, expected unit"),
    ("tag-name-before-member-value", '{"type":{"Foo":1},"value":1}', f"unknown variant `Foo`, expected one of {MEASURE_NAMES}"),
    ("array-empty", "[]", "invalid length 0, expected adjacently tagged enum Measure"),
    ("array-tag-only", '["Reps"]', "invalid length 1, expected adjacently tagged enum Measure"),
    ("array-three", '["Reps",10,11]', "invalid length 3, expected 2 elements in sequence"),
    ("array-content-before-length", '["Reps",-1,11]', "invalid value: integer `-1`, expected u32"),
    ("array-index-8", "[8,10]", "invalid value: integer `8`, expected variant index 0 <= i < 8"),
    ("array-tag-negative", "[-1,10]", "invalid type: integer `-1`, expected variant identifier"),
    ("array-tag-object", '[{"Reps":null},10]', "invalid type: map, expected variant identifier"),
    ("string", '"Reps"', 'invalid type: string "Reps", expected adjacently tagged enum Measure'),
    ("reps-float", '["Reps",10.0]', "invalid type: floating point `10.0`, expected u32"),
    ("reps-minus-zero", '["Reps",-0]', "invalid type: floating point `-0.0`, expected u32"),
    ("reps-exponent", '["Reps",1e2]', "invalid type: floating point `100.0`, expected u32"),
    ("calories-above-u32", '["Calories",4294967296]', "invalid value: integer `4294967296`, expected u32"),
    ("reps-escaped-string", r'["Reps","a\"b"]', r'invalid type: string "a\"b", expected u32'),
    ("weight-array-content", '["Weight",[100,"Kg"]]', "invalid type: sequence, expected struct variant Measure::Weight"),
    ("custom-string-content", '["Custom","x"]', 'invalid type: string "x", expected struct variant Measure::Custom'),
    ("weight-empty", '["Weight",{}]', "missing field `amount`"),
    ("weight-no-unit", '["Weight",{"amount":100}]', "missing field `unit`"),
    ("field-error-before-missing", '["Weight",{"amount":"100"}]', 'invalid type: string "100", expected f64'),
    ("duplicate-before-its-value", '["Weight",{"amount":1,"amount":"x","unit":"Kg"}]', "duplicate field `amount`"),
    ("weight-unit-unknown", '["Weight",{"amount":1,"unit":"Stone"}]', "unknown variant `Stone`, expected `Kg` or `Lbs`"),
    ("weight-unit-member-not-unit", '["Weight",{"amount":1,"unit":{"Kg":1}}]', "invalid type: integer `1`, expected unit"),
    ("distance-unit-unknown", '["Distance",{"amount":1,"unit":"Yards"}]',
     "unknown variant `Yards`, expected one of `Meters`, `Kilometers`, `Miles`"),
    ("distance-unit-empty-object", '["Distance",{"amount":1,"unit":{}}]', "invalid value: map, expected map with a single key"),
    ("distance-unit-integer", '["Distance",{"amount":1,"unit":0}]', "invalid type: integer `0`, expected string or map"),
    ("pace-array-content", '["Pace",[300,"Kilometers"]]', "invalid type: sequence, expected struct variant Measure::Pace"),
    ("pace-no-per", '["Pace",{"seconds":300}]', "missing field `per`"),
    ("duration-seconds-string", '["Duration",{"seconds":"60"}]', 'invalid type: string "60", expected f64'),
    ("heart-rate-float", '["HeartRate",{"bpm":150.5}]', "invalid type: floating point `150.5`, expected u32"),
    ("custom-no-value", '["Custom",{"name":"rpe"}]', "missing field `value`"),
    ("custom-no-name", '["Custom",{"value":1}]', "missing field `name`"),
    ("custom-name-not-string", '["Custom",{"name":1,"value":1}]', "invalid type: integer `1`, expected a string"),
    ("first-bad-element-wins", '["Reps",1],["Reps",-2],["Reps",-3]', "invalid value: integer `-2`, expected u32"),
))
def test_measure_read_errors(measure, message):
    assert read_message(with_measure(measure)) == message


@pytest.mark.parametrize("payload, expected", table(
    ("tag-last", '{"rest_seconds":30,"type":"Temporal"}', {"type": "Temporal", "rest_seconds": 30.0}),
    ("null-rest-absent", '{"type":"Temporal","rest_seconds":null}', {"type": "Temporal"}),
    ("other-members-ignored", '{"type":"Temporal","bpm":150,"measures":"x","execution_mode":5}', {"type": "Temporal"}),
    ("deep-ignored-member", '{"type":"Temporal","x":' + "[" * 124 + "]" * 124 + "}", {"type": "Temporal"}),
    ("exercise-bare", '{"type":"Exercise"}', {"type": "Exercise"}),
    ("exercise-empty-measures-left-out", '{"type":"Exercise","measures":[]}', {"type": "Exercise"}),
    ("exercise-member-order", '{"rest_seconds":90,"intensity":{"type":"RPE","value":8},"measures":[' + REPS + '],"type":"Exercise"}',
     {"type": "Exercise", "measures": [{"type": "Reps", "value": 5}], "intensity": {"type": "RPE", "value": 8.0},
      "rest_seconds": 90.0}),
    ("leaf-empty-measures-kept", '{"type":"Leaf","measures":[],"intensity":null}', {"type": "Leaf", "measures": []}),
    ("block", '{"type":"Block","rest_seconds":-5,"execution_mode":{"type":"Sequential"}}',
     {"type": "Block", "execution_mode": {"type": "Sequential"}, "rest_seconds": -5.0}),
    ("custom-sorted-later-wins", '{"b":1,"type":"Custom","a":{"y":2,"x":1},"n":null,"b":[3]}',
     {"type": "Custom", "a": {"x": 1, "y": 2}, "b": [3], "n": None}),
    ("custom-empty", '{"type":"Custom"}', {"type": "Custom"}),
    ("positional-temporal", '["Temporal",30]', {"type": "Temporal", "rest_seconds": 30.0}),
    ("positional-leaf", '["Leaf",[' + REPS + '],{"type":"RIR","value":2}]',
     {"type": "Leaf", "measures": [{"type": "Reps", "value": 5}], "intensity": {"type": "RIR", "value": 2}}),
    ("positional-exercise", '["Exercise",[],null,90]', {"type": "Exercise", "rest_seconds": 90.0}),
    ("positional-block", '["Block",{"type":"Parallel"},null]', {"type": "Block", "execution_mode": {"type": "Parallel"}}),
))
def test_payload_reads_and_is_written_in_normal_form(payload, expected):
    assert_same(written_payload(with_payload(payload)), expected)


@pytest.mark.parametrize("payload, message", table(
    ("string", '"Leaf"', 'invalid type: string "Leaf", expected internally tagged enum NodePayload'),
    ("null", "null", "invalid type: null, expected internally tagged enum NodePayload"),
    ("integer", "5", "invalid type: integer `5`, expected internally tagged enum NodePayload"),
    ("no-tag", '{"rest_seconds":1}', "missing field `type`"),
    ("empty-array", "[]", "missing field `type`"),
    ("unknown-tag", '{"type":"leaf"}', f"unknown variant `leaf`, expected one of {PAYLOAD_NAMES}"),
    ("tag-integer", '{"type":1}', "invalid type: integer `1`, expected variant identifier"),
    ("tag-object", '{"type":{"Leaf":null}}', "invalid type: map, expected variant identifier"),
    ("positional-tag-integer", "[1]", "invalid type: integer `1`, expected variant identifier"),
    ("tag-twice", '{"type":"Temporal","type":"Temporal"}', "duplicate field `type`"),
    ("second-tag-not-examined", '{"type":"Temporal","type":5}', "duplicate field `type`"),
    ("tag-before-members", '{"measures":5,"type":"Leaf","type":"Leaf"}', "duplicate field `type`"),
    ("leaf-no-measures", '{"type":"Leaf"}', "missing field `measures`"),
    ("leaf-null-measures", '{"type":"Leaf","measures":null}', "invalid type: null, expected a sequence"),
    ("leaf-measures-object", '{"type":"Leaf","measures":{}}', "invalid type: map, expected a sequence"),
    ("measures-twice", '{"type":"Leaf","measures":[],"measures":[]}', "duplicate field `measures`"),
    ("rest-twice", '{"type":"Temporal","rest_seconds":1,"rest_seconds":2}', "duplicate field `rest_seconds`"),
    ("rest-string", '{"type":"Exercise","rest_seconds":"90"}', 'invalid type: string "90", expected f64'),
    ("block-no-mode", '{"type":"Block"}', "missing field `execution_mode`"),
    ("field-error-before-missing", '{"type":"Block","rest_seconds":"x"}', 'invalid type: string "x", expected f64'),
    ("block-null-mode", '{"type":"Block","execution_mode":null}',
     "invalid type: null, expected adjacently tagged enum ExecutionMode"),
    ("leaf-intensity-string", '{"type":"Leaf","measures":[],"intensity":"RPE"}',
     'invalid type: string "RPE", expected adjacently tagged enum Intensity'),
    ("positional-leaf-tag-only", '["Leaf"]', "invalid length 0, expected struct variant NodePayload::Leaf with 2 elements"),
    ("positional-leaf-short", '["Leaf",[]]', "invalid length 1, expected struct variant NodePayload::Leaf with 2 elements"),
    ("positional-exercise-tag-only", '["Exercise"]', "invalid length 1, expected struct variant NodePayload::Exercise with 3 elements"),
    ("positional-exercise-short", '["Exercise",[],null]', "invalid length 2, expected struct variant NodePayload::Exercise with 3 elements"),
    ("positional-block-tag-only", '["Block"]', "invalid length 0, expected struct variant NodePayload::Block with 2 elements"),
    ("positional-block-short", '["Block",{"type":"Parallel"}]', "invalid length 1, expected struct variant NodePayload::Block with 2 elements"),
    ("positional-temporal-tag-only", '["Temporal"]', "invalid length 0, expected struct variant NodePayload::Temporal with 1 element"),
    ("positional-temporal-long", '["Temporal",30,1]', "invalid length 2, expected 1 element in sequence"),
    ("positional-leaf-long", '["Leaf",[],null,1]', "invalid length 3, expected 2 elements in sequence"),
    ("positional-exercise-long", '["Exercise",[],null,null,1]', "invalid length 4, expected 3 elements in sequence"),
    ("positional-custom", '["Custom"]', "invalid type: sequence, expected struct variant NodePayload::Custom"),
))
def test_payload_read_errors(payload, message):
    assert read_message(with_payload(payload)) == message


# In these documents the payload value starts at line 1 column 74. Errors found while the
# payload is read point into it; errors found once it has been read point at or after its
# end: at the node's closing brace when only whitespace separates them, else at the last
# byte before the next member.
@pytest.mark.parametrize("text, message, line, column", table(
    ("missing-field-at-node-brace", with_payload('{"type":"Leaf"}'), "missing field `measures`", 1, 89),
    ("before-next-member", doc(node(payload='{"type":"Leaf"}', children=[])), "missing field `measures`", 1, 88),
    ("last-space-before-comma", doc(node(payload='{"type":"Leaf"}  ', children=[])), "missing field `measures`", 1, 90),
    ("node-brace-after-spaces", with_payload('{"type":"Leaf"}  '), "missing field `measures`", 1, 91),
    ("node-brace-next-line", with_payload('{"type":"Leaf"}\n'), "missing field `measures`", 2, 1),
    ("measure-error-not-at-member", with_measure('{"type":"Reps","value":-1}'), "invalid value: integer `-1`, expected u32", 1, 129),
    ("intensity-error", with_payload('{"type":"Leaf","measures":[],"intensity":{"type":"RPE"}}'), "missing field `value`", 1, 130),
    ("positional-length", with_payload('["Temporal"]'),
     "invalid length 0, expected struct variant NodePayload::Temporal with 1 element", 1, 86),
    ("child-node-brace", doc(node(payload='{"type":"Temporal"}', children=[node(node_id="c", payload='{"type":"Leaf"}')])),
     "missing field `measures`", 1, 163),
    ("no-tag-at-payload-brace", with_payload('{"measures":[]}'), "missing field `type`", 1, 88),
    ("unknown-tag-at-its-quote", with_payload('{"type":"leaf"}'), f"unknown variant `leaf`, expected one of {PAYLOAD_NAMES}", 1, 87),
    ("second-tag-at-key-quote", with_payload('{"type":"Leaf","type":"Leaf"}'), "duplicate field `type`", 1, 94),
    ("not-an-object-at-quote", with_payload('"Leaf"'), 'invalid type: string "Leaf", expected internally tagged enum NodePayload', 1, 79),
    ("malformed-member-value", with_payload('{"type":"Leaf","measures":[1,]}'), "trailing comma", 1, 103),
    ("buffered-member-takes-nesting", with_payload('{"type":"Temporal","x":' + "[" * 125 + "]" * 125 + "}"),
     "recursion limit exceeded", 1, 221),
))
def test_payload_error_positions(text, message, line, column):
    assert read_error(text) == (message, line, column)


@pytest.mark.parametrize("mode, expected", table(
    ("sequential", '{"type":"Sequential"}', {"type": "Sequential"}),
    ("null-content", '{"type":"Parallel","value":null}', {"type": "Parallel"}),
    ("tag-object-null", '{"type":{"Parallel":null}}', {"type": "Parallel"}),
    ("tag-object-empty", '{"note":1,"type":{"Parallel":{}}}', {"type": "Parallel"}),
    ("array-index", "[1,null]", {"type": "Parallel"}),
    ("array-name", '["Sequential",null]', {"type": "Sequential"}),
    ("circuit-value-first", '{"value":{"rounds":3},"type":"Circuit"}', {"type": "Circuit", "value": {"rounds": 3}}),
    ("circuit-extra-member", '{"type":"Circuit","value":{"laps":9,"rounds":0}}', {"type": "Circuit", "value": {"rounds": 0}}),
    ("circuit-by-index", '[2,{"rounds":4294967295}]', {"type": "Circuit", "value": {"rounds": 4294967295}}),
    ("custom", '{"type":"Custom","value":"superset"}', {"type": "Custom", "value": "superset"}),
))
def test_execution_mode_reads(mode, expected):
    assert_same(written_payload(with_mode(mode))["execution_mode"], expected)


@pytest.mark.parametrize("mode, message", table(
    ("empty-object", "{}", "missing field `type`"),
    ("value-only", '{"value":null}', "missing field `type`"),
    ("circuit-no-value", '{"type":"Circuit"}', "missing field `value`"),
    ("custom-no-value", '{"type":"Custom"}', "missing field `value`"),
    ("type-twice", '{"type":"Sequential","type":"Parallel"}', "duplicate field `type`"),
    ("value-twice-before-type", '{"value":null,"value":null,"type":"Sequential"}', "duplicate field `value`"),
    ("content-error-before-duplicate", '{"type":"Custom","value":1,"type":"Custom"}', "invalid type: integer `1`, expected a string"),
    ("unknown", '{"type":"sequential"}', f"unknown variant `sequential`, expected one of {MODE_NAMES}"),
    ("tag-integer", '{"type":1}', "invalid type: integer `1`, expected string or map"),
    ("tag-empty-object", '{"type":{}}', "invalid value: map, expected map with a single key"),
    ("tag-member-not-unit", '{"type":{"Parallel":0}}', "invalid type: integer `0`, expected unit"),
    ("array-empty", "[]", "invalid length 0, expected adjacently tagged enum ExecutionMode"),
    ("array-tag-only", '["Parallel"]', "invalid length 1, expected adjacently tagged enum ExecutionMode"),
    ("array-three", '["Parallel",null,null]', "invalid length 3, expected 2 elements in sequence"),
    ("array-index-4", "[4,null]", "invalid value: integer `4`, expected variant index 0 <= i < 4"),
    ("array-tag-negative", "[-1,null]", "invalid type: integer `-1`, expected variant identifier"),
    ("string", '"Sequential"', 'invalid type: string "Sequential", expected adjacently tagged enum ExecutionMode'),
    ("sequential-content", '{"type":"Sequential","value":0}', "invalid type: integer `0`, expected unit variant ExecutionMode::Sequential"),
    ("parallel-content", '{"type":"Parallel","value":{}}', "invalid type: map, expected unit variant ExecutionMode::Parallel"),
    ("circuit-array", '{"type":"Circuit","value":[3]}', "invalid type: sequence, expected struct variant ExecutionMode::Circuit"),
    ("circuit-no-rounds", '{"type":"Circuit","value":{}}', "missing field `rounds`"),
    ("circuit-rounds-twice", '{"type":"Circuit","value":{"rounds":1,"rounds":2}}', "duplicate field `rounds`"),
    ("circuit-rounds-negative", '{"type":"Circuit","value":{"rounds":-1}}', "invalid value: integer `-1`, expected u32"),
    ("circuit-rounds-float", '{"type":"Circuit","value":{"rounds":2.5}}', "invalid type: floating point `2.5`, expected u32"),
    ("custom-null", '{"type":"Custom","value":null}', "invalid type: null, expected a string"),
))
def test_execution_mode_read_errors(mode, message):
    assert read_message(with_mode(mode)) == message


@pytest.mark.parametrize("intensity, expected", table(
    ("percent-integer", '{"type":"PercentOfMax","value":85}', {"type": "PercentOfMax", "value": 85.0}),
    ("percent-no-range", '[0,250]', {"type": "PercentOfMax", "value": 250.0}),
    ("rpe-value-first", '{"value":8.5,"type":"RPE"}', {"type": "RPE", "value": 8.5}),
    ("rpe-negative", '{"type":{"RPE":{}},"value":-1}', {"type": "RPE", "value": -1.0}),
    ("rir", '{"type":"RIR","value":2}', {"type": "RIR", "value": 2}),
    ("rir-by-index", "[2,3]", {"type": "RIR", "value": 3}),
    ("bodyweight", '{"type":"Bodyweight"}', {"type": "Bodyweight"}),
    ("custom-fields-ordered", '{"type":"Custom","value":{"value":{"z":1,"a":[1.5]},"x":0,"name":"zone"}}',
     {"type": "Custom", "value": {"name": "zone", "value": {"a": [1.5], "z": 1}}}),
    ("custom-null-value", '[4,{"name":"z","value":null}]', {"type": "Custom", "value": {"name": "z", "value": None}}),
))
def test_intensity_reads(intensity, expected):
    assert_same(written_payload(with_intensity(intensity))["intensity"], expected)


@pytest.mark.parametrize("intensity, message", table(
    ("rir-float", '{"type":"RIR","value":2.0}', "invalid type: floating point `2.0`, expected u32"),
    ("rpe-string", '{"type":"RPE","value":"8"}', 'invalid type: string "8", expected f64'),
    ("rpe-no-value", '{"type":"RPE"}', "missing field `value`"),
    ("bodyweight-content", '{"type":"Bodyweight","value":0}', "invalid type: integer `0`, expected unit variant Intensity::Bodyweight"),
    ("custom-no-value", '{"type":"Custom","value":{"name":"feel"}}', "missing field `value`"),
    ("custom-no-name", '{"type":"Custom","value":{"value":1}}', "missing field `name`"),
    ("custom-name-twice", '{"type":"Custom","value":{"name":"a","name":"b","value":1}}', "duplicate field `name`"),
    ("custom-name-integer", '{"type":"Custom","value":{"name":1,"value":1}}', "invalid type: integer `1`, expected a string"),
    ("custom-array", '{"type":"Custom","value":["a",1]}', "invalid type: sequence, expected struct variant Intensity::Custom"),
    ("array-index-5", "[5,1]", "invalid value: integer `5`, expected variant index 0 <= i < 5"),
    ("array-empty", "[]", "invalid length 0, expected adjacently tagged enum Intensity"),
    ("array-tag-only", '["RPE"]', "invalid length 1, expected adjacently tagged enum Intensity"),
    ("unknown", '{"type":"rpe","value":1}', f"unknown variant `rpe`, expected one of {INTENSITY_NAMES}"),
    ("tag-array", '{"type":[],"value":1}', "invalid type: sequence, expected string or map"),
    ("integer", "1", "invalid type: integer `1`, expected adjacently tagged enum Intensity"),
))
def test_intensity_read_errors(intensity, message):
    assert read_message(with_intensity(intensity)) == message
