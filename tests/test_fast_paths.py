"""The shortcuts of the reader give exactly what the general reading gives.

A payload whose tag comes first is read straight from the text, and lists of plain
numbers and of positions in one loop; each falls back to the general reading on anything
unusual.  validate_workout and count_sets check the samples without keeping them, and
must refuse exactly what parse_workout and to_json refuse.  These
inputs sit on the edges where the two could part: what only the buffered reading accepts,
what only it rejects, and errors whose position the buffered reading decides.
"""

import gc
from decimal import Decimal

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tavrik_workout_sdk as sdk
from conftest import table

DEEP = "[" * 130 + "]" * 130


def with_root(kind, payload):
    return '{"id":"w","version":"1","root":{"id":"s","kind":{"type":"' + kind + '"},"payload":' + payload + "}}"


def with_samples(samples):
    return with_root("Session", '{"type":"Temporal"}') [:-1] + ',"streams":{"timestamps":' + samples + "}}"


def with_positions(values):
    return (with_root("Session", '{"type":"Temporal"}')[:-1] + ',"streams":{"timestamps":[0,1],"channels":['
            '{"metric":"Position","data":{"type":"Position","values":' + values + "}}]}}")


PARSE_ERRORS = table(
    # Only the buffered reading holds skipped members to the nesting limit and to range.
    ("deep-unknown-member", with_root("Session", '{"type":"Temporal","x":' + DEEP + "}"),
     "recursion limit exceeded at line 1 column 225"),
    ("unknown-member-out-of-range", with_root("Session", '{"type":"Temporal","x":1e999}'),
     "number out of range at line 1 column 105"),
    ("deep-custom-member", with_root("Session", '{"type":"Custom","b":' + DEEP + "}"),
     "recursion limit exceeded at line 1 column 223"),
    ("second-tag", with_root("Session", '{"type":"Temporal","type":"Leaf"}'),
     "duplicate field `type` at line 1 column 102"),
    # A content error takes the position where the payload ends, not where it stands.
    ("content-error", with_root("Set", '{"type":"Leaf","measures":[{"type":"Reps","value":-1}],\n "intensity":null}'),
     "invalid value: integer `-1`, expected u32 at line 2 column 19"),
    ("unknown-tag", with_root("Set", '{"type":"Leef","measures":[]}'),
     "unknown variant `Leef`, expected one of `Leaf`, `Exercise`, `Block`, `Temporal`, `Custom` at line 1 column 87"),
    ("samples-trailing-comma", with_samples("[1,2,]"), "trailing comma at line 1 column 128"),
    ("samples-null", with_samples("[1,null]"), "invalid type: null, expected f64 at line 1 column 129"),
    ("samples-out-of-range", with_samples("[1e999]"), "number out of range at line 1 column 128"),
    ("samples-missing-comma", with_samples("[1 2]"), "expected `,` or `]` at line 1 column 126"),
    ("samples-unfinished", with_samples("[1,"), "expected value at line 1 column 126"),
    ("samples-leading-zero", with_samples("[01]"), "invalid number at line 1 column 125"),
    ("samples-bare-point", with_samples("[1.]"), "invalid number at line 1 column 126"),
    ("samples-bare-minus", with_samples("[-]"), "invalid number at line 1 column 125"),
    ("positions-missing-lng", with_positions('[{"lat":1,"alt":2}]'), "missing field `lng` at line 1 column 214"),
    ("positions-lat-twice", with_positions('[{"lat":1,"lat":2,"lng":3}]'),
     "duplicate field `lat` at line 1 column 211"),
    ("positions-lat-string", with_positions('[{"lat":"1","lng":2}]'),
     'invalid type: string "1", expected f64 at line 1 column 207'),
    ("positions-out-of-range", with_positions('[null,{"lat":1,"lng":1e999}]'),
     "number out of range at line 1 column 222"),
    ("positions-trailing-comma", with_positions("[null,]"), "trailing comma at line 1 column 203"),
    ("positions-nul", with_positions("[nul]"), "expected ident at line 1 column 201"),
    ("positions-unclosed", with_positions('[{"lat":1,"lng":2]'), "expected `,` or `}` at line 1 column 214"),
    ("positions-altitude-bool", with_positions('[{"lat":1,"lng":2,"altitude":true}]'),
     "invalid type: boolean `true`, expected f64 at line 1 column 229"),
    ("positions-short-array", with_positions("[[1]]"),
     "invalid length 1, expected struct Position with 3 elements at line 1 column 200"),
)


@pytest.mark.parametrize("text, message", PARSE_ERRORS)
def test_the_general_reading_decides_errors(text, message):
    for function in (sdk.validate_workout, sdk.count_sets, sdk.to_json, sdk.parse_workout):
        with pytest.raises(ValueError) as caught:
            function(text)
        assert str(caught.value) == "parse error: " + message


SET_LEAF = '{"type":"Leaf","measures":[{"type":"Reps","value":5}]}'

ACCEPTED = table(
    # Forms that only a buffered value allows: a tag by its index, a unit written {}.
    ("measure-by-index", with_root("Set", '{"type":"Leaf","measures":[[0,5]]}'), with_root("Set", SET_LEAF)),
    ("unit-as-empty-object",
     with_root("Block", '{"type":"Block","execution_mode":{"type":{"Sequential":{}}}}'),
     with_root("Block", '{"type":"Block","execution_mode":{"type":"Sequential"}}')),
    ("custom-members-sorted", with_root("Session", '{"type":"Custom","b":[1,{"c":null}],"a":"x","a":2}'),
     with_root("Session", '{"type":"Custom","a":2,"b":[1,{"c":null}]}')),
    ("samples-empty", with_samples("[ ]"), with_samples("[]")),
    ("samples-mixed", with_samples("[1, 2.5,3e2 ,-0, 1e5 , 2E-3]"), with_samples("[1.0,2.5,300.0,-0.0,100000.0,0.002]")),
    ("samples-long-and-tiny", with_samples("[12345678901234567890123, 0.1, 1e-400]"),
     with_samples("[1.2345678901234568e+22,0.1,0.0]")),
    ("positions-spaced", with_positions(' [ { "lat" : 1 , "lng" : 2.5 , "altitude" : 3 } , null ] '),
     with_positions('[{"lat":1.0,"lng":2.5,"altitude":3.0},null]')),
    ("positions-reordered", with_positions('[{"lng":2.5,"altitude":3,"lat":1},null]'),
     with_positions('[{"lat":1.0,"lng":2.5,"altitude":3.0},null]')),
    ("positions-altitude-null", with_positions('[{"lat":1,"lng":2.5,"altitude":null}]'),
     with_positions('[{"lat":1.0,"lng":2.5}]')),
    ("positions-unknown-member", with_positions('[{"lat":1,"lng":2.5,"x":[1]}]'), with_positions('[{"lat":1.0,"lng":2.5}]')),
    ("positions-escaped-key", with_positions('[{"l\\u0061t":1,"lng":2.5}]'), with_positions('[{"lat":1.0,"lng":2.5}]')),
    ("positions-array-form", with_positions("[[1,2.5,3]]"), with_positions('[{"lat":1.0,"lng":2.5,"altitude":3.0}]')),
    ("positions-long-and-tiny", with_positions('[{"lat":12345678901234567890123,"lng":1e-400}]'),
     with_positions('[{"lat":1.2345678901234568e+22,"lng":0.0}]')),
)


def outcome(function, text):
    try:
        return function(text)
    except ValueError as error:
        return str(error)


@pytest.mark.parametrize("text, normal", ACCEPTED)
def test_forms_only_the_general_reading_accepts(text, normal):
    assert sdk.to_json(text) == sdk.to_json(normal)
    assert outcome(sdk.parse_workout, text) == outcome(sdk.parse_workout, normal)
    assert sdk.count_sets(text) == sdk.count_sets(normal)
    assert sdk.validate_workout(text) == sdk.validate_workout(normal)


@pytest.mark.parametrize("enabled", [True, False])
@pytest.mark.parametrize("text", [with_root("Set", SET_LEAF), with_root("Block", '{"type":"Block"}')],
                         ids=["converted", "refused"])
def test_parse_workout_leaves_the_collector_as_it_found_it(enabled, text):
    # The collector is paused while the result is built and must be left as it was.
    was = gc.isenabled()
    try:
        gc.enable() if enabled else gc.disable()
        try:
            sdk.parse_workout(text)
        except ValueError:
            pass
        assert gc.isenabled() is enabled
    finally:
        gc.enable() if was else gc.disable()


def duration_text(number_text):
    return with_root("Set", '{"type":"Leaf","measures":[{"type":"Duration","value":{"seconds":' + number_text + "}}]}")


def read_seconds(number_text):
    return sdk.parse_workout(duration_text(number_text))["root"]["payload"]["measures"][0]["value"]["seconds"]


@settings(max_examples=3000, deadline=None)
@given(st.floats(min_value=1e-4, max_value=1e15, allow_nan=False, allow_infinity=False)
       | st.builds(lambda units, places: float(Decimal(units).scaleb(-places)),
                   st.integers(1, 10**15), st.integers(0, 12)).filter(lambda x: 1e-4 <= x <= 1e15))
def test_doubles_read_and_write_like_python(x):
    # In this range Python's repr is the shortest round-trip text in plain notation, as
    # the writer's; both the short-decimal writer and the one-pass reader must agree.
    for number in (x, -x):
        assert read_seconds(repr(number)) == number
        assert '"seconds": ' + repr(number) + "\n" in sdk.to_json(duration_text(repr(number)))


@settings(max_examples=2000, deadline=None)
@given(st.integers(0, 10**22), st.integers(0, 25), st.integers(-30, 30), st.sampled_from(["", "-"]))
def test_decimal_texts_read_as_correctly_rounded_doubles(digits, point, exponent, sign):
    text = str(digits)
    if 0 < point < len(text):
        text = text[:-point] + "." + text[-point:]
    text = sign + text + ("e" + str(exponent) if exponent else "")
    assert read_seconds(text) == float(text)
