"""Sums the training volume (repetitions times load, in kilograms) of every set in a plan,
with the types that tavrik_workout_sdk's stubs give the parsed workout.

    python examples/typed_volume.py [FILE.workout.json]

Type-checked in the test suite with mypy --strict and basedpyright.
"""

from __future__ import annotations

import pathlib
import sys
from typing import TYPE_CHECKING

import tavrik_workout_sdk as sdk

if TYPE_CHECKING:  # the stubs' types: the module itself has none of them
    from tavrik_workout_sdk import Measure, Node, NodePayload

HERE = pathlib.Path(__file__).resolve().parent
POUND_KG = 0.45359237


def measures_of(payload: NodePayload) -> list[Measure]:
    """The measures a payload prescribes; only leaves and exercises carry them."""
    if payload["type"] == "Leaf":
        return payload["measures"]
    if payload["type"] == "Exercise":
        return payload.get("measures", [])
    return []


def set_volume(measures: list[Measure]) -> float:
    reps = 0
    load_kg = 0.0
    for measure in measures:
        if measure["type"] == "Reps":
            reps += measure["value"]
        elif measure["type"] == "Weight":
            weight = measure["value"]
            load_kg += weight["amount"] * (POUND_KG if weight["unit"] == "Lbs" else 1.0)
    return reps * load_kg


def volume(node: Node) -> float:
    own = set_volume(measures_of(node["payload"])) if node["kind"]["type"] == "Set" else 0.0
    return own + sum(volume(child) for child in node.get("children", []))


def main(path: pathlib.Path) -> None:
    text = path.read_text(encoding="utf-8")
    workout = sdk.parse_workout(text)
    print(f"{workout['id']}: {sdk.count_sets(text)} sets, {volume(workout['root']):.1f} kg lifted")


if __name__ == "__main__":
    main(pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else HERE / "plan_12_week_strength.workout.json")
