"""Validates and counts workout documents on a Dask cluster.

    python examples/dask_validate.py PATH ... [--scheduler ADDRESS] [--jsonl] [--workers N]

The recipe now lives in the package as `tavrik_workout.batch` (and behind
`tavrik-workout validate --dask SCHEDULER`); this script is kept so that existing
invocations go on working.  A PATH is a file, a folder, a glob (quote it, so that the shell
leaves it alone) or an fsspec URL (s3://bucket/workouts/*.json with s3fs installed).
Needs `pip install .[batch]` here and on the workers.
"""

import sys

from tavrik_workout.batch import main

if __name__ == "__main__":
    sys.exit(main())
