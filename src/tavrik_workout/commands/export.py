"""Exports a prescription as a FIT workout or a Zwift workout (.zwo).

What the target cannot hold is reported on standard error (or as JSON with --format json);
--strict makes any loss an error and writes nothing.  The output goes beside FILE with the
target's suffix unless -o says where (- for standard output).
Needs the formats extra for FIT: pip install 'tavrik_workout_sdk[formats]'.
"""

from __future__ import annotations

import argparse
import json
import os
import sys

from tavrik_workout import formats
from tavrik_workout.documents import Unreadable
from tavrik_workout.files import read
from tavrik_workout.files import NotWritten
from tavrik_workout.formats.loss import report_entry
from tavrik_workout.formats.output import write_new

NAME = "export"
HELP = "export a prescription as a FIT workout or a Zwift workout"
WRITERS = {"fit": "write_fit_workout", "zwo": "write_zwo"}


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("file", metavar="FILE", help="a workout JSON file (- for standard input)")
    parser.add_argument("--to", required=True, choices=sorted(WRITERS), help="the target format")
    parser.add_argument("-o", "--output", metavar="OUT",
                        help="where to write (default: FILE with the target's suffix)")
    parser.add_argument("--strict", action="store_true",
                        help="any loss is an error (exit status 1) and nothing is written")
    parser.add_argument("--format", dest="report_format", choices=("text", "json"),
                        default="text", help="how the loss report is printed on standard error")


def run(args: argparse.Namespace) -> int:
    path: str = args.file
    try:
        text = read(path)
    except Unreadable as error:
        return _fail(args, path, str(error), 2)
    try:
        conversion: formats.Conversion = getattr(formats, WRITERS[args.to])(text)
    except formats.MissingExtra as error:
        return _fail(args, path, str(error), 2)
    except formats.FormatError as error:
        return _fail(args, path, str(error), 1)
    loss = conversion.loss
    if args.strict and not loss.lossless:
        _report(args, path, loss, None, "loss under --strict: not written")
        return 1
    data = conversion.text if isinstance(conversion.text, bytes) else conversion.text.encode()
    target: str = args.output or (os.path.splitext(path)[0] + "." + args.to if path != "-" else "-")
    try:
        if target == "-":
            sys.stdout.buffer.write(data)
            sys.stdout.flush()
        else:
            write_new(target, data)
    except NotWritten as refusal:
        return _fail(args, path, str(refusal), 2)
    except OSError as error:
        return _fail(args, path, f"cannot write {target}: {error.strerror or error}", 2)
    _report(args, path, loss, target, None)
    return 0


def _fail(args: argparse.Namespace, path: str, message: str, status: int) -> int:
    _report(args, path, None, None, message)
    return status


def _report(args: argparse.Namespace, path: str, loss: formats.LossReport | None, output: str | None,
            error: str | None) -> None:
    if args.report_format == "json":
        entry = report_entry(path, loss, error, output)
        print(json.dumps(entry, indent=2), file=sys.stderr)
        return
    for line in loss.lines() if loss is not None else []:
        print(f"{path}: {line}", file=sys.stderr)
    if error is not None:
        print(f"{path}: error: {error}", file=sys.stderr)
