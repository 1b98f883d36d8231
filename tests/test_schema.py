"""The JSON Schema of the normal form: a valid draft 2020-12 schema, equal to the copy kept in
the repository, met by everything to_json writes and failed by normal forms broken in the ways
a person editing a file breaks them, at the place an editor shows."""

import copy
import json
import pathlib
import re

import jsonschema
import pytest
from hypothesis import HealthCheck, given, settings

import tavrik_workout_sdk as sdk
from conftest import SET_NODE, doc, node, table
from test_roundtrip_property import workouts
from typing_support import REPOSITORY, SCHEMA

EXAMPLES = sorted((REPOSITORY / "examples").glob("*.json"))


@pytest.fixture(scope="module")
def validator():
    schema = json.loads(SCHEMA.read_text(encoding="utf-8"))
    return jsonschema.Draft202012Validator(schema)


def test_schema_is_a_valid_draft_2020_12_schema(validator):
    assert validator.schema["$schema"] == "https://json-schema.org/draft/2020-12/schema"
    jsonschema.Draft202012Validator.check_schema(validator.schema)


def test_repository_copy_equals_the_generated_schema():
    committed = (REPOSITORY / "schema" / "workout.schema.json").read_text(encoding="utf-8")
    assert committed == SCHEMA.read_text(encoding="utf-8"), "run ./scripts/schema.sh"


def normal_form(text):
    return json.loads(sdk.to_json(text))


@pytest.mark.parametrize("path", [p for p in EXAMPLES if "broken" not in p.name], ids=lambda p: p.name)
def test_examples_normal_forms_are_valid(validator, path):
    validator.validate(normal_form(path.read_text(encoding="utf-8")))


@settings(max_examples=150, deadline=None, suppress_health_check=list(HealthCheck))
@given(workouts(valid=False))
def test_generated_normal_forms_are_valid(validator, workout):
    validator.validate(normal_form(json.dumps(workout)))


BASE = normal_form((REPOSITORY / "examples" / "run_with_streams.workout.json").read_text(encoding="utf-8"))


def first_set(doc):
    node = doc["root"]
    while "children" in node:
        node = node["children"][0]
    return node


def mutant(change):
    doc = copy.deepcopy(BASE)
    change(doc)
    return doc


MUTANTS = table(
    # (id, change, where the instance fails, where in the schema, message)
    ("required-member-removed", lambda d: d.pop("version"),
     "$", "required", "'version' is a required property"),
    ("required-node-member-removed", lambda d: d["root"].pop("payload"),
     "$.root", "required", "'payload' is a required property"),
    # A tagged alternative is chosen by its tag, so the fault is named where it is: a
    # misspelt tag as a name not among the tags, and a fault inside the chosen alternative
    # as that fault, not as "valid under none of" the alternatives.
    ("kind-tag-misspelt", lambda d: d["root"]["kind"].update(type="Sesion"),
     "$.root.kind.type", "enum", "'Sesion' is not one of ['Set', 'Exercise', 'Block', 'Session'"),
    ("payload-tag-misspelt", lambda d: first_set(d)["payload"].update(type="leaf"),
     "$.root.children[0].children[0].children[0].payload.type", "enum",
     "'leaf' is not one of ['Leaf', 'Exercise', 'Block', 'Temporal', 'Custom']"),
    ("unit-misspelt", lambda d: d["root"]["children"][1]["children"][0]["children"][0]["payload"]["measures"][0][
        "value"].update(unit="meters"), "$.root.children[1].children[0].children[0].payload.measures[0].value.unit",
     "enum", "'meters' is not one of ['Meters', 'Kilometers', 'Miles']"),
    ("u32-out-of-range", lambda d: first_set(d)["payload"]["measures"][1]["value"].update(bpm=2**32),
     "$.root.children[0].children[0].children[0].payload.measures[1].value.bpm", "maximum",
     "4294967296 is greater than the maximum of 4294967295"),
    ("measure-member-missing", lambda d: first_set(d)["payload"]["measures"][0]["value"].pop("seconds"),
     "$.root.children[0].children[0].children[0].payload.measures[0].value", "required",
     "'seconds' is a required property"),
    ("member-of-another-payload", lambda d: first_set(d)["payload"].update(rest_seconds=60.0),
     "$.root.children[0].children[0].children[0].payload", "additionalProperties",
     "Additional properties are not allowed ('rest_seconds' was unexpected)"),
    ("custom-kind-without-name", lambda d: d["root"].update(kind={"type": "Custom"}),
     "$.root.kind", "required", "'value' is a required property"),
    ("unit-kind-with-content", lambda d: d["root"]["kind"].update(value="x"),
     "$.root.kind", "additionalProperties", "Additional properties are not allowed ('value' was unexpected)"),
    ("circuit-rounds-as-text", lambda d: d["root"]["children"][1]["payload"]["execution_mode"]["value"].update(
        rounds="6"), "$.root.children[1].payload.execution_mode.value.rounds", "type", "'6' is not of type 'integer'"),
    ("lap-trigger-misspelt", lambda d: d["laps"][0].update(trigger="manual"),
     "$.laps[0].trigger", "enum", "'manual' is not one of ['Manual', 'Distance', 'Time', 'HeartRateZone', 'Auto']"),
    ("custom-trigger-misspelt", lambda d: d["laps"][1].update(trigger={"custom": "x"}),
     "$.laps[1].trigger", "additionalProperties", "Additional properties are not allowed ('custom' was unexpected)"),
    ("metric-a-number", lambda d: d["streams"]["channels"][0].update(metric=3),
     "$.streams.channels[0].metric", "type", "3 is not of type 'string', 'object'"),
    ("samples-of-the-other-kind", lambda d: d["streams"]["channels"][0].update(
        data={"type": "Position", "values": [None, 1.0]}),
     "$.streams.channels[0].data.values[1]", "oneOf", "1.0 is not valid under any of the given schemas"),
    ("schema-member-in-a-node", lambda d: d["root"].update({"$schema": "x"}),
     "$.root", "additionalProperties", "Additional properties are not allowed ('$schema' was unexpected)"),
    ("u64-out-of-range", lambda d: d["laps"][0].update(start_index=2**64),
     "$.laps[0].start_index", "maximum", "18446744073709551616 is greater than the maximum of 18446744073709551615"),
    ("negative-index", lambda d: d["laps"][0].update(end_index=-1),
     "$.laps[0].end_index", "minimum", "-1 is less than the minimum of 0"),
    ("member-added-to-workout", lambda d: d.update(notes="x"),
     "$", "additionalProperties", "Additional properties are not allowed ('notes' was unexpected)"),
    ("member-misspelt-in-node", lambda d: d["root"].update(Name=d["root"].pop("name")),
     "$.root", "additionalProperties", "Additional properties are not allowed ('Name' was unexpected)"),
    ("member-added-to-lap", lambda d: d["laps"][0].update(note=1),
     "$.laps[0]", "additionalProperties", "Additional properties are not allowed ('note' was unexpected)"),
    ("empty-list-written", lambda d: d["root"].update(children=[]),
     "$.root.children", "minItems", "[] should be non-empty"),
    ("double-as-string", lambda d: d["streams"].update(timestamps=["0"]),
     "$.streams.timestamps[0]", "type", "'0' is not of type 'number'"),
)


@pytest.mark.parametrize("change, instance_path, keyword, message", MUTANTS)
def test_broken_normal_forms_are_rejected_where_an_editor_shows_them(validator, change, instance_path, keyword,
                                                                     message):
    doc = mutant(change)
    error = jsonschema.exceptions.best_match(validator.iter_errors(doc))
    assert error is not None
    assert (error.json_path, error.validator) == (instance_path, keyword)
    assert message in error.message


def test_mutants_start_from_a_valid_normal_form(validator):
    validator.validate(BASE)
    assert BASE["laps"] and BASE["streams"]["timestamps"]


def test_a_top_level_schema_member_is_allowed_and_read_by_the_module(validator):
    text = json.dumps({"$schema": "../schema/workout.schema.json", **BASE})
    validator.validate(json.loads(text))
    assert sdk.validate_workout(text) == []
    with pytest.raises(jsonschema.ValidationError, match="1 is not of type 'string'"):
        validator.validate({**json.loads(text), "$schema": 1})


def test_schema_names_itself_and_every_member_says_what_it_means(validator):
    schema = validator.schema
    assert schema["$id"].startswith("urn:") and schema["title"]

    def walk(value, path):
        if isinstance(value, dict):
            for name, member in value.get("properties", {}).items():
                if isinstance(member, dict) and name != "type":
                    # A meaning in words, not only where the member stands in the normal form.
                    description = member.get("description", "")
                    assert re.match(r"[A-Z].*\.$", description) and not description.startswith("Member "), \
                        f"{path}.{name}: {description!r}"
            for key, item in value.items():
                walk(item, f"{path}.{key}")
        elif isinstance(value, list):
            for index, item in enumerate(value):
                walk(item, f"{path}[{index}]")

    walk(schema["$defs"], "$defs")
    described = [then["then"] for d in schema["$defs"].values() for then in d.get("allOf", [])]
    assert len(described) == 33 and all(len(t["description"]) > len("`type` is \"Set\".") for t in described)


def test_schema_command_prints_the_installed_schema(capsys, tmp_path):
    from tavrik_workout import cli

    assert cli.main(["schema"]) == 0
    assert capsys.readouterr().out == SCHEMA.read_text(encoding="utf-8")
    target = tmp_path / "workout.schema.json"
    assert cli.main(["schema", "-o", str(target)]) == 0
    assert target.read_text(encoding="utf-8") == SCHEMA.read_text(encoding="utf-8")


# ---- what a JSON Schema cannot see ----

def normal_text(root=SET_NODE, **members):
    """A small document in normal form, with top-level members given as JSON texts."""
    return sdk.to_json(doc(root, **members)) + "\n"


SET_TEMPORAL = node(kind='{"type":"Set"}', payload='{"type":"Temporal"}', node_id="s")
TWINS = node(kind='{"type":"Session"}', payload='{"type":"Temporal"}', node_id="day",
             children=[node(node_id="a"), node(node_id="a"), node(node_id="")])
DEEP = "[" * 130 + "]" * 130
DISAGREED = normal_text().replace('"version": "1"', '"version": "1", "id": "again"')

LIMITS = table(
    # (id, clause of the schema's description, its words, document, schema accepts, the module's verdict)
    ("integer-with-fraction", 1, "integer members written with a fraction",
     doc(node(payload='{"type":"Leaf","measures":[{"type":"Reps","value":10.0}]}')), True,
     "read error: invalid type: floating point `10.0`, expected u32"),
    ("integer-with-exponent", 1, "an exponent", doc(laps='[{"start_index":1e1,"trigger":"Manual"}]'), True,
     "read error: invalid type: floating point `10.0`, expected usize"),
    ("integer-minus-zero", 1, "as -0",
     doc(node(payload='{"type":"Leaf","measures":[{"type":"Calories","value":-0}]}')), True,
     "read error: invalid type: floating point `-0.0`, expected u32"),
    ("nesting-depth", 2, "nesting depth", doc(metadata='{"deep":' + DEEP + "}"), True,
     "read error: recursion limit exceeded"),
    ("repeated-member", 3, "repeated members", DISAGREED, True, "read error: duplicate field `id`"),
    ("double-out-of-range", 4, "numbers out of range of a double",
     doc(node(payload='{"type":"Exercise","rest_seconds":1e400}', kind='{"type":"Exercise"}')), True,
     "read error: number out of range"),
    ("unpaired-surrogate", 5, "unpaired surrogate", doc(sport='"\\udc00"'), True,
     "read error: lone leading surrogate in hex escape"),
    ("structural-rule", 6, "structural rules", doc(SET_TEMPORAL), True,
     "validation errors: s: NodeKind Set does not match payload variant"),
    ("duplicate-and-empty-ids", 7, "duplicate or empty node ids", normal_text(TWINS), True, "valid"),
    ("recorded-data-inconsistent", 8, "recorded data that disagrees with itself",
     normal_text(streams='{"timestamps":[2.0,1.0],"channels":[{"metric":"Power","data":{"type":"Scalar","values":[1.0]}}]}',
         laps='[{"start_index":9,"end_index":3,"trigger":"Manual"}]'), True, "valid"),
    ("number-spelling", 9, "number forms such as 90 for 90.0",
     normal_text(laps='[{"summary":{"avg_hr":90.0},"trigger":"Manual"}]').replace("90.0", "90"), True,
     "valid, not in normal form"),
    ("free-form-number-rounded", 10, "free-form numbers that a double cannot hold exactly",
     normal_text(metadata='{"serial":123456789012345678901234567890}').replace(
         "1.2345678901234568e+29", "123456789012345678901234567890"), True, "valid, not in normal form"),
    # And the other way round: what the module reads but never writes.
    ("null-optional-member", 0, "null or empty members", doc(sport="null"), False, "valid, not in normal form"),
    ("array-form", 0, "the array forms", '["w","1",null,null,' + SET_NODE + ",null]", False,
     "valid, not in normal form"),
    ("tag-as-object", 0, "tags given as objects", doc(node(kind='{"type":{"Set":null}}')), False,
     "valid, not in normal form"),
)


def module_verdict(text):
    try:
        written = sdk.to_json(text)
    except ValueError as error:
        return "read error: " + re.sub(r"^parse error: | at line \d+ column \d+$", "", str(error))
    try:
        sdk.parse_workout(text)
    except ValueError as error:
        return str(error)
    return "valid" if written + "\n" == text else "valid, not in normal form"


@pytest.mark.parametrize("clause, words, text, schema_accepts, verdict", LIMITS)
def test_schema_and_module_disagree_exactly_where_the_description_says(validator, clause, words, text,
                                                                        schema_accepts, verdict):
    errors = list(validator.iter_errors(json.loads(text)))
    assert (errors == []) == schema_accepts, [e.message for e in errors]
    assert module_verdict(text) == verdict
    description = validator.schema["description"]
    if clause:
        start = description.index(f"({clause})")
        end = description.find(f"({clause + 1})", start)
        assert words in description[start:end if end > 0 else None]
    else:
        assert words in description


def test_every_limit_the_schema_states_has_an_example_and_is_in_the_readme(validator):
    stated = [int(n) for n in re.findall(r"\((\d+)\) ", validator.schema["description"])]
    assert stated == list(range(1, len(stated) + 1))
    assert {p.values[0] for p in LIMITS} - {0} == set(stated)
    readme = (REPOSITORY / "README.md").read_text(encoding="utf-8")
    section = readme[readme.index("## Types and schema"):]
    section = " ".join(section[:section.find("\n## ", 1)].split())
    for case in LIMITS:
        if case.values[0]:
            assert case.values[1] in section, case.values[1]


def docs_json_blocks():
    text = (REPOSITORY / "docs" / "format.md").read_text(encoding="utf-8")
    return re.findall(r"```json\n(.*?)```", text, re.S)


def test_the_format_guide_shows_valid_documents_in_normal_form(validator):
    whole, recorded = docs_json_blocks()
    # The guide's document, laid out by hand, is the normal form apart from its layout.
    assert json.loads(sdk.to_json(whole)) == json.loads(whole)
    assert sdk.validate_workout(whole) == [] and sdk.count_sets(whole) == 1
    validator.validate(json.loads(whole))
    # Its recorded data fits a document of its own: the same laps and channel lengths.
    with_recorded = doc()[:-1] + "," + recorded + "}"
    parsed = sdk.parse_workout(with_recorded)
    validator.validate(json.loads(sdk.to_json(with_recorded)))
    samples = len(parsed["streams"]["timestamps"])
    assert all(len(c["data"]["values"]) == samples for c in parsed["streams"]["channels"])
    assert all(0 <= lap["start_index"] <= lap["end_index"] < samples for lap in parsed["laps"])
