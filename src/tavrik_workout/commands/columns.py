"""Writes one table (streams, laps or sets) for many workout documents, with a first column
`document` naming each row's source file.

A document that does not read is reported as `validate` reports it (exit status 1; an
unreadable file, 2) and left out of the table; the output file is written whole, through a
temporary file and a rename, or not at all.  CSV has no nested columns: a position becomes
the columns `Position.lat`, `Position.lng` and `Position.altitude`.  Needs pyarrow (the
`frames` extra).
"""

from __future__ import annotations

import argparse
import importlib.util
import os
import tempfile
from contextlib import suppress
from functools import partial
from typing import TYPE_CHECKING

from tavrik_workout import columns
from tavrik_workout.commands.common import INVALID, OK, TROUBLE, add_input_arguments, input_sources
from tavrik_workout.documents import Checked, Unreadable, read_error
from tavrik_workout import runner
from tavrik_workout.runner import Console

if TYPE_CHECKING:
    import pyarrow as pa

NAME = "columns"
HELP = "write the streams, laps or sets of workout documents as one Parquet, CSV or Arrow file"

TABLES = {"streams": columns.streams, "laps": columns.laps, "sets": columns.sets}
FORMATS = ("parquet", "csv", "arrow")


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_input_arguments(parser, jsonl=False)
    parser.add_argument("--table", choices=TABLES, default="streams", help="which table (default: %(default)s)")
    parser.add_argument("--to", choices=FORMATS, default="parquet", dest="format",
                        help="the output format (default: %(default)s)")
    parser.add_argument("--ragged", choices=("error", "pad"), default="error",
                        help="streams whose channels differ in length: report (default) or pad with nulls")
    parser.add_argument("-o", "--output", required=True, metavar="OUT", help="the file to write")


def _table_bytes(source: runner.Source, table: str, ragged: str) -> Checked | bytes:
    """One document's table as Arrow IPC bytes (what crosses from a worker), or its Checked."""
    import pyarrow as pa

    try:
        text = source.load()
    except Unreadable as error:
        return Checked(source.path, unreadable=str(error))
    try:
        made = columns.streams(text, ragged=ragged) if table == "streams" else TABLES[table](text)
    except ValueError as error:
        return Checked(source.path, read_error=read_error(error, text))
    arrow = pa.table(made)
    arrow = arrow.add_column(0, "document", pa.array([source.path] * arrow.num_rows, pa.large_string()))
    sink = pa.BufferOutputStream()
    with pa.ipc.new_stream(sink, arrow.schema) as writer:
        writer.write_table(arrow)
    return bytes(sink.getvalue())


def _write(table: pa.Table, path: str, form: str) -> None:
    import pyarrow as pa

    folder = os.path.dirname(os.path.abspath(path))
    descriptor, temporary = tempfile.mkstemp(dir=folder, prefix=f".{os.path.basename(path)}.", suffix=".tmp")
    os.close(descriptor)
    try:
        if form == "parquet":
            import pyarrow.parquet as pq

            pq.write_table(table, temporary)
        elif form == "csv":
            import pyarrow.csv as csv

            csv.write_csv(table.flatten(), temporary)
        else:
            with pa.OSFile(temporary, "wb") as file, pa.ipc.new_file(file, table.schema) as writer:
                writer.write_table(table)
        os.replace(temporary, path)
    except BaseException:
        with suppress(OSError):
            os.unlink(temporary)
        raise


def run(args: argparse.Namespace) -> int:
    # Found, not imported: pyarrow's threads would be running when the workers are forked.
    if importlib.util.find_spec("pyarrow") is None:
        raise ModuleNotFoundError("the columns command needs pyarrow: pip install 'tavrik_workout_sdk[frames]'")
    console = Console()
    status = OK
    tables: list[bytes] = []
    function = partial(_table_bytes, table=args.table, ragged=args.ragged)
    for result in runner.run(function, input_sources(args, console), jobs=args.jobs, console=console):
        if isinstance(result, Checked):
            status = max(status, TROUBLE if result.unreadable is not None else INVALID)
            for line in result.problems():
                console.out(line)
            continue
        tables.append(result)
    if not tables:
        console.err(f"tavrik-workout: no document read; {args.output} not written")
        return max(status, INVALID)
    import pyarrow as pa

    # Documents differ in their channels and summary keys: the union, null where absent.
    read = [pa.ipc.open_stream(data).read_all() for data in tables]
    table = pa.concat_tables(read, promote_options="default")
    _write(table, args.output, args.format)
    console.err(f"{args.output}: {table.num_rows} rows from {len(read)} document{'' if len(read) == 1 else 's'}")
    return status
