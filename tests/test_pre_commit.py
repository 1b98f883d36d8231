"""The pre-commit hooks as this repository defines them (`.pre-commit-hooks.yaml`), run by
pre-commit itself in a scratch repository.

The quick cases run each hook's definition (entry, default files) as a local hook on the
`tavrik-workout` installed beside this interpreter, so no build is needed.  The slow cases
let pre-commit install the repository as users get it (a build of the module from a commit
of the working tree's sources) and share that one installed environment."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest
import yaml

import tavrik_workout_sdk as sdk
from conftest import doc, no_sanitizer, table

pytestmark = no_sanitizer

ROOT = Path(__file__).resolve().parents[1]
# Build products and environments of the working tree: the hook repository is its sources.
NOT_SOURCES = shutil.ignore_patterns(".git", ".venv*", "build", "dist", "__pycache__", ".hypothesis",
                                     ".pytest_cache", "*.egg-info")
SOUND = doc()
BROKEN = '{"id":"w",\n  "version" "1"}'
GIT_IDENTITY = {"GIT_AUTHOR_NAME": "test", "GIT_AUTHOR_EMAIL": "test@example.invalid",
                "GIT_COMMITTER_NAME": "test", "GIT_COMMITTER_EMAIL": "test@example.invalid"}
MANIFEST = {hook["id"]: hook for hook in yaml.safe_load((ROOT / ".pre-commit-hooks.yaml").read_text())}


def git(folder, *args, env):
    return subprocess.run(["git", *args], cwd=folder, env=env, check=True, capture_output=True, text=True).stdout


@pytest.fixture(scope="module")
def hooks(tmp_path_factory):
    """(hook repository, its commit, environment): the repository is a commit of the working
    tree's sources, uncommitted changes included, so every case uses one revision and so one
    installed environment."""
    base = tmp_path_factory.mktemp("pre-commit")
    env = {**os.environ, **GIT_IDENTITY, "PRE_COMMIT_HOME": str(base / "home")}
    repository = base / "hooks"
    shutil.copytree(ROOT, repository, ignore=NOT_SOURCES)
    git(repository, "init", "-q", env=env)
    git(repository, "add", "-A", env=env)
    git(repository, "commit", "-q", "-m", "hooks", env=env)
    return repository, git(repository, "rev-parse", "HEAD", env=env).strip(), env


@pytest.fixture
def workouts(tmp_path):
    """A scratch repository with one normalised, one non-normal and one broken workout, a
    JSON-lines file of two documents (one broken) and a JSON file that is not a workout."""
    (tmp_path / "good.workout.json").write_text(sdk.to_json(SOUND) + "\n", encoding="utf-8")
    (tmp_path / "loose.workout.json").write_text(SOUND, encoding="utf-8")
    (tmp_path / "broken.workout.json").write_text(BROKEN, encoding="utf-8")
    (tmp_path / "log.workout.jsonl").write_text(SOUND + "\n" + BROKEN.replace("\n", "") + "\n", encoding="utf-8")
    (tmp_path / "package.json").write_text('{"name": "not-a-workout"}', encoding="utf-8")
    git(tmp_path, "init", "-q", env={**os.environ, **GIT_IDENTITY})
    return tmp_path


def run_pre_commit(folder, config, hook, files, env):
    (folder / ".pre-commit-config.yaml").write_text(yaml.safe_dump(config), encoding="utf-8")
    git(folder, "add", "-A", env=env)
    done = subprocess.run([sys.executable, "-m", "pre_commit", "run", hook, "--files", *files],
                          cwd=folder, env=env, capture_output=True, text=True, timeout=1200)
    return done.returncode, done.stdout + done.stderr


CASES = table(
    # (id, hook, files given, exit status, lines said, loose.workout.json rewritten)
    ("validate-passes", "tavrik-workout-validate", ["good.workout.json", "loose.workout.json"], 0, [], False),
    ("validate-fails", "tavrik-workout-validate", ["good.workout.json", "broken.workout.json"], 1,
     ["broken.workout.json:2:13: parse error: expected `:`"], False),
    ("fmt-rewrites", "tavrik-workout-fmt", ["loose.workout.json", "broken.workout.json"], 1,
     ["reformatted loose.workout.json", "broken.workout.json:2:13: parse error: expected `:`",
      "files were modified by this hook"], True),
    ("fmt-passes", "tavrik-workout-fmt", ["good.workout.json"], 0, [], False),
)
# What only the default file patterns decide.
DEFAULT_FILES = table(
    ("validate-skips-other-json", "tavrik-workout-validate", ["package.json", "log.workout.jsonl"], 0,
     ["(no files to check)Skipped"], False),
    ("fmt-skips-other-json", "tavrik-workout-fmt", ["package.json"], 0, ["(no files to check)Skipped"], False),
    ("jsonl-checks-each-line", "tavrik-workout-validate-jsonl", ["log.workout.jsonl", "good.workout.json"], 1,
     ["log.workout.jsonl:2:", "parse error: expected `:`"], False),
)


def check(status, output, workouts, expected_status, said, rewritten):
    assert status == expected_status, output
    assert ("Skipped" if "(no files to check)Skipped" in said else "Passed" if status == 0 else "Failed") in output
    for line in said:
        assert line in output
    assert ((workouts / "loose.workout.json").read_text(encoding="utf-8") != SOUND) == rewritten
    assert (workouts / "broken.workout.json").read_text(encoding="utf-8") == BROKEN
    assert (workouts / "package.json").read_text(encoding="utf-8") == '{"name": "not-a-workout"}'


@pytest.mark.parametrize("hook, files, status, said, rewritten", CASES + DEFAULT_FILES)
def test_hook_as_defined(workouts, tmp_path_factory, hook, files, status, said, rewritten):
    # The same hook with language system: its entry runs the command installed beside this
    # interpreter (the build under test) instead of one pre-commit would build.
    local = dict(MANIFEST[hook], language="system")
    env = {**os.environ, **GIT_IDENTITY, "PRE_COMMIT_HOME": str(tmp_path_factory.mktemp("home")),
           "PATH": str(Path(sys.executable).parent) + os.pathsep + os.environ.get("PATH", "")}
    config = {"repos": [{"repo": "local", "hooks": [local]}]}
    check(*run_pre_commit(workouts, config, hook, files, env), workouts, status, said, rewritten)


@pytest.mark.slow
@pytest.mark.parametrize("hook, files, status, said, rewritten", CASES)
def test_hook(hooks, workouts, hook, files, status, said, rewritten):
    repository, revision, env = hooks
    config = {"repos": [{"repo": str(repository), "rev": revision, "hooks": [{"id": hook}]}]}
    check(*run_pre_commit(workouts, config, hook, files, env), workouts, status, said, rewritten)
