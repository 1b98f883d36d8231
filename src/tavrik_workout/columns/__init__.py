"""Recorded streams, laps and prescribed sets as columns.

Each function takes a workout as JSON text, reads it with the same reader as
`tavrik_workout_sdk` (a read error is the same ValueError, message and position) and returns
a `ColumnTable`: Arrow columns that pyarrow, polars, pandas and DuckDB take without a copy,
through the Arrow PyCapsule interface.

    >>> from tavrik_workout import columns
    >>> rides = columns.streams(text).to_polars()
"""

from __future__ import annotations

from tavrik_workout import _native
from tavrik_workout.columns.table import ColumnTable

__all__ = ["ColumnTable", "laps", "sets", "streams"]

_RAGGED = ("error", "pad")


def streams(text: str, *, ragged: str = "error") -> ColumnTable:
    """One row per timestamp of the recorded streams.

    The first column is `timestamp` (float64, the values as read), then one column per
    channel in document order, named after its metric (`HeartRate`, `Power`, ...; a custom
    metric by its own name); a name already used gets `_2`, `_3`, ...  A `Position` channel
    is a struct of `lat`, `lng` and `altitude`: a sample without a fix is a null struct, a
    fix without altitude a null `altitude`.  A document without streams gives no rows and
    the `timestamp` column alone.

    A channel whose length differs from the timestamps' is a ValueError naming it and both
    lengths; `ragged="pad"` pads every shorter column (timestamps included) with nulls at
    its end instead.
    """
    if ragged not in _RAGGED:
        raise ValueError(f"ragged must be 'error' or 'pad', not {ragged!r}")
    return ColumnTable(_native.streams(text, ragged == "pad"))


def laps(text: str) -> ColumnTable:
    """One row per lap.

    `start_index` and `end_index` (uint64, null when absent), `trigger` (the trigger's name,
    `Custom` for a custom one), `trigger_name` (a custom trigger's own name, else null),
    `name`, then one float64 column `summary.KEY` per key found in any lap's summary, in key
    order, null where a lap lacks it.
    """
    return ColumnTable(_native.laps(text))


def sets(text: str) -> ColumnTable:
    """One row per set, as `count_sets` counts them (a node with a `Leaf` payload, whatever
    its kind), in depth-first order: `len(sets(text)) == count_sets(text)`.

    Columns: the set's `id` and `name`; `KIND_id` and `KIND_name` of its nearest enclosing
    exercise, block, session, day, week, phase and program node (by the nodes' kinds; null
    where there is none); `position`, its index among its siblings; `measure_count`; a group
    per measure (`reps`; `weight_amount`, `weight_unit`; `distance_amount`,
    `distance_unit`; `duration_seconds`; `pace_per`, `pace_seconds`; `heart_rate_bpm`;
    `calories`; `custom_name`, `custom_value` as compact JSON text), null where the set
    has no such measure; `intensity` (its variant), `intensity_value` (the number of a
    numeric one), `intensity_custom_name` and `intensity_custom_value`; `rest_seconds`,
    the rest of the nearest enclosing node that states one (a set itself has none).

    When a set holds two measures of one variant, the columns hold the first in the
    document's order: a prescription is read top down, the first statement is the one a
    reader meets, and summing or choosing by value would invent a figure the document does
    not state.  `measure_count` shows when a set has more measures than its row holds;
    `parse_workout` gives all of them.
    """
    return ColumnTable(_native.sets(text))
