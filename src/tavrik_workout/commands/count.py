"""Counts the sets that each document prescribes.

Prints `PATH: N` per document and a total line; a document that does not read is reported as
by `validate` (exit status 1), an unreadable file too (exit status 2).  Validation errors do
not stop the count.
"""

from __future__ import annotations

import argparse

from tavrik_workout.commands.common import add_input_arguments, checked_documents, status_of
from tavrik_workout.runner import Console

NAME = "count"
HELP = "count the sets of workout documents"


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_input_arguments(parser, jsonl=True)


def run(args: argparse.Namespace) -> int:
    console = Console()
    status = 0
    total = 0
    for checked in checked_documents(args, console, validate=False):
        status = max(status, status_of(checked))
        if checked.sets is None:
            for line in checked.problems():
                console.line(line)
        else:
            total += checked.sets
            console.line(f"{checked.source}: {checked.sets}")
    console.out(f"total: {total}")
    return status
