"""Reading the input of a converter: a path, bytes or a binary file."""

import os

from tavrik_workout.formats.loss import FormatError


def load(source):
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
    data = read()
    name = str(getattr(source, "name", "<file>"))
    if isinstance(data, str):
        raise TypeError(f"{name}: open the file in binary mode ('rb')")
    return bytes(data), name


def stem(name):
    base = os.path.basename(name)
    return os.path.splitext(base)[0] if not base.startswith("<") else ""
