"""parse_workout builds its objects while it walks a text in the common form, and reads
anything else the general way.  Both must give the same objects (types, member order and
the bits of every float included) and the same errors on every text.

The module reads TAVRIK_WORKOUT_READER once: "general" never walks, "fast" fails where the
walk does not finish (it gives up, or the tree has faults).  A child process gives each
mode's outcome for the cases, and this process (both readers, as users get them) must equal
the general one.  Each group of cases also says whether the walk is expected to take them,
so that a case cannot silently stop testing the path it was written for.
"""

import json
import sys
import tracemalloc
from pathlib import Path

import pytest

import tavrik_workout_sdk as sdk
from conftest import in_reader_mode

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"
sys.path.insert(0, str(ROOT / "bench"))
import bench  # noqa: E402

REPS = [{"type": "Reps", "value": 5}]
SET = {"id": "s", "kind": {"type": "Set"}, "payload": {"type": "Leaf", "measures": REPS}}


KIND = {"type": "Session"}
TEMPORAL = {"type": "Temporal"}
# A node with every member, in declaration order.
NODE = {"id": "n", "kind": KIND, "name": "x", "children": [SET], "payload": TEMPORAL, "metadata": {"a": [1]}}


def workout(root=None, **members):
    return {"id": "w", "version": "1", "root": root or SET, **members}


def text(doc, **dumps):
    return json.dumps(doc, **{"ensure_ascii": False, **dumps})


def with_metadata(raw):
    """A workout whose metadata is the raw JSON text `raw`."""
    return text(workout(metadata="@")).replace('"@"', raw)


def leaf_with(measure_text):
    return text(workout()).replace('{"type": "Reps", "value": 5}', measure_text)


def examples():
    return {path.name: path.read_text(encoding="utf-8") for path in sorted(EXAMPLES.glob("*.workout.json"))}


PLAN = text(bench.make_plan(2))
RIDE = text(bench.make_recording(60))
SESSIONS = [text(doc) for doc in bench.make_sessions(4)]
OVER_UNDERS = examples()["over_unders.workout.json"]

# name -> (whether the walk finishes, [texts])
WALKED, GIVES_UP = "walked", "gives up"
GROUPS = {
    "common form": (WALKED, [
        PLAN, text(bench.make_plan(2), indent=2), RIDE, text(bench.make_recording(60), indent=1), *SESSIONS,
        OVER_UNDERS, examples()["plan_12_week_strength.workout.json"], examples()["run_with_streams.workout.json"],
        # Members in another order than declared, unknown members, nulls and empties left out.
        '{"root":{"payload":{"type":"Leaf","intensity":null,"measures":[{"type":"Duration","value":{"seconds":60}}]},'
        '"metadata":{},"children":[],"kind":{"type":"Set"},'
        '"id":"s","name":null,"x":[1,{"y":null}]},"laps":[],"version":"1","id":"w","date":null,"sport":""}',
        text(workout(streams={"timestamps": [], "channels": []}, laps=[{"trigger": {"Custom": "x"}, "summary": {}}])),
        # Units and other external values in their object form, a unit given with null.
        leaf_with('{"type":"Weight","value":{"unit":{"Kg":null},"amount":1}}'),
        leaf_with('{"type":"Pace","value":{"per":"Miles","seconds":300.5}}'),
        leaf_with('{"type":"Custom","value":{"name":"band","value":{"b":[true,false,null],"a":"x"}}}'),
        text(workout({"id": "s", "kind": {"type": "Custom", "value": "Drill"},
                      "payload": {"type": "Custom", "z": 1, "a": {"k": [1, 2.5, -3]}, "m": None}})),
        text(workout({"id": "b", "kind": {"type": "Block", "value": None},
                      "payload": {"type": "Block", "execution_mode": {"type": "Circuit", "value": {"rounds": 3}}},
                      "children": [{"id": "e", "kind": {"type": "Exercise"}, "children": [SET],
                                    "payload": {"type": "Exercise", "rest_seconds": 90}}]})),
    ]),
    # Members are first matched in declaration order, each against the next field's
    # name, those that may be left out stepped past; the first member out of that order
    # hands the rest to the member loop.
    "members in declaration order, some left out, then out of it": (WALKED, [
        text({"id": "w", "version": "1", "sport": "s", "date": "d",
              "root": {**NODE, "children": [SET, {**SET, "name": None, "children": []}]},
              "streams": None, "laps": [], "metadata": {"b": 2}}),
        text(workout(dict(id="n", kind=KIND, children=[SET], payload=TEMPORAL))),
        text(workout(dict(id="n", kind=KIND, name="x", payload=TEMPORAL, metadata={}))),
        text(workout(dict(id="n", payload=TEMPORAL, kind=KIND))),
        text(workout(dict(id="n", kind=KIND, metadata={"a": 1}, payload=TEMPORAL, name="x"))),
        text(workout(dict(kind=KIND, id="n", payload=TEMPORAL))),
        text(workout(dict(id="n", x=[1, {"id": 2}], kind=KIND, payload=TEMPORAL, y=None))),
        text(workout(NODE)).replace('"id": "n"', '"id" : "n"'),
        text(workout(NODE)).replace('"kind": ', '"kind":\t').replace('"name": ', '"name":  ').replace(
            '"children": ', '"children":\n'),
        text(workout(NODE), separators=(",", ":")),
        text(workout(NODE), indent=1),
        leaf_with('{"type":"Weight","value":{"amount":1,"unit":"Kg","x":0}}'),
    ]),
    "members in declaration order, then repeated, missing or wrong": (GIVES_UP, [
        text(workout(NODE)).replace('"name": "x"', '"name": "x", "id": "m"'),
        text(workout(NODE)).replace('"name": "x"', '"name": "x", "name": "y"'),
        text(workout(dict(id="n", kind=KIND))),
        text(workout(dict(id="n", kind=KIND, name=5, payload=TEMPORAL))),
        leaf_with('{"type":"Weight","value":{"amount":1}}'),
        leaf_with('{"type":"Weight","value":{"amount":1,"amount":2,"unit":"Kg"}}'),
    ]),
    "metadata kept sorted, the last repeated key winning": (WALKED, [
        with_metadata('{"b":1,"a":2,"b":3,"a":{"y":1,"x":2,"y":[]}}'),
        with_metadata('{"z":{},"é":"ü","e":"","Z":[],"":0}'),
        with_metadata('{"' + "k" * 70 + '":1,"' + "k" * 70 + '":2,"j":3}'),
        # More keys than the sink keeps room for at first, descending and repeated.
        with_metadata("{" + ",".join(f'"k{i % 250:03}":{i}' for i in range(400, 0, -1)) + "}"),
    ]),
    "numbers at the edges": (WALKED, [
        with_metadata('{"max":9999999999999999999,"min":-9223372036854775808,"neg0":-0.0,"tiny":5e-22,'
                      '"int_as_float":1.0,"exp":1E+2,"zero":0,"big_double":9007199254740993}'),
        leaf_with('{"type":"Duration","value":{"seconds":5}}'),
        leaf_with('{"type":"Duration","value":{"seconds":-0.0}}'),
        leaf_with('{"type":"Duration","value":{"seconds":9007199254740993}}'),
        leaf_with('{"type":"Calories","value":4294967295}'),
        text(workout(laps=[{"trigger": "Manual", "start_index": 9999999999999999999, "summary": {"b": 1, "a": -2}}])),
        text(workout(streams={"timestamps": [-1, 0, -2.5, 1], "channels": [
            {"metric": "Power", "data": {"type": "Scalar", "values": [-5, 0.0, -0.0, 3]}}]})),
    ]),
    "numbers the walk leaves to the general reading": (GIVES_UP, [
        with_metadata('{"big":18446744073709551615}'),
        with_metadata('{"big":18446744073709551616}'),
        with_metadata('{"big":-9223372036854775809}'),
        with_metadata('{"x":1e308}'),
        with_metadata('{"x":1e-320}'),
        with_metadata('{"x":-0}'),
        with_metadata('{"x":0.1234567890123456789}'),
        leaf_with('{"type":"Duration","value":{"seconds":-0}}'),
        leaf_with('{"type":"Duration","value":{"seconds":1e308}}'),
        leaf_with('{"type":"Calories","value":4294967296}'),
        leaf_with('{"type":"Calories","value":5.0}'),
    ]),
    # Escaped values and map keys are decoded as the general reader decodes them.
    "escapes": (WALKED, [
        with_metadata('{"a\\u0062":1}'),
        with_metadata('{"a":"tab\\there"}'),
        text(workout({**SET, "name": "quote \" inside"})),
        text(workout({**SET, "id": "é"}), ensure_ascii=True),
    ]),
    # The tag found ahead of the members before it, which are then walked as after it.
    "tags not first": (WALKED, [
        leaf_with('{"value":5,"type":"Reps"}'),
        text(workout({**SET, "payload": {"measures": REPS, "type": "Leaf"}})),
        text(workout({**SET, "kind": {"value": None, "type": "Set"}})),
        text(workout({**SET, "kind": {"x": [1, {"type": "Day"}], "type": "Set", "y": {}}})),
        text(workout({"id": "c", "kind": {"value": "Drill", "zz": 1, "type": "Custom"},
                      "payload": {"z": 1, "type": "Custom", "a": {"k": [1, 2.5]}, "m": None, "b": "x"}})),
        text(workout({"id": "e", "kind": {"type": "Exercise"}, "children": [SET],
                      "payload": {"rest_seconds": 90, "intensity": {"value": 8, "type": "RPE"}, "x": [],
                                  "type": "Exercise"}})),
        text(workout({"id": "b", "kind": {"type": "Block"}, "children": [
            {"id": "e", "kind": {"type": "Exercise"}, "children": [SET], "payload": {"type": "Exercise"}}],
                      "payload": {"execution_mode": {"value": {"rounds": 3}, "type": "Circuit"}, "type": "Block"}})),
        leaf_with('{"value":{"amount":20.5,"unit":"Kg"},"type":"Weight"}'),
        text(workout(streams={"timestamps": [0, 1], "channels": [
            {"metric": "Power", "data": {"values": [1.5, -2], "type": "Scalar"}},
            {"metric": "Position", "data": {"values": [None, {"lat": 1, "lng": 2}], "type": "Position"}}]})),
        text(bench.with_last_tag_last(bench.make_plan(2))),
        text(bench.with_last_tag_last(bench.make_plan(1)), indent=2),
    ]),
    "tags not first, refused or left to the general reading": (GIVES_UP, [
        leaf_with('{"value":5}'),
        leaf_with('{"value":5,"type":"Reps","type":"Reps"}'),
        leaf_with('{"value":5,"type":"Reps","value":5}'),
        leaf_with('{"value":5,"value":6,"type":"Reps"}'),
        leaf_with('{"value":{"seconds":5},"type":"Reps"}'),
        leaf_with('{"x":1,"type":"Weight"}'),
        leaf_with('{"value":5,"type":"Rep"}'),
        leaf_with('{"value":5,"type":{"Reps":null}}'),
        leaf_with('{"value":"\\u0035","type":"Reps"}'),
        text(workout({**SET, "kind": {"value": 1, "type": "Set"}})),
        text(workout({**SET, "payload": {"measures": REPS, "type": "Leaf"}})).replace('"Leaf"', '"Leaf", "type": "Leaf"'),
        text(workout({**SET, "payload": {"intensity": None, "type": "Leaf"}})),
        text(workout({**SET, "payload": {"measures": [], "type": "Leaf"}})).replace('"measures": []', '"measures": [], "measures": []'),
        text(workout({**SET, "payload": {"measures": REPS, "type": 0}})),
        text(workout({**SET, "payload": {"measures": REPS, "type": "Leaf"}}))[:-12],
        text(workout({**SET, "payload": {"a": 1, "type": "Custom"}})).replace('"Custom"', '"Custom", "type": "Custom"'),
    ]),
    # Names and tags are decoded; escapes the general reader refuses are left to it.
    "escaped names and tags": (WALKED, [
        text(workout()).replace('"id": "s"', '"i\\u0064": "s"'),
        text(workout()).replace('"root"', '"r\\u006fot"'),
        text(workout()).replace('"Leaf"', '"L\\u0065af"').replace('"Reps"', '"\\u0052eps"'),
        text(workout()).replace('{"type": "Set"}', '{"\\u0074ype": "Set"}'),
        text(workout()).replace('{"type": "Leaf"', '{"t\\u0079pe": "Leaf"'),
        text(workout()).replace('"id": "s"', '"id": "s", "\\u00e9\\u4e2d\\n\\/\\"\\\\x": [1]'),
        text(bench.make_plan(1)).replace('"metadata"', '"metad\\u0061ta"'),
        text(workout()).replace('"id": "s"', '"\\ud83d\\ude00": 1, "id": "s"'),
        text(workout()).replace('"id": "s"', '"' + "\\u0061" * 70 + '": 1, "id": "s"'),
        text(workout({"id": "c", "kind": {"type": "Custom", "value": "x"},
                      "payload": {"type": "Custom", "a": 1}})).replace('"a": 1', '"\\u0061": 1'),
        text(workout()).replace('"type": "Leaf"', '"\\u0074ype": "L\\u0065af"'),
    ]),
    "escapes the walk leaves to the general reading": (GIVES_UP, [
        text(workout()).replace('"id": "s"', '"i\\ud800": "s"'),
        text(workout()).replace('"id": "s"', '"i\\x": "s"'),
        text(workout()).replace('"id": "s"', '"i\\u00g4": "s"'),
        text(workout()).replace('"id": "s"', '"i\\u0064": "s", "id": "t"'),
        text(workout()).replace('"value": 5}]', '"value": 5}], "\\u0074ype": "Leaf"'),
        text(workout()).replace('"Leaf"', '"L\\u0065ag"'),
    ]),
    "array forms, tags repeated": (GIVES_UP, [
        text(workout({**SET, "kind": ["Set", None]})),
        leaf_with('["Reps",5]'),
        text(workout({**SET, "payload": {"type": "Temporal", "type ": 1, "type": "Leaf"}})),
    ]),
    "texts cut short or wrong": (GIVES_UP, [
        PLAN[:len(PLAN) // 2], PLAN[:-1], SESSIONS[0][:100], RIDE[:len(RIDE) // 3], "", "{}", "[]", "null",
        text(workout())[:-1] + ',"id":"again"}',
        text(workout({**SET, "kind": {"type": "Sett"}})),
        leaf_with('{"type":"Reps","value":-1}'),
        text(workout()) + " x",
        "[" * 200 + "]" * 200,
        text(workout(metadata={"deep": json.loads("[" * 120 + "]" * 120)})),
    ]),
    "trees with faults": (GIVES_UP, [
        examples()["session_with_structural_faults.workout.json"],
        text(workout({"id": "b", "kind": {"type": "Block"}, "children": [SET],
                      "payload": {"type": "Block", "execution_mode": {"type": "Sequential"}}})),
        text(workout({**SET, "payload": {"type": "Leaf", "measures": []}})),
    ]),
}

CASES = [(group, index, case) for group, (_, cases) in GROUPS.items() for index, case in enumerate(cases)]


def outcome(function, case):
    try:
        return ("ok", function(case))
    except (ValueError, RuntimeError) as error:
        return (type(error).__name__, str(error))




def in_mode(mode, cases):
    return [row[0] for row in in_reader_mode(mode, ["parse_workout"], cases)]


@pytest.fixture(scope="module")
def hooks():
    """Only a development build (scripts/install.sh) lets the variable choose the reader;
    any other build must ignore it."""
    if in_mode("fast", ["{"]) != [("RuntimeError", "the fast read gave up")]:
        assert in_mode("fast", ["{"]) == in_mode("general", ["{"]) == [outcome(sdk.parse_workout, "{")]
        pytest.skip("the module was built without its test hooks (scripts/install.sh builds them)")


def same(a, b):
    """Equal with the same types all the way down (1, 1.0 and True differ; so do 0.0
    and -0.0), dicts in the same order."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return a.hex() == b.hex()
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b


@pytest.fixture(scope="module")
def modes(hooks):
    texts = [case for _, _, case in CASES]
    return dict(zip(["general", "fast"], (in_mode("general", texts), in_mode("fast", texts))))


@pytest.mark.parametrize("group", GROUPS)
def test_the_walk_builds_what_the_general_reading_builds(group, modes):
    expected_path, _ = GROUPS[group]
    for position, (name, index, case) in enumerate(CASES):
        if name != group:
            continue
        general = modes["general"][position]
        fast = modes["fast"][position]
        both = outcome(sdk.parse_workout, case)
        where = f"{group} #{index}"
        assert same(both, general), where
        if expected_path == WALKED:
            assert fast[0] == "ok", (where, fast)
            assert same(fast, general), where
        else:
            assert fast == ("RuntimeError", "the fast read gave up"), (where, fast)


def test_cuts_of_every_length_agree(modes):
    """Each prefix of a session ends in the same outcome through both readers."""
    session = SESSIONS[1]
    cuts = [session[:n] for n in range(0, len(session), 7)]
    general = in_mode("general", cuts)
    for cut, expected in zip(cuts, general):
        assert same(outcome(sdk.parse_workout, cut), expected), len(cut)


def test_names_and_tags_are_shared_interned_strs():
    first = sdk.parse_workout(SESSIONS[0])
    second = sdk.parse_workout(SESSIONS[1])
    assert first["root"]["kind"]["type"] is second["root"]["kind"]["type"]
    assert list(first)[0] is list(second)[0] == "id"
    tag = first["root"]["payload"]["type"]
    assert sys.intern(tag) is tag


def test_strs_with_a_character_beyond_ascii_anywhere():
    """Whether a str's bytes are all ASCII is read in words that may overlap; a character
    beyond ASCII at any place of a str of any length up to past three words, as a value
    and as a data key, must make the str it is."""
    names = ["a" * n for n in range(30)]
    names += ["a" * at + c + "b" * (n - at) for n in range(26) for at in range(n + 1) for c in ("é", "中", "😀")]
    for name in names:
        got = sdk.parse_workout(text(workout({**SET, "name": name}, metadata={name: 1})))
        assert got["root"]["name"] == name and list(got["metadata"]) == [name], ascii(name)


def test_data_keys_are_each_calls_own():
    """Every call gets its own keys, whether earlier calls met them or others in the same
    place of the key cache, around the longest key that is cached, after their results
    are gone."""
    keys = [f"k{i}" for i in range(200)] + ["x" * n for n in (63, 64, 65, 200)] + ["é", "k7"]
    for round_ in range(2):
        for at in range(0, len(keys), 3):
            members = {key: at + i for i, key in enumerate(keys[at:at + 3])}
            got = sdk.parse_workout(with_metadata(json.dumps(members)))["metadata"]
            assert list(got.items()) == sorted(members.items(), key=lambda kv: kv[0].encode()), round_


def tagged_dicts(value):
    """Every dict in `value` that holds a "type" member, outermost first."""
    if isinstance(value, dict):
        yield from ([value] if "type" in value else [])
        for member in value.values():
            yield from tagged_dicts(member)
    elif isinstance(value, list):
        for item in value:
            yield from tagged_dicts(item)


def test_tagged_values_are_each_their_own_dict():
    """Tagged values that read alike are still distinct dicts, in one result and across
    calls: changing one changes no other, nor what later calls build.  Small and large
    ones, unit, adjacent, internal and flattened forms."""
    many = {f"m{i}": i for i in range(8)}
    texts = [SESSIONS[0], OVER_UNDERS,
             text(workout({"id": "s", "kind": {"type": "Custom", "value": "Drill"},
                           "payload": {"type": "Custom", **many}}))]
    for case in texts:
        earlier = sdk.parse_workout(case)
        earlier_text = json.dumps(earlier)
        first = sdk.parse_workout(case)
        tagged = list(tagged_dicts(first))
        assert len(tagged) > 1 and len({id(d) for d in tagged}) == len(tagged)
        for d in tagged:
            d["type"] = "changed"
            d["added"] = None
        assert json.dumps(earlier) == earlier_text
        assert same(sdk.parse_workout(case), earlier)


def test_a_walk_given_up_late_leaves_nothing_behind():
    """Everything built before the walk gives up at the last byte is released."""
    import tracemalloc

    late = PLAN[:-1] + " x"
    with pytest.raises(ValueError):
        sdk.parse_workout(late)
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(10):
            with pytest.raises(ValueError):
                sdk.parse_workout(late)
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    # One call's objects take several times the text; ten leaked would be megabytes.
    assert grown < len(late) // 4, grown




def test_the_node_walk_checks_what_the_general_reading_checks(hooks):
    """validate_workout and count_sets give, on every case, what the general reading alone
    gives (the tags found ahead and the decoded names included)."""
    texts = [case for _, _, case in CASES]
    for (group, index, case), expected in zip(CASES, in_reader_mode("general", ["validate_workout", "count_sets"], texts)):
        got = [outcome(function, case) for function in (sdk.validate_workout, sdk.count_sets)]
        assert got == expected, f"{group} #{index}"


def moved_first(doc):
    """The document with every tagged object's "type" member first."""
    if isinstance(doc, dict):
        items = [(k, moved_first(v)) for k, v in doc.items()]
        return dict(sorted(items, key=lambda item: item[0] != "type"))
    if isinstance(doc, list):
        return [moved_first(v) for v in doc]
    return doc


@pytest.mark.parametrize("group", ["tags not first", "escaped names and tags"])
def test_to_json_writes_tags_first_and_names_decoded(group):
    """A text walked with its tags later or its names escaped is not in written form: to_json
    writes it as it writes the same document with its tags first and names plain."""
    for index, case in enumerate(GROUPS[group][1]):
        canonical = text(moved_first(json.loads(case)))
        assert sdk.to_json(case) == sdk.to_json(canonical), f"{group} #{index}"



def test_a_text_cut_short_is_read_the_general_way_without_building_objects():
    """Cut short or followed by more, a text is refused by the general reading: the walk,
    which would meet that only at its end, having built the objects of all before it, is
    not tried (a text that ends with a brace is, even when the brace closes an inner
    object; the walk then gives up on its own)."""
    whole = text(bench.make_plan(2), indent=2)
    last_string = whole.rindex('"')
    for case in (whole[:last_string], whole[: len(whole) // 2].rstrip("}\n ") + "\n", whole + " 0", whole + ","):
        expected = in_mode("general", [case])
        tracemalloc.start()
        try:
            assert [outcome(sdk.parse_workout, case)] == expected
            _, peak = tracemalloc.get_traced_memory()
        finally:
            tracemalloc.stop()
        assert expected[0][0] == "ValueError" and peak < len(whole) // 20, (case[-20:], peak)
