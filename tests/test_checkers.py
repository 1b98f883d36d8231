"""Real type checkers on code that uses the stubs: the typed example passes mypy --strict and
basedpyright, and each checker reports a misspelt member or a missing narrowing, with its
own message."""

import re
import shutil

import pytest

from conftest import no_sanitizer, table
from typing_support import REPOSITORY, basedpyright, mypy

PARSED = 'import tavrik_workout_sdk as sdk\n\npayload = sdk.parse_workout("{}")["root"]["payload"]\n'

SNIPPETS = table(
    # (id, code after PARSED, mypy's message, basedpyright's message; None: the checker accepts it)
    ("member-misspelt", 'if payload["type"] == "Leaf":\n    print(payload["measure"])\n',
     'TypedDict "NodePayloadLeaf" has no key "measure"',
     '"measure" is not a defined key in "NodePayloadLeaf"'),
    ("payload-not-narrowed", 'print(payload["measures"])\n',
     'TypedDict "NodePayloadBlock" has no key "measures"',
     '"measures" is not a defined key in "NodePayloadBlock"'),
    ("measure-not-narrowed", 'if payload["type"] == "Leaf":\n    print(payload["measures"][0]["value"]["amount"])\n',
     'TypedDict "MeasureDurationValue" has no key "amount"',
     '"amount" is not a defined key in "MeasureDurationValue"'),
    ("optional-member-unchecked", 'if payload["type"] == "Exercise":\n    print(payload["rest_seconds"])\n',
     None,  # mypy lets a NotRequired key be read without a check
     '"rest_seconds" is not a required key in "NodePayloadExercise"'),
    ("tag-misspelt", 'if payload["type"] == "leaf":\n    print(payload)\n',
     "Non-overlapping equality check",
     "Condition will always evaluate to False"),
    ("narrowed-on-tag", 'if payload["type"] == "Block":\n    print(payload["execution_mode"]["type"])\n',
     None, None),
    # Free members beside the Custom tag: basedpyright reads extra_items, mypy does not yet.
    ("custom-free-member", 'if payload["type"] == "Custom":\n    print(payload["coach"])\n',
     'TypedDict "NodePayloadCustom" has no key "coach"', None),
)
IDS = [p.id for p in SNIPPETS]


@pytest.fixture(scope="module")
def reports(tmp_path_factory):
    """Each checker's report per snippet, from one run of each over all of them."""
    folder = tmp_path_factory.mktemp("snippets")
    for case in SNIPPETS:
        (folder / (case.id.replace("-", "_") + ".py")).write_text(PARSED + case.values[0])
    files = sorted(p.name for p in folder.glob("*.py"))
    _, mypy_output = mypy("--strict", "--cache-dir", str(folder / ".mypy_cache"), *files, cwd=folder)
    _, pyright_output = basedpyright(*files, cwd=folder)
    # Both ran and read every snippet, so that an empty report means acceptance.
    assert re.search(rf"Found \d+ errors in \d+ files \(checked {len(files)} source files\)", mypy_output), mypy_output
    assert re.search(r"\d+ errors, \d+ warnings, \d+ notes", pyright_output), pyright_output
    return mypy_output, pyright_output


def messages_for(output, case_id):
    name = re.escape(case_id.replace("-", "_") + ".py")
    # mypy: "file.py:5: error: ..."; basedpyright: "  /dir/file.py:5:11 - error: ..." and indented lines
    return "\n".join(block for block in re.split(r"\n(?=\S|  /)", output)
                     if re.search(rf"(^|/){name}:\d+", block.strip()) and re.search(r" (error|warning): ", block))


@pytest.mark.parametrize("checker", [0, 1], ids=["mypy-strict", "basedpyright"])
@pytest.mark.parametrize("code, mypy_says, pyright_says", SNIPPETS)
def test_checker_reports_the_snippet(reports, checker, code, mypy_says, pyright_says, request):
    expected = (mypy_says, pyright_says)[checker]
    found = messages_for(reports[checker], case_id(request))
    if expected is None:
        assert found == "", found
    else:
        assert expected in found, reports[checker]


def case_id(request):
    return next(p.id for p in SNIPPETS if p.values[0] == request.node.callspec.params["code"])


def test_typed_example_passes_mypy_strict(tmp_path):
    status, output = mypy("--strict", "--cache-dir", str(tmp_path), "typed_volume.py", cwd=REPOSITORY / "examples")
    assert (status, output.strip()) == (0, "Success: no issues found in 1 source file")


def test_typed_example_passes_basedpyright(tmp_path):
    shutil.copy(REPOSITORY / "examples" / "typed_volume.py", tmp_path)
    status, output = basedpyright("typed_volume.py", cwd=tmp_path)
    assert status == 0 and "0 errors, 0 warnings, 0 notes" in output, output


def test_the_companion_package_is_typed_for_its_users(tmp_path):
    from importlib.resources import files

    assert (files("tavrik_workout") / "py.typed").is_file()
    (tmp_path / "use.py").write_text("import tavrik_workout\n\nprint(tavrik_workout.__name__)\n")
    status, output = mypy("--strict", "--cache-dir", str(tmp_path / ".mypy_cache"), "use.py", cwd=tmp_path)
    assert "missing library stubs or py.typed marker" not in output
    assert (status, output.strip()) == (0, "Success: no issues found in 1 source file")


def test_installed_metadata_carries_the_repositorys_license():
    from importlib.metadata import files, metadata

    meta = metadata("tavrik_workout_sdk")
    assert (meta["License-Expression"], meta.get_all("License-File")) == ("MIT", ["LICENSE"])
    shipped = next(f for f in files("tavrik_workout_sdk") if f.name == "LICENSE")
    assert shipped.read_text(encoding="utf-8") == (REPOSITORY / "LICENSE").read_text(encoding="utf-8")
    assert "MIT License" in shipped.read_text(encoding="utf-8")


@no_sanitizer  # reads sources only: the sanitizer build has nothing to add
@pytest.mark.slow  # about half a minute: the package brings Dask, NumPy and polars into the check
def test_the_companion_package_passes_mypy_strict(tmp_path):
    # From the repository, so that its mypy settings (the libraries without type
    # information, Dask's unannotated calls) apply as they do for a developer.
    status, output = mypy("--strict", "--cache-dir", str(tmp_path), "src/tavrik_workout", cwd=REPOSITORY)
    assert status == 0 and output.strip().startswith("Success: no issues found in "), output
