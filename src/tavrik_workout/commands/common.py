"""What the file-reading commands share: their arguments and the checking of files."""

from __future__ import annotations

import argparse
import re
import sys
from collections.abc import Iterator
from dataclasses import dataclass
from functools import partial

from tavrik_workout import runner
from tavrik_workout.documents import Checked, Unreadable, check_text
from tavrik_workout.files import DEFAULT_MAX_SIZE, STDIN, expand
from tavrik_workout.runner import Console, Source

OK, INVALID, TROUBLE = 0, 1, 2


class Trouble(Exception):
    """Nothing can be done as asked; the message says why (exit status 2)."""


def jobs_count(text: str) -> int:
    try:
        jobs = int(text)
    except ValueError:
        jobs = 0
    if jobs < 1:
        raise argparse.ArgumentTypeError(f"expected a whole number of processes, 1 or more, not {text!r}")
    return jobs


_SIZE = re.compile(r"^\s*(\d+)\s*([KMG]?)i?B?\s*$", re.I)
_UNITS = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30}


def size(text: str) -> int:
    match = _SIZE.match(text)
    if match is None or int(match.group(1)) < 1:
        raise argparse.ArgumentTypeError(
            f"expected a size in bytes such as 5000000, 200M or 2G, not {text!r}")
    return int(match.group(1)) * _UNITS[match.group(2).upper()]


def add_input_arguments(parser: argparse.ArgumentParser, *, jsonl: bool) -> None:
    kinds = "every *.json below it, or *.jsonl with --jsonl" if jsonl else "every *.json below it"
    parser.add_argument(
        "paths", nargs="*", metavar="PATH",
        help=f"a file, a folder ({kinds}, in any case; hidden folders and git-ignored paths "
             "skipped) or - for standard input.  Without PATH: . when standard input is a "
             "terminal, standard input otherwise")
    parser.add_argument(
        "-j", "--jobs", type=jobs_count, default=runner.default_jobs(), metavar="N",
        help="check files in N processes (default: all cores, %(default)s here; 1 runs "
             "in this process)")
    parser.add_argument(
        "--exclude", action="append", default=[], metavar="PATTERN",
        help="skip what a folder walk finds that matches PATTERN (.gitignore syntax, relative "
             "to the folder named; may be repeated); files named outright are always taken")
    parser.add_argument(
        "--stdin-filename", metavar="NAME",
        help="the name that reports give standard input (for editors), instead of <stdin>")
    parser.add_argument(
        "--max-size", type=size, default=DEFAULT_MAX_SIZE, metavar="SIZE",
        help="refuse an input larger than SIZE bytes (K, M, G suffixes allowed; default 1G), "
             "so that /dev/zero or an endless pipe named by mistake ends with an error")
    parser.add_argument(
        "-q", "--quiet", action="store_true",
        help="report problems only: no summary line, progress bar or notes")
    if jsonl:
        parser.add_argument(
            "--jsonl", action="store_true",
            help="one document a line: each non-blank line of each file is checked on its own")


def _stdin_is_terminal() -> bool:
    try:
        return sys.stdin is None or sys.stdin.isatty()
    except (AttributeError, ValueError):
        return True


def input_files(args: argparse.Namespace, console: Console) -> list[str]:
    """The files that the PATH arguments name; Trouble when there is nothing to check."""
    paths: list[str] = args.paths or (["."] if _stdin_is_terminal() else [STDIN])
    if paths.count(STDIN) > 1:
        raise Trouble("standard input (-) can be read only once")
    suffix = ".jsonl" if getattr(args, "jsonl", False) else ".json"
    files, empty = expand(paths, suffix, exclude=args.exclude)
    if not files:
        where = ", ".join(empty)
        raise Trouble(f"nothing to check: no *{suffix} files under {where}")
    if not args.quiet:
        for folder in empty:
            console.err_line(f"tavrik-workout: no *{suffix} files under {folder}")
    return files


def input_sources(args: argparse.Namespace, console: Console) -> list[Source]:
    """The Sources that the PATH arguments name."""
    return runner.sources(input_files(args, console), args.max_size, stdin_name=args.stdin_filename)


def _check_source(source: Source, jsonl: bool, validate: bool) -> list[Checked]:
    try:
        text = source.load()
    except Unreadable as error:
        return [Checked(source.path, unreadable=str(error))]
    return check_text(source.path, text, jsonl=jsonl, validate=validate)


def _check_failed(source: Source, message: str) -> list[Checked]:
    return [Checked(source.path, failed=message)]


@dataclass(slots=True)
class Tally:
    """Files and documents seen, and how they came out, for the summary line."""

    files: int = 0
    named: int = 0  # files other than standard input
    documents: int = 0
    invalid: int = 0
    unreadable: int = 0

    def add(self, checked: Checked) -> None:
        self.documents += 1
        if checked.unreadable is not None or checked.failed is not None:
            self.unreadable += 1
        elif not checked.valid:
            self.invalid += 1

    def summary(self, jsonl: bool) -> str:
        checked = f"checked {_count(self.files, 'file')}"
        if jsonl:
            checked += f", {_count(self.documents, 'document')}"
        problems = [f"{number:,} {what}" for number, what in
                    ((self.invalid, "invalid"), (self.unreadable, "unreadable")) if number]
        return f"{checked}: {', '.join(problems) or 'all valid'}"


def _count(number: int, noun: str) -> str:
    return f"{number:,} {noun}{'' if number == 1 else 's'}"


def checked_documents(args: argparse.Namespace, console: Console, *, validate: bool, progress: bool = True,
                      tally: Tally | None = None) -> Iterator[Checked]:
    """Every document's Checked, in the order of the paths; `tally` counts them."""
    items = input_sources(args, console)
    if tally is not None:
        tally.named = sum(item.is_file for item in items)
    function = partial(_check_source, jsonl=args.jsonl, validate=validate)
    for checked_list in runner.run(function, items, jobs=args.jobs, console=console,
                                   progress=progress and not args.quiet, failed=_check_failed):
        if tally is not None:
            tally.files += 1
        for checked in checked_list:
            if tally is not None:
                tally.add(checked)
            yield checked


def status_of(checked: Checked) -> int:
    if checked.unreadable is not None or checked.failed is not None:
        return TROUBLE
    return OK if checked.valid else INVALID
