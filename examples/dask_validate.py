"""Validates and counts workout documents on a Dask cluster.

    python examples/dask_validate.py GLOB [--scheduler ADDRESS] [--jsonl] [--workers N]

GLOB names the files (quote it, so that the shell leaves it alone); any fsspec URL works
(s3://bucket/workouts/*.json with s3fs installed), as long as every worker can read it.
With --jsonl each non-blank line of each file is one document.  Without --scheduler a
LocalCluster of N worker processes is started here; with it the script connects to that
scheduler, so the same command runs on a real cluster.  Needs `pip install .[batch]` here
and on the workers.

The files are a bag; each worker reads its files, runs the module's validate_workout and
count_sets on every document (tavrik_workout.documents.check_text, importable on the
workers, so it travels by name) and folds what it found into a small summary.  Only the
summaries, not the documents, come back to this process.
"""

import argparse
import sys
import time

import dask.bag as db
import fsspec
from dask.distributed import Client, LocalCluster

from tavrik_workout.documents import Checked, Unreadable, check_text, decode

SHOWN_ERRORS = 20


def check_file(open_file, jsonl):
    """Every document of one file, checked (runs on a worker)."""
    try:
        with open_file as file:
            text = decode(file.read())
    except (OSError, Unreadable) as error:
        return [Checked(open_file.path, unreadable=str(error))]
    return check_text(open_file.path, text, jsonl=jsonl)


def summarise(checked_documents):
    """One partition's figures; the first errors in document order."""
    summary = {"documents": 0, "valid": 0, "invalid": 0, "sets": 0, "error_count": 0, "errors": []}
    for checked in checked_documents:
        summary["documents"] += 1
        if checked.valid:
            summary["valid"] += 1
            summary["sets"] += checked.sets
            continue
        summary["invalid"] += 1
        problems = checked.problems()
        summary["error_count"] += len(problems)
        summary["errors"].extend(problems[:SHOWN_ERRORS - len(summary["errors"])])
    return summary


def merge(summaries):
    """Summaries of consecutive partitions, in order, as one."""
    total = {"documents": 0, "valid": 0, "invalid": 0, "sets": 0, "error_count": 0, "errors": []}
    for summary in summaries:
        for figure in ("documents", "valid", "invalid", "sets", "error_count"):
            total[figure] += summary[figure]
        total["errors"].extend(summary["errors"][:SHOWN_ERRORS - len(total["errors"])])
    return total


def validate(client, pattern, jsonl):
    files = sorted(fsspec.open_files(pattern, mode="rb"), key=lambda open_file: open_file.path)
    if not files:
        return None
    workers = max(1, len(client.scheduler_info()["workers"]))
    # A few partitions per worker keeps them all busy to the end.
    documents = db.from_sequence(files, npartitions=min(len(files), 4 * workers))
    checked = documents.map(check_file, jsonl=jsonl).flatten()
    return checked.reduction(summarise, merge).compute()


def report(summary):
    for figure in ("documents", "valid", "invalid", "sets"):
        print(f"{figure}: {summary[figure]}")
    shown = len(summary["errors"])
    print(f"errors: {summary['error_count']}" + (f" (first {shown})" if shown < summary["error_count"] else ""))
    for line in summary["errors"]:
        print(f"  {line}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0].strip())
    parser.add_argument("glob", metavar="GLOB", help="the files to check, a glob or fsspec URL")
    parser.add_argument("--scheduler", metavar="ADDRESS", help="a running scheduler, e.g. tcp://host:8786")
    parser.add_argument("--jsonl", action="store_true", help="one document a line")
    parser.add_argument("--workers", type=int, default=None, metavar="N",
                        help="worker processes of the local cluster (default: all cores)")
    args = parser.parse_args(argv)

    if args.scheduler:
        client, cluster = Client(args.scheduler), None
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                               dashboard_address=None)
        client = Client(cluster)
    try:
        started = time.perf_counter()
        summary = validate(client, args.glob, args.jsonl)
        seconds = time.perf_counter() - started
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    if summary is None:
        print(f"dask_validate: no file matches {args.glob}", file=sys.stderr)
        return 2
    report(summary)
    print(f"checked {summary['documents']} documents in {seconds:.2f} s "
          f"({summary['documents'] / seconds:.0f} documents/s)", file=sys.stderr)
    return 0 if summary["invalid"] == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
