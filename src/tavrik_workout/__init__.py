"""Command line and batch helpers around tavrik_workout_sdk.

`python -m tavrik_workout` and the `tavrik-workout` console script check, format, lint and
count workout files; `tavrik_workout.documents` holds the per-document checks that the command
and the Dask recipe (examples/dask_validate.py) share.

For programs: `check(text)` reads a document as tavrik_workout_sdk does and returns a Report
(`valid`, `sets`, `findings` with code, message, line, 1-based character column, byte offset,
node id and JSON Pointer); `parse(text)` returns parse_workout's dict or raises WorkoutError,
a ValueError with the same fields.
"""

from __future__ import annotations

from importlib import metadata as _metadata
import tavrik_workout_sdk as _sdk

try:
    from tavrik_workout import _native as _native
except ImportError as error:  # the demo's quick build leaves the helper module out
    raise ImportError(
        "tavrik_workout's native helper module is not built (scripts/demo.sh builds only "
        "tavrik_workout_sdk); run ./scripts/install.sh or pip install . to build it"
    ) from error

from tavrik_workout.lint.check import Finding, Report, WorkoutError, check

try:
    __version__: str = _metadata.version("tavrik_workout_sdk")
except _metadata.PackageNotFoundError:  # run from a source tree that was never installed
    __version__ = "0+unknown"


def parse(text: str) -> _sdk.Workout:
    """The workout as parse_workout gives it; a document that does not read or fails
    validation raises WorkoutError, placed at its first error."""
    try:
        return _sdk.parse_workout(text)
    except ValueError:
        check(text).raise_for_invalid()
        raise


__all__ = ["Finding", "Report", "WorkoutError", "__version__", "check", "parse"]
