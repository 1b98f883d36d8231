"""What the file-reading commands share: their arguments and the checking of files."""

import argparse
import re
from functools import partial

from tavrik_workout import runner
from tavrik_workout.documents import Checked, Unreadable, check_text
from tavrik_workout.files import DEFAULT_MAX_SIZE, expand

OK, INVALID, TROUBLE = 0, 1, 2


def jobs_count(text):
    try:
        jobs = int(text)
    except ValueError:
        jobs = 0
    if jobs < 1:
        raise argparse.ArgumentTypeError(f"expected a whole number of processes, 1 or more, not {text!r}")
    return jobs


_SIZE = re.compile(r"^\s*(\d+)\s*([KMG]?)i?B?\s*$", re.I)
_UNITS = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30}


def size(text):
    match = _SIZE.match(text)
    if match is None or int(match.group(1)) < 1:
        raise argparse.ArgumentTypeError(
            f"expected a size in bytes such as 5000000, 200M or 2G, not {text!r}")
    return int(match.group(1)) * _UNITS[match.group(2).upper()]


def add_input_arguments(parser, *, jsonl):
    parser.add_argument(
        "paths", nargs="*", metavar="PATH",
        help="a file, a folder (every *.json below it, or *.jsonl with --jsonl; hidden "
             "folders skipped) or - for standard input (the default)")
    parser.add_argument(
        "-j", "--jobs", type=jobs_count, default=runner.default_jobs(), metavar="N",
        help="check files in N processes (default: all cores, %(default)s here; 1 runs "
             "in this process)")
    parser.add_argument(
        "--max-size", type=size, default=DEFAULT_MAX_SIZE, metavar="SIZE",
        help="refuse an input larger than SIZE bytes (K, M, G suffixes allowed; default 1G), "
             "so that /dev/zero or an endless pipe named by mistake ends with an error")
    if jsonl:
        parser.add_argument(
            "--jsonl", action="store_true",
            help="one document a line: each non-blank line of each file is checked on its own")


def input_sources(args, console):
    """The Sources that the PATH arguments name; a folder without any is said on stderr."""
    suffix = ".jsonl" if getattr(args, "jsonl", False) else ".json"
    files, empty = expand(args.paths, suffix)
    for folder in empty:
        console.err_line(f"tavrik-workout: no *{suffix} files under {folder}")
    return runner.sources(files, args.max_size)


def _check_source(source, jsonl, validate):
    try:
        text = source.load()
    except Unreadable as error:
        return [Checked(source.path, unreadable=str(error))]
    return check_text(source.path, text, jsonl=jsonl, validate=validate)


def _check_failed(source, message):
    return [Checked(source.path, failed=message)]


def checked_documents(args, console, *, validate, progress=True):
    """Every document's Checked, in the order of the paths."""
    items = input_sources(args, console)
    function = partial(_check_source, jsonl=args.jsonl, validate=validate)
    for checked_list in runner.run(function, items, jobs=args.jobs, console=console,
                                   progress=progress, failed=_check_failed):
        yield from checked_list


def status_of(checked):
    if checked.unreadable is not None or checked.failed is not None:
        return TROUBLE
    return OK if checked.valid else INVALID
