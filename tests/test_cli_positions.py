"""Where validate, count and fmt place what they report: validation errors at the node whose
id they name, read errors where reading stops; lines from 1, 1-based character columns in
`PATH:LINE:COL:`, byte offsets in the file for --format json, on their own line for --jsonl."""

import json
from pathlib import Path

import pytest

import tavrik_workout_sdk as sdk
from conftest import node
from test_cli import run
from tavrik_workout import documents

BLOCK = '{"type":"Block","execution_mode":{"type":"Sequential"}}'


def empty_block(node_id):
    return node(kind='{"type":"Block"}', node_id=node_id, payload=BLOCK)


# Indented, with non-ASCII text before the faulty nodes, so that character columns, byte
# offsets and lines all differ from what a byte count or a first line would give.  Two nodes
# share the id "x": the error is the second one's, and must be placed there.
DOCUMENT = (
    '{\n  "id": "séance", "version": "1",\n  "root": {"id": "r", "kind": {"type": "Session"},\n'
    '   "payload": {"type": "Temporal"}, "metadata": {"note": "über"},\n   "children": [\n'
    f'    {node(node_id="x")},\n'
    f'    {empty_block("x")}, {node(node_id="é")}, {empty_block("ünd")}]}}}}\n'
)


def places(text, message):
    """(line, character column, byte offset) of each `{"id":"ID"` that the message names."""
    node_id = message.split(": ")[0]
    start = text.index(f'{{"id":"{node_id}"', text.index("children"))
    if node_id == "x":  # the second node of that id
        start = text.index('{"id":"x"', start + 1)
    line = text.count("\n", 0, start) + 1
    column = start - (text.rfind("\n", 0, start) + 1) + 1
    return line, column, len(text[:start].encode())


@pytest.fixture
def folder(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    Path("plan.json").write_text(DOCUMENT, encoding="utf-8")
    return tmp_path


def test_validation_errors_are_placed_at_their_nodes(folder, capsys):
    messages = sdk.validate_workout(DOCUMENT)
    assert messages == ["x: Block node must have at least one child", "ünd: Block node must have at least one child"]
    expected = [places(DOCUMENT, message) for message in messages]

    status, out, _ = run(capsys, "validate", "-j1", "plan.json")
    assert (status, out) == (1, [f"plan.json:{line}:{column}: {message}"
                                 for (line, column, _), message in zip(expected, messages)])

    status, out, _ = run(capsys, "validate", "--format", "json", "-j1", "plan.json")
    assert status == 1
    errors = json.loads(out[0])["errors"]
    assert errors == [{"message": message, "line": line, "column": column, "byte_offset": offset}
                      for (line, column, offset), message in zip(expected, messages)]
    data = DOCUMENT.encode()
    assert [data[error["byte_offset"]:].startswith(b'{"id":') for error in errors] == [True, True]


def test_jsonl_documents_are_placed_on_their_line_with_offsets_in_the_file(folder, capsys):
    one_line = DOCUMENT.replace("\n", " ")
    text = f"{one_line}\n\n{one_line}\n"
    Path("plans.jsonl").write_text(text, encoding="utf-8")
    (_, column, offset), _ = [places(one_line, message) for message in sdk.validate_workout(one_line)]
    status, out, _ = run(capsys, "validate", "--jsonl", "--format", "json", "-j1", "plans.jsonl")
    assert status == 1
    records = [json.loads(line) for line in out]
    second_start = len(one_line.encode()) + 2
    assert [(r["line"], r["errors"][0]["line"], r["errors"][0]["column"], r["errors"][0]["byte_offset"])
            for r in records] == [(1, 1, column, offset), (3, 3, column, second_start + offset)]


@pytest.mark.parametrize("text, place", [
    pytest.param("", "1:1", id="empty-file"),  # the module says column 0
    pytest.param("\n\n", "3:1", id="after-a-line-feed"),
    pytest.param('{"id": "séance", x', "1:18", id="characters-not-bytes"),  # byte column 19
])
def test_read_errors_have_one_based_character_columns(folder, capsys, text, place):
    Path("broken.json").write_text(text, encoding="utf-8")
    line, column = map(int, place.split(":"))
    for command in (["validate"], ["count"], ["fmt", "--check"]):
        status, out, err = run(capsys, *command, "-j1", "broken.json")
        reported = (out if command[0] != "fmt" else err)[0]
        assert status == 1 and reported.startswith(f"broken.json:{place}: parse error: "), command
    status, out, _ = run(capsys, "validate", "--format", "json", "-j1", "broken.json")
    error = json.loads(out[0])["errors"][0]
    prefix = text.encode()[:error["byte_offset"]].decode()
    assert (error["line"], error["column"]) == (line, column)
    assert (prefix.count("\n") + 1, len(prefix) - prefix.rfind("\n")) == (line, column)


def out_of_memory(text):
    raise MemoryError


@pytest.mark.parametrize("placing", [lambda text: [], out_of_memory], ids=["disagrees", "out-of-memory"])
def test_the_verdict_stays_the_modules_when_placing_fails(folder, capsys, monkeypatch, placing):
    # Should the placing read the document otherwise, or run out of memory, the module's
    # messages still go out, all of them and in its order, only without a place.
    monkeypatch.setattr(documents, "placed_validation_errors", placing)
    assert run(capsys, "validate", "-j1", "plan.json")[:2] == (
        1, [f"plan.json: {message}" for message in sdk.validate_workout(DOCUMENT)])
