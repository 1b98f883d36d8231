"""One document's check, shared by the command line and the Dask recipe.

Everything here is a plain function of plain values, so that it pickles by name and runs
unchanged in a worker process of a process pool or of a Dask cluster.
"""

from __future__ import annotations

import re
import unicodedata
from collections.abc import Iterator
from dataclasses import dataclass

import tavrik_workout_sdk as sdk

from tavrik_workout.lint.check import placed_validation_errors
from tavrik_workout.lint.positions import Positions

_POSITION = re.compile(r"^(.*) at line (\d+) column (\d+)$", re.S)


_ESCAPES = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}


def printable(text: str) -> str:
    """`text` safe to print as one report line: a byte of a file name that is not UTF-8
    (held as a lone surrogate) becomes `\\xNN`, and a control character an escape, so that
    neither a strict standard output nor a document's own text can break or forge a line."""
    if text.isprintable():
        return text
    return "".join(_printable_character(character) for character in text)


def _printable_character(character: str) -> str:
    code = ord(character)
    if 0xDC80 <= code <= 0xDCFF:
        return f"\\x{code - 0xDC00:02x}"
    if character in _ESCAPES:
        return _ESCAPES[character]
    if unicodedata.category(character) in ("Cc", "Cs", "Zl", "Zp"):
        return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}"
    return character


class Unreadable(Exception):
    """A file (or standard input) that cannot be read as text; the message says why."""


@dataclass(frozen=True, slots=True)
class Problem:
    """One error of a document: the module's message and, where it can be placed, its line
    (in the file, so --jsonl documents are placed on their own line), 1-based character
    column, and byte offset from the start of the file."""

    message: str  # for a read error, the module's message without its position
    line: int | None = None
    column: int | None = None
    byte_offset: int | None = None

    def as_json(self) -> dict[str, object]:
        if self.line is None:
            return {"message": self.message}
        return {"message": self.message, "line": self.line, "column": self.column,
                "byte_offset": self.byte_offset}


@dataclass(frozen=True, slots=True)
class Checked:
    """What one document (or one unreadable file) came to."""

    path: str
    line: int | None = None  # where a --jsonl document starts
    unreadable: str | None = None
    failed: str | None = None  # the check itself failed on this document (out of memory)
    read_error: Problem | None = None
    errors: tuple[Problem, ...] = ()  # validate_workout's, in its order
    sets: int | None = None

    @property
    def source(self) -> str:
        path = printable(self.path)
        return path if self.line is None else f"{path}:{self.line}"

    @property
    def valid(self) -> bool:
        return (self.unreadable is None and self.failed is None and self.read_error is None
                and not self.errors)

    def problems(self) -> list[str]:
        """The report lines, `PATH:LINE:COLUMN: MESSAGE` for an error that is placed, else
        `PATH: MESSAGE`; escaped by printable(), so one line each."""
        if self.unreadable is not None:
            return [f"{self.source}: cannot read: {printable(self.unreadable)}"]
        if self.failed is not None:
            return [f"{self.source}: cannot check: {printable(self.failed)}"]
        if self.read_error is not None:
            return [self._line(self.read_error)]
        return [self._line(error) for error in self.errors]

    def _line(self, error: Problem) -> str:
        if error.line is None:
            return f"{self.source}: {printable(error.message)}"
        return f"{printable(self.path)}:{error.line}:{error.column}: {printable(error.message)}"

    def as_json(self) -> dict[str, object]:
        # JSON escapes control characters itself; only the bytes of a name that is not
        # UTF-8 need a spelling that every encoder and reader accepts.
        record: dict[str, object] = {"path": _escape_undecodable(self.path)}
        if self.line is not None:
            record["line"] = self.line
        record["valid"] = self.valid
        if self.unreadable is not None:
            record["errors"] = [{"message": f"cannot read: {self.unreadable}"}]
        elif self.failed is not None:
            record["errors"] = [{"message": f"cannot check: {self.failed}"}]
        elif self.read_error is not None:
            record["errors"] = [self.read_error.as_json()]
        else:
            record["errors"] = [error.as_json() for error in self.errors]
        if self.sets is not None:
            record["sets"] = self.sets
        return record


def _escape_undecodable(text: str) -> str:
    return re.sub("[\udc80-\udcff]", lambda match: f"\\x{ord(match.group()) - 0xDC00:02x}", text)


def decode(data: bytes) -> str:
    """The text of `data`, or Unreadable naming the byte offset where it stops being UTF-8."""
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as error:
        raise Unreadable(
            f"not UTF-8 text: byte 0x{data[error.start]:02x} at byte offset {error.start}"
        ) from None


def read_error(error: ValueError, text: str, first_line: int = 1, first_offset: int = 0) -> Problem:
    """The module's read error of `text`, placed as the other errors are: its byte column
    (which is 0 just after a line feed) made a 1-based character column, and its line and
    byte offset moved to where the document starts in its file."""
    match = _POSITION.match(str(error))
    if match is None:
        return Problem(str(error))
    message, line, byte_column = match.group(1), int(match.group(2)), int(match.group(3))
    positions = Positions(text)
    offset = positions.offset_of(line, byte_column)
    line, column = positions.at(offset)
    return Problem(message, first_line + line - 1, column, first_offset + offset)


def placed_errors(messages: list[str], text: str, first_line: int = 1,
                  first_offset: int = 0) -> tuple[Problem, ...]:
    """validate_workout's `messages` for `text`, each placed at the node it names.  The
    verdict and the words stay the module's: should the placing read the document otherwise,
    the messages go out unplaced rather than at a wrong node, and so they do when memory
    runs out for the second read."""
    try:
        found = placed_validation_errors(text)
    except MemoryError:
        found = []
    if [finding.message for finding in found] != messages:
        return tuple(Problem(message) for message in messages)
    return tuple(Problem(finding.message, first_line + finding.line - 1, finding.column,
                         first_offset + finding.byte_offset) for finding in found)


def check_document(path: str, text: str, line: int | None = None, *, validate: bool = True,
                   offset: int = 0) -> Checked:
    """Validates `text` (and counts its sets when valid); with validate=False only counts.
    `line` and `offset` are where a --jsonl document starts in its file."""
    try:
        if not validate:
            return Checked(path, line, sets=sdk.count_sets(text))
        errors = sdk.validate_workout(text)
        if not errors:
            return Checked(path, line, sets=sdk.count_sets(text))
    except ValueError as error:
        return Checked(path, line, read_error=read_error(error, text, line or 1, offset))
    return Checked(path, line, errors=placed_errors(errors, text, line or 1, offset))


def jsonl_documents(text: str) -> Iterator[tuple[int, int, str]]:
    """(line number, byte offset, text) of each non-blank line: one document a line."""
    offset = 0
    for number, line in enumerate(text.split("\n"), start=1):
        if line.strip():
            yield number, offset, line
        offset += len(line.encode("utf-8", "surrogatepass")) + 1


def check_text(path: str, text: str, *, jsonl: bool = False, validate: bool = True) -> list[Checked]:
    """The checks of every document in one file's text."""
    if not jsonl:
        return [check_document(path, text, validate=validate)]
    return [check_document(path, line_text, number, validate=validate, offset=offset)
            for number, offset, line_text in jsonl_documents(text)]
