"""to_json writes a text already in written form straight from its bytes, and every other
text through the model: whichever way it goes, the text it returns is the same.

The general way is forced by an unknown member, which the model drops, so `general(text)`
is what the model and the writer make of `text`.  The cases are grouped by what keeps a
text from being in written form."""

import json
import sys
from pathlib import Path

import pytest

import tavrik_workout_sdk as sdk

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))
import bench  # noqa: E402  (the benchmark's document generators)


def general(text):
    """to_json of the text read into the model: the unknown member makes it decline the direct way."""
    assert text.startswith("{")
    return sdk.to_json('{"~": 0, ' + text[1:])


def written(document):
    return json.dumps(document, indent=2, ensure_ascii=False)


# A workout in written form with every kind of member: optional and defaulted members,
# each tagging, free values nested, numbers of every type, streams and laps.
BASE = {
    "id": "w", "version": "1", "sport": "Run", "date": "2026-01-05",
    "root": {
        "id": "r", "kind": {"type": "Session"}, "name": "Intervals \u00e9\u20ac\U0001f600",
        "children": [
            {"id": "s1", "kind": {"type": "Set"},
             "payload": {"type": "Leaf",
                         "measures": [{"type": "Distance", "value": {"amount": 1.5, "unit": "Kilometers"}},
                                      {"type": "Reps", "value": 5},
                                      {"type": "Custom", "value": {"name": "tempo", "value": {"k": [1, -2, 0.5]}}}],
                         "intensity": {"type": "RPE", "value": 7.5}}},
            {"id": "b1", "kind": {"type": "Block"},
             "payload": {"type": "Block", "execution_mode": {"type": "Circuit", "value": {"rounds": 3}},
                         "rest_seconds": 90.0}},
            {"id": "c1", "kind": {"type": "Custom", "value": "drill"},
             "payload": {"type": "Custom", "a": 1, "b": [1.0, {}, [], None, True], "c": {"x": -2, "y": None}}},
        ],
        "payload": {"type": "Temporal", "rest_seconds": 100.0},
        "metadata": {"coach": "Ann", "rating": 4.25},
    },
    "streams": {"timestamps": [0.0, 1.0, 2.0],
                "channels": [{"metric": "HeartRate", "data": {"type": "Scalar", "values": [120.0, 121.5, 1e16]}},
                             {"metric": {"Custom": "flow"}, "data": {"type": "Scalar", "values": [0.001, 2.5e20, -3.0]}},
                             {"metric": "Position",
                              "data": {"type": "Position",
                                       "values": [{"lat": 1.25, "lng": 2.5}, None,
                                                  {"lat": 1.0, "lng": 2.0, "altitude": 100.0}]}}]},
    "laps": [{"start_index": 0, "end_index": 2, "summary": {"avg_hr": 120.5, "distance": 1000.0},
              "trigger": "Manual", "name": "L1"},
             {"trigger": {"Custom": "button"}}],
    "metadata": {"a": True, "b": "x", "n": 9223372036854775807, "z": -9223372036854775808},
}
BASE_TEXT = json.dumps(BASE, ensure_ascii=False)


def test_the_base_document_is_in_written_form():
    # Otherwise the cases below would not start from the direct way.
    assert sdk.to_json(BASE_TEXT) == written(BASE) == general(BASE_TEXT)


def normal_form_texts():
    yield "base", BASE_TEXT
    for path in sorted((ROOT / "examples").glob("*.workout.json")):
        yield path.name, path.read_text(encoding="utf-8")
    yield "bench plan", json.dumps(bench.make_plan(2), ensure_ascii=False)
    ride = bench.make_recording(300)
    yield "bench ride compact", json.dumps(ride, ensure_ascii=False, separators=(",", ":"))
    yield "bench ride indented", json.dumps(ride, indent=2, ensure_ascii=False)
    for i, session in enumerate(bench.make_sessions(5)):
        yield f"bench session {i}", json.dumps(session, ensure_ascii=False)


NORMAL = dict(normal_form_texts())


@pytest.mark.parametrize("name", list(NORMAL))
def test_documents_agree_and_their_written_text_is_a_fixed_point(name):
    text = NORMAL[name]
    try:
        expected = general(text)
    except ValueError as error:
        # A document that does not read (one of the examples) fails the same either way;
        # its error lies past the first line, where the added member moves no column.
        with pytest.raises(ValueError) as direct:
            sdk.to_json(text)
        assert " at line 1 " not in str(error)
        assert str(direct.value) == str(error)
        return
    assert sdk.to_json(text) == expected
    assert sdk.to_json(expected) == expected


def one(old, new):
    """BASE_TEXT with its single occurrence of `old` replaced by `new`."""
    assert BASE_TEXT.count(old) == 1, old
    return BASE_TEXT.replace(old, new)


# (case, the text; to_json of it must equal the base's written text)
SAME_MODEL = {
    "order": [
        ("record members swapped", one('"id": "w", "version": "1"', '"version": "1", "id": "w"')),
        ("optional member moved last", one('"sport": "Run", ', "")[:-1] + ', "sport": "Run"}'),
        ("metadata before the payload",
         one('"payload": {"type": "Temporal", "rest_seconds": 100.0}, "metadata": {"coach": "Ann", "rating": 4.25}',
             '"metadata": {"coach": "Ann", "rating": 4.25}, "payload": {"type": "Temporal", "rest_seconds": 100.0}')),
        ("metadata keys unsorted", one('"a": true, "b": "x"', '"b": "x", "a": true')),
        ("metadata key repeated", one('"a": true, "b": "x"', '"a": false, "a": true, "b": "x"')),
        ("summary keys unsorted", one('"avg_hr": 120.5, "distance": 1000.0', '"distance": 1000.0, "avg_hr": 120.5')),
        ("custom payload members unsorted", one('"a": 1, "b": [1.0', '"b": [1.0').replace('"y": null}', '"y": null}, "a": 1', 1)),
        ("free object keys unsorted", one('{"x": -2, "y": null}', '{"y": null, "x": -2}')),
    ],
    "left out": [
        ("null optional of a node", one('"id": "s1", "kind": {"type": "Set"}', '"id": "s1", "kind": {"type": "Set"}, "name": null')),

        ("empty children", one('"id": "s1", "kind": {"type": "Set"}', '"id": "s1", "kind": {"type": "Set"}, "children": []')),
        ("empty metadata", one('"intensity": {"type": "RPE", "value": 7.5}}}',
                               '"intensity": {"type": "RPE", "value": 7.5}}, "metadata": {}}')),
        ("empty lap summary", one('{"trigger": {"Custom": "button"}}', '{"summary": {}, "trigger": {"Custom": "button"}}')),
        ("unit variant with null content", one('"kind": {"type": "Session"}', '"kind": {"type": "Session", "value": null}')),
        ("unit trigger as an object", one('"trigger": "Manual"', '"trigger": {"Manual": null}')),
        ("unknown member", one('"sport": "Run"', '"sport": "Run", "coach": {"n": [1, 2]}')),
        ("unknown member in a tagged value", one('"kind": {"type": "Session"}', '"kind": {"type": "Session", "x": 1}')),
    ],
    "numbers": [
        ("trailing zero", one('"amount": 1.5', '"amount": 1.50')),
        ("exponent for a plain double", one('"altitude": 100.0', '"altitude": 1e2')),
        ("integer for a double", one('"altitude": 100.0', '"altitude": 100')),
        ("plain for an exponent double", one("1e+16", "10000000000000000.0")),
        ("capital exponent", one("2.5e+20", "2.5E20")),
        ("long fraction of a sample", one("121.5", "121.50000")),
        ("free double with a trailing zero", one('"rating": 4.25', '"rating": 4.250')),
        ("free double with an exponent", one("[1, -2, 0.5]", "[1, -2, 5e-1]")),
        ("sample as an integer", one("[0.0, 1.0, 2.0]", "[0, 1.0, 2.0]")),
    ],
    "strings": [
        ("escaped letter", one('"version": "1"', '"version": "\\u0031"')),
        ("escaped capital", one('"coach": "Ann"', '"coach": "\\u0041nn"')),
        ("escaped non-ASCII", one("Intervals \u00e9\u20ac\U0001f600", "Intervals \\u00e9\\u20ac\\ud83d\\ude00")),
        ("escaped key", one('"coach": "Ann"', '"\\u0063oach": "Ann"')),
    ],
    "layout": [
        ("indented", written(BASE)),
        ("compact", json.dumps(BASE, ensure_ascii=False, separators=(",", ":"))),
        ("tabs and carriage returns", BASE_TEXT.replace(", ", ",\r\n\t").replace(": ", " :\t")),
    ],
}


def tags_last(document):
    """The document with the tag of every tagged object written as its last member."""
    if isinstance(document, dict):
        items = [(k, tags_last(v)) for k, v in document.items()]
        return dict(sorted(items, key=lambda item: item[0] == "type"))
    if isinstance(document, list):
        return [tags_last(v) for v in document]
    return document


# Tags written after other members, which the direct way moves to the front of their
# objects: alone, nested in the members before and after a tag, with doubles to rewrite
# among the members moved past, in every layout.
SAME_MODEL["tags later"] = [
    ("payload tag last", one('{"type": "Temporal", "rest_seconds": 100.0}', '{"rest_seconds": 100.0, "type": "Temporal"}')),
    ("tag last after a double to rewrite",
     one('{"type": "Distance", "value": {"amount": 1.5, "unit": "Kilometers"}}',
         '{"value": {"amount": 1.50, "unit": "Kilometers"} ,\n "type" :"Distance" }')),
    ("tag between members, moved tags on both sides",
     one('"payload": {"type": "Leaf", "measures": [{"type": "Distance"', '"payload": {"measures": [{"type": "Distance"')
     .replace('"intensity": {"type": "RPE", "value": 7.5}}', '"type": "Leaf", "intensity": {"value": 7.50, "type": "RPE"}}')
     .replace('{"type": "Reps", "value": 5}', '{"value": 5, "type": "Reps"}')),
    ("flattened members around the tag", one('{"type": "Custom", "a": 1, "b"', '{"a": 1, "type": "Custom", "b"')),
    ("samples to rewrite before the tag",
     one('{"type": "Scalar", "values": [120.0, 121.5, 1e+16]}', '{"values": [120, 121.5, 1E16], "type": "Scalar"}')),
    ("every tag last, compact", json.dumps(tags_last(BASE), ensure_ascii=False, separators=(",", ":"))),
    ("every tag last, indented", json.dumps(tags_last(BASE), ensure_ascii=False, indent=2)),
]
DIFFERENT_WITH_TAGS_LATER = [
    ("tag later and a record's members swapped", one('"id": "w", "version": "1"', '"version": "1", "id": "w"')
     .replace('{"type": "Temporal", "rest_seconds": 100.0}', '{"rest_seconds": 100.0, "type": "Temporal"}')),
    ("tag later and a unit variant given null",
     one('"kind": {"type": "Session"}', '"kind": {"value": null, "type": "Session"}')),
    ("tag later and a free key unsorted",
     one('{"type": "Custom", "a": 1, "b": [1.0, {}, [], null, true], "c"',
         '{"b": [1.0, {}, [], null, true], "type": "Custom", "a": 1, "c"')),
    ("tag later and an unknown member", one('{"type": "RPE", "value": 7.5}', '{"value": 7.5, "x": 0, "type": "RPE"}')),
]


@pytest.mark.parametrize("case,text", DIFFERENT_WITH_TAGS_LATER, ids=[row[0] for row in DIFFERENT_WITH_TAGS_LATER])
def test_tags_later_in_texts_not_in_written_form(case, text):
    assert sdk.to_json(text) == general(text)


@pytest.mark.parametrize("case,text", [row for rows in SAME_MODEL.values() for row in rows],
                         ids=[f"{group}: {row[0]}" for group, rows in SAME_MODEL.items() for row in rows])
def test_texts_of_the_same_workout_write_the_same(case, text):
    assert text != BASE_TEXT
    assert sdk.to_json(text) == general(text) == written(BASE)


# Texts of other workouts that the direct way must not take for what they look like.
DIFFERENT = [
    ("null optional", one('"date": "2026-01-05"', '"date": null')),
    ("null optional of a payload", one('"rest_seconds": 90.0', '"rest_seconds": null')),
    ("escaped control byte", one('"coach": "Ann"', '"coach": "A\\u001fn\\n\\"n\\\\"')),
    ("negative zero", one('"altitude": 100.0', '"altitude": -0')),
    ("negative zero double", one('"altitude": 100.0', '"altitude": -0.0')),
    ("free negative zero", one("[1, -2, 0.5]", "[1, -0, 0.5]")),
    ("free integer as a double", one("[1, -2, 0.5]", "[1.0, -2, 0.5]")),
    ("free integers beyond the common form", one("9223372036854775807", "18446744073709551615")),
    ("lap index at its limit", one('"end_index": 2', '"end_index": 18446744073709551615')),
    ("empty required list", one('"measures": [{"type": "Distance", "value": {"amount": 1.5, "unit": "Kilometers"}}, '
                                '{"type": "Reps", "value": 5}, ', '"measures": [], "x": [')),
    ("empty name", one('"name": "L1"', '"name": ""')),
    ("empty free containers", one('"b": "x"', '"b": {"": [{}, []]}')),
    ("empty key first", one('"a": true, "b": "x"', '"": 0, "a": true, "b": "x"')),
]


@pytest.mark.parametrize("case,text", DIFFERENT, ids=[row[0] for row in DIFFERENT])
def test_other_workouts_agree_too(case, text):
    assert sdk.to_json(text) == general(text)


# Spellings of numbers where doubles are read: the direct way rewrites those that the
# writer writes otherwise from their tokens, and must write what the model does.
DOUBLE_SPELLINGS = [
    "142", "-5", "0", "-0", "0.0", "-0.0", "0.000", "-0e3", "7.50", "1.5e1", "15E-1", "2.5e+0",
    # the plain layout ends at 10^-5 and below 10^16
    "0.00001", "0.000012", "0.000001", "1e-5", "1e-6", "123456789012345.0", "999999999999999",
    "1000000000000000", "1e15", "1e16", "10000000000000000", "1E21", "100000000000000000000",
    # 15, 16 and 17 significant digits: past 15 the value decides
    "0.123456789012345", "1.23456789012345", "1234567890.123456", "9007199254740993",
    "0.30000000000000004", "12345678901234567", "123456789012345678901234567890", "1.00000000000000000001",
    # the ends of the range: the largest double, a subnormal one, the least
    "1.7976931348623157e308", "2.2250738585072014e-308", "1e-320", "1.23456789012345e-315", "5e-324",
    # leading zeros of a fraction
    "0.05", "0.0050", "-0.000099",
]


def with_doubles(spellings):
    """BASE_TEXT with the spellings as timestamps, summary values, a position and a field."""
    values = ", ".join(spellings)
    return (one("[0.0, 1.0, 2.0]", f"[{values}]")
            .replace('"avg_hr": 120.5', f'"avg_hr": {spellings[0]}')
            .replace('"lat": 1.25, "lng": 2.5', f'"lat": {spellings[-1]}, "lng": {spellings[len(spellings) // 2]}')
            .replace('"rest_seconds": 90.0', f'"rest_seconds": {spellings[1]}'))


@pytest.mark.parametrize("spelling", DOUBLE_SPELLINGS)
def test_each_spelling_of_a_double_is_written_as_the_model_writes_it(spelling):
    text = with_doubles([spelling, spelling, spelling])
    assert sdk.to_json(text) == general(text)


def test_spellings_mixed_with_written_doubles():
    # Rewritten tokens among tokens already written, so that each rewrite lands at its
    # own token and none shifts to the next.
    # (Save the largest double, near which the walk leaves the text to the model.)
    taken = [s for s in DOUBLE_SPELLINGS if not s.endswith("e308")]
    spellings = [s for pair in zip(taken, ["1.0", "2.5", "0.001", "-3.25"] * 20) for s in pair]
    text = with_doubles(spellings)
    result = sdk.to_json(text)
    assert result == general(text)
    assert sdk.to_json(result) == result
    assert sdk.to_json(with_doubles(spellings[::-1])) == general(with_doubles(spellings[::-1]))


def test_recorded_ride_with_whole_samples():
    # Integers for whole samples, as other tools write them: every one is rewritten.
    ride = bench.make_recording(600)
    text = json.dumps(ride, ensure_ascii=False).replace(".0,", ",").replace(".0]", "]")
    assert text.count(".0,") == 0
    assert sdk.to_json(text) == general(text) == written(ride)


# Runs of samples are copied taking the next sample to start as far on as the last one did,
# checked after: a token of another width, or a separator of another width, at any place
# of a long run of alike samples must land where it stands.
@pytest.mark.parametrize("sep", [",", ", ", ",\n      "])
def test_runs_of_samples_alike_with_one_of_another_width(sep):
    for token in ("1.25", "127.5", "12.5", "7.0", "1e2", "12.250", "-12.25", "0.125"):
        for at in (0, 1, 7, 38, 39):
            run = ["12.25"] * 40
            run[at] = token
            text = one("[0.0, 1.0, 2.0]", "[" + sep.join(run) + "]")
            assert sdk.to_json(text) == general(text), (token, at)
    for other in (",", ", ", ",  ", ",\n  ", ",\n        "):
        for at in (1, 7, 38):
            seps = [sep] * 39
            seps[at - 1] = other
            text = one("[0.0, 1.0, 2.0]", "[12.25" + "".join(s + "12.25" for s in seps) + "]")
            assert sdk.to_json(text) == general(text), (repr(other), at)
