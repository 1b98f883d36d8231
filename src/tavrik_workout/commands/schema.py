"""Prints the JSON Schema of the normal form, the form that `fmt` writes.

Point an editor at it for completion and checking of workout files; the tree's structural
rules are checked by `validate` alone.
"""

import sys
from importlib import resources

NAME = "schema"
HELP = "print the JSON Schema of the normal form"


def add_arguments(parser):
    parser.add_argument("-o", "--output", metavar="FILE", help="write the schema to FILE instead of standard output")


def run(args):
    text = (resources.files("tavrik_workout") / "workout.schema.json").read_text(encoding="utf-8")
    if args.output is None:
        sys.stdout.write(text)
    else:
        with open(args.output, "w", encoding="utf-8") as out:
            out.write(text)
    return 0
