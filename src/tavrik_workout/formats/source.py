"""Reading the input of a converter: a path, bytes or a binary file."""

from __future__ import annotations

import os
from typing import IO

from tavrik_workout.formats.loss import FormatError

# What a converter reads: a path, a bytes-like object or a file opened in binary mode.
Source = str | os.PathLike[str] | bytes | bytearray | memoryview | IO[bytes]


def load(source: Source) -> tuple[bytes, str]:
    """(data bytes, display name) of a path, bytes-like object or binary file."""
    if isinstance(source, (bytes, bytearray, memoryview)):
        return bytes(source), "<bytes>"
    if isinstance(source, (str, os.PathLike)):
        name = os.fspath(source)
        try:
            with open(name, "rb") as file:
                return file.read(), name
        except OSError as error:
            raise FormatError(f"{name}: {error.strerror or error}") from None
    read = getattr(source, "read", None)
    if read is None:
        raise TypeError(f"expected a path, bytes or a binary file, not {type(source).__name__}")
    data: object = read()
    name = str(getattr(source, "name", "<file>"))
    if isinstance(data, str):
        raise TypeError(f"{name}: open the file in binary mode ('rb')")
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise TypeError(f"{name}: expected bytes from read(), not {type(data).__name__}")
    return bytes(data), name


def stem(name: str) -> str:
    base = os.path.basename(name)
    return os.path.splitext(base)[0] if not base.startswith("<") else ""
