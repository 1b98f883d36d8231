"""The column tables in each consumer (pyarrow, polars, pandas, DuckDB, NumPy), without a
copy of the numbers, and their release: whatever is dropped in whatever order, and exports
never consumed, nothing is kept."""

import gc
import json
import random
import sys
from pathlib import Path

import duckdb
import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa
import pytest

from tavrik_workout import columns

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))
import bench  # noqa: E402

RIDE = json.dumps(bench.make_recording(2000))
PLAN = json.dumps(bench.make_plan(2), ensure_ascii=False)
RUN = (ROOT / "examples" / "run_with_streams.workout.json").read_text()
UNDER_ASAN = "libasan" in Path("/proc/self/maps").read_text()


def address(array):
    return array.__array_interface__["data"][0]


def arrow_values_address(chunked):
    (chunk,) = chunked.chunks
    return chunk.buffers()[1].address


# ---- each consumer ----

def test_pyarrow_polars_pandas_and_numpy_share_one_buffer():
    table = columns.streams(RIDE)
    power = table.to_numpy()["Power"]
    assert not power.flags.writeable  # the bytes are shared with Arrow, which takes them as immutable
    assert arrow_values_address(pa.table(table).column("Power")) == address(power)
    assert arrow_values_address(table.to_arrow().column("Power")) == address(power)
    assert arrow_values_address(table.to_pandas()["Power"].array.__arrow_array__()) == address(power)
    assert address(table.to_polars()["Power"].to_numpy()) == address(power)
    # ...and a second reading of the document has buffers of its own.
    assert address(columns.streams(RIDE).to_numpy()["Power"]) != address(power)


def test_each_consumer_reads_the_same_values():
    table = columns.streams(RUN)
    expected = pa.table(table).column("HeartRate").to_pylist()
    assert table.to_polars()["HeartRate"].to_list() == expected
    assert table.to_pandas()["HeartRate"].tolist() == expected
    assert table.to_numpy()["HeartRate"].tolist() == expected
    assert len(expected) == len(table) == 81


def test_duckdb_runs_sql_over_the_tables_themselves():
    streams, laps = columns.streams(RUN), columns.laps(RUN)  # noqa: F841 (DuckDB finds them by name)
    mean_per_lap = duckdb.sql(
        'select l.name, avg(s.HeartRate) from laps l join (select row_number() over () - 1 as i, * from streams) s '
        "on s.i between l.start_index and l.end_index where l.name is not null group by l.name order by l.name"
    ).fetchall()
    rows = pa.table(streams).column("HeartRate").to_pylist()
    by_name = {lap["name"]: rows[lap["start_index"]:lap["end_index"] + 1] for lap in pa.table(laps).to_pylist()
               if lap["name"] is not None}
    assert mean_per_lap == [(name, pytest.approx(sum(v) / len(v))) for name, v in sorted(by_name.items())]
    sets = columns.sets(PLAN)  # noqa: F841
    assert duckdb.sql("select count(*) from sets").fetchall()[0][0] == len(sets)


def test_position_structs_and_nulls_in_each_consumer():
    table = columns.streams(RUN)
    positions = pa.table(table).column("Position").to_pylist()
    assert positions[0] == {"lat": 59.333382, "lng": 18.0649, "altitude": 21.0}
    assert positions[1]["altitude"] is None
    assert None in positions  # a sample without a fix: its fields are null too
    no_altitude = [p is None or p["altitude"] is None for p in positions]
    assert table.to_polars()["Position"].struct.field("altitude").is_null().to_list() == no_altitude
    altitude = table.to_numpy()["Position.altitude"]
    assert isinstance(altitude, np.ma.MaskedArray)
    assert altitude.mask.tolist() == no_altitude
    assert pd.isna(table.to_pandas()["Position"].struct.field("altitude")).tolist() == altitude.mask.tolist()


def test_text_and_integer_columns_in_numpy():
    out = columns.laps(RUN).to_numpy()
    assert out["start_index"].dtype == np.uint64
    assert out["trigger_name"].tolist() == pa.table(columns.laps(RUN)).column("trigger_name").to_pylist()
    assert out["summary.max_hr"].mask.tolist() == [True, False, False, False, False, False, False, True]


def test_repr_len_and_names():
    table = columns.laps(RUN)
    assert len(table) == 8
    assert table.column_names[:3] == ["start_index", "end_index", "trigger"]
    assert repr(table).startswith("<ColumnTable 8 rows, 9 columns: start_index: uint64, end_index: uint64, trigger: string")
    assert "Position: struct<lat: float64, lng: float64, altitude: float64>" in repr(columns.streams(RUN))
    # A wide table names its first columns and its last, and counts the rest.
    wide = repr(columns.sets(PLAN))
    assert wide.startswith("<ColumnTable 3") and ", 35 columns: id: string, name: string," in wide
    assert wide.endswith(", ... 25 more, rest_seconds: float64>")


def test_a_missing_library_names_the_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "polars", None)  # import polars now fails
    with pytest.raises(ModuleNotFoundError, match=r"to_polars\(\) needs polars: pip install 'tavrik_workout_sdk\[frames\]'"):
        columns.streams(RUN).to_polars()


def test_the_capsules_are_the_ones_the_protocol_names():
    table = columns.streams(RUN)
    assert "arrow_array_stream" in repr(table.__arrow_c_stream__())
    assert "arrow_schema" in repr(table.__arrow_c_schema__())
    schema, array = table.__arrow_c_array__()
    assert "arrow_array" in repr(array)
    assert pa.schema(table) == pa.table(table).schema
    assert pa.record_batch(table).num_rows == 81
    with pytest.raises(TypeError):
        table.__arrow_c_stream__(None, None)


# ---- ownership and release ----

def test_arrays_outlive_the_table_and_each_other():
    table = columns.streams(RIDE)
    expected = pa.table(table).to_pylist()
    arrow = pa.table(table)
    power = table.to_numpy()["Power"]
    position = arrow.column("Position")
    frame = table.to_polars()
    del table, arrow
    gc.collect()
    [columns.streams(RIDE) for _ in range(3)]  # freed memory would be reused by now
    assert power.tolist() == [row["Power"] for row in expected]
    assert position.to_pylist() == [row["Position"] for row in expected]
    assert frame["HeartRate"].to_list() == [row["HeartRate"] for row in expected]


def resident():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


def churn(rng, text):
    """Makes a table and its exports and lets them go in a shuffled order, some unconsumed."""
    table = columns.streams(text)
    held = [table, table.__arrow_c_stream__(), table.__arrow_c_schema__(), table.__arrow_c_array__(),
            pa.table(table), table.to_numpy(), pa.table(table).column("Position").chunks[0].field("lat"),
            columns.laps(text), columns.sets(text)]
    rng.shuffle(held)
    while held:
        held.pop()


def test_nothing_is_kept_whatever_is_dropped_first():
    rng = random.Random(7)
    text = json.dumps(bench.make_recording(400))  # 400 x 8 doubles: 25 KiB of buffers a round
    for _ in range(300):
        churn(rng, text)
    gc.collect()
    rss, blocks = resident(), sys.getallocatedblocks()
    for _ in range(1500):
        churn(rng, text)
    gc.collect()
    rss, blocks = resident() - rss, sys.getallocatedblocks() - blocks
    print(f"\ncolumns churn: RSS {rss / 1024:+.0f} KiB, {blocks:+d} objects")
    assert blocks < 1000
    if not UNDER_ASAN:
        assert rss < 8 << 20  # one round's buffers kept would be 37 MiB


@pytest.mark.parametrize("function", [columns.streams, columns.laps, columns.sets])
def test_errors_keep_nothing(function):
    texts = [RUN.rstrip()[:-1], RUN.replace('"Scalar"', '"Scalar!"', 1), "[" * 200]
    for _ in range(100):
        for text in texts:
            with pytest.raises(ValueError):
                function(text)
    gc.collect()
    blocks = sys.getallocatedblocks()
    held = [sys.getrefcount(text) for text in texts]
    for _ in range(2000):
        for text in texts:
            with pytest.raises(ValueError):
                function(text)
    gc.collect()
    assert sys.getallocatedblocks() - blocks < 500
    assert [sys.getrefcount(text) for text in texts] == held
