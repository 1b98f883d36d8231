"""The pre-commit hooks, run for real: `pre-commit try-repo` installs this repository (a build
of the module) into pre-commit's own environment and runs each hook in a scratch repository.
Slow (one build), so the environment is made once for all cases."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

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


def git(folder, *args, env):
    subprocess.run(["git", *args], cwd=folder, env=env, check=True, capture_output=True)


@pytest.fixture(scope="module")
def hooks(tmp_path_factory):
    """(hook repository, pre-commit's home, environment): the repository is a commit of the
    working tree's sources, uncommitted changes included, so every case uses one revision and
    so one installed environment."""
    base = tmp_path_factory.mktemp("pre-commit")
    env = {**os.environ, **GIT_IDENTITY, "PRE_COMMIT_HOME": str(base / "home")}
    repository = base / "hooks"
    shutil.copytree(ROOT, repository, ignore=NOT_SOURCES)
    git(repository, "init", "-q", env=env)
    git(repository, "add", "-A", env=env)
    git(repository, "commit", "-q", "-m", "hooks", env=env)
    return repository, env


@pytest.fixture
def workouts(tmp_path, hooks):
    """A scratch repository with one normalised, one non-normal and one broken workout."""
    env = hooks[1]
    (tmp_path / "good.json").write_text(sdk.to_json(SOUND) + "\n", encoding="utf-8")
    (tmp_path / "loose.json").write_text(SOUND, encoding="utf-8")
    (tmp_path / "broken.json").write_text(BROKEN, encoding="utf-8")
    git(tmp_path, "init", "-q", env=env)
    git(tmp_path, "add", "-A", env=env)
    return tmp_path


@pytest.mark.parametrize("hook, files, status, said, rewritten", table(
    ("validate-passes", "tavrik-workout-validate", ["good.json", "loose.json"], 0, [], False),
    ("validate-fails", "tavrik-workout-validate", ["good.json", "broken.json"], 1,
     ["broken.json:2:13: parse error: expected `:`"], False),
    ("fmt-rewrites", "tavrik-workout-fmt", ["loose.json", "broken.json"], 1,
     ["reformatted loose.json", "broken.json:2:13: parse error: expected `:`",
      "files were modified by this hook"], True),
    ("fmt-passes", "tavrik-workout-fmt", ["good.json"], 0, [], False),
))
def test_hook(hooks, workouts, hook, files, status, said, rewritten):
    repository, env = hooks
    done = subprocess.run(
        [sys.executable, "-m", "pre_commit", "try-repo", str(repository), hook, "--files", *files],
        cwd=workouts, env=env, capture_output=True, text=True, timeout=1200)
    output = done.stdout + done.stderr
    assert done.returncode == status, output
    assert ("Passed" if status == 0 else "Failed") in output
    for line in said:
        assert line in output
    assert ((workouts / "loose.json").read_text(encoding="utf-8") != SOUND) == rewritten
    assert (workouts / "broken.json").read_text(encoding="utf-8") == BROKEN
