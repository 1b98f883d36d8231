"""Rewrites each document in its normal form (the module's to_json, and a final newline).

A file already in normal form is left alone; a document that does not read is reported as by
`validate` and left untouched.  So is a document whose normal form would drop content
(members the model does not know, the earlier value of a repeated key, digits a double cannot
hold): each loss is listed as `PATH:LINE:COL: fmt would drop ...` and the exit status is 1,
unless --drop-unknown consents.  A top-level "$schema" string is kept as the first member.
Writes go through a temporary file and a rename, so a file is never left half-written, and
keep the file's owner, group, mode and extended attributes.  A read-only file, one with other
hard links, and one that changed since it was read are left alone with a message (exit status
2).  Standard input is written to standard output.  Reports and a summary line go to standard
error, so that standard output carries only documents or the diff.
"""

from __future__ import annotations

import argparse
import difflib
import os
from collections.abc import Iterator
from dataclasses import dataclass
from functools import partial

import tavrik_workout_sdk as sdk
from tavrik_workout import runner
from tavrik_workout.commands.common import (
    INVALID, TROUBLE, add_input_arguments, input_sources, status_of)
from tavrik_workout.documents import Checked, Unreadable, printable, read_error
from tavrik_workout.files import NotWritten, remove_leftovers, rewrite
from tavrik_workout.lint import guard

NAME = "fmt"
HELP = "rewrite workout documents in normal form"


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_input_arguments(parser, jsonl=False)
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--check", action="store_true",
                      help="write nothing; list the files that would change and exit 1 if any")
    mode.add_argument("--diff", action="store_true",
                      help="write nothing; print a unified diff and exit 1 if any file would change")
    parser.add_argument("--drop-unknown", action="store_true",
                        help="rewrite even when the normal form drops content (unknown members, the "
                             "earlier of repeated keys, digits a double cannot hold); without it such "
                             "a file is listed and left alone")


@dataclass(frozen=True, slots=True)
class Formatted:
    path: str
    changed: bool = False
    output: str | None = None  # the normal form (standard input) or the diff
    problem: Checked | None = None  # a document that did not read, or a file that could not
    unwritable: str | None = None
    refused: str | None = None  # a whole report line: why the file was left alone
    losses: tuple[str, ...] = ()  # what the normal form would drop, when not consented to


def _diff_lines(path: str, old: str, new: str) -> Iterator[str]:
    path = printable(path)
    for line in difflib.unified_diff(old.splitlines(True), new.splitlines(True), path, path):
        yield line
        if not line.endswith("\n"):
            yield "\n\\ No newline at end of file\n"


def _format_source(source: runner.Source, mode: str, drop_unknown: bool = False) -> Formatted:
    try:
        text, stamp = source.load_stamped()
    except Unreadable as error:
        return Formatted(source.path, problem=Checked(source.path, unreadable=str(error)))
    try:
        normal = sdk.to_json(text) + "\n"
    except ValueError as error:
        return Formatted(source.path, problem=Checked(source.path, read_error=read_error(error, text)))
    normal, losses = guard.normal_form(source.path, text, normal, drop_unknown=drop_unknown)
    if losses:
        return Formatted(source.path, losses=tuple(losses))
    changed = normal != text
    if mode == "diff":
        return Formatted(source.path, changed, "".join(_diff_lines(source.path, text, normal)))
    if mode == "write" and not source.is_file:
        return Formatted(source.path, changed, normal)
    if mode == "write" and changed:
        try:
            rewrite(source.path, normal, stamp)
        except NotWritten as refusal:
            return Formatted(source.path, refused=str(refusal))
        except OSError as error:
            return Formatted(source.path, unwritable=error.strerror or str(error))
    return Formatted(source.path, changed)


def _format_failed(source: runner.Source, message: str) -> Formatted:
    return Formatted(source.path, problem=Checked(source.path, failed=message))


def run(args: argparse.Namespace) -> int:
    console = runner.Console()
    mode = "check" if args.check else "diff" if args.diff else "write"
    items = input_sources(args, console)
    if mode == "write":
        # What a killed earlier run left next to the files this one rewrites.
        for folder in sorted({os.path.dirname(os.path.realpath(item.path))
                              for item in items if item.is_file}):
            remove_leftovers(folder)
    status = 0
    tally = {"changed": 0, "unchanged": 0, "invalid": 0, "unreadable": 0, "left alone": 0}
    function = partial(_format_source, mode=mode, drop_unknown=args.drop_unknown)
    for result in runner.run(function, items, jobs=args.jobs, console=console,
                             progress=not args.quiet, failed=_format_failed):
        if result.problem is not None:
            problem = status_of(result.problem)
            status = max(status, problem)
            tally["unreadable" if problem == TROUBLE else "invalid"] += 1
            for line in result.problem.problems():
                console.err_line(line)
        elif result.losses:
            status = max(status, INVALID)
            tally["left alone"] += 1
            for line in result.losses:
                console.err_line(line)
        elif result.refused is not None or result.unwritable is not None:
            status = TROUBLE
            tally["left alone"] += 1
            console.err_line(result.refused if result.refused is not None
                             else f"{result.path}: cannot write: {result.unwritable}")
        elif mode == "write" and result.output is not None:
            tally["changed" if result.changed else "unchanged"] += 1
            console.out(result.output.removesuffix("\n"))
        elif result.changed:
            tally["changed"] += 1
            if mode == "write":
                if not args.quiet:
                    console.err_line(f"reformatted {result.path}")
                continue
            status = max(status, INVALID)
            if mode == "check":
                console.err_line(f"would reformat {result.path}")
            elif result.output is not None:  # the diff
                console.out(result.output.removesuffix("\n"))
        else:
            tally["unchanged"] += 1
    if not args.quiet and any(item.is_file for item in items):
        console.err(_summary(tally, mode))  # not for an editor's standard input alone
    return status


def _summary(tally: dict[str, int], mode: str) -> str:
    changed = tally["changed"]
    done = "reformatted" if mode == "write" else "would be reformatted"
    parts = [f"{changed:,} file{'' if changed == 1 else 's'} {done}", f"{tally['unchanged']:,} unchanged"]
    parts += [f"{tally[what]:,} {what}" for what in ("invalid", "unreadable", "left alone") if tally[what]]
    return ", ".join(parts)
