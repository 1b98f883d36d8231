"""Command line and batch helpers around tavrik_workout_sdk.

`python -m tavrik_workout` and the `tavrik-workout` console script check, format and count
workout files; `tavrik_workout.documents` holds the per-document checks that the command
and the Dask recipe (examples/dask_validate.py) share.
"""
