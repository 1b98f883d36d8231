"""Validating and counting workout documents on a Dask cluster (`pip install .[batch]`).

    tavrik-workout validate --dask SCHEDULER PATH ...
    python -m tavrik_workout.batch PATH ... [--scheduler ADDRESS] [--jsonl] [--workers N]

`check_paths` serves the command: the same files as `validate` finds, the same reports in
the same order.  `main` is the summary-only form for corpora too large to list: each worker
folds what it found into a small summary, and only the summaries come back.  A PATH is a
file, a folder (expanded as the command does), a glob, or any fsspec URL (s3://bucket/*.json
with s3fs installed) as long as every worker can read it.  Paths are reported as given.
Nothing starts before the paths are known to name at least one file.
"""

from __future__ import annotations

import argparse
import glob
import os
import sys
import time
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, Literal, TypedDict

from tavrik_workout.documents import Checked, Unreadable, check_text, decode
from tavrik_workout.files import DEFAULT_MAX_SIZE, expand, read

if TYPE_CHECKING:
    import dask.bag
    from dask.distributed import Client, LocalCluster

SHOWN_ERRORS = 20
LOCAL = "local"


def check_file(path: str, jsonl: bool, max_size: int = DEFAULT_MAX_SIZE) -> list[Checked]:
    """Every document of one file, checked (runs on a worker).  A URL is read with fsspec."""
    try:
        if "://" in path:
            text = _read_url(path, max_size)
        else:
            text = read(path, max_size)
    except Unreadable as error:
        return [Checked(path, unreadable=str(error))]
    return check_text(path, text, jsonl=jsonl)


def _read_url(url: str, max_size: int) -> str:
    import fsspec

    try:
        with fsspec.open(url, mode="rb") as file:
            data: bytes = file.read(max_size + 1)
    except OSError as error:
        raise Unreadable(error.strerror or str(error)) from None
    if len(data) > max_size:
        raise Unreadable(f"larger than the limit of {max_size:,} bytes (--max-size)")
    return decode(data)


def find(paths: Iterable[str], jsonl: bool = False) -> list[str]:
    """The files that `paths` name, as given: folders expanded as the command does, local
    globs by glob, URLs by fsspec (which knows its file systems' globs)."""
    suffix = ".jsonl" if jsonl else ".json"
    found: list[str] = []
    for path in paths:
        if "://" in path:
            import fsspec

            protocol = path.split("://", 1)[0]
            found += sorted(f"{protocol}://{file.path}" if protocol != "file" else file.path
                            for file in fsspec.open_files(path, mode="rb"))
        elif glob.has_magic(path) and not os.path.exists(path):
            for match in sorted(glob.glob(path, recursive=True)):
                found += expand([match], suffix)[0]
        else:
            found += expand([path], suffix)[0]
    return list(dict.fromkeys(found))


class MissingExtra(Exception):
    """Dask is not installed here."""


def _client(scheduler: str, workers: int | None) -> tuple[Client, LocalCluster | None]:
    try:
        from dask.distributed import Client, LocalCluster
    except ImportError:
        raise MissingExtra("Dask is not installed: pip install 'tavrik_workout_sdk[batch]'") from None

    if scheduler != LOCAL:
        return Client(scheduler, timeout="10s"), None
    cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                           dashboard_address=None)
    return Client(cluster), cluster


def _bag(client: Client, files: Sequence[str]) -> dask.bag.Bag:
    import dask.bag as db

    workers = max(1, len(client.scheduler_info()["workers"]))
    # A few partitions per worker keeps them all busy to the end.
    bag: dask.bag.Bag = db.from_sequence(files, npartitions=min(len(files), 4 * workers))
    return bag


def check_paths(files: Sequence[str], scheduler: str, *, jsonl: bool = False, workers: int | None = None,
                max_size: int = DEFAULT_MAX_SIZE) -> list[list[Checked]]:
    """A list of Checked per file of `files`, in order, computed on the cluster at
    `scheduler` (or a LocalCluster of `workers` processes for `local`)."""
    client, cluster = _client(scheduler, workers)
    try:
        checked: list[list[Checked]] = _bag(client, files).map(check_file, jsonl=jsonl, max_size=max_size).compute()
        return checked
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


class Summary(TypedDict):
    documents: int
    valid: int
    invalid: int
    sets: int
    error_count: int
    errors: list[str]  # the first SHOWN_ERRORS report lines


_Figure = Literal["documents", "valid", "invalid", "sets", "error_count"]
_FIGURES: tuple[_Figure, ...] = ("documents", "valid", "invalid", "sets", "error_count")


def _empty_summary() -> Summary:
    return {"documents": 0, "valid": 0, "invalid": 0, "sets": 0, "error_count": 0, "errors": []}


def summarise(checked_documents: Iterable[Checked]) -> Summary:
    """One partition's figures; the first errors in document order."""
    summary = _empty_summary()
    for checked in checked_documents:
        summary["documents"] += 1
        if checked.valid:
            summary["valid"] += 1
            summary["sets"] += checked.sets or 0
            continue
        summary["invalid"] += 1
        problems = checked.problems()
        summary["error_count"] += len(problems)
        summary["errors"].extend(problems[:SHOWN_ERRORS - len(summary["errors"])])
    return summary


def merge(summaries: Iterable[Summary]) -> Summary:
    """Summaries of consecutive partitions, in order, as one."""
    total = _empty_summary()
    for summary in summaries:
        for figure in _FIGURES:
            total[figure] += summary[figure]
        total["errors"].extend(summary["errors"][:SHOWN_ERRORS - len(total["errors"])])
    return total


def summarise_paths(client: Client, files: Sequence[str], jsonl: bool) -> Summary:
    checked = _bag(client, files).map(check_file, jsonl=jsonl).flatten()
    summary: Summary = checked.reduction(summarise, merge).compute()
    return summary


def report(summary: Summary) -> None:
    for figure in _FIGURES[:4]:
        print(f"{figure}: {summary[figure]}")
    shown = len(summary["errors"])
    print(f"errors: {summary['error_count']}" + (f" (first {shown})" if shown < summary["error_count"] else ""))
    for line in summary["errors"]:
        print(f"  {line}")


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m tavrik_workout.batch",
                                     description=__doc__.split("\n\n")[0].strip())
    parser.add_argument("paths", nargs="+", metavar="PATH",
                        help="files, folders, globs (quoted) or fsspec URLs")
    parser.add_argument("--scheduler", metavar="ADDRESS", help="a running scheduler, e.g. tcp://host:8786")
    parser.add_argument("--jsonl", action="store_true", help="one document a line")
    parser.add_argument("--workers", type=int, default=None, metavar="N",
                        help="worker processes of the local cluster (default: all cores)")
    args = parser.parse_args(argv)

    try:
        files = find(args.paths, args.jsonl)
    except OSError as error:
        print(f"tavrik_workout.batch: cannot list {' '.join(args.paths)}: {error.strerror or error}",
              file=sys.stderr)
        return 2
    if not files:
        print(f"tavrik_workout.batch: nothing to check: no file matches {' '.join(args.paths)}",
              file=sys.stderr)
        return 2
    try:
        client, cluster = _client(args.scheduler or LOCAL, args.workers)
    except (MissingExtra, OSError) as error:
        print(f"tavrik_workout.batch: {error}", file=sys.stderr)
        return 2
    try:
        started = time.perf_counter()
        summary = summarise_paths(client, files, args.jsonl)
        seconds = time.perf_counter() - started
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    report(summary)
    print(f"checked {summary['documents']} documents in {seconds:.2f} s "
          f"({summary['documents'] / seconds:.0f} documents/s)", file=sys.stderr)
    return 0 if summary["invalid"] == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
