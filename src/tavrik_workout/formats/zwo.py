"""Zwift workouts out: time steps with power as a fraction of FTP.

A step needs a time to be a ZWO step; power comes from a `power` target in percent of FTP
(a custom measure or intensity) or from PercentOfMax, read as percent of FTP.  A repeat of
an on and an off step is an IntervalsT; any other repeat is written out round by round."""

from __future__ import annotations

from xml.sax.saxutils import escape, quoteattr

from tavrik_workout.formats import steps as st
from tavrik_workout.formats.loss import DROPPED, ROUNDED, Conversion, FormatError, JsonObject, LossReport

_SPORTS = {"running": "run", "run": "run"}


# An element: its tag and its attributes.
_Element = tuple[str, dict[str, float]]


def _seconds(step: st.Step) -> float | None:
    if step.seconds is not None:
        return step.seconds
    for measure in step.measures:
        if measure["type"] == "Duration":
            seconds: float = measure["value"]["seconds"]
            return seconds
    return None


def _power(step: st.Step, loss: LossReport) -> tuple[float, float] | None:
    """(low, high) as fractions of FTP, or None for a free ride."""
    candidates: list[JsonObject] = [measure["value"] for measure in step.measures if measure["type"] == "Custom"]
    intensity = step.intensity
    if intensity is not None:
        if intensity["type"] == "PercentOfMax":
            percent: float = intensity["value"]
            return percent / 100, percent / 100
        if intensity["type"] == "Custom":
            candidates.insert(0, intensity["value"])
        else:
            loss.add(DROPPED, f"node {step.node}",
                     f"intensity {intensity['type']}: ZWO has power only")
    for custom in candidates:
        if custom["name"] not in ("power", "power_target"):
            continue
        value = custom["value"]
        if isinstance(value, dict) and value.get("unit") == "%FTP" \
                and isinstance(value.get("low"), (int, float)) \
                and isinstance(value.get("high"), (int, float)):
            low: float = value["low"]
            high: float = value["high"]
            return low / 100, high / 100
        loss.add(DROPPED, f"node {step.node}", "power target not in %FTP")
    return None


def _element(step: st.Step, loss: LossReport) -> _Element | None:
    seconds = _seconds(step)
    where = f"node {step.node}"
    for measure in step.measures:
        if measure["type"] not in ("Duration", "Custom"):
            loss.add(DROPPED, where, f"{measure['type']} measure: ZWO holds time and power")
    if seconds is None or seconds <= 0:
        loss.add(DROPPED, where, "step without a time")
        return None
    duration = round(seconds)
    if duration != seconds:
        loss.add(ROUNDED, where, f"{seconds} s to {duration} s")
    if step.seconds is not None:
        return "FreeRide", {"Duration": duration}
    power = _power(step, loss)
    if power is None:
        return "FreeRide", {"Duration": duration}
    low, high = power
    if step.purpose in ("warmup", "cooldown"):
        tag = "Warmup" if step.purpose == "warmup" else "Cooldown"
        return tag, {"Duration": duration, "PowerLow": low, "PowerHigh": high}
    if low != high:
        return "Ramp", {"Duration": duration, "PowerLow": low, "PowerHigh": high}
    return "SteadyState", {"Duration": duration, "Power": low}


def write_zwo(text: str) -> Conversion:
    doc = st.parse(text)
    loss = LossReport()
    steps = st.flatten(doc, loss)
    elements = _elements(steps, 0, len(steps), loss)
    if not elements:
        raise FormatError("the workout has no timed step that ZWO can hold")
    name: str = doc["root"].get("name") or doc["id"]
    sport = _SPORTS.get((doc.get("sport") or "").lower().split("/")[0], "bike")
    lines = ["<workout_file>", "    <author></author>",
             f"    <name>{escape(name)}</name>", "    <description></description>",
             f"    <sportType>{sport}</sportType>", "    <tags/>", "    <workout>"]
    for tag, attributes in elements:
        text = " ".join(f"{key}={quoteattr(_number(value))}" for key, value in attributes.items())
        lines.append(f"        <{tag} {text}/>")
    lines += ["    </workout>", "</workout_file>", ""]
    return Conversion("\n".join(lines), loss)


def _number(value: float) -> str:
    return str(value) if isinstance(value, int) else f"{value:.6g}"


def _elements(steps: list[st.Step], start: int, end: int, loss: LossReport) -> list[_Element]:
    """The elements of steps[start:end]; repeats inside end where their step stands."""
    # Which repeat closes a step range: a repeat at index r covers steps[from:r].
    result: list[_Element] = []
    index = start
    while index < end:
        closing = _repeat_starting(steps, index, end)
        if closing is not None:
            repeat = steps[closing]
            body = _elements(steps, index, closing, loss)
            if len(body) == 2 and all(tag == "SteadyState" for tag, _ in body):
                (_, on), (_, off) = body
                result.append(("IntervalsT", {"Repeat": repeat.rounds, "OnDuration": on["Duration"],
                                              "OffDuration": off["Duration"],
                                              "OnPower": on["Power"], "OffPower": off["Power"]}))
            else:
                result += body * repeat.rounds
            index = closing + 1
            continue
        step = steps[index]
        if not step.is_repeat:
            element = _element(step, loss)
            if element is not None:
                result.append(element)
        index += 1
    return result


def _repeat_starting(steps: list[st.Step], index: int, end: int) -> int | None:
    """The outermost repeat in steps[index:end] whose first step is `index`."""
    for closing in range(end - 1, index - 1, -1):
        if steps[closing].is_repeat and steps[closing].repeat_from == index:
            return closing
    return None
