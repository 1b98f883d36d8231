"""The command line under faults: it never loses or damages a file, never hangs and never
drops results.  Grouped by what goes wrong: files, processes, output."""

import errno
import multiprocessing
import os
import signal
import stat
import subprocess
import sys
import time
from pathlib import Path

import pytest

from conftest import no_sanitizer
from test_cli import FAULTY, NORMAL, SOUND, command, run
from tavrik_workout.commands import fmt

LINUX = sys.platform.startswith("linux")
ROOT = hasattr(os, "geteuid") and os.geteuid() == 0
FAULTY_MESSAGE = "b: Block node must have at least one child"
FAULTY_AT = "1:32"  # the node the message names
FAULTY_PLACE = '", "line": 1, "column": 32, "byte_offset": 31'


@pytest.fixture
def folder(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    Path("loose.json").write_text(SOUND, encoding="utf-8")
    return tmp_path


def python(code, **options):
    """Runs `code` in a fresh interpreter of this environment."""
    return subprocess.run([sys.executable, "-c", code], capture_output=True, timeout=60, **options)


class TestFiles:
    @pytest.mark.skipif(not LINUX, reason="user extended attributes as on Linux")
    def test_rewrite_keeps_owner_group_mode_and_extended_attributes(self, folder, capsys):
        # Giving the file to another owner needs root, as pre-commit and CI often are.
        owner = (1234, 2345) if ROOT else (os.getuid(), os.getgid())
        os.chown("loose.json", *owner)
        os.chmod("loose.json", 0o640)
        os.setxattr("loose.json", "user.origin", b"coach")
        assert run(capsys, "fmt", "-j1", "loose.json")[0] == 0
        after = os.stat("loose.json")
        assert (after.st_uid, after.st_gid, stat.S_IMODE(after.st_mode)) == (*owner, 0o640)
        assert os.getxattr("loose.json", "user.origin") == b"coach"
        assert Path("loose.json").read_text(encoding="utf-8") == NORMAL

    def test_read_only_file_is_refused_even_for_root(self, folder, capsys):
        os.chmod("loose.json", 0o444)
        assert run(capsys, "fmt", "-j1", "loose.json") == (
            2, [], ["read-only: loose.json", "0 files reformatted, 0 unchanged, 1 left alone"])
        assert Path("loose.json").read_text(encoding="utf-8") == SOUND

    def test_hard_links_are_never_split(self, folder, capsys):
        os.link("loose.json", "twin.json")
        status, _, err = run(capsys, "fmt", "-j1", "loose.json")
        assert (status, err[0]) == (2, "loose.json: left alone: it has 2 hard links, which a "
                                       "rewrite would split")
        assert os.stat("loose.json").st_ino == os.stat("twin.json").st_ino
        assert Path("twin.json").read_text(encoding="utf-8") == SOUND

    def test_edit_made_while_formatting_is_kept(self, folder, capsys, monkeypatch):
        to_json = fmt.sdk.to_json

        def edited_meanwhile(text):
            Path("loose.json").write_text(SOUND + " ", encoding="utf-8")  # the user's save
            return to_json(text)

        monkeypatch.setattr(fmt.sdk, "to_json", edited_meanwhile)
        status, _, err = run(capsys, "fmt", "-j1", "loose.json")
        assert (status, err[0]) == (2, "loose.json: left alone: it changed while being formatted")
        assert Path("loose.json").read_text(encoding="utf-8") == SOUND + " "
        assert os.listdir() == ["loose.json"]

    def test_longest_name_the_folder_allows_is_formatted(self, folder, capsys):
        name = "w" * 250 + ".json"  # 255 bytes: no room left for a longer temporary name
        Path(name).write_text(SOUND, encoding="utf-8")
        assert run(capsys, "fmt", "-j1", name)[:2] == (0, [])
        assert Path(name).read_text(encoding="utf-8") == NORMAL
        assert sorted(os.listdir()) == sorted(["loose.json", name])

    @pytest.mark.parametrize("moment", ["writing", "renaming"])
    @pytest.mark.parametrize("unnamed", [True, False], ids=["unnamed-temporary", "named-temporary"])
    def test_kill_9_leaves_no_temporary_for_good(self, folder, capsys, moment, unnamed):
        # SIGKILL while the new content is written, then while it is put in place; a
        # later run must find the folder as the user left it.  Without O_TMPFILE, as on
        # other systems, the temporary has a name from the start.
        patched = {"writing": "fsync", "renaming": "replace"}[moment]
        killed = python(
            "import os, signal\n"
            + ("" if unnamed else "if hasattr(os, 'O_TMPFILE'):\n    del os.O_TMPFILE\n") +
            f"os.{patched} = lambda *args: os.kill(os.getpid(), signal.SIGKILL)\n"
            "from tavrik_workout import cli\n"
            "cli.main(['fmt', '-j1', 'loose.json'])\n")
        assert killed.returncode == -signal.SIGKILL
        assert Path("loose.json").read_text(encoding="utf-8") == SOUND
        Path("other.json").write_text(NORMAL, encoding="utf-8")
        assert run(capsys, "fmt", "-j1", "other.json")[0] == 0
        assert sorted(os.listdir()) == ["loose.json", "other.json"]

    def test_schema_output_is_replaced_whole_or_not_at_all(self, folder):
        Path("schema.json").write_text("keep me", encoding="utf-8")

        def small_file_limit():
            import resource
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (100, 100))

        done = subprocess.run([str(Path(sys.executable).with_name("tavrik-workout")), "schema",
                               "-o", "schema.json"], capture_output=True, timeout=60,
                              preexec_fn=small_file_limit)
        assert Path("schema.json").read_text(encoding="utf-8") == "keep me"
        assert done.returncode == 2
        assert done.stderr.decode().splitlines() == [
            "tavrik-workout: cannot write schema.json: " + os.strerror(errno.EFBIG)]
        assert os.listdir() == ["loose.json", "schema.json"]


def _running(pid):
    """Alive and not a zombie (an orphan's end is reaped by whatever adopts it, maybe never)."""
    try:
        return Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0] not in "ZX"
    except OSError:
        return False


def _children(pid):
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                fields = Path(f"/proc/{entry}/stat").read_text().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[1]) == pid:
                found.append(int(entry))
    return found


@pytest.mark.skipif(not LINUX, reason="FIFOs, /proc and /dev/zero as on Linux")
class TestProcesses:
    @no_sanitizer
    @pytest.mark.parametrize("signal_number", [signal.SIGKILL, signal.SIGTERM])
    def test_workers_end_with_their_parent(self, folder, signal_number):
        os.mkfifo("pipe.json")  # named on the command line: a worker waits on it for ever
        script = Path(sys.executable).with_name("tavrik-workout")
        parent = subprocess.Popen([str(script), "validate", "-j2", "loose.json", "pipe.json"],
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        workers = []
        try:
            deadline = time.monotonic() + 30
            while len(workers) < 2 and time.monotonic() < deadline:
                time.sleep(0.1)
                workers = _children(parent.pid)
            assert len(workers) == 2
            time.sleep(0.5)
            parent.send_signal(signal_number)
            # The pipeline's reader sees the end of the output only once no worker holds it.
            parent.communicate(timeout=10)
        finally:
            deadline = time.monotonic() + 5  # a killed worker takes a moment to finish exiting
            while any(map(_running, workers)) and time.monotonic() < deadline:
                time.sleep(0.05)
            outlived = [worker for worker in workers if _running(worker)]
            for worker in outlived:
                os.kill(worker, signal.SIGKILL)
        assert outlived == []

    def test_folder_walk_takes_regular_files_only(self, folder):
        os.mkfifo("pipe.json")
        Path("faulty.json").write_text(FAULTY, encoding="utf-8")
        done = command("validate", "-j1", ".")
        assert (done.returncode, done.stdout.decode().splitlines()) == (
            1, [f"./faulty.json:{FAULTY_AT}: {FAULTY_MESSAGE}"])

    def test_endless_file_stops_at_the_size_limit_and_the_rest_is_checked(self, folder, capsys):
        status, out, _ = run(capsys, "validate", "-j2", "--max-size", "1M", "/dev/zero",
                             "loose.json", "gone.json")
        assert status == 2
        assert out == ["/dev/zero: cannot read: larger than the limit of 1,048,576 bytes (--max-size)",
                       "gone.json: cannot read: No such file or directory"]
        assert run(capsys, "count", "-j1", "--max-size", "100", "loose.json")[:2] == (
            2, ["loose.json: cannot read: larger than the limit of 100 bytes (--max-size)",
                "total: 0"])

    def test_one_failing_check_does_not_stop_the_others(self, folder, capsys, monkeypatch):
        Path("faulty.json").write_text(FAULTY, encoding="utf-8")
        validate_workout = fmt.sdk.validate_workout

        def out_of_memory_on_sound(text):
            if text == SOUND:
                raise MemoryError
            return validate_workout(text)

        monkeypatch.setattr(fmt.sdk, "validate_workout", out_of_memory_on_sound)
        assert run(capsys, "validate", "-j1", "loose.json", "faulty.json")[:2] == (
            2, ["loose.json: cannot check: out of memory", f"faulty.json:{FAULTY_AT}: {FAULTY_MESSAGE}"])


    @no_sanitizer
    @pytest.mark.skipif(multiprocessing.get_start_method() != "fork",
                        reason="the workers must inherit the patched module")
    def test_worker_killed_on_one_file_does_not_stop_the_others(self, folder, capsys, monkeypatch):
        os.unlink("loose.json")
        for number in range(12):
            Path(f"w{number:02}.json").write_text(SOUND if number == 5 else FAULTY, encoding="utf-8")
        validate_workout = fmt.sdk.validate_workout

        def killed_on_sound(text):
            if text == SOUND:
                os.kill(os.getpid(), signal.SIGKILL)  # as the out-of-memory killer would
            return validate_workout(text)

        monkeypatch.setattr(fmt.sdk, "validate_workout", killed_on_sound)
        status, out, _ = run(capsys, "validate", "-j2", *sorted(os.listdir()))
        assert status == 2
        assert out == [f"w{number:02}.json" + (
            ": cannot check: the process checking it ended abruptly" if number == 5
            else f":{FAULTY_AT}: {FAULTY_MESSAGE}")
            for number in range(12)]


class TestOutput:
    @pytest.mark.parametrize("args, out", [
        (["validate"], [f"./bad\\xff.json:{FAULTY_AT}: {FAULTY_MESSAGE}", f"./faulty.json:{FAULTY_AT}: {FAULTY_MESSAGE}"]),
        (["count"], ["./bad\\xff.json: 0", "./faulty.json: 0", "total: 0"]),
        (["validate", "--format", "json"],
         ['{"path": "./bad\\\\xff.json", "valid": false, "errors": [{"message": "' + FAULTY_MESSAGE + FAULTY_PLACE + '}]}',
          '{"path": "./faulty.json", "valid": false, "errors": [{"message": "' + FAULTY_MESSAGE + FAULTY_PLACE + '}]}']),
    ], ids=["validate", "count", "validate-json"])
    @pytest.mark.skipif(not LINUX, reason="a file name that is not UTF-8 needs a byte-named file system")
    def test_name_that_is_not_utf8_is_escaped_and_the_run_goes_on(self, folder, args, out):
        os.unlink("loose.json")
        with open(os.path.join(os.fsencode(folder), b"bad\xff.json"), "w", encoding="utf-8") as file:
            file.write(FAULTY)
        Path("faulty.json").write_text(FAULTY, encoding="utf-8")
        script = Path(sys.executable).with_name("tavrik-workout")
        done = subprocess.run([str(script), *args, "-j1", "."], capture_output=True, timeout=60,
                              env={**os.environ, "PYTHONIOENCODING": "utf-8:strict"})
        assert done.stdout.decode("utf-8").splitlines() == out
        summary = "" if args[0] == "count" else "checked 2 files: 2 invalid\n"
        assert done.stderr.decode("utf-8") == summary

    def test_control_characters_of_a_document_cannot_forge_report_lines(self, folder, capsys):
        forged = FAULTY.replace('"id":"b"', '"id":"b\\nok.json: valid\\u001b[2K"')
        Path("forged.json").write_text(forged, encoding="utf-8")
        assert run(capsys, "validate", "-j1", "forged.json")[:2] == (
            1, ["forged.json:1:32: b\\nok.json: valid\\x1b[2K: Block node must have at least one child"])
        unknown_variant = SOUND.replace('"type":"Session"', '"type":"Sess\\nion"')
        Path("variant.json").write_text(unknown_variant, encoding="utf-8")
        status, out, _ = run(capsys, "validate", "-j1", "variant.json")
        assert status == 1 and len(out) == 1 and "Sess\\nion" in out[0]

    def test_unexpected_failure_is_one_line_in_words(self, folder, capsys, monkeypatch):
        def broken(args):
            raise OSError(errno.EIO, "Input/output error")
        monkeypatch.setattr(fmt, "run", broken)
        status, _, err = run(capsys, "fmt", "loose.json")
        assert (status, len(err)) == (2, 1)
        assert "OSError" not in err[0] and "Input/output error" in err[0]
