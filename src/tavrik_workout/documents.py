"""One document's check, shared by the command line and the Dask recipe.

Everything here is a plain function of plain values, so that it pickles by name and runs
unchanged in a worker process of a process pool or of a Dask cluster.
"""

import re
import unicodedata
from dataclasses import dataclass

import tavrik_workout_sdk as sdk

_POSITION = re.compile(r"^(.*) at line (\d+) column (\d+)$", re.S)


_ESCAPES = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}


def printable(text):
    """`text` safe to print as one report line: a byte of a file name that is not UTF-8
    (held as a lone surrogate) becomes `\\xNN`, and a control character an escape, so that
    neither a strict standard output nor a document's own text can break or forge a line."""
    if text.isprintable():
        return text
    return "".join(_printable_character(character) for character in text)


def _printable_character(character):
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
class ReadError:
    message: str  # the module's message without its position
    line: int | None  # in the file, so --jsonl documents are placed on their own line
    column: int | None


@dataclass(frozen=True, slots=True)
class Checked:
    """What one document (or one unreadable file) came to."""

    path: str
    line: int | None = None  # where a --jsonl document starts
    unreadable: str | None = None
    failed: str | None = None  # the check itself failed on this document (out of memory)
    read_error: ReadError | None = None
    errors: tuple[str, ...] = ()
    sets: int | None = None

    @property
    def source(self):
        path = printable(self.path)
        return path if self.line is None else f"{path}:{self.line}"

    @property
    def valid(self):
        return (self.unreadable is None and self.failed is None and self.read_error is None
                and not self.errors)

    def problems(self):
        """The report lines: `PATH:LINE:COLUMN: MESSAGE` for a read error, else `PATH: MESSAGE`;
        escaped by printable(), so one line each."""
        if self.unreadable is not None:
            return [f"{self.source}: cannot read: {printable(self.unreadable)}"]
        if self.failed is not None:
            return [f"{self.source}: cannot check: {printable(self.failed)}"]
        if self.read_error is not None:
            error = self.read_error
            if error.line is None:
                return [f"{self.source}: {printable(error.message)}"]
            return [f"{printable(self.path)}:{error.line}:{error.column}: {printable(error.message)}"]
        return [f"{self.source}: {printable(message)}" for message in self.errors]

    def as_json(self):
        # JSON escapes control characters itself; only the bytes of a name that is not
        # UTF-8 need a spelling that every encoder and reader accepts.
        record = {"path": _escape_undecodable(self.path)}
        if self.line is not None:
            record["line"] = self.line
        record["valid"] = self.valid
        if self.unreadable is not None:
            record["errors"] = [{"message": f"cannot read: {self.unreadable}"}]
        elif self.failed is not None:
            record["errors"] = [{"message": f"cannot check: {self.failed}"}]
        elif self.read_error is not None:
            error = self.read_error
            record["errors"] = [{"message": error.message, "line": error.line, "column": error.column}]
        else:
            record["errors"] = [{"message": message} for message in self.errors]
        if self.sets is not None:
            record["sets"] = self.sets
        return record


def _escape_undecodable(text):
    return re.sub("[\udc80-\udcff]", lambda match: f"\\x{ord(match.group()) - 0xDC00:02x}", text)


def decode(data):
    """The text of `data`, or Unreadable naming the byte offset where it stops being UTF-8."""
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as error:
        raise Unreadable(
            f"not UTF-8 text: byte 0x{data[error.start]:02x} at byte offset {error.start}"
        ) from None


def read_error(error, first_line=1):
    """The module's read error, with its line moved to where the document starts in its file."""
    match = _POSITION.match(str(error))
    if match is None:
        return ReadError(str(error), None, None)
    message, line, column = match.group(1), int(match.group(2)), int(match.group(3))
    return ReadError(message, first_line + line - 1, column)


def check_document(path, text, line=None, *, validate=True):
    """Validates `text` (and counts its sets when valid); with validate=False only counts."""
    try:
        if not validate:
            return Checked(path, line, sets=sdk.count_sets(text))
        errors = sdk.validate_workout(text)
        if errors:
            return Checked(path, line, errors=tuple(errors))
        return Checked(path, line, sets=sdk.count_sets(text))
    except ValueError as error:
        return Checked(path, line, read_error=read_error(error, line or 1))


def jsonl_documents(text):
    """(line number, text) for each non-blank line: one document a line."""
    for number, line in enumerate(text.split("\n"), start=1):
        if line.strip():
            yield number, line


def check_text(path, text, *, jsonl=False, validate=True):
    """The checks of every document in one file's text."""
    if not jsonl:
        return [check_document(path, text, validate=validate)]
    return [check_document(path, line_text, number, validate=validate)
            for number, line_text in jsonl_documents(text)]
