"""Where the build put the schema and the stubs, and how to run the type checkers on them."""

import os
import pathlib
import subprocess
import sys
import sysconfig
from importlib.resources import files

REPOSITORY = pathlib.Path(__file__).resolve().parent.parent
SCHEMA = files("tavrik_workout") / "workout.schema.json"
STUB = pathlib.Path(sysconfig.get_paths()["purelib"]) / "tavrik_workout_sdk-stubs" / "__init__.pyi"


def run(arguments, cwd, needs_module=False):
    """Runs a checker of this environment; (exit status, output).

    Under the sanitizer build the interpreter starts with the sanitizer runtime preloaded.
    A checker that only reads sources does not need it and some (basedpyright's node) do
    not run under it, so it is kept only for a checker that imports the module."""
    env = dict(os.environ)
    if not needs_module:
        env.pop("LD_PRELOAD", None)
    bin_dir = pathlib.Path(sys.executable).parent
    env["PATH"] = str(bin_dir) + os.pathsep + env.get("PATH", "")
    done = subprocess.run(arguments, cwd=cwd, env=env, capture_output=True, text=True, timeout=600)
    return done.returncode, done.stdout + done.stderr


def mypy(*arguments, cwd, needs_module=False):
    return run([sys.executable, "-m", "mypy", *arguments], cwd, needs_module)


def basedpyright(*arguments, cwd):
    return run([str(pathlib.Path(sys.executable).parent / "basedpyright"), "--pythonpath", sys.executable,
                *arguments], cwd)
