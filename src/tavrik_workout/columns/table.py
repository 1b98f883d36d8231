"""The table object that the column functions return."""

from __future__ import annotations

from types import ModuleType
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import numpy
    import pandas
    import polars
    import pyarrow

    from tavrik_workout import _native as native_module

_EXTRA = "pip install 'tavrik_workout_sdk[frames]'"


def _library(name: str, method: str) -> ModuleType:
    """Imports a frame library when a conversion first needs it, naming the extra to install."""
    try:
        return __import__(name)
    except ImportError:
        raise ModuleNotFoundError(f"{method}() needs {name}: {_EXTRA}", name=name) from None


# A column as the native table describes it: (name, type, length, null count, validity
# bits, values, data, child columns), the buffers as bytes-like objects.
_Parts = tuple[Any, ...]


def _type_word(parts: _Parts) -> str:
    kind: str = parts[1]
    children: list[_Parts] = parts[-1]
    if kind == "struct":
        return "struct<" + ", ".join(f"{child[0]}: {_type_word(child)}" for child in children) + ">"
    return kind


_REPR_COLUMNS = 10  # named in a repr; the rest are counted

_DTYPES = {"float64": "<f8", "uint64": "<u8", "uint32": "<u4"}


def _numpy_columns(np: ModuleType, parts: _Parts, prefix: str, out: dict[str, numpy.ndarray[Any, Any]]) -> None:
    name: str
    kind: str
    length: int
    children: list[_Parts]
    name, kind, length, nulls, validity, values, data, children = parts
    name = prefix + name
    if kind == "struct":
        # Each field on its own, as `column.field`: NumPy has no nullable records.
        for child in children:
            _numpy_columns(np, child, name + ".", out)
        return
    valid = None
    if nulls:
        bits = np.frombuffer(validity, dtype=np.uint8)
        valid = np.unpackbits(bits, count=length, bitorder="little").astype(bool)
    if kind == "string":
        offsets: list[int] = np.frombuffer(values, dtype="<i8", count=length + 1).tolist()
        text = bytes(data)
        array = np.empty(length, dtype=object)
        for row in range(length):
            if valid is None or valid[row]:
                array[row] = text[offsets[row]:offsets[row + 1]].decode("utf-8")
        out[name] = array
        return
    array = np.frombuffer(values, dtype=_DTYPES[kind], count=length)
    out[name] = array if valid is None else np.ma.MaskedArray(array, mask=~valid)


class ColumnTable:
    """Columns read from one workout document, in Arrow layout.

    Implements the Arrow PyCapsule interface, so `pyarrow.table(t)`, `polars.DataFrame(t)`
    and DuckDB (`duckdb.sql("select ... from t")`) read it directly, without a copy of the
    numbers.  The buffers are freed when the table and everything made from it are gone.
    """

    __slots__ = ("_native",)

    def __init__(self, native: native_module.Table) -> None:
        self._native = native

    # ---- the Arrow PyCapsule interface ----

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        return self._native.__arrow_c_stream__(requested_schema)

    def __arrow_c_schema__(self) -> object:
        return self._native.__arrow_c_schema__()

    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]:
        return self._native.__arrow_c_array__(requested_schema)

    # ---- shape ----

    @property
    def column_names(self) -> list[str]:
        return self._native.column_names

    def __len__(self) -> int:
        return len(self._native)

    def __repr__(self) -> str:
        words = [f"{parts[0]}: {_type_word(parts)}" for parts in self._native.columns()]
        if len(words) > _REPR_COLUMNS:
            words[_REPR_COLUMNS - 1:-1] = [f"... {len(words) - _REPR_COLUMNS} more"]
        return f"<ColumnTable {len(self)} rows, {len(self.column_names)} columns: {', '.join(words)}>"

    # ---- conversions, each importing its library when called ----

    def to_arrow(self) -> pyarrow.Table:
        """A pyarrow.Table over the same buffers."""
        arrow = _library("pyarrow", "to_arrow")
        return arrow.table(self)

    def to_pandas(self) -> pandas.DataFrame:
        """A pandas.DataFrame with Arrow-backed columns: the numbers are not copied and a
        missing value stays null (NA), never 0 or NaN."""
        frames = _library("pandas", "to_pandas")
        _library("pyarrow", "to_pandas")
        return self.to_arrow().to_pandas(types_mapper=frames.ArrowDtype)

    def to_polars(self) -> polars.DataFrame:
        """A polars.DataFrame over the same buffers."""
        frame: polars.DataFrame = _library("polars", "to_polars").DataFrame(self)
        return frame

    def to_numpy(self) -> dict[str, numpy.ndarray[Any, Any]]:
        """A dict of column name to NumPy array.  Numbers are views of the table's buffers
        (read-only, no copy); a column with nulls is a masked array; text is an object array
        with None for null; a struct column gives one entry per field, `name.field`."""
        np = _library("numpy", "to_numpy")
        out: dict[str, numpy.ndarray[Any, Any]] = {}
        for parts in self._native.columns():
            _numpy_columns(np, parts, "", out)
        return out
