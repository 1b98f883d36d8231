"""`tavrik-workout columns`: one table for many documents, the unreadable ones reported and
left out, the output written whole or not at all."""

import json

import pyarrow as pa
import pyarrow.csv
import pyarrow.parquet as pq
import pytest

from conftest import doc, no_sanitizer
from tavrik_workout import cli


def streams(*channels, n=3):
    return doc(streams=json.dumps({"timestamps": list(range(n)), "channels": [
        {"metric": metric, "data": {"type": "Scalar", "values": [float(i) for i in range(n)]}} for metric in channels]}))


@pytest.fixture
def rides(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "rides").mkdir()
    (tmp_path / "rides" / "a.json").write_text(streams("Power"))
    (tmp_path / "rides" / "b.json").write_text(streams("HeartRate", "Power", n=2))
    (tmp_path / "rides" / "c.json").write_text('{"id": "w",\n "root": [')
    return tmp_path


def run(capsys, *args):
    status = cli.main([str(arg) for arg in args])
    out, err = capsys.readouterr()
    return status, out, err


def test_documents_become_one_table_with_their_names_and_the_union_of_columns(rides, capsys):
    status, out, err = run(capsys, "columns", "rides", "-o", "all.parquet", "-j", "1")
    assert (status, out) == (1, "rides/c.json:2:10: parse error: EOF while parsing a list\n")
    assert err == "all.parquet: 5 rows from 2 documents\n"
    table = pq.read_table(rides / "all.parquet")
    assert table.column_names == ["document", "timestamp", "Power", "HeartRate"]
    assert table.column("document").to_pylist() == ["rides/a.json"] * 3 + ["rides/b.json"] * 2
    assert table.column("HeartRate").to_pylist() == [None, None, None, 0.0, 1.0]


def test_csv_flattens_positions_and_arrow_keeps_them(rides, capsys):
    (rides / "p.json").write_text(doc(streams=json.dumps({"timestamps": [0], "channels": [
        {"metric": "Position", "data": ["Position", [{"lat": 1, "lng": 2}]]}]})))
    assert run(capsys, "columns", "p.json", "--to", "csv", "-o", "p.csv")[0] == 0
    assert pa.csv.read_csv(rides / "p.csv").column_names == [
        "document", "timestamp", "Position.lat", "Position.lng", "Position.altitude"]
    assert run(capsys, "columns", "p.json", "--to", "arrow", "-o", "p.arrow")[0] == 0
    with pa.OSFile(str(rides / "p.arrow")) as file:
        assert pa.ipc.open_file(file).read_all().column("Position").to_pylist() == [
            {"lat": 1.0, "lng": 2.0, "altitude": None}]


def test_nothing_is_written_when_no_document_reads(rides, capsys):
    (rides / "old.parquet").write_bytes(b"kept")
    status, out, err = run(capsys, "columns", "rides/c.json", "-o", "old.parquet")
    assert (status, err) == (1, "tavrik-workout: no document read; old.parquet not written\n")
    assert (rides / "old.parquet").read_bytes() == b"kept"
    assert [p.name for p in rides.iterdir() if p.name.startswith(".")] == []


def test_ragged_streams_are_reported_or_padded(rides, capsys):
    (rides / "r.json").write_text(doc(streams='{"timestamps": [0, 1], "channels": [{"metric": "Power", "data": ["Scalar", [1]]}]}'))
    status, out, _ = run(capsys, "columns", "r.json", "-o", "r.parquet")
    assert (status, out) == (1, 'r.json: channel `Power` has 1 samples but there are 2 timestamps '
                                '(ragged="pad" pads the shorter columns with nulls)\n')
    assert run(capsys, "columns", "r.json", "--ragged", "pad", "-o", "r.parquet")[0] == 0
    assert pq.read_table(rides / "r.parquet").column("Power").to_pylist() == [1.0, None]


@no_sanitizer
def test_worker_processes_give_the_same_file(rides, capsys):
    run(capsys, "columns", "rides", "--table", "sets", "-o", "one.parquet", "-j", "1")
    run(capsys, "columns", "rides", "--table", "sets", "-o", "two.parquet", "-j", "2")
    assert pq.read_table(rides / "one.parquet").equals(pq.read_table(rides / "two.parquet"))
    assert pq.read_table(rides / "one.parquet").num_rows == 2
