"""fmt's promise: nothing a user wrote is lost without consent.

The normal form drops members the model does not know, the earlier value of a key given
twice in a map, and digits a double cannot hold in free-form numbers.  Before fmt writes,
each such loss is listed and the file is left alone, unless the user said --drop-unknown.
A top-level "$schema" string is not a loss: it is written back as the first member.
"""

from __future__ import annotations

from tavrik_workout import _native
from tavrik_workout.lint.check import kept_schema, loss_message
from tavrik_workout.lint.positions import Positions


def normal_form(path: str, text: str, normal: str, *, drop_unknown: bool) -> tuple[str, list[str]]:
    """What fmt writes for `text`, whose to_json is `normal`, and the losses that forbid
    writing it (`PATH:LINE:COL: fmt would drop ...`), empty when there are none or when
    `drop_unknown` consents to them."""
    raw = _native.report(text)
    if raw["error"] is not None:  # to_json read it, so this cannot be; write nothing then
        return normal, [f"{path}: {raw['error'][0]}"]
    positions = Positions(text)
    data = positions.data
    schema = b""
    refusals = []
    losses = raw["losses"]
    # Only one "$schema" can be written back: the last, as for any repeated key.
    kept = [loss for loss in losses if kept_schema(data, loss)][-1:]
    for loss in losses:
        kind, _, offset, name, known, begin, end = loss
        if loss in kept:
            schema = data[begin:end]
            continue
        if not drop_unknown:
            line, column = positions.at(offset)
            refusals.append(f"{path}:{line}:{column}: {loss_message(kind, name, known, fmt=True)}")
    if refusals:
        return normal, refusals
    if schema and normal.startswith("{\n"):
        # The schema's own text as written, on a line of its own like every member.
        normal = '{\n  "$schema": ' + schema.decode("utf-8", "surrogatepass") + ",\n" + normal[2:]
    return normal, []
