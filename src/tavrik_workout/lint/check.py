"""One document checked: the module's verdict, and every finding placed where it is."""

from __future__ import annotations

import difflib
import json
import math
from dataclasses import dataclass, field
from decimal import Decimal
from typing import Any, Iterator

from tavrik_workout import _native
from tavrik_workout.lint.positions import Positions
from tavrik_workout.lint.rules import RULES, structure_code


@dataclass(frozen=True, slots=True)
class Finding:
    """One finding.  `line` counts from 1, `column` is a 1-based character column and
    `byte_offset` counts UTF-8 bytes from 0; `pointer` is a JSON Pointer into the document
    (None where the document does not read)."""

    code: str
    message: str
    line: int
    column: int
    byte_offset: int
    node_id: str | None = None
    pointer: str | None = None
    # The bytes a safe fix deletes, [begin, end); None when there is no safe fix.
    fix: tuple[int, int] | None = field(default=None, compare=False)

    @property
    def name(self) -> str:
        return RULES[self.code].name

    def as_json(self) -> dict[str, Any]:
        return {"code": self.code, "name": self.name, "message": self.message, "line": self.line,
                "column": self.column, "byte_offset": self.byte_offset, "node_id": self.node_id,
                "pointer": self.pointer, "fixable": self.fix is not None}


class WorkoutError(ValueError):
    """A document that does not read or fails validation, with where: the fields of its
    first finding (`code`, `line`, `column`, `byte_offset`, `node_id`, `pointer`), and
    every error finding in `findings`.  str() is the message."""

    def __init__(self, findings: tuple[Finding, ...]) -> None:
        first = findings[0]
        super().__init__(first.message)
        self.findings = findings
        self.code = first.code
        self.message = first.message
        self.line = first.line
        self.column = first.column
        self.byte_offset = first.byte_offset
        self.node_id = first.node_id
        self.pointer = first.pointer


# The findings that make the module refuse a document (the others are advice).
_ERROR_FAMILIES = ("R001", "S001", "S002", "S003", "S004", "S005")


@dataclass(frozen=True, slots=True)
class Report:
    """`valid` is the module's verdict: the document reads and validate_workout finds
    nothing.  `sets` is count_sets (None when it does not read); `normal` the normal form
    that to_json writes; `findings` sorted by position."""

    valid: bool
    sets: int | None
    findings: tuple[Finding, ...]
    normal: str | None = field(default=None, repr=False)

    @property
    def errors(self) -> tuple[Finding, ...]:
        """The findings that make the document invalid."""
        return tuple(f for f in self.findings if f.code in _ERROR_FAMILIES)

    def raise_for_invalid(self) -> None:
        """Raises WorkoutError when the document is not valid."""
        if not self.valid:
            raise WorkoutError(self.errors)


def written_number(value: float) -> str:
    """A double as the normal form writes it: shortest digits, plain notation for decimal
    exponents -5 to 15, else exponent notation."""
    if value == 0:
        return "-0.0" if math.copysign(1.0, value) < 0 else "0.0"
    sign, digit_tuple, exponent = Decimal(repr(abs(value))).normalize().as_tuple()
    digits = "".join(map(str, digit_tuple))
    assert isinstance(exponent, int)
    m = exponent + len(digits) - 1
    prefix = "-" if value < 0 else ""
    if -5 <= m <= 15:
        if m < 0:
            return f"{prefix}0.{'0' * (-m - 1)}{digits}"
        if m < len(digits) - 1:
            return f"{prefix}{digits[:m + 1]}.{digits[m + 1:]}"
        return f"{prefix}{digits}{'0' * (m - len(digits) + 1)}.0"
    mantissa = digits[0] + ("." + digits[1:] if len(digits) > 1 else "")
    return f"{prefix}{mantissa}e{'+' if m > 0 else '-'}{abs(m)}"


def _close_name(name: str, known: list[str]) -> str:
    match = difflib.get_close_matches(name, known, n=1, cutoff=0.6)
    return f" (did you mean '{match[0]}'?)" if match else ""


def loss_message(kind: str, name: str, known: list[str], *, fmt: bool) -> str:
    """What a loss is, said by lint, or by fmt refusing to make it."""
    if kind == "unknown-member":
        hint = _close_name(name, known)
        return f"fmt would drop member '{name}'{hint}" if fmt else f"unknown member '{name}'{hint}"
    if kind == "repeated-key":
        if fmt:
            return f"fmt would drop the earlier value of repeated key '{name}' (the later one wins)"
        return f"repeated key '{name}': the later value wins"
    written = written_number(float(name))
    if fmt:
        return f"fmt would change number {name} to {written}"
    return f"number {name} is written back as {written}"


def _pointer_parts(pointer: str) -> list[str]:
    return pointer.split("/")[1:] if pointer else []


class _Document:
    """The native report of one text, with positions."""

    def __init__(self, text: str, raw: dict[str, Any]) -> None:
        self.positions = Positions(text)
        self.raw = raw
        self.node_at_pointer: dict[str, str] = {pointer: node_id for node_id, _, pointer in raw["nodes"]}

    def node_of(self, pointer: str) -> str | None:
        parts = pointer.split("/")
        while parts:
            found = self.node_at_pointer.get("/".join(parts))
            if found is not None:
                return found
            parts.pop()
        return None

    def finding(self, code: str, message: str, offset: int, pointer: str | None,
                node_id: str | None = None, fix: tuple[int, int] | None = None) -> Finding:
        line, column = self.positions.at(offset)
        if node_id is None and pointer is not None:
            node_id = self.node_of(pointer)
        return Finding(code, message, line, column, offset, node_id, pointer, fix)

    def locate(self, normal_pointer: str) -> tuple[int, str]:
        """The byte offset and input pointer of a value named by its normal-form pointer, or
        of its nearest ancestor that the document has."""
        places: dict[str, tuple[int, str]] = self.raw["places"]
        samples: dict[str, list[int]] = self.raw["samples"]
        pointer = normal_pointer
        while True:
            if pointer in places:
                return places[pointer]
            parent, _, last = pointer.rpartition("/")
            if parent in samples and last.isdigit() and int(last) < len(samples[parent]):
                return samples[parent][int(last)], places.get(parent, (0, parent))[1] + "/" + last
            if not pointer:
                return 0, ""
            pointer = parent


def _member_fix(data: bytes, begin: int, value_end: int) -> tuple[int, int]:
    """The bytes of an object member that has a later one: from its key through the comma
    after its value and the whitespace before the next key."""
    end = value_end
    while end < len(data) and data[end] in b" \t\r\n":
        end += 1
    if end < len(data) and data[end:end + 1] == b",":
        end += 1
        while end < len(data) and data[end] in b" \t\r\n":
            end += 1
    return begin, end


def kept_schema(data: bytes, loss: tuple[Any, ...]) -> bool:
    """A top-level "$schema" string, which fmt keeps."""
    kind, pointer, _, _, _, begin, _ = loss
    return kind == "unknown-member" and pointer == "/$schema" and data[begin:begin + 1] == b'"'


def _loss_findings(doc: _Document) -> Iterator[Finding]:
    data = doc.positions.data
    losses = doc.raw["losses"]
    kept = [loss for loss in losses if kept_schema(data, loss)][-1:]  # fmt writes the last back
    for loss in losses:
        kind, pointer, offset, name, known, _, value_end = loss
        if loss in kept:
            continue
        code = {"unknown-member": "R002", "repeated-key": "R003"}.get(kind, "R004")
        fix = _member_fix(data, offset, value_end) if kind == "repeated-key" else None
        yield doc.finding(code, loss_message(kind, name, known, fmt=False), offset, pointer, fix=fix)


def _structure_findings(doc: _Document) -> Iterator[Finding]:
    nodes = doc.raw["nodes"]
    for node_index, message, display in doc.raw["validation"]:
        node_id, offset, pointer = nodes[node_index]
        yield doc.finding(structure_code(message), display, offset, pointer, node_id)
    first: dict[str, int] = {}
    for node_id, offset, pointer in nodes:
        if node_id == "":
            yield doc.finding("S007", "empty node id", offset, pointer, node_id)
        elif node_id in first:
            line, column = doc.positions.at(first[node_id])
            yield doc.finding("S006", f"duplicate node id '{node_id}' (first used at line {line} column {column})",
                              offset, pointer, node_id)
        else:
            first[node_id] = offset


def _number(value: Any) -> float | None:
    return float(value) if isinstance(value, (int, float)) and not isinstance(value, bool) else None


class _ValueRules:
    """The recorded-data and value rules, over the normal form (whose pointers are those
    of the normal form; the document places them)."""

    def __init__(self, doc: _Document) -> None:
        self.doc = doc
        self.found: list[Finding] = []

    def add(self, code: str, message: str, normal_pointer: str, node_id: str | None = None) -> None:
        offset, pointer = self.doc.locate(normal_pointer)
        self.found.append(self.doc.finding(code, message, offset, pointer, node_id))

    def run(self, workout: dict[str, Any]) -> list[Finding]:
        tree = "root"  # the document's member that holds the node tree
        self.node(workout[tree], "/" + tree)
        self.recorded(workout)
        return self.found

    def node(self, node: dict[str, Any], pointer: str) -> None:
        node_id = node.get("id")
        payload = node.get("payload", {})
        base = pointer + "/payload"
        for i, measure in enumerate(payload.get("measures", [])):
            self.measure(measure, f"{base}/measures/{i}", node_id)
        intensity = payload.get("intensity")
        if isinstance(intensity, dict) and intensity.get("type") == "PercentOfMax":
            percent = _number(intensity.get("value"))
            if percent is not None and percent > 100:
                self.add("V003", f"PercentOfMax of {intensity['value']} is above 100", f"{base}/intensity/value",
                         node_id)
        rest = _number(payload.get("rest_seconds"))
        if rest is not None and rest < 0:
            self.add("V004", f"negative rest of {payload['rest_seconds']} seconds", f"{base}/rest_seconds", node_id)
        for i, child in enumerate(node.get("children", [])):
            self.node(child, f"{pointer}/children/{i}")

    def measure(self, measure: dict[str, Any], pointer: str, node_id: str | None) -> None:
        kind, value = measure.get("type"), measure.get("value")
        checks = {"Reps": ("", "rep count"), "Weight": ("amount", "weight"), "Distance": ("amount", "distance"),
                  "Duration": ("seconds", "duration")}
        if kind in checks:
            member, what = checks[kind]
            amount = _number(value.get(member) if member and isinstance(value, dict) else value)
            if amount is not None and amount <= 0:
                shown = value[member] if member and isinstance(value, dict) else value
                self.add("V001", f"{what} of {shown} is not above zero",
                         f"{pointer}/value" + (f"/{member}" if member else ""), node_id)
        elif kind == "HeartRate" and isinstance(value, dict):
            bpm = _number(value.get("bpm"))
            if bpm is not None and not 20 <= bpm <= 250:
                self.add("V002", f"heart rate of {value['bpm']} bpm is outside 20 to 250", f"{pointer}/value/bpm",
                         node_id)

    def recorded(self, workout: dict[str, Any]) -> None:
        streams = workout.get("streams")
        samples = 0
        if isinstance(streams, dict):
            timestamps = streams.get("timestamps", [])
            samples = len(timestamps)
            for i in range(1, len(timestamps)):
                if timestamps[i] <= timestamps[i - 1]:
                    self.add("D001", f"timestamp {i} ({timestamps[i]}) is not after timestamp {i - 1} "
                                     f"({timestamps[i - 1]})", f"/streams/timestamps/{i}")
                    break  # one out of order usually moves all that follow
            for c, channel in enumerate(streams.get("channels", [])):
                data = channel.get("data", {})
                values = data.get("values", [])
                pointer = f"/streams/channels/{c}/data/values"
                if len(values) != samples:
                    self.add("D002", f"channel {c} has {len(values)} samples for {samples} timestamps", pointer)
                if data.get("type") == "Position":
                    self.positions(values, pointer)
        for i, lap in enumerate(workout.get("laps", [])):
            start, end = lap.get("start_index"), lap.get("end_index")
            for member, index in (("start_index", start), ("end_index", end)):
                if index is not None and index >= samples:
                    self.add("D003", f"lap {i} {member} {index} is beyond the {samples} recorded samples",
                             f"/laps/{i}/{member}")
            if start is not None and end is not None and end < start:
                self.add("D004", f"lap {i} ends at {end}, before its start at {start}", f"/laps/{i}/end_index")

    def positions(self, values: list[Any], pointer: str) -> None:
        for j, position in enumerate(values):
            if not isinstance(position, dict):
                continue
            lat, lng = _number(position.get("lat")), _number(position.get("lng"))
            if (lat is not None and abs(lat) > 90) or (lng is not None and abs(lng) > 180):
                self.add("D005", f"position {j} ({position.get('lat')}, {position.get('lng')}) is out of range",
                         f"{pointer}/{j}")


def check(text: str) -> Report:
    """Reads `text` as tavrik_workout_sdk does and finds everything the lint knows about it:
    a document that does not read (R001), what its normal form would lose (R), the tree's
    rules and node ids (S), recorded data (D) and values (V)."""
    raw = _native.report(text)
    if raw["error"] is not None:
        message, line, byte_column = raw["error"]
        positions = Positions(text)
        offset = positions.offset_of(line, byte_column)
        line, column = positions.at(offset)
        return Report(False, None, (Finding("R001", message, line, column, offset),))
    doc = _Document(text, raw)
    findings = [*_loss_findings(doc), *_structure_findings(doc)]
    findings += _ValueRules(doc).run(json.loads(raw["normal"]))
    findings.sort(key=lambda f: (f.byte_offset, f.code))
    return Report(not raw["validation"], raw["sets"], tuple(findings), raw["normal"])


def placed_validation_errors(text: str) -> list[Finding]:
    """validate_workout's errors in its order, each placed at the node it names: `message`
    is the module's text ("{node_id}: {message}"), `code` S001 to S005.  Empty when the
    document is sound or does not read (the read error is the module's to report)."""
    raw = _native.report(text)
    if raw["error"] is not None or not raw["validation"]:
        return []
    doc = _Document(text, raw)
    nodes = raw["nodes"]
    placed = []
    for node_index, message, display in raw["validation"]:
        node_id, offset, pointer = nodes[node_index]
        placed.append(doc.finding(structure_code(message), display, offset, pointer, node_id))
    return placed
