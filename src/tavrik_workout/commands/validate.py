"""Checks that each document reads as a workout and passes structural validation.

Prints `PATH:LINE:COLUMN: MESSAGE` for a document that does not read, `PATH: MESSAGE` for
each validation error, nothing for a valid document (unless --verbose).  Exit status 0 when
every document is valid, 1 when one is not, 2 when a file cannot be read.
"""

import json

from tavrik_workout.commands.common import add_input_arguments, checked_documents, status_of
from tavrik_workout.runner import Console

NAME = "validate"
HELP = "check workout documents"


def add_arguments(parser):
    add_input_arguments(parser, jsonl=True)
    parser.add_argument("--format", choices=("text", "json"), default="text",
                        help="json: one JSON object per document on standard output")
    parser.add_argument("-v", "--verbose", action="store_true",
                        help="also name each valid document and its set count")


def run(args):
    console = Console()
    as_json = args.format == "json"
    status = 0
    for checked in checked_documents(args, console, validate=True, progress=not as_json):
        status = max(status, status_of(checked))
        if as_json:
            console.out(json.dumps(checked.as_json(), ensure_ascii=False))
        elif checked.valid:
            if args.verbose:
                console.line(f"{checked.source}: valid, {checked.sets} sets")
        else:
            for line in checked.problems():
                console.line(line)
    return status
