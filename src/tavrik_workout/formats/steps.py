"""A prescription tree flattened into the step list that device formats hold.

FIT workouts and Zwift files are flat lists of steps with repeat markers; this walk turns
the node tree into that list and reports every node or value it had to leave behind."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

import tavrik_workout_sdk as sdk

from tavrik_workout.formats.loss import DROPPED, REWRITTEN, FormatError, JsonObject, LossReport

# What a step is for, as devices name it; a node says it with metadata "intensity".
STEP_INTENSITIES = ("active", "rest", "warmup", "cooldown", "recovery", "interval", "other")


@dataclass(slots=True)
class Step:
    node: str  # id of the node the step comes from, for the loss report
    name: str | None = None
    measures: list[JsonObject] = field(default_factory=list)
    intensity: JsonObject | None = None
    exercise: str | None = None
    exercise_metadata: JsonObject = field(default_factory=dict)
    purpose: str = "active"  # one of STEP_INTENSITIES
    notes: str | None = None
    repeat_from: int | None = None  # a repeat step: index of its first step
    rounds: int = 0
    seconds: float | None = None  # a rest step's length

    @property
    def is_repeat(self) -> bool:
        return self.repeat_from is not None


def parse(text: str) -> JsonObject:
    """The workout as Python objects; a document that does not read or validate is an error."""
    try:
        # Walked as plain JSON: each member is checked where a converter reads it.
        workout: dict[str, Any] = dict(sdk.parse_workout(text))
        return workout
    except ValueError as error:
        raise FormatError(str(error)) from None


def flatten(doc: JsonObject, loss: LossReport) -> list[Step]:
    """The steps of the document's tree, depth first."""
    steps: list[Step] = []
    if "streams" in doc:
        loss.add(DROPPED, "streams", "a workout file holds the prescription only")
    if doc.get("laps"):
        loss.add(DROPPED, "laps", "a workout file holds the prescription only", len(doc["laps"]))
    _walk(doc["root"], steps, loss, None)
    return steps


# Node metadata that steps carry; any other key is reported as dropped.
_CARRIED = {"intensity", "notes", "exercise_category", "exercise_name"}


def _purpose(node: JsonObject) -> str:
    word = node.get("metadata", {}).get("intensity")
    if isinstance(word, str) and word in STEP_INTENSITIES:
        return word
    name = (node.get("name") or "").lower().replace("-", "").replace(" ", "")
    if name.startswith("warmup"):
        return "warmup"
    if name.startswith("cooldown"):
        return "cooldown"
    return "active"


def _rest(steps: list[Step], node: JsonObject, seconds: float | None) -> None:
    # A zero or negative rest prescribes no pause.
    if seconds is not None and seconds > 0:
        steps.append(Step(node=node["id"], name="Rest", purpose="rest", seconds=seconds))


def _walk(node: JsonObject, steps: list[Step], loss: LossReport, exercise: JsonObject | None) -> None:
    for key in node.get("metadata", {}):
        if key not in _CARRIED:
            loss.add(DROPPED, f"metadata {key}", "nodes' own data", 1)
    payload = node["payload"]
    kind = payload["type"]
    children = node.get("children", [])
    if kind == "Leaf":
        step = Step(node=node["id"], name=node.get("name") or (exercise or {}).get("name"),
                    measures=list(payload["measures"]), intensity=payload.get("intensity"),
                    purpose=_purpose(node))
        if exercise is not None:
            step.exercise = exercise.get("name")
            step.exercise_metadata = exercise.get("metadata", {})
            inherited = exercise["payload"]
            kinds = {measure["type"] for measure in step.measures}
            step.measures += [measure for measure in inherited.get("measures", [])
                              if measure["type"] not in kinds]
            if step.intensity is None:
                step.intensity = inherited.get("intensity")
        notes = node.get("metadata", {}).get("notes")
        if isinstance(notes, str):
            step.notes = notes
        steps.append(step)
        for child in children:
            _walk(child, steps, loss, exercise)
    elif kind == "Exercise":
        sets = children
        if not sets:
            steps.append(Step(node=node["id"], name=node.get("name"),
                              measures=list(payload.get("measures", [])),
                              intensity=payload.get("intensity"), exercise=node.get("name"),
                              exercise_metadata=node.get("metadata", {}),
                              purpose=_purpose(node)))
            _rest(steps, node, payload.get("rest_seconds"))
            return
        for i, child in enumerate(sets):
            _walk(child, steps, loss, node)
            if i + 1 < len(sets):
                _rest(steps, node, payload.get("rest_seconds"))
    elif kind == "Block":
        first = len(steps)
        for child in children:
            _walk(child, steps, loss, exercise)
        mode = payload["execution_mode"]
        if mode["type"] == "Circuit":
            rounds = mode["value"]["rounds"]
            if rounds == 0:
                del steps[first:]
                loss.add(DROPPED, f"block {node['id']}", "zero rounds: nothing to do")
            elif rounds > 1 and len(steps) > first:
                steps.append(Step(node=node["id"], name=node.get("name"), repeat_from=first,
                                  rounds=rounds))
        elif mode["type"] != "Sequential":
            word = mode["value"] if mode["type"] == "Custom" else mode["type"]
            loss.add(REWRITTEN, f"block {node['id']}",
                     f"execution mode {word} written as one step after another")
        _rest(steps, node, payload.get("rest_seconds"))
    elif kind == "Temporal":
        for child in children:
            _walk(child, steps, loss, exercise)
        _rest(steps, node, payload.get("rest_seconds"))
    else:
        loss.add(DROPPED, f"node {node['id']}", "custom payload")
        for child in children:
            _walk(child, steps, loss, exercise)
