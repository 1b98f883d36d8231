"""The tavrik-workout command: validate, fmt and count over files, folders, standard input
and JSON lines; exit statuses; worker processes; atomic rewrites."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import tavrik_workout_sdk as sdk
from conftest import doc, no_sanitizer, node, table
from tavrik_workout import cli, files

EXERCISE = node(kind='{"type":"Exercise"}', payload='{"type":"Exercise","rest_seconds":60}', node_id="e",
                children=[node(node_id="s1"), node(node_id="s2")])
SOUND = doc(root=node(kind='{"type":"Session"}', payload='{"type":"Temporal"}', node_id="r",
                      children=[EXERCISE]))  # two sets, compact: not in normal form
FAULTY = doc(root=node(kind='{"type":"Block"}', node_id="b",
                       payload='{"type":"Block","execution_mode":{"type":"Sequential"}}'))
BROKEN = '{"id":"w",\n  "version" "1"}'  # expected `:` at line 2 column 13
NORMAL = sdk.to_json(SOUND) + "\n"

TREE = {
    "normal.json": NORMAL,
    "loose.json": SOUND,
    "faulty.json": FAULTY,
    "broken.json": BROKEN,
    "binary.json": b'{"id": "\xff"}',
    "sub/deeper.json": NORMAL,
    ".hidden/skipped.json": BROKEN,
    "notes.txt": BROKEN,
}

FAULTY_LINE = "faulty.json:1:32: b: Block node must have at least one child"  # at the node named
BROKEN_LINE = "broken.json:2:13: parse error: expected `:`"
BINARY_LINE = "binary.json: cannot read: not UTF-8 text: byte 0xff at byte offset 8"


@pytest.fixture
def tree(tmp_path, monkeypatch):
    for name, content in TREE.items():
        path = tmp_path / name
        path.parent.mkdir(parents=True, exist_ok=True)
        if isinstance(content, bytes):
            path.write_bytes(content)
        else:
            path.write_text(content, encoding="utf-8")
    monkeypatch.chdir(tmp_path)
    return tmp_path


def run(capsys, *args):
    status = cli.main([str(arg) for arg in args])
    out, err = capsys.readouterr()
    return status, out.splitlines(), err.splitlines()


def command(*args, stdin=b""):
    """The installed console script, as a user runs it."""
    script = Path(sys.executable).with_name("tavrik-workout")
    return subprocess.run([str(script), *args], input=stdin, capture_output=True, timeout=120)


@pytest.mark.parametrize("args, out, status", table(
    ("valid", ["normal.json", "loose.json"], [], 0),
    ("validation-errors", ["faulty.json"], [FAULTY_LINE], 1),
    ("read-error", ["broken.json"], [BROKEN_LINE], 1),
    ("not-utf8", ["binary.json"], [BINARY_LINE], 2),
    ("missing", ["gone.json"], ["gone.json: cannot read: No such file or directory"], 2),
    ("unreadable-does-not-stop-the-rest", ["gone.json", "broken.json", "normal.json"],
     ["gone.json: cannot read: No such file or directory", BROKEN_LINE], 2),
    ("folder-sorted-hidden-skipped", ["."],
     ["./binary.json: cannot read: not UTF-8 text: byte 0xff at byte offset 8",
      "./broken.json:2:13: parse error: expected `:`",
      "./faulty.json:1:32: b: Block node must have at least one child"], 2),
    ("verbose", ["-v", "normal.json", "faulty.json"], ["normal.json: valid, 2 sets", FAULTY_LINE], 1),
))
def test_validate(tree, capsys, args, out, status):
    assert run(capsys, "validate", "-j1", *args)[:2] == (status, out)


@pytest.mark.parametrize("args, out, status", table(
    ("files", ["normal.json", "faulty.json"], ["normal.json: 2", "faulty.json: 0", "total: 2"], 0),
    ("read-error", ["broken.json", "loose.json"], [BROKEN_LINE, "loose.json: 2", "total: 2"], 1),
    ("not-utf8", ["binary.json"], [BINARY_LINE, "total: 0"], 2),
    ("folder", ["sub"], ["sub/deeper.json: 2", "total: 2"], 0),
))
def test_count(tree, capsys, args, out, status):
    assert run(capsys, "count", "-j1", *args)[:2] == (status, out)


def test_validate_json_format(tree, capsys):
    status, out, _ = run(capsys, "validate", "--format", "json", "-j1",
                         "normal.json", "faulty.json", "broken.json", "binary.json")
    assert status == 2
    assert [json.loads(line) for line in out] == [
        {"path": "normal.json", "valid": True, "errors": [], "sets": 2},
        {"path": "faulty.json", "valid": False,
         "errors": [{"message": "b: Block node must have at least one child", "line": 1, "column": 32,
                     "byte_offset": 31}]},
        {"path": "broken.json", "valid": False,
         "errors": [{"message": "parse error: expected `:`", "line": 2, "column": 13, "byte_offset": 23}]},
        {"path": "binary.json", "valid": False,
         "errors": [{"message": "cannot read: not UTF-8 text: byte 0xff at byte offset 8"}]},
    ]


def test_jsonl_places_each_document_on_its_line(tree, capsys):
    # Line 4 breaks at column 7 of its own text; blank lines are not documents.
    Path("export.jsonl").write_text(f"{SOUND}\n{FAULTY}\n\n{{\"id\" 1}}\n   \n{SOUND}\n", encoding="utf-8")
    # A folder stands for its *.jsonl files then.
    assert run(capsys, "validate", "--jsonl", "-j1", ".")[:2] == (1, [
        "./export.jsonl:2:32: b: Block node must have at least one child",
        "./export.jsonl:4:7: parse error: expected `:`",
    ])
    assert run(capsys, "count", "--jsonl", "-j1", "export.jsonl")[:2] == (1, [
        "export.jsonl:1: 2", "export.jsonl:2: 0", "export.jsonl:4:7: parse error: expected `:`",
        "export.jsonl:6: 2", "total: 4",
    ])


@pytest.mark.parametrize("args, stdin, out, status", table(
    ("no-path", [], BROKEN, ["<stdin>:2:13: parse error: expected `:`"], 1),
    ("dash-among-files", ["faulty.json", "-"], SOUND, [FAULTY_LINE], 1),
    ("not-utf8", ["-"], "\udcff", ["<stdin>: cannot read: not UTF-8 text: byte 0xff at byte offset 0"], 2),
))
def test_validate_standard_input(tree, args, stdin, out, status):
    done = command("validate", *args, stdin=stdin.encode("utf-8", "surrogateescape"))
    assert (done.returncode, done.stdout.decode().splitlines()) == (status, out)


def test_fmt_rewrites_only_what_reads_and_differs(tree, capsys):
    os.chmod("loose.json", 0o640)
    os.utime("normal.json", (1_000_000_000, 1_000_000_000))
    status, out, err = run(capsys, "fmt", "-j1", ".")
    assert (status, out) == (2, [])
    assert err == [BINARY_LINE.replace("binary", "./binary"), BROKEN_LINE.replace("broken", "./broken"),
                   "reformatted ./faulty.json", "reformatted ./loose.json",
                   "2 files reformatted, 2 unchanged, 1 invalid, 1 unreadable"]
    assert Path("loose.json").read_text(encoding="utf-8") == NORMAL
    assert os.stat("loose.json").st_mode & 0o777 == 0o640
    assert os.stat("normal.json").st_mtime == 1_000_000_000
    assert Path("broken.json").read_text(encoding="utf-8") == BROKEN
    assert sorted(path.name for path in tree.iterdir()) == sorted(
        [name for name in TREE if "/" not in name] + [".hidden", "sub"])  # no temporary left


@pytest.mark.parametrize("mode, out_start, err", table(
    ("check", "check", [], ["would reformat loose.json", "1 file would be reformatted, 1 unchanged"]),
    ("diff", "diff", ["--- loose.json", "+++ loose.json", f"@@ -1 +1,{NORMAL.count(chr(10))} @@", f"-{SOUND}",
              "\\ No newline at end of file", "+{"], ["1 file would be reformatted, 1 unchanged"]),
))
def test_fmt_check_and_diff_write_nothing(tree, capsys, mode, out_start, err):
    status, out, errors = run(capsys, "fmt", f"--{mode}", "-j1", "loose.json", "normal.json")
    assert (status, out[:len(out_start)], errors) == (1, out_start, err)
    assert Path("loose.json").read_text(encoding="utf-8") == SOUND
    assert run(capsys, "fmt", f"--{mode}", "-j1", "normal.json")[:3] == (
        0, [], ["0 files would be reformatted, 1 unchanged"])


def test_fmt_standard_input_goes_to_standard_output(tree):
    done = command("fmt", stdin=SOUND.encode())
    assert (done.returncode, done.stdout.decode(), done.stderr) == (0, NORMAL, b"")


@pytest.mark.parametrize("failure, status", table(
    ("disk-full", OSError(28, "No space left on device"), 2),
    ("ctrl-c", KeyboardInterrupt(), cli.INTERRUPTED),
))
def test_fmt_failed_write_leaves_the_file_whole(tree, capsys, monkeypatch, failure, status):
    def fail(descriptor):
        raise failure
    monkeypatch.setattr(files.os, "fsync", fail)
    before = sorted(os.listdir())
    result, _, err = run(capsys, "fmt", "-j1", "loose.json")
    assert result == status
    assert err == (["loose.json: cannot write: No space left on device",
                    "0 files reformatted, 0 unchanged, 1 left alone"] if status == 2
                   else ["tavrik-workout: interrupted"])
    assert Path("loose.json").read_text(encoding="utf-8") == SOUND
    assert sorted(os.listdir()) == before  # no temporary file left behind


@no_sanitizer
@pytest.mark.parametrize("args", table(
    ("validate", ["validate", "."]),
    ("validate-json", ["validate", "--format", "json", "."]),
    ("count", ["count", "."]),
    ("fmt-check", ["fmt", "--check", "."]),
))
def test_worker_processes_keep_path_order(tree, capsys, args):
    for number in range(30):
        Path(f"many/{number:02}.json").parent.mkdir(exist_ok=True)
        Path(f"many/{number:02}.json").write_text([SOUND, FAULTY, BROKEN][number % 3], encoding="utf-8")
    single = run(capsys, *args, "-j", "1")
    assert len(single[1] + single[2]) > 20
    assert run(capsys, *args, "-j", "2") == single


@pytest.mark.parametrize("args, message", table(
    ("no-command", [], "the following arguments are required: COMMAND"),
    ("zero-jobs", ["validate", "-j", "0"], "argument -j/--jobs: expected a whole number"),
    ("check-and-diff", ["fmt", "--check", "--diff"], "not allowed with argument"),
))
def test_usage_errors_exit_2(tree, args, message):
    done = command(*args)
    assert done.returncode == 2
    assert message in done.stderr.decode()


def test_module_entry_matches_console_script(tree):
    done = subprocess.run([sys.executable, "-m", "tavrik_workout", "count", "normal.json"],
                          capture_output=True, timeout=60)
    assert (done.returncode, done.stdout) == (0, b"normal.json: 2\ntotal: 2\n")
