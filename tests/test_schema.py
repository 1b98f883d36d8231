"""The JSON Schema of the normal form: a valid draft 2020-12 schema, equal to the copy kept in
the repository, met by everything to_json writes and failed by normal forms broken in the ways
a person editing a file breaks them, at the place an editor shows."""

import copy
import json
import pathlib

import jsonschema
import pytest
from hypothesis import HealthCheck, given, settings

import tavrik_workout_sdk as sdk
from conftest import table
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


BASE = normal_form((REPOSITORY / "examples" / "run_with_streams.json").read_text(encoding="utf-8"))


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
    ("kind-tag-misspelt", lambda d: d["root"]["kind"].update(type="Sesion"),
     "$.root.kind", "oneOf", "{'type': 'Sesion'} is not valid under any of the given schemas"),
    ("payload-tag-misspelt", lambda d: first_set(d)["payload"].update(type="leaf"),
     "$.root.children[0].children[0].children[0].payload", "oneOf", "is not valid under any of the given schemas"),
    ("unit-misspelt", lambda d: d["root"]["children"][1]["children"][0]["children"][0]["payload"]["measures"][0][
        "value"].update(unit="meters"), "$.root.children[1].children[0].children[0].payload", "oneOf",
     "is not valid under any of the given schemas"),
    ("u32-out-of-range", lambda d: first_set(d)["payload"]["measures"][1]["value"].update(bpm=2**32),
     "$.root.children[0].children[0].children[0].payload", "oneOf", "is not valid under any of the given schemas"),
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


def test_schema_command_prints_the_installed_schema(capsys, tmp_path):
    from tavrik_workout import cli

    assert cli.main(["schema"]) == 0
    assert capsys.readouterr().out == SCHEMA.read_text(encoding="utf-8")
    target = tmp_path / "workout.schema.json"
    assert cli.main(["schema", "-o", str(target)]) == 0
    assert target.read_text(encoding="utf-8") == SCHEMA.read_text(encoding="utf-8")
