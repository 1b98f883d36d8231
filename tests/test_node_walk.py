"""validate_workout and count_sets walk a text in its common form for the few facts of
each node they need, without building the workout, and hand anything else to the general
reading, which alone words errors.  parse_workout and to_json always read the general way,
so they are the reference here: every text below must give the same errors, the same
count and the same failure through both.

The cases are grouped by what makes the walk give up (or must not): the common form
itself, texts cut short, members moved, escapes, numbers at the edges, the other forms
the general reading accepts, nesting, and faults that the general reading reports.
"""

import json
import sys
from pathlib import Path

import pytest

import tavrik_workout_sdk as sdk
from conftest import table

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))
import bench  # noqa: E402

PREFIX = "validation errors: "


def leaves(doc):
    """Set prescriptions in a document as parse_workout or to_json give it."""
    node = doc["root"] if "root" in doc else doc
    own = node["payload"]["type"] == "Leaf"
    return own + sum(leaves(child) for child in node.get("children", []))


def assert_agree(text):
    """The walk (validate_workout, count_sets) and the general reading agree on `text`."""
    try:
        sdk.parse_workout(text)
        expected_errors = ""
    except ValueError as error:
        message = str(error)
        if not message.startswith(PREFIX):
            for function in (sdk.validate_workout, sdk.count_sets):
                with pytest.raises(ValueError) as caught:
                    function(text)
                assert str(caught.value) == message, function.__name__
            return "refused"
        expected_errors = message[len(PREFIX):]
    assert "; ".join(sdk.validate_workout(text)) == expected_errors
    assert sdk.count_sets(text) == leaves(json.loads(sdk.to_json(text)))
    return "faulty" if expected_errors else "sound"


def doc(root, **members):
    return {"id": "w", "version": "1", "root": root, **members}


def node(node_id, kind, payload, **members):
    return {"id": node_id, "kind": {"type": kind}, **members, "payload": payload}


SET = node("s1", "Set", {"type": "Leaf", "measures": [{"type": "Reps", "value": 5}]})
EXERCISE = node("e1", "Exercise", {"type": "Exercise", "rest_seconds": 90.0}, children=[SET])
BLOCK = node("b1", "Block", {"type": "Block", "execution_mode": {"type": "Sequential"}}, children=[EXERCISE])
SESSION = doc(node("r", "Session", {"type": "Temporal"}, children=[BLOCK], metadata={"k": [1, {"a": None}]}))


def session_with(**payload_members):
    """SESSION with one more member in the set's payload."""
    text = json.dumps(SESSION)
    return text.replace('"value": 5}]', '"value": 5}]' + "".join(f', "{k}": {v}' for k, v in payload_members.items()))


def small_documents():
    ride = bench.make_recording(200)
    yield "plan", json.dumps(bench.make_plan(1), ensure_ascii=False)
    yield "ride", json.dumps(ride)
    yield "ride-indented", json.dumps(ride, indent=2)
    yield "ride-tight", json.dumps(ride, separators=(",", ":"))
    for index, session in enumerate(bench.make_sessions(6)):
        yield f"session-{index}", json.dumps(session, ensure_ascii=False)
    for path in sorted((ROOT / "examples").glob("*.json")) + sorted((ROOT / "fuzz" / "seeds").glob("*.json")):
        yield path.stem, path.read_text(encoding="utf-8")
    yield "session", json.dumps(SESSION)


DOCUMENTS = list(small_documents())


# ---- the common form: taken by the walk, and it must be exact ----

@pytest.mark.parametrize("name, text", DOCUMENTS, ids=[d[0] for d in DOCUMENTS])
def test_documents_agree(name, text):
    assert_agree(text)


COMMON = table(
    ("every-fault", doc(node("r", "Block", {"type": "Exercise"}, children=[
        node("x", "Set", {"type": "Leaf", "measures": []}),
        node("y", "Session", {"type": "Block", "execution_mode": {"type": "Parallel"}}),
        {"id": "z", "kind": {"type": "Custom", "value": "Su\u00e9per\x7f"}, "payload": {"type": "Temporal"}},
    ]))),
    ("custom-kind-and-payload", doc({"id": "", "kind": {"type": "Custom", "value": "Mesocycle"},
                                     "payload": {"type": "Custom", "a": [1, 2.5, -3, True, None, "x"], "b": {}}})),
    ("custom-kind-under-exercise", doc(node("e", "Exercise", {"type": "Exercise"}, children=[
        {"id": "c", "kind": {"type": "Custom", "value": "Block"}, "payload": {"type": "Custom"}},
        node("b", "Block", {"type": "Block", "execution_mode": {"type": "Circuit", "value": {"rounds": 3}}})]))),
    ("unit-content-null", doc(node("r", "Session", {"type": "Temporal", "rest_seconds": None}),
                             sport=None, streams=None)),
    ("unknown-members", doc(node("r", "Session", {"type": "Temporal", "zz": [[{}]]}, zz={"a": [1]}), zz=1)),
    ("empty-lists-and-maps", doc(node("r", "Session", {"type": "Temporal"}, children=[], metadata={}),
                                laps=[], metadata={})),
    ("duplicate-metadata-key", '{"id":"w","version":"1","root":{"id":"r","kind":{"type":"Day"},'
                               '"payload":{"type":"Temporal"},"metadata":{"a":1,"a":2}}}'),
    ("non-ascii-ids", doc(node("h\u00e9-\u4e2d-\U0001f600", "Block", {"type": "Block",
                          "execution_mode": {"type": "Custom", "value": "EMOM"}}))),
    ("whitespace-everywhere", " \t\r\n" + json.dumps(SESSION, indent="\t").replace("\n", "\r\n") + "\n\t "),
    ("no-whitespace", json.dumps(SESSION, separators=(",", ":"))),
)


@pytest.mark.parametrize("document", COMMON)
def test_the_common_form_agrees(document):
    text = document if isinstance(document, str) else json.dumps(document, ensure_ascii=False)
    assert_agree(text)


def test_the_faults_are_reported_in_order():
    text = json.dumps(COMMON[0].values[0], ensure_ascii=False)
    assert sdk.validate_workout(text) == [
        "r: NodeKind Block does not match payload variant",
        "y: Session should not be a child of Exercise",
        "x: Set node must have at least one measure",
        "y: NodeKind Session does not match payload variant",
        "y: Block node must have at least one child",
        'z: NodeKind Custom("Suéper\\u{7f}") does not match payload variant',
    ]
    assert sdk.count_sets(text) == 1


# ---- give-ups: each must come out as the general reading has it ----

def cuts(text, count=40):
    step = max(1, len(text) // count)
    return [text[:k] for k in range(0, len(text), step)] + [text[:-1], text + ",", text + " x"]


@pytest.mark.parametrize("name, text", DOCUMENTS[:2] + DOCUMENTS[4:6] + DOCUMENTS[-1:],
                         ids=[d[0] for d in DOCUMENTS[:2] + DOCUMENTS[4:6] + DOCUMENTS[-1:]])
def test_texts_cut_short_fail_as_before(name, text):
    outcomes = {assert_agree(cut) for cut in cuts(text)}
    assert "refused" in outcomes


def reordered(value):
    """Every object's members in reverse order."""
    if isinstance(value, dict):
        return {k: reordered(v) for k, v in reversed(value.items())}
    if isinstance(value, list):
        return [reordered(v) for v in value]
    return value


MOVED = table(
    ("members-reversed", json.dumps(reordered(SESSION))),
    ("plan-reversed", json.dumps(reordered(bench.make_plan(1)), ensure_ascii=False)),
    ("payload-tag-last", json.dumps(SESSION).replace('{"type": "Leaf", "measures": [{"type": "Reps", "value": 5}]}',
                                                     '{"measures": [{"type": "Reps", "value": 5}], "type": "Leaf"}')),
    ("kind-value-first", json.dumps(doc({"id": "r", "kind": {"value": "X", "type": "Custom"},
                                         "payload": {"type": "Custom"}}))),
    ("measure-value-first", json.dumps(SESSION).replace('{"type": "Reps", "value": 5}', '{"value": 5, "type": "Reps"}')),
    ("tag-twice", json.dumps(SESSION).replace('{"type": "Temporal"}', '{"type": "Temporal", "type": "Temporal"}')),
    ("kind-tag-twice", json.dumps(SESSION).replace('{"type": "Session"}', '{"type": "Session", "type": "Day"}')),
    ("content-twice", json.dumps(SESSION).replace('"value": 5}', '"value": 5, "value": 6}')),
    ("field-twice", json.dumps(SESSION).replace('"id": "s1"', '"id": "s1", "id": "s2"')),
    ("field-missing", json.dumps(SESSION).replace('"id": "s1", ', "")),
    ("content-missing", json.dumps(SESSION).replace('{"type": "Reps", "value": 5}', '{"type": "Reps"}')),
    ("unit-content-not-null", json.dumps(SESSION).replace('{"type": "Session"}', '{"type": "Session", "value": 1}')),
    ("unknown-tag", json.dumps(SESSION).replace('"Temporal"', '"Temporary"')),
    ("tag-as-object", json.dumps(SESSION).replace('{"type": "Session"}', '{"type": {"Session": null}}')),
    ("empty-kind", json.dumps(SESSION).replace('{"type": "Session"}', "{}")),
    # Members are matched in declaration order first, those that may be left out stepped
    # past, until one out of that order.
    ("in-order-then-not", json.dumps(SESSION).replace('"id": "b1", "kind": {"type": "Block"}',
                                                      '"id": "b1", "metadata": {}, "kind": {"type": "Block"}')),
    ("in-order-with-unknown", json.dumps(SESSION).replace('"id": "e1", ', '"id": "e1", "x": {"id": 1}, ')),
    ("in-order-field-again", json.dumps(SESSION).replace('"kind": {"type": "Set"}',
                                                         '"kind": {"type": "Set"}, "id": "s2"')),
    ("in-order-required-missing", json.dumps(SESSION).replace(', "payload": {"type": "Temporal"}', "")),
    ("in-order-space-before-colon", json.dumps(SESSION).replace('"kind": {"type": "Set"}', '"kind" : {"type": "Set"}')),
)


@pytest.mark.parametrize("text", MOVED)
def test_moved_and_repeated_members_agree(text):
    assert_agree(text)


ESCAPES = table(
    ("escaped-key", json.dumps(SESSION).replace('"id": "s1"', '"i\\u0064": "s1"')),
    ("escaped-unknown-key", json.dumps(SESSION).replace('"id": "s1"', '"\\u00e9": 1, "id": "s1"')),
    ("escaped-id", json.dumps(SESSION).replace('"id": "s1"', '"id": "s\\"1\\\\"')),
    ("escaped-tag", json.dumps(SESSION).replace('"Session"', '"Sess\\u0069on"')),
    ("escaped-custom-kind", json.dumps(doc({"id": "c", "kind": {"type": "Custom", "value": "Super\tset\u0000"},
                                            "payload": {"type": "Leaf", "measures": []}}))),
    ("surrogate-pair", json.dumps(doc(node("\U0001f600", "Session", {"type": "Leaf", "measures": []})))),
    ("lone-surrogate", json.dumps(SESSION).replace('"s1"', '"\\ud800"')),
    ("bad-escape", json.dumps(SESSION).replace('"s1"', '"\\x"')),
    ("raw-tab-in-id", json.dumps(SESSION).replace('"s1"', '"s\t1"')),
    ("raw-control-in-metadata", json.dumps(SESSION).replace('"a": null', '"a": "\x01"')),
)


@pytest.mark.parametrize("text", ESCAPES)
def test_escapes_agree(text):
    assert_agree(text)


def with_reps(value):
    return json.dumps(SESSION).replace('"value": 5', '"value": ' + value)


NUMBERS = table(
    ("u32-max", with_reps("4294967295")),
    ("u32-over", with_reps("4294967296")),
    ("negative", with_reps("-1")),
    ("minus-zero", with_reps("-0")),
    ("fraction", with_reps("5.0")),
    ("exponent", with_reps("5e0")),
    ("twenty-digits", with_reps("12345678901234567890")),
    ("leading-zero", with_reps("05")),
    ("bare-minus", with_reps("-")),
    ("rest-long-mantissa", session_with(rest_seconds="0.12345678901234567890123")),
    ("rest-huge", session_with(rest_seconds="1e400")),
    ("rest-tiny", session_with(rest_seconds="1e-400")),
    ("rest-five-digit-exponent", session_with(rest_seconds="1e00001")),
    ("rest-integer-above-u64", session_with(rest_seconds="18446744073709551616")),
    ("metadata-huge", json.dumps(SESSION).replace('"a": null', '"a": 1e999')),
    ("metadata-min-i64", json.dumps(SESSION).replace('"a": null', '"a": -9223372036854775809')),
    ("unknown-member-huge", session_with(zz="1e999")),
    ("lap-index-u64-max", json.dumps(doc(SESSION["root"], laps=[{"start_index": 18446744073709551615,
                                                                  "trigger": "Manual"}]))),
    ("lap-index-over", json.dumps(doc(SESSION["root"], laps=[{"start_index": 18446744073709551616,
                                                               "trigger": "Manual"}]))),
    ("samples-edge", json.dumps(doc(SESSION["root"], streams={"timestamps": [0, -0, 1e22, 1e23, 2.5e-7, 9007199254740993],
                                                               "channels": []}))),
    ("samples-bad", json.dumps(doc(SESSION["root"], streams={"timestamps": [0]})).replace("[0]", "[0, 1.]")),
)


@pytest.mark.parametrize("text", NUMBERS)
def test_numbers_at_the_edges_agree(text):
    assert_agree(text)


OTHER_FORMS = table(
    ("positional-node", json.dumps(doc(["r", {"type": "Session"}, None, [], {"type": "Temporal"}, {}]))),
    ("positional-workout", json.dumps(["w", "1", None, None, SESSION["root"]])),
    ("measure-array", json.dumps(SESSION).replace('{"type": "Reps", "value": 5}', '["Reps", 5]')),
    ("kind-array", json.dumps(SESSION).replace('{"type": "Session"}', '["Session", null]')),
    ("payload-array", json.dumps(doc(node("r", "Set", ["Leaf", [{"type": "Reps", "value": 1}], None])))),
    ("stream-data-array", json.dumps(doc(SESSION["root"], streams={"timestamps": [0], "channels": [
        {"metric": "Power", "data": ["Scalar", [1]]}]}))),
    ("metric-object", json.dumps(doc(SESSION["root"], streams={"timestamps": [0], "channels": [
        {"metric": {"Power": None}, "data": {"type": "Scalar", "values": [1]}},
        {"metric": {"Custom": "lactate"}, "data": {"type": "Position", "values": [None, {"lat": 1, "lng": 2}]}}]}))),
    ("metric-custom-bare", json.dumps(doc(SESSION["root"], streams={"timestamps": [0], "channels": [
        {"metric": "Custom", "data": {"type": "Scalar", "values": [1]}}]}))),
    ("lap-array", json.dumps(doc(SESSION["root"], laps=[[0, 10, {}, "Auto", None]]))),
    ("lap-trigger-custom", json.dumps(doc(SESSION["root"], laps=[{"trigger": {"Custom": "pool"}, "summary": {"b": 1, "a": 2}}]))),
    ("position-array", json.dumps(doc(SESSION["root"], streams={"timestamps": [0], "channels": [
        {"metric": "Position", "data": {"type": "Position", "values": [[1, 2, None]]}}]}))),
)


@pytest.mark.parametrize("text", OTHER_FORMS)
def test_other_forms_agree(text):
    assert_agree(text)


def nested_metadata(depth):
    return json.dumps(SESSION).replace('"a": null', '"a": ' + "[" * depth + "]" * depth)


def nested_tree(depth):
    root = node("leaf", "Set", {"type": "Leaf", "measures": [{"type": "Reps", "value": 1}]})
    for level in range(depth):
        root = node(f"n{level}", "Block", {"type": "Block", "execution_mode": {"type": "Sequential"}},
                    children=[root])
    return json.dumps(doc(root))


NESTING = table(
    ("metadata-90", nested_metadata(90)),
    ("metadata-121", nested_metadata(121)),
    ("metadata-122", nested_metadata(122)),
    ("unknown-member-200", session_with(zz="[" * 200 + "]" * 200)),
    ("tree-30", nested_tree(30)),
    ("tree-47", nested_tree(47)),
    ("tree-70", nested_tree(70)),
)


@pytest.mark.parametrize("text", NESTING)
def test_nesting_agrees(text):
    assert_agree(text)


FAULTS = table(
    ("empty", ""),
    ("spaces", "   "),
    ("not-an-object", "[]"),
    ("trailing-comma-in-list", json.dumps(SESSION).replace('"value": 5}]', '"value": 5},]')),
    ("trailing-comma-in-object", json.dumps(SESSION).replace('"value": 5}]', '"value": 5,}]')),
    ("trailing-characters", json.dumps(SESSION) + " {}"),
    ("missing-colon", json.dumps(SESSION).replace('"id": "s1"', '"id" "s1"')),
    ("id-not-a-string", json.dumps(SESSION).replace('"id": "s1"', '"id": 1')),
    ("children-null", json.dumps(SESSION).replace('"children": [{"id": "e1"', '"children": null, "x": [{"id": "e1"')),
    ("literal-typo", json.dumps(SESSION).replace("null", "nul")),
    ("true-typo", json.dumps(SESSION).replace("null", "tru")),
)


@pytest.mark.parametrize("text", FAULTS)
def test_faults_are_worded_by_the_general_reading(text):
    assert assert_agree(text) == "refused"
