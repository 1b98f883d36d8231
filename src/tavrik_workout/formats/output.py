"""Writing a converted file whole or not at all."""

import os
import tempfile
from contextlib import suppress


def write_new(path, data):
    """Writes `data` (bytes) to `path` through a temporary file in the same folder and a
    rename, so the path holds the old content or the new, never a part."""
    folder = os.path.dirname(os.path.abspath(path))
    descriptor, temporary = tempfile.mkstemp(dir=folder, prefix=f".{os.path.basename(path)}.",
                                             suffix=".tmp")
    try:
        with os.fdopen(descriptor, "wb") as file:
            file.write(data)
            file.flush()
            os.fsync(file.fileno())
        os.chmod(temporary, 0o666 & ~_umask())
        os.replace(temporary, path)
    except BaseException:
        with suppress(OSError):
            os.unlink(temporary)
        raise


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask
