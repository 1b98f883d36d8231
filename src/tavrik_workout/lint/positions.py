"""Byte offsets of a document turned into the lines and columns people and editors use."""

from __future__ import annotations

import re
from bisect import bisect_right

_NEWLINE = re.compile(rb"\n")


class Positions:
    """Lines count from 1; columns are 1-based characters (code points), not bytes."""

    def __init__(self, text: str) -> None:
        self.data = text.encode("utf-8", "surrogatepass")
        self._starts = [0] + [match.end() for match in _NEWLINE.finditer(self.data)]

    def at(self, offset: int) -> tuple[int, int]:
        """The line and character column of the byte at `offset`."""
        offset = max(0, min(offset, len(self.data)))
        line = bisect_right(self._starts, offset)
        start = self._starts[line - 1]
        column = len(self.data[start:offset].decode("utf-8", "replace")) + 1
        return line, column

    def offset_of(self, line: int, byte_column: int) -> int:
        """The byte a reader position names: its column counts bytes and is that of the
        byte itself (1-based), or 0 just after a line feed."""
        if line < 1:
            return 0
        start = self._starts[min(line, len(self._starts)) - 1]
        return max(0, min(start + max(byte_column - 1, 0), len(self.data)))
