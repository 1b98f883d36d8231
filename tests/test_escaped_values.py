"""Strings with escapes on the fast paths: the walks decode them as the general reading
does, and leave to it every escape it refuses.  Each escape is put where a string may
stand (a typed value, a map key, inside a free value or an unknown member) and every
function's outcome is held to the general reading alone; the escapes the general reading
takes must be taken by the walks too, so that a fall back to it fails a test."""

import json
import sys
from pathlib import Path

import pyarrow as pa
import pytest

import tavrik_workout_sdk as sdk
from conftest import for_the_general_reader, in_reader_mode, outcomes
from tavrik_workout import _native, columns

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))
import bench  # noqa: E402  (the benchmark's document generators)

FUNCTIONS = ["validate_workout", "count_sets", "parse_workout", "to_json"]
TABLES = ["streams", "laps", "sets"]

# The inside of a JSON string, as written: those the general reading takes ...
TAKEN = {
    "quote": 'a\\"b', "backslash": "a\\\\b", "slash": "a\\/b", "backspace": "a\\bb", "formfeed": "a\\fb",
    "newline": "a\\nb", "return": "a\\rb", "tab": "a\\tb", "e-acute": "caf\\u00e9", "upper-hex": "caf\\u00E9",
    "nul": "a\\u0000b", "bmp": "\\u4e2d\\u6587", "pair": "x\\ud83d\\ude00y", "only-escapes": "\\u0061\\u0062",
    "long": "\\u00e9" * 40 + "x" * 100,
}
# ... and those it refuses.
REFUSED = {
    "lone-high": "a\\ud800b", "lone-low": "a\\udc00b", "high-then-high": "\\ud800\\ud800",
    "high-then-char": "\\ud800\\n", "invalid": "a\\xb", "short-hex": "a\\u00g9", "control-escaped": "a\\\tb",
}


def leaf(*measures):
    return {"type": "Leaf", "measures": list(measures) or [{"type": "Reps", "value": 5}]}


def workout(root=None, **members):
    root = root or {"id": "s", "kind": {"type": "Set"}, "payload": leaf()}
    return {"id": "w", "version": "1", "root": root, **members}


MARK = "\u2603"  # stands for the escaped string until the text is made


def text(document, inside):
    """The document as compact JSON with every MARK string replaced by `inside` as written."""
    return json.dumps(document, ensure_ascii=False, separators=(",", ":")).replace(MARK, inside)


SET_WITH = lambda **node: {"id": "s", "kind": {"type": "Set"}, "payload": leaf(), **node}  # noqa: E731
STREAMS = {"timestamps": [0, 1], "channels": [{"metric": {"Custom": MARK}, "data": {"type": "Scalar",
                                                                                      "values": [1.5, 2]}}]}
# Where the escaped string stands.
PLACES = {
    "workout id": workout(id=MARK),
    "sport": workout(sport=MARK),
    "node id": workout(SET_WITH(id=MARK)),
    "node name": workout(SET_WITH(name=MARK)),
    "custom kind": workout({"id": "c", "kind": {"type": "Custom", "value": MARK},
                            "payload": {"type": "Custom", "a": 1}}),
    "custom measure name": workout(SET_WITH(payload=leaf({"type": "Custom", "value": {"name": MARK, "value": 1}}))),
    "custom intensity name": workout(SET_WITH(payload={**leaf(), "intensity": {
        "type": "Custom", "value": {"name": MARK, "value": None}}})),
    "custom execution mode": workout({"id": "b", "kind": {"type": "Block"}, "children": [SET_WITH()],
                                      "payload": {"type": "Block", "execution_mode": {"type": "Custom",
                                                                                        "value": MARK}}}),
    "free value": workout(SET_WITH(payload=leaf({"type": "Custom", "value": {
        "name": "n", "value": [MARK, {"k": MARK, MARK: 1, "z": {MARK: [MARK]}}]}}))),
    "free value key order": workout(SET_WITH(payload=leaf({"type": "Custom", "value": {
        "name": "n", "value": {"b": 1, MARK: 2, "a": 3}}}))),
    "node metadata key": workout(SET_WITH(metadata={MARK: 1, "a": 2})),
    "metadata value": workout(metadata={"k": MARK}),
    "flattened payload key": workout({"id": "c", "kind": {"type": "Custom", "value": "x"},
                                      "payload": {"type": "Custom", MARK: 1, "b": MARK}}),
    "unknown member": workout(SET_WITH(zz=MARK)),
    "unknown member, nested": workout(SET_WITH(zz={"a": [MARK, {MARK: MARK}]})),
    "lap name": workout(laps=[{"trigger": "Auto", "name": MARK}]),
    "lap trigger": workout(laps=[{"trigger": {"Custom": MARK}}]),
    "lap summary key": workout(laps=[{"trigger": "Auto", "summary": {"z": 1, MARK: 2, "a": 3}}]),
    "stream metric": workout(streams=STREAMS),
    "enum string": workout(SET_WITH(payload=leaf({"type": "Weight", "value": {"amount": 1, "unit": MARK}}))),
}


def table_outcome(table, text):
    try:
        made = pa.table(getattr(columns, table)(text))
        return ("ok", str(made.schema), made.to_pylist())
    except ValueError as error:
        return ("ValueError", str(error))


CASES = [(place, kind, escape, text(document, escape))
         for place, document in PLACES.items()
         for kind, escapes in (("taken", TAKEN), ("refused", REFUSED))
         for escape in escapes.values()]


@pytest.fixture(scope="module")
def general():
    """The general reading alone, in a child; skipped where the build has no test hooks."""
    if in_reader_mode("fast", ["parse_workout"], ["{"]) != [[("RuntimeError", "the fast read gave up")]]:
        pytest.skip("the module was built without its test hooks (scripts/install.sh builds them)")
    return in_reader_mode("general", FUNCTIONS, [case for *_, case in CASES])


@pytest.fixture(scope="module")
def fast():
    return in_reader_mode("fast", FUNCTIONS[:3], [case for *_, case in CASES])


@pytest.mark.parametrize("place", PLACES)
def test_every_function_answers_as_the_general_reading(place, general, fast):
    cases = [(i, case) for i, (where, *_, case) in enumerate(CASES) if where == place]
    for (i, case), row in zip(cases, (outcomes(FUNCTIONS, case) for _, case in cases)):
        assert row == general[i], (CASES[i][2], case)


@pytest.mark.parametrize("place", PLACES)
def test_escapes_the_general_reading_takes_are_walked(place, general, fast):
    for i, (where, kind, escape, case) in enumerate(CASES):
        if where != place:
            continue
        for j in range(3):
            if kind == "taken" and general[i][j][0] == "ok":
                # The hook makes these fail where their walk gives up.
                assert fast[i][j] == general[i][j], (FUNCTIONS[j], escape, case)
            if kind == "refused":
                assert general[i][j][0] == "ValueError", (escape, case)
                assert fast[i][j] in (general[i][j], ("RuntimeError", "the fast read gave up")), (escape, case)


@pytest.mark.parametrize("place", [p for p in PLACES if p.startswith(("lap", "stream", "node", "custom", "free"))])
@pytest.mark.parametrize("escape", list(TAKEN.values()) + list(REFUSED.values()), ids=list(TAKEN) + list(REFUSED))
def test_columns_agree_with_the_general_reading(place, escape):
    case = text(PLACES[place], escape)
    for table in TABLES:
        walked, read = table_outcome(table, case), table_outcome(table, for_the_general_reader(case))
        if read[0] == "ValueError":
            # The skipped member moves the position of an error by its length.
            assert walked[0] == "ValueError" and walked[1].split(" at line")[0] == read[1].split(" at line")[0]
        else:
            assert walked == read, (table, case)
        if escape in TAKEN.values() and table_outcome(table, for_the_general_reader(case))[0] == "ok":
            assert _native._walked(table, case) is not None, (table, case)


def test_the_validator_names_nodes_by_their_decoded_ids():
    # The validator's messages lead with the node's id: an escaped one is shown decoded, the
    # same as the id written plainly, from the entries of the walk (the "fast" hook).
    empty = {"type": "Leaf", "measures": []}
    children = [{"id": "caf\u00e9", "kind": {"type": "Set"}, "payload": empty},
                {"id": MARK, "kind": {"type": "Set"}, "payload": empty}]
    root = {"id": "e", "kind": {"type": "Exercise"}, "children": children, "payload": {"type": "Exercise"}}
    case = text(workout(root), "caf\\u00e9")
    [fast] = in_reader_mode("fast", ["validate_workout", "count_sets"], [case])
    [general] = in_reader_mode("general", ["validate_workout", "count_sets"], [case])
    assert fast == general
    assert fast[0] == ("ok", ["caf\u00e9: Set node must have at least one measure"] * 2)
    assert fast[1] == ("ok", 2)


@pytest.mark.parametrize("cut", ["\\", "\\u", "\\u00", "\\ud83d", "\\ud83d\\", "\\ud83d\\ude0"])
def test_an_escape_cut_at_the_end_of_the_text(cut):
    case = text(workout(SET_WITH(name=MARK)), "ab").split("ab")[0] + "ab" + cut
    [general] = in_reader_mode("general", FUNCTIONS, [case])
    assert outcomes(FUNCTIONS, case) == general
    assert general[0][0] == "ValueError"
    for table in TABLES:
        assert table_outcome(table, case)[0] == "ValueError", table
        assert _native._walked(table, case) is None


def test_a_plan_written_by_json_dumps_is_walked():
    plan = bench.make_plan(2)
    case = json.dumps(plan)  # every non-ASCII character escaped
    assert "\\u" in case
    [fast] = in_reader_mode("fast", FUNCTIONS[:3], [case])
    [general] = in_reader_mode("general", FUNCTIONS, [case])
    assert fast == general[:3]
    assert fast[2][0] == "ok"
    assert outcomes(FUNCTIONS, case) == general
    assert _native._walked("sets", case) is not None


def test_an_enum_string_spelled_with_escapes_is_walked():
    case = text(workout(SET_WITH(payload=leaf({"type": "Weight", "value": {"amount": 1, "unit": MARK}}))), "\\u004bg")
    [fast] = in_reader_mode("fast", FUNCTIONS[:3], [case])
    [general] = in_reader_mode("general", FUNCTIONS, [case])
    assert fast == general[:3]
    assert general[2][1]["root"]["payload"]["measures"][0]["value"]["unit"] == "Kg"
    assert _native._walked("sets", case) is not None
