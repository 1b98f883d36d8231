"""fmt never drops content without consent: every kind of loss is listed with its place and
the file is left alone (write, --check, --diff, standard input); --drop-unknown consents;
"$schema" is kept first; what holds no content (null, 90 as 90.0) is not a loss."""

import pytest

import tavrik_workout_sdk as sdk
from conftest import doc, node
from tavrik_workout import cli

LEAF = '{"type":"Leaf","measures":[{"type":"Reps","value":5}]}'


def custom_value(value):
    return doc(root=node(payload='{"type":"Leaf","measures":[{"type":"Custom","value":{"name":"x","value":'
                                 + value + '}}]}'))


# (document, the text of its first loss after PATH:LINE:COL:, the marker it points at)
LOSSES = {
    "unknown member of the document": (doc(notes='"keep me"'), "fmt would drop member 'notes'", '"notes"'),
    "misspelt member of a node": (
        doc(root='{"id":"s","naem":"Bench press","kind":{"type":"Set"},"payload":' + LEAF + "}"),
        "fmt would drop member 'naem' (did you mean 'name'?)", '"naem"'),
    "unknown member of a payload": (
        doc(root=node(kind='{"type":"Exercise"}', payload='{"type":"Exercise","rest_secs":90}')),
        "fmt would drop member 'rest_secs' (did you mean 'rest_seconds'?)", '"rest_secs"'),
    "unknown member of a tagged value": (
        doc(root=node(payload='{"type":"Leaf","measures":[{"type":"Reps","value":5,"unit":"x"}]}')),
        "fmt would drop member 'unit'", '"unit"'),
    "unknown member of a recording": (
        doc(streams='{"timestamps":[0],"device":"watch"}'), "fmt would drop member 'device'", '"device"'),
    "repeated key in metadata": (
        doc(metadata='{"coach":"A","coach":"B"}'),
        "fmt would drop the earlier value of repeated key 'coach' (the later one wins)", '"coach"'),
    "repeated key in a lap summary": (
        doc(laps='[{"trigger":"Manual","summary":{"hr":140,"hr":150}}]'),
        "fmt would drop the earlier value of repeated key 'hr' (the later one wins)", '"hr"'),
    "repeated key in a custom payload": (
        doc(root=node(kind='{"type":"Custom","value":"x"}', payload='{"type":"Custom","a":1,"a":2}')),
        "fmt would drop the earlier value of repeated key 'a' (the later one wins)", '"a"'),
    "integer beyond 64 bits": (
        custom_value("123456789012345678901234567890"),
        "fmt would change number 123456789012345678901234567890 to 1.2345678901234568e+29", "1234"),
    "decimal beyond a double": (
        doc(metadata='{"x":19.999999999999999999}'),
        "fmt would change number 19.999999999999999999 to 20.0", "19.9"),
}


def fmt(capsys, *args, stdin=None, monkeypatch=None):
    status = cli.main(["fmt", "-j", "1", *map(str, args)])
    out, err = capsys.readouterr()
    return status, out, err.splitlines()


def place(text, marker):
    before = text[:text.index(marker)]
    return before.count("\n") + 1, len(before) - (before.rfind("\n") + 1) + 1


@pytest.mark.parametrize("kind", LOSSES)
@pytest.mark.parametrize("mode", [[], ["--check"], ["--diff"]])
def test_each_loss_is_refused_with_its_place_and_the_file_is_left_alone(tmp_path, capsys, kind, mode):
    text, message, marker = LOSSES[kind]
    # Over several lines, so that the line and column are tested too.
    text = text.replace(',"', ',\n  "', 3)
    path = tmp_path / "w.json"
    path.write_text(text, encoding="utf-8")
    status, out, err = fmt(capsys, *mode, path)
    line, column = place(text, marker)
    assert status == 1
    assert err[0] == f"{path}:{line}:{column}: {message}"
    assert out == ""  # no diff, no document
    assert path.read_text(encoding="utf-8") == text


def test_drop_unknown_consents_and_lists_nothing(tmp_path, capsys):
    path = tmp_path / "w.json"
    path.write_text(doc(notes="1", metadata='{"a":1,"a":2}'), encoding="utf-8")
    status, _, err = fmt(capsys, "--drop-unknown", path)
    assert status == 0 and err == [f"reformatted {path}", "1 file reformatted, 0 unchanged"]
    assert path.read_text(encoding="utf-8") == sdk.to_json(doc(metadata='{"a":2}')) + "\n"


def test_standard_input_is_refused_on_stderr_with_nothing_on_stdout(capsys, monkeypatch):
    import io
    import sys
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(doc(notes="1").encode())))
    status, out, err = fmt(capsys, "-")
    assert status == 1 and out == ""
    assert err[0].endswith(": fmt would drop member 'notes'")


def test_what_holds_no_content_is_not_a_loss(tmp_path, capsys):
    # null optional members, empty defaults, integers in double fields, positional forms.
    text = doc(sport="null", laps="[]", metadata="{}",
               root=node(kind='{"type":"Exercise"}', payload='{"type":"Exercise","rest_seconds":90}'))
    path = tmp_path / "w.json"
    path.write_text(text, encoding="utf-8")
    assert fmt(capsys, path)[0] == 0
    assert '"rest_seconds": 90.0' in path.read_text(encoding="utf-8")


def test_schema_is_written_first_and_formatting_is_then_a_fixed_point(tmp_path, capsys):
    path = tmp_path / "w.json"
    path.write_text(doc(**{"$schema": '"https://example.org/workout.schema.json"'}), encoding="utf-8")
    assert fmt(capsys, path)[0] == 0
    written = path.read_text(encoding="utf-8")
    assert written.startswith('{\n  "$schema": "https://example.org/workout.schema.json",\n  "id": "w",')
    assert sdk.to_json(written) + "\n" == written.replace('  "$schema": "https://example.org/workout.schema.json",\n', "")
    assert fmt(capsys, "--check", path)[0] == 0
    # A schema member that is not a string is not the editor's, and would be dropped.
    path.write_text(doc(**{"$schema": "{}"}), encoding="utf-8")
    assert fmt(capsys, path)[0] == 1


def test_only_one_schema_is_kept_and_an_earlier_one_is_a_loss(tmp_path, capsys):
    path = tmp_path / "w.json"
    text = '{"$schema":"a.json","id":"w","version":"1","$schema":"b.json","root":' + node() + "}"
    path.write_text(text, encoding="utf-8")
    status, _, err = fmt(capsys, path)
    assert status == 1 and err[:-1] == [f"{path}:1:2: fmt would drop member '$schema'"]
    assert err[-1] == "0 files reformatted, 0 unchanged, 1 left alone"
    assert fmt(capsys, "--drop-unknown", path)[0] == 0
    assert path.read_text(encoding="utf-8").startswith('{\n  "$schema": "b.json",\n')
