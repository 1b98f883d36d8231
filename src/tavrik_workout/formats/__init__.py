"""Device files in and out: FIT, GPX and TCX activities become workout documents, and
prescriptions become FIT workouts and Zwift files.

Every function returns a `Conversion`: the converted content and a `LossReport` of what the
target could not hold.  The format libraries come with the `formats` extra; without it the
functions raise `MissingExtra`, and the rest of the package works as before."""

from __future__ import annotations

from tavrik_workout.formats.loss import Conversion, FormatError, LossReport, MissingExtra
from tavrik_workout.formats.source import Source

__all__ = ["Conversion", "FormatError", "LossReport", "MissingExtra", "read_fit", "read_gpx",
           "read_tcx", "write_fit_workout", "write_zwo"]


def read_fit(source: Source, *, gaps: str = "fill", allow_truncated: bool = False) -> Conversion:
    """A FIT activity or workout file (a path, bytes or a binary file) as a workout document
    in normal form; `gaps` is "fill" or "drop-rows"."""
    from tavrik_workout.formats.fit import read_fit as read
    return read(source, gaps=gaps, allow_truncated=allow_truncated)


def read_gpx(source: Source, *, gaps: str = "fill") -> Conversion:
    """A GPX file's tracks as a workout document in normal form."""
    from tavrik_workout.formats.gpx import read_gpx as read
    return read(source, gaps=gaps)


def read_tcx(source: Source, *, gaps: str = "fill") -> Conversion:
    """A TCX file's first activity as a workout document in normal form."""
    from tavrik_workout.formats.tcx import read_tcx as read
    return read(source, gaps=gaps)


def write_fit_workout(text: str) -> Conversion:
    """The prescription in workout JSON text as the bytes of a FIT workout file."""
    from tavrik_workout.formats.fit import write_fit_workout as write
    return write(text)


def write_zwo(text: str) -> Conversion:
    """The prescription in workout JSON text as a Zwift workout (.zwo text)."""
    from tavrik_workout.formats.zwo import write_zwo as write
    return write(text)
