"""Recorded streams and laps: accepted forms, how they are written back, every message.

Templates hold `@` where the value under test goes; expected columns are relative to the
value (column k is the k-th byte of the value, 0 the byte before it, None: not checked).
"""

import json
import os
import subprocess
import sys
import textwrap

import pytest

import tavrik_workout_sdk as sdk
from conftest import doc, read_error, read_message, table

STREAMS = doc(streams="@")
CHANNEL = doc(streams='{"timestamps":[],"channels":[@]}')
METRIC = CHANNEL.replace("@", '{"metric":@,"data":["Scalar",[]]}')
DATA = CHANNEL.replace("@", '{"metric":"Power","data":@}')
SAMPLE = DATA.replace("@", '{"type":"Position","values":[@]}')
LAP = doc(laps="[@]")
TRIGGER = LAP.replace("@", '{"trigger":@,"name":"x"}')
SUMMARY = LAP.replace("@", '{"summary":@,"trigger":"Manual"}')
NAME = LAP.replace("@", '{"name":@,"trigger":"Manual"}')

STREAMS_AT, LAP_AT = ("streams",), ("laps", 0)
DATA_AT = ("streams", "channels", 0, "data")
METRIC_AT = ("streams", "channels", 0, "metric")
TRIGGER_AT = ("laps", 0, "trigger")

METRIC_NAMES = ("one of `HeartRate`, `Speed`, `Cadence`, `Power`, `Altitude`, `Grade`, "
                "`Temperature`, `Position`, `Custom`")
TRIGGER_NAMES = "one of `Manual`, `Distance`, `Time`, `HeartRateZone`, `Auto`, `Custom`"
TAGS = "`Scalar` or `Position`"


def assert_written(text, path, expected):
    """to_json and parse_workout both give `expected` at `path`: same keys in the same
    order, doubles as floats, absent entries as null."""
    want = json.dumps(expected)
    for got in (json.loads(sdk.to_json(text)), sdk.parse_workout(text)):
        for key in path:
            got = got[key]
        assert json.dumps(got) == want


def assert_error(template, value, message, column):
    text = template.replace("@", value)
    if column is None:
        assert read_message(text) == message
    else:
        assert read_error(text) == (message, 1, template.index("@") + column)


P = {"lat": 1.0, "lng": 2.0}
P3 = {"lat": 1.0, "lng": 2.0, "altitude": 3.0}
NUMBERS = "[-0,7,18446744073709551615,-9223372036854775809,1e2,0.5]"
DOUBLES = {"type": "Scalar", "values": [-0.0, 7.0, 2.0**64, -2.0**63, 100.0, 0.5]}
SCALARS = {"type": "Scalar", "values": [1.0, 2.5]}


@pytest.mark.parametrize("template, path, value, expected", table(
    ("streams-empty", STREAMS, STREAMS_AT, '{"timestamps":[]}', {"timestamps": []}),
    ("streams-empty-channels-left-out", STREAMS, STREAMS_AT, '{"channels":[],"timestamps":[0,1.5]}',
     {"timestamps": [0.0, 1.5]}),
    ("streams-array-channels-default", STREAMS, STREAMS_AT, "[[0,1]]", {"timestamps": [0.0, 1.0]}),
    ("streams-and-stream-array-forms", STREAMS, STREAMS_AT, '[[0],[["Speed",["Scalar",[7]]]]]',
     {"timestamps": [0.0], "channels": [{"metric": "Speed", "data": {"type": "Scalar", "values": [7.0]}}]}),
    ("stream-members-in-declaration-order", STREAMS, STREAMS_AT,
     '{"channels":[{"data":{"values":[1],"type":"Scalar"},"metric":"Grade"}],"timestamps":[]}',
     {"timestamps": [], "channels": [{"metric": "Grade", "data": {"type": "Scalar", "values": [1.0]}}]}),
    ("scalar-ints-become-doubles", DATA, DATA_AT, '{"type":"Scalar","values":[1,2.5]}', SCALARS),
    ("scalar-values-first", DATA, DATA_AT, '{"values":[1,2.5],"type":"Scalar"}', SCALARS),
    ("scalar-number-forms", DATA, DATA_AT, '{"type":"Scalar","values":' + NUMBERS + "}", DOUBLES),
    ("scalar-number-forms-buffered", DATA, DATA_AT, '{"values":' + NUMBERS + ',"type":"Scalar"}', DOUBLES),
    ("data-extra-members-skipped", DATA, DATA_AT, '{"a":1,"values":[1,2.5],"b":[[]],"type":"Scalar","c":{}}',
     SCALARS),
    ("data-tag-object", DATA, DATA_AT, '{"type":{"Scalar":null},"values":[1,2.5]}', SCALARS),
    ("data-tag-object-buffered", DATA, DATA_AT, '{"values":[1,2.5],"type":{"Scalar":null}}', SCALARS),
    ("data-array-form", DATA, DATA_AT, '["Scalar",[1,2.5]]', SCALARS),
    ("position-absent-entry", DATA, DATA_AT, '{"type":"Position","values":[null,{"lat":1,"lng":2}]}',
     {"type": "Position", "values": [None, P]}),
    ("position-buffered", DATA, DATA_AT, '{"values":[null,{"lng":2,"lat":1,"x":[1]}],"type":"Position"}',
     {"type": "Position", "values": [None, P]}),
    ("position-altitude-order-and-null", DATA, DATA_AT,
     '{"type":"Position","values":[{"altitude":3,"lng":2,"lat":1},{"lat":1,"lng":2,"altitude":null}]}',
     {"type": "Position", "values": [P3, P]}),
    ("position-array-form", DATA, DATA_AT, '{"type":"Position","values":[[1,2,null],[1,2,3]]}',
     {"type": "Position", "values": [P, P3]}),
    ("lap-trigger-only", LAP, LAP_AT, '{"trigger":"Manual"}', {"trigger": "Manual"}),
    ("lap-members-in-declaration-order", LAP, LAP_AT,
     '{"name":"L","trigger":"Auto","summary":{"z":1,"a":2},"end_index":10,"start_index":0}',
     {"start_index": 0, "end_index": 10, "summary": {"a": 2.0, "z": 1.0}, "trigger": "Auto", "name": "L"}),
    ("lap-summary-sorted-later-duplicate-wins", LAP, LAP_AT,
     '{"summary":{"z":1,"a":2,"a":3,"B":-0},"trigger":"Manual"}',
     {"summary": {"B": -0.0, "a": 3.0, "z": 1.0}, "trigger": "Manual"}),
    ("lap-nulls-and-empty-summary-left-out", LAP, LAP_AT,
     '{"start_index":null,"end_index":null,"name":null,"summary":{},"trigger":"Time"}', {"trigger": "Time"}),
    ("lap-index-extremes", LAP, LAP_AT, '{"start_index":18446744073709551615,"end_index":0,"trigger":"Auto"}',
     {"start_index": 18446744073709551615, "end_index": 0, "trigger": "Auto"}),
    ("lap-empty-name-kept-extra-skipped", LAP, LAP_AT, '{"trigger":"Manual","name":"","x":[[{"y":[]}]]}',
     {"trigger": "Manual", "name": ""}),
    ("lap-array-form", LAP, LAP_AT, '[0,10,{},"Auto",null]', {"start_index": 0, "end_index": 10, "trigger": "Auto"}),
))
def test_accepted_forms_are_written_back_normalised(template, path, value, expected):
    assert_written(template.replace("@", value), path, expected)


# The unit alternatives used below have names of equal length, so columns are shared.
ENUMS = table(("metric", METRIC, METRIC_AT, METRIC_NAMES, "Altitude"),
              ("trigger", TRIGGER, TRIGGER_AT, TRIGGER_NAMES, "Distance"))


@pytest.mark.parametrize("template, path, names, unit", ENUMS)
def test_enumeration_names_and_one_member_objects(template, path, names, unit):
    for name in names.removeprefix("one of ").replace("`", "").split(", ")[:-1]:
        assert_written(template.replace("@", f'"{name}"'), path, name)
    assert_written(template.replace("@", '{"%s":null}' % unit), path, unit)
    for name in ("lactate", ""):
        assert_written(template.replace("@", '{"Custom":"%s"}' % name), path, {"Custom": name})


@pytest.mark.parametrize("template, path, names, unit", ENUMS)
@pytest.mark.parametrize("value, message, column", table(
    ("custom-as-bare-name", '"Custom"', "invalid type: unit variant, expected newtype variant", 8),
    ("wrong-case", '"custom"', "unknown variant `custom`, expected NAMES", 8),
    ("object-unknown", '{"Bogus":null}', "unknown variant `Bogus`, expected NAMES", 8),
    ("number", "3", "expected value", 1),
    ("null", "null", "expected value", 1),
    ("array", '["UNIT"]', "expected value", 1),
    ("unit-with-map", '{"UNIT":{}}', "invalid type: map, expected unit", 12),
    ("custom-null", '{"Custom":null}', "invalid type: null, expected a string", 14),
    ("second-member", '{"UNIT":null,"Speed":null}', "expected value", 16),
    ("custom-second-member", '{"Custom":"a","x":null}', "expected value", 13),
    ("empty-object", "{}", "expected value", None),
))
def test_enumeration_name_errors(template, path, names, unit, value, message, column):
    assert_error(template, value.replace("UNIT", unit), message.replace("NAMES", names), column)


@pytest.mark.parametrize("template, path, names, unit", ENUMS)
def test_enumeration_object_cut_short(template, path, names, unit):
    text = template.split("@")[0] + '{"%s":null' % unit
    assert read_error(text) == ("EOF while parsing an object", 1, len(text))


@pytest.mark.parametrize("template, value, message, column", table(
    ("streams-no-timestamps", STREAMS, '{"channels":[]}', "missing field `timestamps`", 15),
    ("streams-duplicate", STREAMS, '{"timestamps":[],"timestamps":[]}', "duplicate field `timestamps`", 29),
    ("timestamps-null", STREAMS, '{"timestamps":null}', "invalid type: null, expected a sequence", 18),
    ("timestamps-map", STREAMS, '{"timestamps":{}}', "invalid type: map, expected a sequence", 14),
    ("timestamp-string", STREAMS, '{"timestamps":[1,"a"]}', 'invalid type: string "a", expected f64', 20),
    ("channels-null", STREAMS, '{"timestamps":[],"channels":null}', "invalid type: null, expected a sequence", 32),
    ("streams-array-empty", STREAMS, "[]", "invalid length 0, expected struct Streams with 2 elements", 2),
    ("streams-array-null", STREAMS, "[null]", "invalid type: null, expected a sequence", 5),
    ("streams-array-extra", STREAMS, "[[0],[],1]", "trailing characters", 9),
    ("streams-string", STREAMS, '"x"', 'invalid type: string "x", expected struct Streams', 3),
    ("stream-empty-object", CHANNEL, "{}", "missing field `metric`", 2),
    ("stream-no-metric", CHANNEL, '{"data":["Scalar",[]]}', "missing field `metric`", 22),
    ("stream-no-data", CHANNEL, '{"metric":"Power"}', "missing field `data`", 18),
    ("stream-duplicate", CHANNEL, '{"metric":"Power","metric":"Speed"}', "duplicate field `metric`", 26),
    ("stream-array-empty", CHANNEL, "[]", "invalid length 0, expected struct Stream with 2 elements", 2),
    ("stream-array-short", CHANNEL, '["Power"]', "invalid length 1, expected struct Stream with 2 elements", 9),
    ("stream-array-extra", CHANNEL, '["Power",["Scalar",[]],0]', "trailing characters", 24),
    ("position-no-lng", SAMPLE, '{"lat":1}', "missing field `lng`", 9),
    ("position-no-lat", SAMPLE, '{"lng":1}', "missing field `lat`", 9),
    ("position-duplicate", SAMPLE, '{"lat":1,"lat":2,"lng":3}', "duplicate field `lat`", 14),
    ("position-lng-string", SAMPLE, '{"lat":1,"lng":"2"}', 'invalid type: string "2", expected f64', 18),
    ("position-altitude-boolean", SAMPLE, '{"lat":1,"lng":2,"altitude":true}',
     "invalid type: boolean `true`, expected f64", 32),
    ("position-array-empty", SAMPLE, "[]", "invalid length 0, expected struct Position with 3 elements", 2),
    ("position-array-no-altitude", SAMPLE, "[1,2]", "invalid length 2, expected struct Position with 3 elements", 5),
    ("position-array-null-lat", SAMPLE, "[null,2,3]", "invalid type: null, expected f64", 5),
    ("position-array-extra", SAMPLE, "[1,2,3,4]", "trailing characters", 8),
    ("position-number", SAMPLE, "1", "invalid type: integer `1`, expected struct Position", 1),
    ("lap-empty-object", LAP, "{}", "missing field `trigger`", 2),
    ("lap-no-trigger", LAP, '{"name":"x"}', "missing field `trigger`", 12),
    ("lap-duplicate", LAP, '{"trigger":"Manual","trigger":"Manual"}', "duplicate field `trigger`", 29),
    ("lap-trigger-null", LAP, '{"trigger":null}', "expected value", 12),
    ("lap-array-empty", LAP, "[]", "invalid length 0, expected struct Lap with 5 elements", 2),
    ("lap-array-two-summary-defaults", LAP, "[0,10]", "invalid length 3, expected struct Lap with 5 elements", 6),
    ("lap-array-name-required", LAP, '[0,10,{},"Auto"]', "invalid length 4, expected struct Lap with 5 elements", 16),
    ("lap-array-extra", LAP, '[0,10,{},"Auto",null,1]', "trailing characters", 22),
    ("lap-array-trailing-comma", LAP, '[0,10,{},"Auto",null,]', "trailing comma", 22),
    ("lap-string", LAP, '"Manual"', 'invalid type: string "Manual", expected struct Lap', 8),
    ("summary-null", SUMMARY, "null", "invalid type: null, expected a map", 4),
    ("summary-array", SUMMARY, "[]", "invalid type: sequence, expected a map", 0),
    ("summary-string-value", SUMMARY, '{"a":"x"}', 'invalid type: string "x", expected f64', 8),
    ("name-number", NAME, "5", "invalid type: integer `5`, expected a string", 1),
))
def test_record_errors(template, value, message, column):
    assert_error(template, value, message, column)


@pytest.mark.parametrize("field", ["start_index", "end_index"])
@pytest.mark.parametrize("value, message, column", table(
    ("minus-one", "-1", "invalid value: integer `-1`, expected usize", 2),
    ("two-to-the-64", "18446744073709551616",
     "invalid type: floating point `1.8446744073709552e+19`, expected usize", 20),
    ("most-negative", "-9223372036854775808", "invalid value: integer `-9223372036854775808`, expected usize", 20),
    ("below-most-negative", "-9223372036854775809",
     "invalid type: floating point `-9.223372036854776e+18`, expected usize", 20),
    ("fraction", "1.5", "invalid type: floating point `1.5`, expected usize", 3),
    ("exponent", "1e2", "invalid type: floating point `100.0`, expected usize", 3),
    ("minus-zero", "-0", "invalid type: floating point `-0.0`, expected usize", 2),
    ("string", '"3"', 'invalid type: string "3", expected usize', 3),
    ("array", "[]", "invalid type: sequence, expected usize", 0),
))
def test_lap_index_errors(field, value, message, column):
    assert_error(LAP.replace("@", '{"%s":@,"trigger":"Manual"}' % field), value, message, column)


@pytest.mark.parametrize("value, message, column", table(
    ("empty-object", "{}", "missing field `type`", 2),
    ("only-values", '{"values":[]}', "missing field `type`", 13),
    ("only-type", '{"type":"Scalar"}', "missing field `values`", 17),
    ("type-twice", '{"type":"Scalar","type":"Scalar"}', "duplicate field `type`", 23),
    ("values-twice", '{"values":[],"values":[]}', "duplicate field `values`", 21),
    ("type-after-both", '{"type":"Scalar","values":[],"type":"Scalar"}', "duplicate field `type`", 35),
    ("values-after-both", '{"type":"Scalar","values":[],"values":[]}', "duplicate field `values`", 37),
    ("buffered-then-values", '{"values":[],"type":"Scalar","values":[]}', "duplicate field `values`", 37),
    ("buffered-then-type", '{"values":[],"type":"Scalar","type":"Scalar"}', "duplicate field `type`", 35),
    ("unknown-tag", '{"type":"Vector","values":[]}', f"unknown variant `Vector`, expected {TAGS}", 16),
    ("no-custom-tag", '{"type":"Custom","values":[]}', f"unknown variant `Custom`, expected {TAGS}", 16),
    ("unknown-tag-buffered", '{"values":[1],"type":"Vector"}', f"unknown variant `Vector`, expected {TAGS}", 29),
    ("tag-number", '{"type":1,"values":[]}', "expected value", 9),
    ("tag-object-not-null", '{"type":{"Scalar":1},"values":[]}', "invalid type: integer `1`, expected unit", 19),
    ("scalar-null-sample", '{"type":"Scalar","values":[1,null]}', "invalid type: null, expected f64", 33),
    ("scalar-values-null", '{"type":"Scalar","values":null}', "invalid type: null, expected a sequence", 30),
    ("scalar-values-map", '{"type":"Scalar","values":{}}', "invalid type: map, expected a sequence", 26),
    ("position-sample-number", '{"type":"Position","values":[1]}',
     "invalid type: integer `1`, expected struct Position", 30),
    # Errors in buffered samples point just past the tag value, not at the sample.
    ("buffered-brace-consumed", '{"values":[1,null],"type":"Scalar"}', "invalid type: null, expected f64", 35),
    ("buffered-space-then-brace", '{"values":[1,null],"type":"Scalar" }', "invalid type: null, expected f64", 36),
    ("buffered-member-follows", '{"values":[1,null],"type":"Scalar","x":0}', "invalid type: null, expected f64", 34),
    ("buffered-space-then-member", '{"values":[1,null],"type":"Scalar" ,"x":0}',
     "invalid type: null, expected f64", 35),
    ("buffered-tag-object", '{"values":[1,null],"type":{"Scalar":null}}', "invalid type: null, expected f64", 42),
    ("buffered-position-too-long", '{"values":[[1,2,3,4]],"type":"Position"}',
     "invalid length 4, expected 3 elements in sequence", 40),
    ("buffered-position-too-short", '{"values":[[1,2]],"type":"Position"}',
     "invalid length 2, expected struct Position with 3 elements", 36),
    ("buffered-position-no-lng", '{"values":[{"lat":1}],"type":"Position"}', "missing field `lng`", None),
    ("buffered-position-duplicate", '{"values":[{"lat":1,"lat":2,"lng":3}],"type":"Position"}',
     "duplicate field `lat`", None),
    ("buffered-position-number", '{"values":[1],"type":"Position"}',
     "invalid type: integer `1`, expected struct Position", None),
    # Buffered samples are read in full while other members are skipped: the messages differ.
    ("buffered-trailing-comma", '{"values":[1,],"type":"Scalar"}', "trailing comma", 14),
    ("skipped-trailing-comma", '{"x":[1,],"type":"Scalar","values":[]}', "expected value", 9),
    ("array-empty", "[]", "invalid length 0, expected adjacently tagged enum StreamData", 2),
    ("array-tag-only", '["Scalar"]', "invalid length 1, expected adjacently tagged enum StreamData", 10),
    ("array-tag-number", "[0,[1,2]]", "invalid type: integer `0`, expected variant identifier", 2),
    ("array-tag-object", '[{"Scalar":null},[]]', "invalid type: map, expected variant identifier", 1),
    ("array-unknown-tag", '["Vector",[]]', f"unknown variant `Vector`, expected {TAGS}", 9),
    ("array-null-sample", '["Scalar",[null]]', "invalid type: null, expected f64", 15),
    ("array-position-too-long", '["Position",[[1,2,3,4]]]', "trailing characters", 21),
    ("array-extra", '["Scalar",[],1]', "trailing characters", 14),
    ("array-trailing-comma", '["Scalar",[],]', "trailing comma", 14),
    ("string", '"Scalar"', 'invalid type: string "Scalar", expected adjacently tagged enum StreamData', 8),
    ("null", "null", "invalid type: null, expected adjacently tagged enum StreamData", 4),
))
def test_stream_data_errors(value, message, column):
    assert_error(DATA, value, message, column)


def test_whole_document_member_order_and_layout():
    text = doc(laps='[{"trigger":"Manual","name":"b"},[1,2,{"hr":150},"Time",null]]',
               streams='{"channels":[{"metric":{"Custom":"lactate"},"data":{"values":[1.5,2],"type":"Scalar"}},'
                       '{"metric":{"Power":null},"data":["Position",[null,[1,2,3]]]}],"timestamps":[0,1]}')
    expected = json.loads(sdk.to_json(doc()))
    expected["streams"] = {"timestamps": [0.0, 1.0], "channels": [
        {"metric": {"Custom": "lactate"}, "data": {"type": "Scalar", "values": [1.5, 2.0]}},
        {"metric": "Power", "data": {"type": "Position", "values": [None, P3]}}]}
    expected["laps"] = [{"trigger": "Manual", "name": "b"},
                        {"start_index": 1, "end_index": 2, "summary": {"hr": 150.0}, "trigger": "Time"}]
    assert sdk.to_json(text) == json.dumps(expected, indent=2)
    assert json.dumps(sdk.parse_workout(text)) == json.dumps(expected)
    assert (sdk.count_sets(text), sdk.validate_workout(text)) == (1, [])


def test_null_streams_and_empty_laps_are_left_out():
    text = doc(streams="null", laps="[]")
    assert sdk.to_json(text) == sdk.to_json(doc())
    assert list(sdk.parse_workout(text)) == ["id", "version", "root"]


_LARGE = textwrap.dedent("""
    import sys
    import tavrik_workout_sdk as sdk
    head, tail, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
    def text(last):
        return "".join([head, '{"type":"Scalar","values":[', "1," * (count - 1), last, "]}", tail])
    def status(field):
        with open("/proc/self/status") as lines:
            return next(int(l.split()[1]) for l in lines if l.startswith(field + ":")) * 1024
    good = text("1")
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")  # the peak counts from here, not from the interpreter's start
    before = status("VmRSS")
    sets = sdk.count_sets(good)
    growth = status("VmHWM") - before
    size = len(good)
    del good
    try:
        sdk.count_sets(text("null"))
        failure = ""
    except ValueError as error:
        failure = str(error)
    print(sets, size, growth, failure, sep="|")
""")


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/status")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer's quarantine holds freed memory")
def test_ten_million_scalar_samples_read_in_linear_memory():
    # Two input bytes per sample: one contiguous array of doubles grown by doubling peaks
    # between 8 and 13 bytes per input byte, while an allocation per sample needs 20 or more.
    head, tail = DATA.split("@")
    run = subprocess.run([sys.executable, "-c", _LARGE, head, tail, "10000000"],
                         capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stderr
    sets, size, growth, failure = run.stdout.strip().split("|")
    assert sets == "1"
    assert failure.startswith("parse error: invalid type: null, expected f64 at line 1 column ")
    assert int(growth) < 16 * int(size), f"{int(growth) / int(size):.1f} bytes per input byte"
