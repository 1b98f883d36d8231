"""The command line as a first-time user meets it: which files a run takes (default path,
git-ignored and excluded paths, case, links, each file once, nothing found), what it says
(summary, -q, --version, --stdin-filename, errors in words) and the Dask form of validate."""

import importlib.util
import io
import os
import pty
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import no_sanitizer
from test_cli import BROKEN, FAULTY, NORMAL, SOUND, command, run
from tavrik_workout import batch, cli, files

FAULTY_MESSAGE = "b: Block node must have at least one child"
FAULTY_AT = "1:32"  # the node the message names
SCRIPT = Path(sys.executable).with_name("tavrik-workout")


@pytest.fixture
def folder(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tmp_path


def write(path, text):
    Path(path).parent.mkdir(parents=True, exist_ok=True)
    Path(path).write_text(text, encoding="utf-8")


class TestWhichFiles:
    def test_git_ignored_and_excluded_paths_are_skipped_unless_named(self, folder):
        os.mkdir(".git")
        write(".gitignore", "build/\n*.draft.json\n!keep.draft.json\n")
        write("sub/.gitignore", "local.json\n")
        for name in ["a.json", "build/out.json", "x.draft.json", "keep.draft.json",
                     "sub/local.json", "sub/b.json", "old/c.json"]:
            write(name, NORMAL)
        assert files.expand(["."], exclude=["old/"])[0] == [
            "./a.json", "./keep.draft.json", "./sub/b.json"]
        # Named outright, a path is taken; below it the ignores inside it still apply.
        write("build/.gitignore", "*.tmp.json\n")
        write("build/x.tmp.json", NORMAL)
        assert files.expand(["sub/local.json", "build"])[0] == ["sub/local.json", "build/out.json"]

    def test_suffix_ignores_case_and_each_file_is_taken_once(self, folder):
        write("plans/A.JSON", NORMAL)
        write("plans/b.Json", NORMAL)
        os.symlink("A.JSON", "plans/link.json")
        os.symlink("plans", "alias")  # a symbolic link to a folder is followed
        os.symlink("..", "plans/up")  # and a loop through one ends
        found, empty = files.expand(["plans", "alias", "./plans/A.JSON", "plans/b.Json"])
        assert (found, empty) == (["plans/A.JSON", "plans/b.Json"], [])
        assert files.expand(["alias"])[0] == ["alias/A.JSON", "alias/b.Json"]

    @pytest.mark.skipif(not sys.platform.startswith("linux"), reason="FIFOs as on Linux")
    def test_link_loop_reaching_a_fifo_neither_hangs_nor_repeats(self, folder):
        write("w/a.json", FAULTY)
        os.mkfifo("w/pipe.json")
        os.symlink(".", "w/again")
        done = command("validate", "-j1", "w")
        assert (done.returncode, done.stdout.decode().splitlines()) == (1, [f"w/a.json:{FAULTY_AT}: {FAULTY_MESSAGE}"])

    @pytest.mark.parametrize("layout, args, message", [
        ({}, ["."], "nothing to check: no *.json files under ."),
        ({"notes.txt": "x"}, ["--jsonl", "."], "nothing to check: no *.jsonl files under ."),
        ({}, ["-", "-"], "standard input (-) can be read only once"),
    ], ids=["empty-folder", "no-jsonl", "second-dash"])
    def test_nothing_to_check_is_an_error(self, folder, capsys, layout, args, message):
        for name, text in layout.items():
            write(name, text)
        assert run(capsys, "validate", *args) == (2, [], [f"tavrik-workout: error: {message}"])

    def test_without_path_a_terminal_means_the_current_folder(self, folder):
        write("a.json", FAULTY)
        primary, secondary = pty.openpty()
        try:
            done = subprocess.run([str(SCRIPT), "validate", "-j1"], stdin=secondary,
                                  capture_output=True, timeout=60)
        finally:
            os.close(primary)
            os.close(secondary)
        assert (done.returncode, done.stdout.decode().splitlines()) == (1, [f"./a.json:{FAULTY_AT}: {FAULTY_MESSAGE}"])
        help_text = command("validate", "--help").stdout.decode()
        assert "when standard input is a" in help_text and "terminal" in help_text


class TestReports:
    def test_summary_lines_and_quiet(self, folder, capsys):
        write("a.json", NORMAL)
        write("b.json", FAULTY)
        write("c.json", BROKEN)
        Path("d.json").write_bytes(b"\xff")
        assert run(capsys, "validate", "-j1", ".")[2] == ["checked 4 files: 2 invalid, 1 unreadable"]
        assert run(capsys, "validate", "-j1", "a.json")[2] == ["checked 1 file: all valid"]
        assert run(capsys, "validate", "-q", "-j1", "a.json", "b.json") == (1, [f"b.json:{FAULTY_AT}: {FAULTY_MESSAGE}"], [])
        write("loose.json", SOUND)
        assert run(capsys, "fmt", "-j1", "a.json", "loose.json")[2] == [
            "reformatted loose.json", "1 file reformatted, 1 unchanged"]
        write("loose.json", SOUND)
        assert run(capsys, "fmt", "-q", "-j1", "a.json", "loose.json") == (0, [], [])

    def test_version_and_stdin_filename(self, folder, capsys, monkeypatch):
        status, out = usage(capsys, "--version")
        assert (status, out.startswith("tavrik-workout 0."), out.count("\n")) == (0, True, 1)
        monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(FAULTY.encode())))
        assert run(capsys, "validate", "--stdin-filename", "plans/day1.json", "-") == (
            1, [f"plans/day1.json:{FAULTY_AT}: {FAULTY_MESSAGE}"], [])  # no summary for an editor's buffer
        # fmt writes standard input to standard output, never to the file it is named after.
        write("day1.json", SOUND)
        monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(SOUND.encode())))
        assert run(capsys, "fmt", "--stdin-filename", "day1.json") == (0, NORMAL.splitlines(), [])
        assert Path("day1.json").read_text(encoding="utf-8") == SOUND

    def test_help_offers_only_what_the_command_takes(self, folder, capsys):
        assert "jsonl" not in usage(capsys, "fmt", "--help")[1]
        assert "--jsonl" in usage(capsys, "count", "--help")[1]

    def test_tool_errors_are_one_line_in_words(self, folder, capsys):
        assert run(capsys, "schema", "-o", "missing/dir/s.json") == (
            2, [], ["tavrik-workout: cannot write missing/dir/s.json: No such file or directory"])
        status, err = usage(capsys, "validate", "--max-size", "lots", "x.json")
        assert status == 2 and "argument --max-size: expected a size in bytes" in err


def usage(capsys, *args):
    """(exit status, output) of a run that argparse ends: help, version or a usage error."""
    with pytest.raises(SystemExit) as stopped:
        cli.main(list(args))
    out, err = capsys.readouterr()
    return stopped.value.code, out + err


@no_sanitizer
@pytest.mark.skipif(importlib.util.find_spec("distributed") is None,
                    reason="the batch extra (pip install .[batch])")
class TestDask:
    def test_paths_are_checked_before_any_cluster_starts(self, folder, capsys, monkeypatch):
        def no_cluster(*args):
            raise AssertionError("a cluster was started")
        monkeypatch.setattr(batch, "_client", no_cluster)
        os.mkdir("empty")
        assert run(capsys, "validate", "--dask", "tcp://127.0.0.1:9", "empty")[0] == 2
        assert batch.main(["empty/*.json"]) == 2

    def test_validate_on_a_local_cluster_reports_as_validate(self, folder, capsys):
        write("w/a.json", NORMAL)
        write("w/b.json", FAULTY)
        write("w/sub/c.json", BROKEN)
        here = run(capsys, "validate", "-j1", "w", "gone.json")
        assert run(capsys, "validate", "--dask", "local", "-j1", "w", "gone.json") == here
        assert here[1] == [f"w/b.json:{FAULTY_AT}: {FAULTY_MESSAGE}", "w/sub/c.json:2:13: parse error: expected `:`",
                           "gone.json: cannot read: No such file or directory"]
