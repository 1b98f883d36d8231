"""What a conversion could not carry over, and the result type every reader and writer shares."""

import json
from dataclasses import dataclass


class FormatError(Exception):
    """A file that cannot be converted; the message names the file and what is wrong."""


class MissingExtra(ImportError):
    """A format library that is not installed; the message names the extra that brings it."""


def need(module):
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

    def __init__(self):
        self._counts = {}

    def add(self, kind, subject, detail="", count=1):
        key = (kind, subject, detail)
        self._counts[key] = self._counts.get(key, 0) + count

    @property
    def lossless(self):
        return not self._counts

    def entries(self):
        """(kind, subject, detail, count), in report order, then by subject."""
        return sorted(((kind, subject, detail, count)
                       for (kind, subject, detail), count in self._counts.items()),
                      key=lambda entry: (_ORDER.index(entry[0]), entry[1], entry[2]))

    def lines(self):
        if self.lossless:
            return ["lossless: nothing dropped, filled, rounded or clamped"]
        result = []
        for kind, subject, detail, count in self.entries():
            text = f"{kind}: {subject}" if subject else kind
            if detail:
                text += f" ({detail})"
            if count != 1:
                text += f" x{count}"
            result.append(text)
        return result

    def to_dict(self):
        return {"lossless": self.lossless,
                "losses": [{"kind": kind, "subject": subject, "detail": detail, "count": count}
                           for kind, subject, detail, count in self.entries()]}

    def __str__(self):
        return "\n".join(self.lines())

    def __repr__(self):
        return f"LossReport({json.dumps(self.to_dict()['losses'])})"


@dataclass(frozen=True, slots=True)
class Conversion:
    """A converted document: `text` is the target's content (workout JSON in normal form for
    an import, FIT bytes or ZWO text for an export); `loss` says what the target lost."""

    text: str | bytes
    loss: LossReport


def report_entry(path, loss=None, error=None, output=None):
    """One file's report as `--format json` prints it: the file, where it went, what failed,
    and what the target could not hold."""
    entry = {"file": path}
    if output is not None:
        entry["output"] = output
    if error is not None:
        entry["error"] = error
    if loss is not None:
        entry.update(loss.to_dict())
    return entry
