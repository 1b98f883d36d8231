"""`tavrik-workout`: check, format and count workout files from the shell."""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence

from tavrik_workout.commands import COMMANDS
from tavrik_workout.documents import printable

INTERRUPTED = 130


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(
        prog="tavrik-workout",
        description="Check, format and count workout JSON documents with tavrik_workout_sdk.")
    top.add_argument("--version", action="version", version=_version())
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for command in COMMANDS:
        sub = commands.add_parser(command.NAME, help=command.HELP, description=command.__doc__,
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
        command.add_arguments(sub)
        sub.set_defaults(run=command.run)
    return top


def _version() -> str:
    try:
        from importlib.metadata import PackageNotFoundError, version
        return f"tavrik-workout {version('tavrik_workout_sdk')}"
    except PackageNotFoundError:
        return "tavrik-workout (version unknown: not installed)"


def main(argv: Sequence[str] | None = None) -> int:
    args = parser().parse_args(argv)
    try:
        status: int = args.run(args)
        sys.stdout.flush()
        return status
    except KeyboardInterrupt:
        print("tavrik-workout: interrupted", file=sys.stderr)
        return INTERRUPTED
    except BrokenPipeError:
        # The reader went away (`| head`): nothing more to say, and nothing to say it to.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except BaseException as error:
        # PanicException, the module's fault, derives from BaseException; SystemExit passes.
        if not isinstance(error, Exception) and type(error).__name__ != "PanicException":
            raise
        print(f"tavrik-workout: error: {printable(describe(error))}", file=sys.stderr)
        return 2


def describe(error: BaseException) -> str:
    """An unexpected failure in words, on one line, without Python's class names."""
    if isinstance(error, MemoryError):
        return "out of memory"
    if isinstance(error, OSError) and error.strerror:
        return f"{error.strerror}: {error.filename}" if error.filename else error.strerror
    if type(error).__name__ == "PanicException":
        return f"internal fault of the module: {error}"
    return str(error) or "unexpected failure"
