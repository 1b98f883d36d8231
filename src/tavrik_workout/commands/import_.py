"""Imports recorded activities (FIT, GPX, TCX) and FIT workouts as workout documents.

Each file becomes one document in normal form.  What the document cannot hold (fields the
model has no place for, gaps filled, local time unknown) is reported on standard error,
one `FILE: ...` line each, or as JSON with --format json; --strict makes any loss an error
and writes nothing for that file.  The format is taken from the suffix unless --from says.
Needs the formats extra: pip install 'tavrik_workout_sdk[formats]'.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import Any

from tavrik_workout import formats
from tavrik_workout.files import NotWritten
from tavrik_workout.formats.loss import report_entry
from tavrik_workout.formats.output import write_new

NAME = "import"
HELP = "import FIT, GPX or TCX files as workout documents"
READERS = {"fit": "read_fit", "gpx": "read_gpx", "tcx": "read_tcx"}
OK, LOSS, TROUBLE = 0, 1, 2


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("files", nargs="+", metavar="FILE", help="a .fit, .gpx or .tcx file")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("-o", "--output", metavar="OUT",
                       help="write the document to OUT (one FILE only; default: standard output)")
    where.add_argument("--out-dir", metavar="DIR",
                       help="write each document to DIR/NAME.json")
    parser.add_argument("--from", dest="source_format", choices=sorted(READERS),
                        help="the files' format (default: from each file's suffix)")
    parser.add_argument("--gaps", choices=("fill", "drop-rows"), default="fill",
                        help="a sample without a value for a channel: 'fill' keeps every "
                             "sample and repeats the channel's previous value (the default), "
                             "'drop-rows' keeps only samples that have every channel")
    parser.add_argument("--allow-truncated", action="store_true",
                        help="import what precedes a fault in a FIT file and report the fault")
    parser.add_argument("--strict", action="store_true",
                        help="any loss is an error (exit status 1) and nothing is written")
    parser.add_argument("--format", dest="report_format", choices=("text", "json"),
                        default="text", help="how the loss report is printed on standard error")


def _format_of(path: str, given: str | None) -> str | None:
    if given:
        return given
    suffix = os.path.splitext(path)[1].lower().lstrip(".")
    return suffix if suffix in READERS else None


def run(args: argparse.Namespace) -> int:
    if args.output and len(args.files) > 1:
        print("tavrik-workout: import: -o takes one FILE; use --out-dir for several",
              file=sys.stderr)
        return TROUBLE
    if not args.output and not args.out_dir and len(args.files) > 1:
        print("tavrik-workout: import: several FILEs need --out-dir", file=sys.stderr)
        return TROUBLE
    status = OK
    reports: list[dict[str, Any]] = []
    written: set[str] = set()
    for path in args.files:
        kind = _format_of(path, args.source_format)
        if kind is None:
            _say(args, reports, path, error="unknown format: name it with --from fit|gpx|tcx")
            status = TROUBLE
            continue
        options: dict[str, Any] = {"gaps": args.gaps}
        if kind == "fit":
            options["allow_truncated"] = args.allow_truncated
        try:
            conversion: formats.Conversion = getattr(formats, READERS[kind])(path, **options)
        except formats.MissingExtra as error:
            _say(args, reports, path, error=str(error))
            status = TROUBLE
            break
        except formats.FormatError as error:
            _say(args, reports, path, error=str(error).removeprefix(f"{path}: "))
            status = max(status, LOSS)
            continue
        if args.strict and not conversion.loss.lossless:
            _say(args, reports, path, loss=conversion.loss,
                 error="loss under --strict: not written")
            status = max(status, LOSS)
            continue
        target = _target(args, path)
        if target in written:
            _say(args, reports, path, error=f"{target} was written for an earlier file: not "
                                            "overwritten")
            status = TROUBLE
            continue
        written.add(target)
        try:
            _write(target, conversion.text)
        except NotWritten as refusal:
            _say(args, reports, path, error=str(refusal))
            status = TROUBLE
            continue
        except OSError as error:
            _say(args, reports, path, error=f"cannot write: {error.strerror or error}")
            status = TROUBLE
            continue
        _say(args, reports, path, loss=conversion.loss, output=target)
    if args.report_format == "json":
        print(json.dumps(reports, indent=2), file=sys.stderr)
    return status


def _target(args: argparse.Namespace, path: str) -> str:
    if args.out_dir:
        return os.path.join(args.out_dir, os.path.splitext(os.path.basename(path))[0] + ".json")
    return str(args.output or "-")


def _write(target: str, text: str | bytes) -> None:
    # A reader's conversion is workout JSON text; bytes would be its UTF-8.
    text = text if isinstance(text, str) else text.decode("utf-8")
    if target == "-":
        sys.stdout.write(text + "\n")
    else:
        write_new(target, (text + "\n").encode("utf-8"))


def _say(args: argparse.Namespace, reports: list[dict[str, Any]], path: str, *,
         loss: formats.LossReport | None = None, error: str | None = None, output: str | None = None) -> None:
    if args.report_format == "json":
        entry = report_entry(path, loss, error, output)
        reports.append(entry)
        return
    if loss is not None:
        for line in loss.lines():
            print(f"{path}: {line}", file=sys.stderr)
    if error is not None:
        print(f"{path}: error: {error}", file=sys.stderr)
