"""What a conversion could not carry over, and the result type every reader and writer shares."""

from __future__ import annotations

import json
from dataclasses import dataclass
from types import ModuleType
from typing import Any

# A JSON object as parse_workout or json.loads gives it: the converters walk documents and
# device records member by member, checking each value where they read it.
JsonObject = dict[str, Any]


class FormatError(Exception):
    """A file that cannot be converted; the message names the file and what is wrong."""


class MissingExtra(ImportError):
    """A format library that is not installed; the message names the extra that brings it."""


def need(module: str) -> ModuleType:
    """Imports a format library, or says which extra installs it."""
    try:
        return __import__(module)
    except ImportError:
        raise MissingExtra(
            f"{module} is not installed: install the formats extra "
            f"(pip install 'tavrik_workout_sdk[formats]')") from None


# Kinds of loss, in the order the report lists them.
DROPPED = "dropped"
FILLED = "filled"
ROUNDED = "rounded"
CLAMPED = "clamped"
MERGED = "merged"
REWRITTEN = "rewritten"
LOCAL_TIME = "local time unknown"
TRUNCATED = "truncated"
_ORDER = (TRUNCATED, LOCAL_TIME, DROPPED, FILLED, MERGED, ROUNDED, CLAMPED, REWRITTEN)


class LossReport:
    """Counts of what was dropped, filled, rounded or clamped, keyed by what and why.

    `add` merges repeated entries into one count, so the readers can call it per sample."""

    def __init__(self) -> None:
        self._counts: dict[tuple[str, str, str], int] = {}

    def add(self, kind: str, subject: str, detail: str = "", count: int = 1) -> None:
        key = (kind, subject, detail)
        self._counts[key] = self._counts.get(key, 0) + count

    @property
    def lossless(self) -> bool:
        return not self._counts

    def entries(self) -> list[tuple[str, str, str, int]]:
        """(kind, subject, detail, count), in report order, then by subject."""
        return sorted(((kind, subject, detail, count)
                       for (kind, subject, detail), count in self._counts.items()),
                      key=lambda entry: (_ORDER.index(entry[0]), entry[1], entry[2]))

    def lines(self) -> list[str]:
        if self.lossless:
            return ["lossless: nothing dropped, filled, rounded or clamped"]
        result: list[str] = []
        for kind, subject, detail, count in self.entries():
            text = f"{kind}: {subject}" if subject else kind
            if detail:
                text += f" ({detail})"
            if count != 1:
                text += f" x{count}"
            result.append(text)
        return result

    def to_dict(self) -> dict[str, Any]:
        return {"lossless": self.lossless,
                "losses": [{"kind": kind, "subject": subject, "detail": detail, "count": count}
                           for kind, subject, detail, count in self.entries()]}

    def __str__(self) -> str:
        return "\n".join(self.lines())

    def __repr__(self) -> str:
        return f"LossReport({json.dumps(self.to_dict()['losses'])})"


@dataclass(frozen=True, slots=True)
class Conversion:
    """A converted document: `text` is the target's content (workout JSON in normal form for
    an import, FIT bytes or ZWO text for an export); `loss` says what the target lost."""

    text: str | bytes
    loss: LossReport


def report_entry(path: str, loss: LossReport | None = None, error: str | None = None,
                 output: str | None = None) -> dict[str, Any]:
    """One file's report as `--format json` prints it: the file, where it went, what failed,
    and what the target could not hold."""
    entry: dict[str, Any] = {"file": path}
    if output is not None:
        entry["output"] = output
    if error is not None:
        entry["error"] = error
    if loss is not None:
        entry.update(loss.to_dict())
    return entry
