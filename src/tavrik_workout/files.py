"""Finding, reading and atomically rewriting workout files."""

import os
import stat
import sys
import tempfile
from contextlib import suppress

from tavrik_workout.documents import Unreadable, decode

STDIN = "-"
STDIN_NAME = "<stdin>"


def expand(paths, suffix=".json"):
    """The files that PATHs name, in order: a folder stands for every file below it whose
    name ends in `suffix` (sorted, hidden folders skipped), `-` for standard input; no PATH
    means standard input.  Returns (files, empty folders)."""
    files, empty = [], []
    for path in paths or [STDIN]:
        if path != STDIN and os.path.isdir(path):
            found = sorted(_walk(path, suffix), key=lambda found_path: found_path.split(os.sep))
            files.extend(found)
            if not found:
                empty.append(path)
        else:
            files.append(path)
    return files, empty


def _walk(folder, suffix):
    for top, folders, names in os.walk(folder):
        folders[:] = [name for name in folders if not name.startswith(".")]
        for name in names:
            if name.endswith(suffix):
                yield os.path.join(top, name)


def display_name(path):
    return STDIN_NAME if path == STDIN else path


def read(path):
    """The text of a file or of standard input (`-`); Unreadable says why not."""
    try:
        if path == STDIN:
            data = sys.stdin.buffer.read()
        else:
            with open(path, "rb") as file:
                data = file.read()
    except OSError as error:
        raise Unreadable(error.strerror or str(error)) from None
    return decode(data)


def write_atomic(path, text):
    """Replaces the file's content with `text` (UTF-8) through a temporary file in the same
    folder and a rename, so a reader sees the old or the new content, never a mixture; the
    file's permissions are kept, and a symbolic link keeps pointing at the rewritten file."""
    target = os.path.realpath(path)
    mode = stat.S_IMODE(os.stat(target).st_mode)
    folder, name = os.path.split(target)
    descriptor, temporary = tempfile.mkstemp(dir=folder, prefix=f".{name}.", suffix=".tmp")
    try:
        with os.fdopen(descriptor, "wb") as file:
            file.write(text.encode("utf-8"))
            file.flush()
            os.fsync(file.fileno())
        os.chmod(temporary, mode)
        os.replace(temporary, target)
    except BaseException:
        with suppress(OSError):
            os.unlink(temporary)
        raise
