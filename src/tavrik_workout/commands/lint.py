"""Finds what is wrong or doubtful in workout documents, each finding with a rule code.

Prints `PATH:LINE:COLUMN: CODE message`, sorted by position; columns are 1-based
characters.  Rule families: R reading (what the normal form would lose, and documents that
do not read), S structure (the tree's rules, node ids), D recorded data, V values no plan
means.  Rules are chosen by --select and --ignore, or by select and ignore in
[tool.tavrik-workout] of the nearest pyproject.toml (or of --config).  Exit status 0 when no
finding is left, 1 when one is, 2 when a file cannot be read or the settings are wrong.
"""

from __future__ import annotations

import argparse
from dataclasses import dataclass
from functools import partial
from importlib import metadata

from tavrik_workout import runner
from tavrik_workout.commands.common import INVALID, TROUBLE, add_input_arguments, input_sources
from tavrik_workout.documents import Unreadable
from tavrik_workout.files import NotWritten, rewrite
from tavrik_workout.lint import config, output
from tavrik_workout.lint.check import Finding, check

NAME = "lint"
HELP = "report findings in workout documents, with rule codes"


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_input_arguments(parser, jsonl=False)
    parser.add_argument("--select", type=config.split_codes, metavar="CODES",
                        help="only these rules: codes, families (R, S, D, V), rule names or ALL, "
                             "separated by commas")
    parser.add_argument("--ignore", type=config.split_codes, metavar="CODES",
                        help="leave out these rules (same forms as --select)")
    parser.add_argument("--config", metavar="FILE",
                        help="read [tool.tavrik-workout] from FILE rather than the nearest pyproject.toml")
    parser.add_argument("--output-format", choices=("text", "json", "github", "sarif"), default="text",
                        help="text (default), json (with line, column and byte_offset), github "
                             "(workflow annotations) or sarif")
    parser.add_argument("--statistics", action="store_true",
                        help="print how many findings each rule has, instead of the findings")
    parser.add_argument("--fix", action="store_true",
                        help="apply the safe fixes (R003: remove the earlier of a repeated key, which "
                             "reading ignores) and report what is left")


@dataclass(frozen=True, slots=True)
class Linted:
    path: str
    findings: tuple[Finding, ...] = ()
    fixed: int = 0
    output: str | None = None  # the fixed document, for standard input
    trouble: str | None = None  # why the file could not be read or written


def apply_fixes(text: str, findings: tuple[Finding, ...]) -> tuple[str, int]:
    """`text` with the fixes of `findings` applied (their byte ranges removed)."""
    data = text.encode("utf-8", "surrogatepass")
    ranges = sorted({f.fix for f in findings if f.fix is not None}, reverse=True)
    for begin, end in ranges:
        data = data[:begin] + data[end:]
    return data.decode("utf-8", "surrogatepass"), len(ranges)


def _lint_source(source: runner.Source, select: frozenset[str], fix: bool) -> Linted:
    try:
        text, stamp = source.load_stamped()
    except Unreadable as error:
        return Linted(source.path, trouble=f"cannot read: {error}")
    findings = tuple(f for f in check(text).findings if f.code in select)
    if not fix or not any(f.fix for f in findings):
        return Linted(source.path, findings)
    fixed_text, fixed = apply_fixes(text, findings)
    findings = tuple(f for f in check(fixed_text).findings if f.code in select)
    if not source.is_file:
        return Linted(source.path, findings, fixed, output=fixed_text)
    try:
        rewrite(source.path, fixed_text, stamp)
    except NotWritten as refusal:
        return Linted(source.path, trouble=str(refusal))
    except OSError as error:
        return Linted(source.path, trouble=f"cannot write: {error.strerror or error}")
    return Linted(source.path, findings, fixed)


def _version() -> str:
    try:
        return metadata.version("tavrik_workout_sdk")
    except metadata.PackageNotFoundError:
        return "0+unknown"


def run(args: argparse.Namespace) -> int:
    console = runner.Console()
    try:
        chosen = config.settings(args.config, args.select, args.ignore)
    except config.ConfigError as error:
        console.err(f"tavrik-workout: {error}")
        return TROUBLE
    items = input_sources(args, console)
    status = 0
    located: list[output.Located] = []
    fixed = 0
    function = partial(_lint_source, select=chosen.select, fix=args.fix)
    for result in runner.run(function, items, jobs=args.jobs, console=console,
                             progress=args.output_format == "text"):
        if result.trouble is not None:
            status = TROUBLE
            console.err_line(f"{result.path}: {result.trouble}")
            continue
        fixed += result.fixed
        if result.output is not None:
            console.out(result.output.removesuffix("\n"))
        located += [(result.path, finding) for finding in result.findings]
    if located:
        status = max(status, INVALID)
    if args.statistics:
        for line in output.statistics_lines(located):
            console.out(line)
    elif args.output_format == "json":
        console.out(output.json_text(located))
    elif args.output_format == "sarif":
        console.out(output.sarif_text(located, _version()))
    elif args.output_format == "github":
        for line in output.github_lines(located):
            console.out(line)
    else:
        for line in output.text_lines(located):
            console.out(line)
    if args.output_format == "text" or args.statistics:
        fixable = sum(1 for _, f in located if f.fix is not None)
        summary = f"Found {len(located)} finding{'s' if len(located) != 1 else ''}"
        if fixed:
            summary += f" ({fixed} fixed)"
        if fixable:
            summary += f"; {fixable} fixable with --fix"
        console.err(summary + ".")
    return status

