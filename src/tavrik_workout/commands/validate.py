"""Checks that each document reads as a workout and passes structural validation.

Prints `PATH:LINE:COLUMN: MESSAGE` for a document that does not read and for each of its
validation errors (placed at the node whose id the message names; columns are 1-based
characters), nothing for a valid document (unless --verbose), and a summary line on standard
error.  The verdict and the messages are validate_workout's.  Exit status 0 when every
document is valid, 1 when one is not, 2 when a file cannot be read or there is nothing to
check.
"""

from __future__ import annotations

import argparse
import json
from collections.abc import Iterable, Iterator

from tavrik_workout.commands.common import (
    Tally, Trouble, add_input_arguments, checked_documents, input_files, status_of)
from tavrik_workout.documents import Checked
from tavrik_workout.runner import Console

NAME = "validate"
HELP = "check workout documents"


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_input_arguments(parser, jsonl=True)
    parser.add_argument("--format", choices=("text", "json"), default="text",
                        help="json: one JSON object per document on standard output")
    parser.add_argument("-v", "--verbose", action="store_true",
                        help="also name each valid document and its set count")
    parser.add_argument("--dask", metavar="SCHEDULER",
                        help="check the files on a Dask cluster: a scheduler's address such as "
                             "tcp://host:8786, or `local` for a cluster of -j processes here "
                             "(needs the batch extra)")


def run(args: argparse.Namespace) -> int:
    console = Console()
    as_json = args.format == "json"
    status = 0
    tally = Tally()
    documents: Iterable[Checked]
    if args.dask is not None:
        documents = _on_dask(args, console, tally)
    else:
        documents = checked_documents(args, console, validate=True,
                                      progress=not as_json, tally=tally)
    for checked in documents:
        status = max(status, status_of(checked))
        if as_json:
            console.out(json.dumps(checked.as_json(), ensure_ascii=False))
        elif checked.valid:
            if args.verbose:
                console.line(f"{checked.source}: valid, {checked.sets} sets")
        else:
            for line in checked.problems():
                console.line(line)
    if not args.quiet and tally.named:
        console.err(tally.summary(args.jsonl))  # not for an editor's standard input alone
    return status


def _on_dask(args: argparse.Namespace, console: Console, tally: Tally) -> Iterator[Checked]:
    # The paths are checked, and folders expanded, before any cluster starts.
    files = input_files(args, console)
    if "-" in files:
        raise Trouble("standard input cannot be checked on a Dask cluster")
    from tavrik_workout import batch
    results = batch.check_paths(files, args.dask, jsonl=args.jsonl, workers=args.jobs,
                                max_size=args.max_size)
    for checked_list in results:
        tally.files += 1
        tally.named += 1
        for checked in checked_list:
            tally.add(checked)
            yield checked
