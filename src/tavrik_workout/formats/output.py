"""Writing a converted file whole or not at all."""

from __future__ import annotations

import os

from tavrik_workout.files import remove_leftovers, rewrite


def write_new(path: str, data: str | bytes) -> None:
    """Writes `data` (bytes or str) to `path` through the command line's one atomic path: the
    path holds the old content or the new, never a part, and an existing file keeps its owner,
    mode and extended attributes (or is refused with NotWritten)."""
    remove_leftovers(os.path.dirname(os.path.realpath(path)))
    rewrite(path, data)
