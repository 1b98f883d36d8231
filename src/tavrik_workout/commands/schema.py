"""Prints the JSON Schema of the normal form, the form that `fmt` writes.

Point an editor at it for completion and checking of workout files; the tree's structural
rules are checked by `validate` alone.
"""

from __future__ import annotations

import argparse
import os
import sys
from importlib import resources

from tavrik_workout.documents import printable
from tavrik_workout.files import NotWritten, remove_leftovers, rewrite

NAME = "schema"
HELP = "print the JSON Schema of the normal form"


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("-o", "--output", metavar="FILE", help="write the schema to FILE instead of standard output")


def run(args: argparse.Namespace) -> int:
    text = (resources.files("tavrik_workout") / "workout.schema.json").read_text(encoding="utf-8")
    if args.output is None:
        sys.stdout.write(text)
        return 0
    folder = os.path.dirname(os.path.realpath(args.output))
    remove_leftovers(folder)
    try:
        rewrite(args.output, text)
    except NotWritten as refusal:
        print(f"tavrik-workout: {printable(str(refusal))}", file=sys.stderr)
        return 2
    except OSError as error:
        print(f"tavrik-workout: cannot write {printable(args.output)}: "
              f"{error.strerror or error}", file=sys.stderr)
        return 2
    return 0
