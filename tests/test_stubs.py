"""The stubs against the module: stubtest finds nothing to report, the docstrings are the
module's own, and what parse_workout returns has the declared type, member order included."""

import ast
import json
import re
import sys

import pytest
from hypothesis import HealthCheck, given, settings

import tavrik_workout_sdk as sdk
from conftest import doc, table
from test_roundtrip_property import workouts
from typing_support import REPOSITORY, STUB, run

TREE = ast.parse(STUB.read_text(encoding="utf-8"))
ALIASES = {n.target.id: n.value for n in TREE.body
           if isinstance(n, ast.AnnAssign) and ast.unparse(n.annotation) == "TypeAlias"}
CLASSES = {n.name: n for n in TREE.body if isinstance(n, ast.ClassDef)}
FUNCTIONS = {n.name: n for n in TREE.body if isinstance(n, ast.FunctionDef)}


def test_stubtest_reports_nothing(tmp_path):
    # Type aliases exist only for checkers and, unlike classes, cannot be marked
    # @type_check_only, so they are the one thing stubtest is told to expect missing: the
    # repository's allowlist, which users pass too.
    allowlist = REPOSITORY / "stubtest-allowlist.txt"
    status, output = run([sys.executable, "-m", "mypy.stubtest", "tavrik_workout_sdk", "--allowlist", str(allowlist)],
                         tmp_path, needs_module=True)
    assert (status, output.strip()) == (0, "Success: no issues found in 1 module")


def test_repository_allowlist_names_exactly_the_aliases():
    allowlist = REPOSITORY / "stubtest-allowlist.txt"
    listed = [line for line in allowlist.read_text(encoding="utf-8").splitlines() if line and line[0] != "#"]
    assert listed == [f"tavrik_workout_sdk.{name}" for name in sorted(ALIASES)]
    assert len(listed) == 11


def test_stubtest_without_the_allowlist_reports_just_the_aliases(tmp_path):
    status, output = run([sys.executable, "-m", "mypy.stubtest", "tavrik_workout_sdk"], tmp_path, needs_module=True)
    reported = set(re.findall(r"^error: tavrik_workout_sdk\.(\w+) is not present at runtime", output, re.M))
    assert status == 1 and reported == set(ALIASES), output


def test_functions_and_docstrings_are_the_modules():
    assert list(FUNCTIONS) == sdk.__all__
    for name, function in FUNCTIONS.items():
        assert ast.get_docstring(function) == getattr(sdk, name).__doc__
        assert [a.arg for a in function.args.args] == ["json"]
    returns = {name: ast.unparse(f.returns) for name, f in FUNCTIONS.items()}
    assert returns == {"parse_workout": "Workout", "validate_workout": "list[str]", "count_sets": "int",
                       "to_json": "str"}
    panic = CLASSES["PanicException"]
    assert [ast.unparse(b) for b in panic.bases] == ["BaseException"]


class Mismatch(AssertionError):
    pass


def conform(value, annotation, where="$"):
    """Raises Mismatch unless `value` has the type the stub's `annotation` declares."""
    if isinstance(annotation, ast.Constant) and annotation.value is None:
        if value is not None:
            raise Mismatch(f"{where}: {value!r} is not None")
    elif isinstance(annotation, ast.BinOp):
        try:
            conform(value, annotation.left, where)
        except Mismatch:
            conform(value, annotation.right, where)
    elif isinstance(annotation, ast.Subscript):
        outer, inner = annotation.value.id, annotation.slice
        if outer == "Literal":
            options = [e.value for e in inner.elts] if isinstance(inner, ast.Tuple) else [inner.value]
            if not (type(value) is str and value in options):
                raise Mismatch(f"{where}: {value!r} is not one of {options}")
        elif outer == "list":
            if type(value) is not list:
                raise Mismatch(f"{where}: {value!r} is not a list")
            for i, item in enumerate(value):
                conform(item, inner, f"{where}[{i}]")
        else:
            assert outer == "dict" and ast.unparse(inner.elts[0]) == "str"
            if type(value) is not dict:
                raise Mismatch(f"{where}: {value!r} is not a dict")
            for key, item in value.items():
                conform(item, inner.elts[1], f"{where}.{key}")
    elif annotation.id in ALIASES:
        conform(value, ALIASES[annotation.id], where)
    elif annotation.id in CLASSES:
        conform_typed_dict(value, CLASSES[annotation.id], where)
    else:
        exact = {"str": str, "int": int, "float": float, "bool": bool}[annotation.id]
        if type(value) is not exact:
            raise Mismatch(f"{where}: {value!r} is not {annotation.id}")


def conform_typed_dict(value, cls, where):
    if type(value) is not dict:
        raise Mismatch(f"{where}: {value!r} is not a {cls.name}")
    members = {}
    for statement in cls.body:
        if isinstance(statement, ast.AnnAssign):
            annotation = statement.annotation
            required = not (isinstance(annotation, ast.Subscript) and annotation.value.id == "NotRequired")
            members[statement.target.id] = (annotation if required else annotation.slice, required)
    extra = next((k.value for k in cls.keywords if k.arg == "extra_items"), None)
    missing = [name for name, (_, required) in members.items() if required and name not in value]
    unknown = [key for key in value if key not in members]
    if missing or (unknown and extra is None):
        raise Mismatch(f"{where}: {cls.name} lacks {missing} or has {unknown}")
    declared = [key for key in value if key in members]
    if declared != [name for name in members if name in value] or list(value)[:len(declared)] != declared:
        raise Mismatch(f"{where}: members {list(value)} are not in the order of {cls.name}")
    for key, item in value.items():
        conform(item, members[key][0] if key in members else extra, f"{where}.{key}")


WORKOUT = ast.Name("Workout")


@pytest.mark.parametrize("path", [p for p in sorted((REPOSITORY / "examples").glob("*.json"))
                                  if "broken" not in p.name and "faults" not in p.name], ids=lambda p: p.name)
def test_examples_parse_into_the_declared_type(path):
    conform(sdk.parse_workout(path.read_text(encoding="utf-8")), WORKOUT)


@settings(max_examples=150, deadline=None, suppress_health_check=list(HealthCheck))
@given(workouts(valid=True))
def test_generated_workouts_parse_into_the_declared_type(workout):
    conform(sdk.parse_workout(json.dumps(workout)), WORKOUT)


CUSTOM_PAYLOAD = '{"id":"c","kind":{"type":"Custom","value":"k"},"payload":{"type":"Custom","b":[1,{"x":null}],"a":2.5}}'


@pytest.mark.parametrize("value, reason", table(
    # (id, a dict parse_workout could not return, what the check must notice)
    ("missing-required", {"version": "1", "root": {}}, "lacks ['id']"),
    ("unknown-member", {**sdk.parse_workout(doc()), "notes": 1}, "has ['notes']"),
    ("out-of-order", dict(reversed(list(sdk.parse_workout(doc()).items()))), "not in the order"),
    ("int-for-float", sdk.parse_workout(doc(streams='{"timestamps":[1]}')) | {"streams": {"timestamps": [1]}},
     "is not float"),
    ("unknown-tag", sdk.parse_workout(doc()) | {"root": sdk.parse_workout(doc())["root"] | {"kind": {"type": "Set "}}},
     "NodeKindCustom lacks ['value']"),  # the last alternative tried
))
def test_the_conformance_check_notices_a_wrong_value(value, reason):
    with pytest.raises(Mismatch, match=re.escape(reason)):
        conform(value, WORKOUT)


def test_custom_payload_members_beside_the_tag_conform():
    parsed = sdk.parse_workout(doc(CUSTOM_PAYLOAD))
    assert list(parsed["root"]["payload"]) == ["type", "a", "b"]
    conform(parsed, WORKOUT)
