"""Speed and peak memory of tavrik_workout_sdk against JSON and typed-decoding libraries,
measured in one run, and the speed goals it is held to.

    python bench/bench.py [--repeat N] [--max-seconds S] [--weeks W] [--samples N]
                          [--sessions N] [--no-gc] [--no-memory]

Generates seeded workout documents in the module's normal form (a training plan, a ride
recorded at 1 Hz in compact and indented text, a few hundred small sessions), checks that
the module and the typed peers agree with json's reading of them, then times every
function against orjson, msgspec (plain and into typed Structs), pydantic and json, and
measures the peak memory of one call per fresh process.  Prints the ratios and a table of
goals met or missed; nothing fails on time.  See bench/README.md.
"""

import argparse
import gc
import importlib
import json
import math
import os
import platform
import random
import subprocess
import sys
import tempfile
import time

import tavrik_workout_sdk as sdk

SEED = 20260105


# ---------------------------------------------------------------------------------------
# Document generation.
#
# Documents are built as Python objects already in the module's normal form (members in
# the writer's order, doubles as floats, free-form maps sorted by key, nothing empty), so
# that json.loads(text) must equal parse_workout(text) and json.dumps(..., indent=2) must
# equal to_json(text) byte for byte.  That turns the timing run into a correctness check.
# ---------------------------------------------------------------------------------------


def meta(**members):
    """A free-form map as the module normalises it: keys in ascending order, recursively."""
    return {key: sort_json(members[key]) for key in sorted(members)}


def sort_json(value):
    if isinstance(value, dict):
        return {key: sort_json(value[key]) for key in sorted(value)}
    if isinstance(value, list):
        return [sort_json(item) for item in value]
    return value


def node(node_id, kind, payload, name=None, children=None, metadata=None):
    result = {"id": node_id, "kind": kind}
    if name is not None:
        result["name"] = name
    if children:
        result["children"] = children
    result["payload"] = payload
    if metadata:
        result["metadata"] = metadata
    return result


def kind(name, custom=None):
    return {"type": name} if custom is None else {"type": "Custom", "value": custom}


def temporal(rest=None):
    payload = {"type": "Temporal"}
    if rest is not None:
        payload["rest_seconds"] = float(rest)
    return payload


def block_payload(mode, rest=None):
    payload = {"type": "Block", "execution_mode": mode}
    if rest is not None:
        payload["rest_seconds"] = float(rest)
    return payload


def exercise_payload(measures=None, intensity=None, rest=None):
    payload = {"type": "Exercise"}
    if measures:
        payload["measures"] = measures
    if intensity is not None:
        payload["intensity"] = intensity
    if rest is not None:
        payload["rest_seconds"] = float(rest)
    return payload


def leaf(measures, intensity=None):
    payload = {"type": "Leaf", "measures": measures}
    if intensity is not None:
        payload["intensity"] = intensity
    return payload


def reps(n):
    return {"type": "Reps", "value": n}


def weight(amount, unit="Kg"):
    return {"type": "Weight", "value": {"amount": float(amount), "unit": unit}}


def distance(amount, unit="Meters"):
    return {"type": "Distance", "value": {"amount": float(amount), "unit": unit}}


def duration(seconds):
    return {"type": "Duration", "value": {"seconds": float(seconds)}}


def pace(seconds, per="Kilometers"):
    return {"type": "Pace", "value": {"per": per, "seconds": float(seconds)}}


def heart_rate(bpm):
    return {"type": "HeartRate", "value": {"bpm": bpm}}


def calories(n):
    return {"type": "Calories", "value": n}


def custom_measure(name, value):
    return {"type": "Custom", "value": {"name": name, "value": sort_json(value)}}


def percent(p):
    return {"type": "PercentOfMax", "value": float(p)}


def rpe(x):
    return {"type": "RPE", "value": float(x)}


def rir(n):
    return {"type": "RIR", "value": n}


BODYWEIGHT = {"type": "Bodyweight"}


def zone(n):
    return {"type": "Custom", "value": {"name": "zone", "value": n}}


SEQUENTIAL = {"type": "Sequential"}
PARALLEL = {"type": "Parallel"}


def circuit(rounds):
    return {"type": "Circuit", "value": {"rounds": rounds}}


def custom_mode(name):
    return {"type": "Custom", "value": name}


ONE_REP_MAX = {"squat": 160.0, "bench_press": 110.0, "deadlift": 195.0,
               "overhead_press": 70.0, "row": 100.0, "front_squat": 130.0}

# name, one-rep-max key (None for bodyweight), equipment
MAIN_LIFTS = [
    ("Back squat", "squat", "barbell"), ("Bench press", "bench_press", "barbell"),
    ("Deadlift", "deadlift", "barbell"), ("Overhead press", "overhead_press", "barbell"),
    ("Front squat", "front_squat", "barbell"), ("Pendlay row", "row", "barbell"),
]
ACCESSORIES = [
    ("Romanian deadlift", "barbell"), ("Bulgarian split squat", "dumbbells"),
    ("Incline dumbbell press", "dumbbells"), ("Pull-up", None), ("Dips", None),
    ("Face pull", "cable"), ("Hip thrust", "barbell"), ("Nordic curl", None),
    ("Farmer's carry", "kettlebells"), ("Push-up", None), ("Lat pulldown", "cable"),
]
CONDITIONING = ["Rower", "Assault bike", "Track run", "Sled push", "SkiErg"]
DAYS = ["Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"]
PHASES = ["Base", "Build", "Strength", "Peak & taper"]


def round_to(x, step):
    return round(x / step) * step


def strength_sets(rng, prefix, lift_key, week_in_block, phase, deload):
    pct = 62.5 + 5.0 * week_in_block + 2.5 * phase
    if deload:
        pct -= 15.0
    reps_n = max(1, 10 - 2 * phase - week_in_block + rng.choice((0, 0, 1)))
    load = round_to(ONE_REP_MAX[lift_key] * pct / 100.0, 2.5)
    sets = []
    for s in range(1, rng.randint(4, 6) + 1):
        measures = [reps(reps_n), weight(load)]
        if rng.random() < 0.15:
            measures.append(custom_measure("tempo", "3-1-1-0"))
        intensity = percent(pct) if s > 1 or rng.random() < 0.5 else rpe(rng.choice((6.5, 7.0, 7.5)))
        metadata = meta(note=rng.choice(("belt", "paused first rep", "film this set")),
                        bar_speed_mps=round(rng.uniform(0.35, 0.9), 2)) if rng.random() < 0.06 else None
        sets.append(node(f"{prefix}-s{s}", kind("Set"), leaf(measures, intensity), metadata=metadata))
    return sets


def accessory_sets(rng, prefix, equipment):
    sets = []
    for s in range(1, rng.randint(3, 4) + 1):
        n = rng.randint(8, 15)
        if equipment is None:
            measures, intensity = [reps(n)], (BODYWEIGHT if rng.random() < 0.7 else rir(rng.randint(1, 3)))
        else:
            measures = [reps(n), weight(round_to(rng.uniform(12, 60), 2.5),
                                       "Kg" if rng.random() < 0.9 else "Lbs")]
            intensity = rir(rng.randint(0, 3))
        sets.append(node(f"{prefix}-s{s}", kind("Set"), leaf(measures, intensity)))
    return sets


def conditioning_sets(rng, prefix, name):
    sets = []
    for s in range(1, rng.randint(3, 6) + 1):
        if name == "Rower":
            measures = [distance(500), pace(round(rng.uniform(100, 115), 1), "Meters")]
            intensity = rpe(rng.choice((7.0, 8.0, 8.5)))
        elif name == "Assault bike":
            measures = [duration(30), calories(rng.randint(10, 16))]
            intensity = zone(5)
        elif name == "Track run":
            measures = [distance(rng.choice((0.4, 0.8, 1.0)), "Kilometers"),
                        pace(round(rng.uniform(215, 260), 1)), heart_rate(rng.randint(165, 182))]
            intensity = zone(rng.choice((4, 5)))
        elif name == "Sled push":
            measures = [distance(20), weight(round_to(rng.uniform(60, 120), 10))]
            intensity = rpe(8.0)
        else:
            measures = [duration(rng.choice((45, 60, 90))), custom_measure("damper", rng.randint(4, 8))]
            intensity = zone(rng.choice((3, 4)))
        sets.append(node(f"{prefix}-s{s}", kind("Set"), leaf(measures, intensity)))
    return sets


def session(rng, prefix, label, week, phase, deload):
    week_in_block = (week - 1) % 4
    blocks = []
    warm_up = node(f"{prefix}-b1-e1", kind("Exercise"), exercise_payload(intensity=rpe(3.0)),
                   name="Mobility flow",
                   children=[node(f"{prefix}-b1-e1-s1", kind("Set"), leaf([duration(300)]))])
    blocks.append(node(f"{prefix}-b1", kind("Block"), block_payload(SEQUENTIAL), name="Warm-up",
                       children=[warm_up]))
    if label != "Conditioning":
        lift_name, lift_key, equipment = rng.choice(MAIN_LIFTS)
        main = node(f"{prefix}-b2-e1", kind("Exercise"),
                    exercise_payload(rest=rng.choice((150, 180, 240))), name=lift_name,
                    children=strength_sets(rng, f"{prefix}-b2-e1", lift_key, week_in_block, phase, deload),
                    metadata=meta(equipment=equipment, lift=lift_key))
        blocks.append(node(f"{prefix}-b2", kind("Block"), block_payload(SEQUENTIAL, 180), name="Main lift",
                           children=[main]))
        exercises = []
        for e, (acc, equipment) in enumerate(rng.sample(ACCESSORIES, rng.randint(3, 4)), 1):
            exercises.append(node(f"{prefix}-b3-e{e}", kind("Exercise"),
                                  exercise_payload(rest=rng.choice((60, 75, 90))), name=acc,
                                  children=accessory_sets(rng, f"{prefix}-b3-e{e}", equipment),
                                  metadata=meta(equipment=equipment) if equipment else None))
        mode = rng.choice((custom_mode("superset"), circuit(rng.randint(2, 4)), PARALLEL))
        blocks.append(node(f"{prefix}-b3", kind("Block"), block_payload(mode, 90), name="Accessories",
                           children=exercises))
    exercises = []
    for e, name in enumerate(rng.sample(CONDITIONING, 2), 1):
        intensity = zone(3) if rng.random() < 0.3 else None
        measures = [custom_measure("equipment", {"model": "Concept2", "setting": rng.randint(4, 8)})] \
            if name in ("Rower", "SkiErg") else None
        exercises.append(node(f"{prefix}-b4-e{e}", kind("Exercise"),
                              exercise_payload(measures, intensity, rng.choice((60, 90, 120))), name=name,
                              children=conditioning_sets(rng, f"{prefix}-b4-e{e}", name)))
    blocks.append(node(f"{prefix}-b4", kind("Block"), block_payload(circuit(rng.randint(2, 5)), 120),
                       name="Conditioning", children=exercises))
    return node(prefix, kind("Session"), temporal(), name=label, children=blocks,
                metadata=meta(location=rng.choice(("Gym Zürich-West", "Home", "Track")),
                              planned_minutes=rng.choice((45, 60, 75, 90))))


def make_plan(weeks=52):
    """A year-long hybrid plan: program > phases > weeks > 6 days > sessions > blocks >
    exercises > sets, with the usual measures, intensities, rests and metadata."""
    rng = random.Random(SEED)
    phases = []
    per_phase = math.ceil(weeks / len(PHASES))
    for p, phase_name in enumerate(PHASES):
        week_nodes = []
        for week in range(p * per_phase + 1, min(weeks, (p + 1) * per_phase) + 1):
            deload = week % 4 == 0
            days = []
            for d, day_name in enumerate(DAYS, 1):
                prefix = f"w{week:02d}-d{d}"
                sessions = [session(rng, f"{prefix}-am", "Strength" if d % 2 else "Conditioning",
                                    week, p, deload)]
                if d in (1, 2, 3, 5) and not deload:
                    sessions.append(session(rng, f"{prefix}-pm", "Conditioning", week, p, deload))
                days.append(node(prefix, kind("Day"), temporal(), name=day_name, children=sessions))
            days.append(node(f"w{week:02d}-d7", kind("Day"), temporal(), name="Sunday",
                             children=[node(f"w{week:02d}-d7-rest", kind("Session"), temporal(86400),
                                            name="Rest day")]))
            week_nodes.append(node(f"w{week:02d}", kind("Week"), temporal(), name=f"Week {week}",
                                   children=days, metadata=meta(deload=deload, week_number=week)))
        if not week_nodes:
            continue
        week_nodes.append(node(f"ph{p + 1}-test", kind("Custom", "Assessment"),
                               {"type": "Custom", **meta(protocol="1RM test",
                                                         lifts=["squat", "bench_press", "deadlift"],
                                                         retest_if_failed=True, max_attempts=3)},
                               name=f"{phase_name} assessment"))
        phases.append(node(f"ph{p + 1}", kind("Phase"), temporal(), name=phase_name, children=week_nodes,
                           metadata=meta(focus=phase_name.lower(),
                                         weeks=f"{week_nodes[0]['id']}-{week_nodes[-2]['id']}")))
    root = node("program", kind("Program"), temporal(), name="Hybrid strength & conditioning year",
                children=phases,
                metadata=meta(author="Coach Mara Lindqvist", athlete="Åsa Öberg",
                              one_rep_max_kg=ONE_REP_MAX, days_per_week=6,
                              progression={"step_percent": 2.5, "rounding_kg": 2.5, "deload_every": 4},
                              tags=["hybrid", "year plan", None, 1, 2.5, True]))
    return {"id": "plan-2026-hybrid-52wk", "version": "1.2", "sport": "Strength and conditioning",
            "date": "2026-01-05", "root": root,
            "metadata": meta(generator="bench", seed=SEED, units={"load": "kg", "distance": "m"})}


def make_recording(samples=14_400):
    """A ride recorded at 1 Hz: `samples` timestamps and seven channels of that length
    (HeartRate, Speed, Cadence, Power, Altitude, Temperature, Position with dropouts),
    half-hourly laps and a manual one.  Almost all of the text is numbers."""
    rng = random.Random(SEED + 1)
    n = max(4, samples)
    timestamps = [float(i) for i in range(n)]
    hr, speed, cadence, power, altitude, temperature, positions = [], [], [], [], [], [], []
    beat, kmh, rpm, watts, alt, celsius = 95.0, 28.0, 85.0, 180.0, 408.0, 18.0
    lat, lng, heading = 47.3769, 8.5417, 0.3
    for i in range(n):
        beat = min(185.0, max(88.0, beat + rng.gauss(0.02 if i % 3600 < 1800 else -0.02, 0.6)))
        hr.append(float(round(beat)))
        kmh = min(62.0, max(0.0, kmh + rng.gauss(0.0, 0.35)))
        speed.append(round(kmh / 3.6, 3))
        rpm = min(115.0, max(0.0, rpm + rng.gauss(0.0, 1.5)))
        coasting = rng.random() < 0.08
        cadence.append(0.0 if coasting else float(round(rpm)))
        watts = min(420.0, max(90.0, watts + rng.gauss(0.0, 6.0)))
        power.append(0.0 if coasting else float(round(watts)))
        grade = rng.gauss(0.0, 0.05)
        alt = max(200.0, alt + grade)
        altitude.append(round(alt, 1))
        celsius += rng.gauss(0.0005, 0.01)
        temperature.append(round(celsius, 1))
        heading += rng.gauss(0.0, 0.02)
        lat += 0.0000700 * math.cos(heading) * kmh / 28.0
        lng += 0.0001040 * math.sin(heading) * kmh / 28.0
        if rng.random() < 0.004:
            positions.append(None)
        elif i % 10:
            positions.append({"lat": round(lat, 7), "lng": round(lng, 7)})
        else:  # the barometric Altitude channel is the main one; GPS altitude comes now and then
            positions.append({"lat": round(lat, 7), "lng": round(lng, 7), "altitude": round(alt, 1)})
    laps = []
    lap_len = 1800
    for lap, start in enumerate(range(0, n, lap_len), 1):
        end = min(n, start + lap_len) - 1
        summary = {"avg_hr": round(sum(hr[start:end + 1]) / (end - start + 1), 1),
                   "avg_power": round(sum(power[start:end + 1]) / (end - start + 1), 1),
                   "distance_m": round(sum(speed[start:end + 1]), 1),
                   "elevation_gain_m": round(rng.uniform(80, 450), 1)}
        record = {"start_index": start, "end_index": end, "summary": dict(sorted(summary.items())),
                  "trigger": "Time", "name": f"Half hour {lap}"}
        laps.append(record)
        if lap % 4 == 0:
            laps.append({"start_index": end, "end_index": end, "trigger": {"Custom": "feed zone"},
                         "name": f"Feed zone {lap // 4}"})
    laps.append({"trigger": "Manual"})
    stints = [node(f"ride-e1-s{s}", kind("Set"),
                   leaf([duration(3600), heart_rate(rng.randint(120, 140))], zone(2)))
              for s in range(1, 5)]
    ride = node("ride-e1", kind("Exercise"), exercise_payload(intensity=zone(2)), name="Ride",
                children=stints, metadata=meta(bike="gravel", tyre_mm=40))
    root = node("ride", kind("Session"), temporal(), name="Four-hour gravel ride",
                children=[node("ride-b1", kind("Block"), block_payload(SEQUENTIAL), name="Ride",
                               children=[ride])],
                metadata=meta(event="Alpenbrevet", start_local="2026-06-20T08:00:00+02:00"))
    channels = [{"metric": metric, "data": {"type": "Scalar", "values": values}}
                for metric, values in (("HeartRate", hr), ("Speed", speed), ("Cadence", cadence),
                                       ("Power", power), ("Altitude", altitude),
                                       ("Temperature", temperature))]
    channels.append({"metric": "Position", "data": {"type": "Position", "values": positions}})
    return {"id": "ride-2026-06-20", "version": "1.2", "sport": "Cycling", "date": "2026-06-20",
            "root": root, "streams": {"timestamps": timestamps, "channels": channels}, "laps": laps,
            "metadata": meta(device="Edge 1050", sample_rate_hz=1)}


SESSION_BYTES = (1000, 2000)


def small_session(rng, index):
    """One short session of one or two blocks, as an app sends it after each workout; one
    in five carries a minute of heart rate and a lap."""
    prefix = f"s{index:03d}"
    blocks = []
    for b in range(1, rng.randint(1, 2) + 1):
        exercises = []
        for e in range(1, rng.randint(1, 2) + 1):
            exercise_id = f"{prefix}-b{b}-e{e}"
            pick = rng.random()
            if pick < 0.4:
                name, lift_key, equipment = rng.choice(MAIN_LIFTS)
                sets = strength_sets(rng, exercise_id, lift_key, rng.randint(0, 3), rng.randint(0, 3), False)
            elif pick < 0.7:
                name, equipment = rng.choice(ACCESSORIES)
                sets = accessory_sets(rng, exercise_id, equipment)
            else:
                name, equipment = rng.choice(CONDITIONING), None
                sets = conditioning_sets(rng, exercise_id, name)
            exercises.append(node(exercise_id, kind("Exercise"),
                                  exercise_payload(rest=rng.choice((60, 90, 120))), name=name,
                                  children=sets, metadata=meta(equipment=equipment) if equipment else None))
        mode = rng.choice((SEQUENTIAL, PARALLEL, circuit(rng.randint(2, 4)), custom_mode("superset")))
        blocks.append(node(f"{prefix}-b{b}", kind("Block"), block_payload(mode, rng.choice((None, 90))),
                           name=f"Block {b}", children=exercises))
    root = node(prefix, kind("Session"), temporal(), name=rng.choice(("Lunch lift", "Evening session", "Intervals")),
                children=blocks, metadata=meta(rating=rng.randint(1, 5)) if rng.random() < 0.5 else None)
    doc = {"id": f"session-{index:03d}", "version": "1.2", "sport": "Strength and conditioning",
           "date": f"2026-{1 + index % 12:02d}-{1 + index % 28:02d}", "root": root}
    if rng.random() < 0.2:
        seconds = 60
        doc["streams"] = {"timestamps": [float(t) for t in range(seconds)], "channels": [
            {"metric": "HeartRate",
             "data": {"type": "Scalar", "values": [float(rng.randint(110, 170)) for _ in range(seconds)]}}]}
        doc["laps"] = [{"start_index": 0, "end_index": seconds - 1, "trigger": "Manual"}]
    return doc


def escaped_at(text, index):
    """`text` with its character at `index` (inside a string) written as a \\u escape."""
    return text[:index] + f"\\u{ord(text[index]):04x}" + text[index + 1:]


def with_last_tag_last(plan):
    """The plan with the tag of its last payload in the text (a node's payload follows its
    children) written after the payload's other members: valid, read alike, but not in the
    common form, which the walk only finds at the very end."""
    nodes = []

    def post_order(item):
        for child in item.get("children", []):
            post_order(child)
        nodes.append(item)

    moved = json.loads(json.dumps(plan))
    post_order(moved["root"])
    for item in reversed(nodes):
        payload = item["payload"]
        if len(payload) > 1:
            item["payload"] = {key: value for key, value in payload.items() if key != "type"}
            item["payload"]["type"] = payload["type"]
            return moved
    raise ValueError("no payload with members besides its tag")


def make_sessions(count=300):
    """`count` distinct sessions, each SESSION_BYTES long in compact UTF-8: the per-call
    cost of a call is what these show."""
    rng = random.Random(SEED + 2)
    sessions = []
    while len(sessions) < count:
        doc = small_session(rng, len(sessions))
        if SESSION_BYTES[0] <= len(json.dumps(doc, ensure_ascii=False).encode("utf-8")) <= SESSION_BYTES[1]:
            sessions.append(doc)
    return sessions


# ---------------------------------------------------------------------------------------
# What a Python program would write without the module: the same walks over json.loads'
# dicts.  They trust the shape of the document; the module checks every member's type.
# ---------------------------------------------------------------------------------------

PAYLOAD_FOR_KIND = {"Set": "Leaf", "Exercise": "Exercise", "Block": "Block", "Session": "Temporal",
                    "Day": "Temporal", "Week": "Temporal", "Phase": "Temporal",
                    "Program": "Temporal", "Custom": "Custom"}


def py_count_sets(doc):
    count = 0
    stack = [doc["root"]]
    while stack:
        item = stack.pop()
        if item["payload"]["type"] == "Leaf":
            count += 1
        stack.extend(item.get("children", ()))
    return count


def kind_display(k):
    if k["type"] != "Custom":
        return k["type"]
    text = k["value"].replace("\\", "\\\\").replace('"', '\\"')
    return f'Custom("{text}")'


def py_validate(doc):
    errors = []

    def visit(item):
        k = item["kind"]
        payload = item["payload"]
        variant = payload["type"]
        children = item.get("children", ())
        if PAYLOAD_FOR_KIND[k["type"]] != variant:
            errors.append(f"{item['id']}: NodeKind {kind_display(k)} does not match payload variant")
        if variant == "Leaf":
            if not payload["measures"]:
                errors.append(f"{item['id']}: Set node must have at least one measure")
        elif variant == "Block":
            if not children:
                errors.append(f"{item['id']}: Block node must have at least one child")
            for child in children:
                if child["kind"]["type"] == "Set":
                    errors.append(f"{child['id']}: Set should not be a direct child of Block (wrap in Exercise)")
        elif variant == "Exercise":
            for child in children:
                if child["kind"]["type"] in ("Block", "Session"):
                    errors.append(f"{child['id']}: {child['kind']['type']} should not be a child of Exercise")
        for child in children:
            visit(child)

    visit(doc["root"])
    return errors


# ---------------------------------------------------------------------------------------
# Timing.
# ---------------------------------------------------------------------------------------

MIN_SAMPLE = 0.01  # seconds; quicker calls are looped so that one sample lasts this long


class Timed:
    """One function on one input (a list of texts, one call each); keeps the best time per
    call over its samples."""

    def __init__(self, label, fn, texts):
        self.label, self.fn, self.texts = label, fn, texts
        self.loops = 1
        self.best = math.inf
        self.samples = 0
        self.spent = 0.0

    def run(self):
        fn, texts = self.fn, self.texts
        start = time.perf_counter()
        for _ in range(self.loops):
            for text in texts:
                fn(text)
        return time.perf_counter() - start

    def warm_up(self):
        first = self.run()
        if first < MIN_SAMPLE:
            self.loops = math.ceil(MIN_SAMPLE / max(first, 1e-7))

    def sample(self, keep_gc):
        gc.collect()  # every sample starts with the same amount of garbage: none
        if not keep_gc:
            gc.disable()
        try:
            elapsed = self.run()
        finally:
            gc.enable()
        self.best = min(self.best, elapsed / (self.loops * len(self.texts)))
        self.samples += 1
        self.spent += elapsed


def time_in_turns(timed, repeats, max_seconds, keep_gc, rng):
    """Samples every function in turns, in a new order each round, so that load from other
    processes falls on all of them alike.  A function stops after `repeats` samples, or
    after two once it has spent `max_seconds`."""
    for t in timed:
        t.warm_up()
    active = list(timed)
    while active:
        rng.shuffle(active)
        for t in active:
            t.sample(keep_gc)
        active = [t for t in active
                  if t.samples < repeats and not (t.spent >= max_seconds and t.samples >= 2)]


def load_optional(name):
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


OPS = ("validate_workout", "count_sets", "parse_workout", "to_json")
# The plan with a fault in its last bytes, which every function refuses: the walk meets it
# only at the end.
FAILING = "plan, fault at the end"
# The base of the cost of giving up: a text that the walk gives up on at its first member
# (an unknown member nested deeper than the walk goes, well within the reader's limit), so
# that the general reader reads it alone, at once.  Timed for our functions only.
GENERAL = "read by the general reader"


def general_first(text):
    """text with an unknown member nested 100 deep in front of its first member."""
    return '{"unknown": ' + "[" * 100 + "]" * 100 + ", " + text[1:]


def refusing(fn):
    """fn for a text that it must refuse with a ValueError."""
    def call(text):
        try:
            fn(text)
        except ValueError:
            return
        raise AssertionError(f"{fn.__name__} took a text with a fault")
    return call

# What each operation is compared with, by peer label; peers that are not installed drop out.
COMPARED = {
    "validate_workout": ("orjson.loads", "msgspec typed decode", "pydantic model_validate_json",
                         "orjson.loads + validate walk"),
    "count_sets": ("orjson.loads", "msgspec typed decode", "orjson.loads + count walk"),
    "parse_workout": ("orjson.loads", "msgspec typed decode + to_builtins", "msgspec typed decode",
                      "pydantic model_validate_json", "msgspec.json.decode", "json.loads"),
    "to_json": ("orjson.loads + dumps(OPT_INDENT_2)",),
}


def peers(libs):
    """label -> function of one text, for every installed library."""
    orjson, msgspec = libs["orjson"], libs["msgspec"]
    found = {"json.loads": json.loads}
    if orjson:
        loads, dumps, indent = orjson.loads, orjson.dumps, orjson.OPT_INDENT_2
        found["orjson.loads"] = loads
        found["orjson.loads + validate walk"] = lambda t: py_validate(loads(t))
        found["orjson.loads + count walk"] = lambda t: py_count_sets(loads(t))
        found["orjson.loads + dumps(OPT_INDENT_2)"] = lambda t: dumps(loads(t), option=indent)
    if msgspec:
        found["msgspec.json.decode"] = msgspec.json.decode
    if libs["structs_model"]:
        found["msgspec typed decode"] = libs["structs_model"].decode
        found["msgspec typed decode + to_builtins"] = libs["structs_model"].decode_to_builtins
    if libs["pydantic_model"]:
        found["pydantic model_validate_json"] = libs["pydantic_model"].validate
    return found


# ---------------------------------------------------------------------------------------
# Checks: the module against json's reading of the same normal-form text.
# ---------------------------------------------------------------------------------------

def first_difference(a, b):
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return i
    return min(len(a), len(b))


def check(name, text, doc_obj):
    """Returns the list of problems found (empty when the module agrees everywhere)."""
    problems = []

    def attempt(op):
        try:
            return True, getattr(sdk, op)(text)
        except BaseException as error:  # a PanicException derives from BaseException
            if isinstance(error, KeyboardInterrupt):
                raise
            problems.append(f"{name}: {op} raised {type(error).__name__}: {str(error)[:300]}")
            return False, None

    expected_errors = py_validate(doc_obj)
    if expected_errors:
        problems.append(f"{name}: generated document is invalid: {expected_errors[:3]}")
    ok, errors = attempt("validate_workout")
    if ok and errors != expected_errors:
        problems.append(f"{name}: validate_workout returned {errors[:3]} (and {max(0, len(errors) - 3)} more),"
                        f" expected {expected_errors[:3]}")
    ok, count = attempt("count_sets")
    expected = py_count_sets(doc_obj)
    if ok and count != expected:
        problems.append(f"{name}: count_sets returned {count}, expected {expected}")
    ok, parsed = attempt("parse_workout")
    if ok:
        if parsed != doc_obj:
            problems.append(f"{name}: parse_workout result differs from json.loads")
        else:
            # == ignores key order and 1 == 1.0; the compact dump does not
            ours, theirs = json.dumps(parsed), json.dumps(doc_obj)
            if ours != theirs:
                i = first_difference(ours, theirs)
                problems.append(f"{name}: parse_workout key order or number types differ from json.loads"
                                f" near {ours[max(0, i - 60):i + 40]!r}")
        del parsed
    ok, written = attempt("to_json")
    if ok:
        expected = json.dumps(doc_obj, indent=2, ensure_ascii=False)
        if written != expected:
            i = first_difference(written, expected)
            problems.append(f"{name}: to_json differs from json.dumps(indent=2) at offset {i}:"
                            f" ours {written[max(0, i - 40):i + 40]!r}, theirs {expected[max(0, i - 40):i + 40]!r}")
    return problems


def without_custom_payload_members(value):
    """The document as the msgspec model gives it back: Custom payloads keep only "type"."""
    if isinstance(value, dict):
        if value.get("type") == "Custom" and "kind" not in value and "name" not in value \
                and "value" not in value:
            return {"type": "Custom"}
        return {key: without_custom_payload_members(item) for key, item in value.items()}
    if isinstance(value, list):
        return [without_custom_payload_members(item) for item in value]
    return value


def check_typed_peers(name, text, doc_obj, libs):
    """The typed peers must give back the same objects, or they would be timed on a
    different job; the one gap msgspec cannot close is allowed for."""
    problems = []
    models = (("msgspec", libs["structs_model"], lambda m: m.decode_to_builtins(text),
               without_custom_payload_members(doc_obj)),
              ("pydantic", libs["pydantic_model"], lambda m: m.to_builtins(m.validate(text)), doc_obj))
    for label, model, read, expected in models:
        if model is None:
            continue
        try:
            got = read(model)
        except Exception as error:
            problems.append(f"{name}: the {label} model refused the document: {str(error)[:300]}")
            continue
        ours, theirs = json.dumps(got), json.dumps(expected)
        if got != expected or ours != theirs:
            i = first_difference(ours, theirs)
            problems.append(f"{name}: the {label} model gives back a different document near"
                            f" {ours[max(0, i - 60):i + 40]!r}")
    return problems


# ---------------------------------------------------------------------------------------
# Peak memory: one call per fresh process.
# ---------------------------------------------------------------------------------------

MEMORY_FUNCTIONS = ("validate_workout", "parse_workout", "orjson.loads", "msgspec typed decode + to_builtins")


def peak_memory(function, path):
    """(rise of VmHWM over one call in bytes, whether the peak was reset first), or None
    when the child failed."""
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "peak_memory.py")
    done = subprocess.run([sys.executable, script, function, path], capture_output=True, text=True)
    if done.returncode != 0:
        print(f"  PROBLEM: peak memory of {function}: {done.stderr.strip()[-300:]}")
        return None
    rise, was_reset = done.stdout.split()
    return int(rise), was_reset == "1"


def measure_memory(inputs, libs):
    """{(input, function): bytes} over the large inputs."""
    available = [f for f in MEMORY_FUNCTIONS
                 if not (f.startswith("orjson") and not libs["orjson"])
                 and not (f.startswith("msgspec") and not libs["structs_model"])]
    found, unreset = {}, False
    with tempfile.TemporaryDirectory() as folder:
        for index, (name, texts, _) in enumerate(inputs):
            if len(texts) != 1:
                continue
            path = os.path.join(folder, f"input{index}.json")
            with open(path, "w", encoding="utf-8") as out:
                out.write(texts[0])
            for function in available:
                result = peak_memory(function, path)
                if result is not None:
                    found[name, function] = result[0]
                    unreset |= not result[1]
    if unreset:
        print("  NOTE: the peak could not be reset before the call; reading the input may hide part of it")
    return found


# ---------------------------------------------------------------------------------------
# Report.
# ---------------------------------------------------------------------------------------


def fmt_time(seconds):
    return f"{seconds * 1e3:.3f} ms" if seconds >= 1e-3 else f"{seconds * 1e6:.2f} us"


def print_table(headers, rows, left=3):
    """Columns left-aligned up to `left`, then right-aligned; a blank line between groups
    of rows whose first cell differs."""
    widths = [max(len(h), *(len(r[i]) for r in rows)) if rows else len(h) for i, h in enumerate(headers)]

    def line(cells):
        return "  ".join(c.ljust(w) if i < left else c.rjust(w) for i, (c, w) in enumerate(zip(cells, widths)))

    print(line(headers))
    print("-" * len(line(headers)))
    previous = None
    for row in rows:
        if previous is not None and row[0] != previous:
            print()
        previous = row[0]
        print(line(row))


def judge(value, target, at_most=False):
    """'met', 'MISSED', or 'n/a' when nothing was measured."""
    if value is None:
        return "n/a"
    return "met" if (value <= target if at_most else value >= target) else "MISSED"


def goals(times, sizes, memory, inputs):
    """The speed and memory goals, one row per goal and input:
    (goal, what, input, measured, target, result)."""
    # Texts that fail to read are timed only against the general reader on the same fault.
    failing = [name for name, _, _ in inputs if name.startswith(FAILING)]
    own_only = failing + [name for name, _, _ in inputs if name.endswith(GENERAL)]
    large = [name for name, texts, _ in inputs if len(texts) == 1 and name not in own_only]
    everywhere = [name for name, _, _ in inputs if name not in own_only]
    rows = []

    def speedup(name, ours, theirs):
        a, b = times.get((name, ours)), times.get((name, theirs))
        return None if a is None or b is None else b / a

    def throughput(name):
        """MB/s of one validate_workout call, or None when not timed."""
        t = times.get((name, "validate_workout"))
        return None if t is None else sizes[name] / 1e6 / t

    def add(goal, what, name, value, shown, target, target_text, at_most=False):
        rows.append((goal, what, name, shown if value is not None else "not measured", target_text,
                     judge(value, target, at_most)))

    for op in ("validate_workout", "count_sets"):
        for name in everywhere:
            x = speedup(name, op, "orjson.loads")
            add("1", f"{op} vs orjson.loads", name, x, f"{x or 0:.2f}x", 3.0, ">= 3x faster")
    for name in everywhere:
        if name.startswith("ride") and "compact" in name:
            rate = throughput(name)
            add("1", "validate_workout throughput", name, rate, f"{rate or 0:.0f} MB/s", 600.0, ">= 600 MB/s")
    for name in everywhere:
        x = speedup(name, "parse_workout", "orjson.loads")
        if name in large:
            add("2", "parse_workout vs orjson.loads", name, x, f"{x or 0:.2f}x", 1.0, ">= 1x (no slower)")
        else:
            share = None if x is None else 1 / x
            add("2", "parse_workout time / orjson.loads time", name, share, f"{share or 0:.2f}x", 1.2,
                "<= 1.2x", at_most=True)
    for name in everywhere:
        x = speedup(name, "parse_workout", "msgspec typed decode + to_builtins")
        add("2", "parse_workout vs msgspec typed + to_builtins", name, x, f"{x or 0:.2f}x", 1.5, ">= 1.5x faster")
    for name in everywhere:
        x = speedup(name, "to_json", "orjson.loads + dumps(OPT_INDENT_2)")
        add("3", "to_json vs orjson.loads + dumps", name, x, f"{x or 0:.2f}x", 2.0, ">= 2x faster")
    base = f"plan, {GENERAL}"
    failing_base = f"{FAILING}, {GENERAL}"
    for name in everywhere + failing:
        if name.startswith("plan, ") and name not in (base, failing_base):
            against = failing_base if name in failing else base
            for op in OPS:
                a, b = times.get((name, op)), times.get((against, op))
                x = None if a is None or b is None else a / b
                add("5", f"{op} time / general reader's ({against})", name, x, f"{x or 0:.2f}x", 1.15,
                    "<= 1.15x", at_most=True)
    for name in large:
        if name.startswith("ride"):
            peak = memory.get((name, "validate_workout"))
            share = None if peak is None else peak / sizes[name]
            add("4", "validate_workout peak / input bytes", name, share,
                f"{share or 0:.2f}x ({(peak or 0) / 1e6:.2f} MB)", 1.5, "<= 1.5x", at_most=True)
    for name in large:
        ours, theirs = memory.get((name, "parse_workout")), memory.get((name, "orjson.loads"))
        share = None if ours is None or theirs is None else ours / theirs
        add("4", "parse_workout peak / orjson.loads peak", name, share,
            f"{share or 0:.2f}x ({(ours or 0) / 1e6:.2f} vs {(theirs or 0) / 1e6:.2f} MB)", 1.0,
            "<= 1x", at_most=True)
    # The second speed step, on the four main inputs: (validate and count vs orjson.loads,
    # parse vs orjson.loads, parse vs msgspec typed + to_builtins, to_json vs orjson).
    step = {"plan": (12.0, 1.3, 2.0, 3.0), "ride compact": (8.0, 1.0, 1.5, 2.5),
            "ride indented": (6.0, 1.2, 1.5, 2.5), "sessions": (6.0, 1.2, 2.0, 2.5)}
    for name in everywhere:
        targets = step.get("sessions" if name.startswith("sessions") else name)
        if targets is None:
            continue
        walk, parse, typed, write = targets
        for op, peer, target in (("validate_workout", "orjson.loads", walk), ("count_sets", "orjson.loads", walk),
                                 ("parse_workout", "orjson.loads", parse),
                                 ("parse_workout", "msgspec typed decode + to_builtins", typed),
                                 ("to_json", "orjson.loads + dumps(OPT_INDENT_2)", write)):
            x = speedup(name, op, peer)
            add("6", f"{op} vs {peer}", name, x, f"{x or 0:.2f}x", target, f">= {target:g}x")
        if name == "ride compact":
            rate = throughput(name)
            add("6", "validate_workout throughput", name, rate, f"{rate or 0:.0f} MB/s", 1200.0, ">= 1200 MB/s")
    return rows


def machine():
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    usable = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    return f"{model}, {os.cpu_count()} logical CPUs ({usable} usable), {platform.system()} {platform.release()}"


def load_average():
    return " ".join(f"{x:.2f}" for x in os.getloadavg()) if hasattr(os, "getloadavg") else "?"


# ---------------------------------------------------------------------------------------


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=25, help="timed samples per function and input (best is kept)")
    parser.add_argument("--max-seconds", type=float, default=2.0,
                        help="stop sampling a function once it has spent this long (two samples at least)")
    parser.add_argument("--weeks", type=int, default=11, help="weeks in the training plan")
    parser.add_argument("--samples", type=int, default=14_400, help="samples per channel in the ride")
    parser.add_argument("--sessions", type=int, default=300, help="distinct small sessions")
    parser.add_argument("--no-gc", action="store_true", help="turn the garbage collector off while timing")
    parser.add_argument("--no-memory", action="store_true", help="skip the peak memory measurements")
    args = parser.parse_args()

    run_start = time.perf_counter()
    libs = {name: load_optional(name) for name in ("orjson", "msgspec", "pydantic")}
    libs["structs_model"] = load_optional("structs_model") if libs["msgspec"] else None
    libs["pydantic_model"] = load_optional("pydantic_model") if libs["pydantic"] else None
    print(f"Machine: {machine()}; load average {load_average()}")
    print(f"Python {platform.python_version()} ({platform.python_implementation()},"
          f" {platform.python_compiler()}); tavrik_workout_sdk from {sdk.__file__}")
    versions = []
    for name in ("orjson", "msgspec", "pydantic"):
        lib = libs[name]
        versions.append(f"{name} skipped: not installed" if lib is None else
                        f"{name} {getattr(lib, '__version__', getattr(lib, 'VERSION', '?'))}")
    if libs["pydantic"]:
        versions[-1] += f" (pydantic-core {importlib.import_module('pydantic_core').__version__})"
    print("Compared with: " + ", ".join(versions) + ", json (stdlib)")
    print(f"Timing: best of up to {args.repeat} samples per function, each at least {MIN_SAMPLE * 1e3:.0f} ms,"
          f" functions sampled in turns; at most ~{args.max_seconds:g} s per function and input;"
          f" garbage collector {'off' if args.no_gc else 'on'} while timing")

    print(f"Generating documents (seed {SEED})...")
    ride = make_recording(args.samples)
    plan = make_plan(args.weeks)
    sessions = make_sessions(args.sessions)
    # (name, texts, the objects json must read from them)
    plan_text = json.dumps(plan, ensure_ascii=False)
    # The same plan with an escape in its first string value, which the walk decodes; with a key
    # escaped, the first or the last, which the walk decodes; with an escape in the last
    # string value, which the walk meets only at the end; with every non-ASCII character
    # escaped; and with the tag of the last payload written last, which the walk finds
    # ahead only there.
    last_key = plan_text.rindex('"metadata"')
    escaped_end = plan_text[:last_key] + '"metad\\u0061ta"' + plan_text[last_key + len('"metadata"'):]
    first_value = plan_text.index('"', len('{"id": ')) + 1
    last_value = plan_text.rindex('": "') + 4
    inputs = [("plan", [plan_text], [plan]),
              ("plan, escaped first value", [escaped_at(plan_text, first_value)], [plan]),
              ("plan, escaped first key", ['{"i\\u0064"' + plan_text[len('{"id"'):]], [plan]),
              ("plan, escaped last key", [escaped_end], [plan]),
              ("plan, escaped last value", [escaped_at(plan_text, last_value)], [plan]),
              # As Python's json writes it by default: every non-ASCII character a \u escape.
              ("plan, ASCII-escaped", [json.dumps(plan)], [plan]),
              ("plan, tag last at the end", [json.dumps(with_last_tag_last(plan), ensure_ascii=False)], [plan]),
              ("ride compact", [json.dumps(ride, ensure_ascii=False)], [ride]),
              ("ride indented", [json.dumps(ride, indent=2, ensure_ascii=False)], [ride]),
              (f"sessions x{len(sessions)}", [json.dumps(s, ensure_ascii=False) for s in sessions], sessions)]
    sizes = {name: sum(len(t.encode("utf-8")) for t in texts) / len(texts) for name, texts, _ in inputs}

    problems, raised = [], set()
    for name, texts, objects in inputs:
        if len(texts) == 1:
            print(f"  {name}: {sizes[name] / 1e6:.2f} MB, {py_count_sets(objects[0])} sets")
        else:
            lengths = [len(t.encode("utf-8")) for t in texts]
            print(f"  {name}: {min(lengths)} to {max(lengths)} bytes, mean {sizes[name]:.0f},"
                  f" {sum(map(py_count_sets, objects))} sets in all")
        found = []
        for index, (text, obj) in enumerate(zip(texts, objects)):
            label = name if len(texts) == 1 else f"{name} #{index}"
            found += check(label, text, obj) + check_typed_peers(label, text, obj, libs)
        # a document the module calls invalid would make every timing meaningless
        if any(": validate_workout" in p or "generated document is invalid" in p for p in found):
            for p in found[:10]:
                print("  PROBLEM:", p)
            sys.exit(f"{name}: not a valid workout for the module; nothing timed")
        raised |= {(name, op) for op in OPS for p in found if f": {op} raised" in p}
        problems += found
    for p in problems[:20]:
        print("  PROBLEM:", p)
    if len(problems) > 20:
        print(f"  ... and {len(problems) - 20} more")
    if not problems:
        print(f"  checks passed: {', '.join(OPS)} equal json's reading of every text,"
              " and the typed peers give back the same objects")
    if libs["structs_model"]:
        print("  NOTE: the msgspec model skips the free members of Custom payloads (a Struct cannot keep"
              " unknown members)")
    # A trailing comma in the last object: refused by the reader, after the whole plan.
    faulty = plan_text[:-1] + ",}"
    failing = [(FAILING, [faulty], None), (f"{FAILING}, {GENERAL}", [general_first(faulty)], None)]
    for name, texts, _ in failing:
        sizes[name] = len(texts[0].encode("utf-8"))
        for op in OPS:
            refusing(getattr(sdk, op))(texts[0])
    # The base reads as the plan does: the unknown member is skipped.
    base_text = general_first(plan_text)
    for op in OPS:
        if getattr(sdk, op)(base_text) != getattr(sdk, op)(plan_text):
            sys.exit(f"plan, {GENERAL}: {op} differs from the plan's; nothing timed")
    sizes[f"plan, {GENERAL}"] = len(base_text.encode("utf-8"))
    failing.insert(0, (f"plan, {GENERAL}", [base_text], None))
    del plan, ride, sessions
    inputs = [(name, texts, None) for name, texts, _ in inputs]

    memory = {}
    if not args.no_memory:
        print("Measuring peak memory (one call per fresh process)...", flush=True)
        memory = measure_memory(inputs, libs)

    found = peers(libs)
    rng = random.Random(SEED)
    times = {}
    for name, texts, _ in inputs:
        print(f"Timing {name}...", flush=True)
        timed = [Timed(op, getattr(sdk, op), texts) for op in OPS if (name, op) not in raised]
        timed += [Timed(label, fn, texts) for label, fn in found.items()]
        time_in_turns(timed, args.repeat, args.max_seconds, not args.no_gc, rng)
        times.update(((name, t.label), t.best) for t in timed)

    for name, texts, _ in failing:
        print(f"Timing {name}...", flush=True)
        wrap = refusing if name.startswith(FAILING) else (lambda fn: fn)
        timed = [Timed(op, wrap(getattr(sdk, op)), texts) for op in OPS]
        time_in_turns(timed, args.repeat, args.max_seconds, not args.no_gc, rng)
        times.update(((name, t.label), t.best) for t in timed)
    inputs += failing

    print()
    print("speedup = their time / our time: above 1 means tavrik_workout_sdk is faster."
          "  Times are per call (per session for the sessions).")
    rows = []
    for name, _, _ in inputs:
        mb = sizes[name] / 1e6
        for op in OPS:
            ours = times.get((name, op))
            for label in COMPARED[op]:
                theirs = times.get((name, label))
                if theirs is None:
                    continue
                if ours is None:
                    rows.append((name, op, label, "raised", fmt_time(theirs), "", "", f"{mb / theirs:.1f}"))
                    continue
                rows.append((name, op, label, fmt_time(ours), fmt_time(theirs), f"{theirs / ours:.2f}x",
                             f"{mb / ours:.1f}", f"{mb / theirs:.1f}"))
    print_table(("input", "operation", "compared with", "ours", "theirs", "speedup", "ours MB/s",
                 "theirs MB/s"), rows)

    if memory:
        print()
        print("Peak memory: rise of VmHWM over one call in a fresh process")
        print_table(("input", "function", "MB", "x input bytes"),
                    [(name, function, f"{peak / 1e6:.2f}", f"{peak / sizes[name]:.2f}x")
                     for (name, function), peak in memory.items()], left=2)

    print()
    print("Goals")
    goal_rows = goals(times, sizes, memory, inputs)
    print_table(("goal", "measure", "input", "measured", "target", "result"), goal_rows, left=3)
    missed = sum(r[-1] == "MISSED" for r in goal_rows)
    print(f"{sum(r[-1] == 'met' for r in goal_rows)} met, {missed} MISSED,"
          f" {sum(r[-1] == 'n/a' for r in goal_rows)} not measured")
    if problems:
        print(f"{len(problems)} PROBLEM(S) found, listed above")
    print(f"Load average now {load_average()}; total run time {time.perf_counter() - run_start:.1f} s")


if __name__ == "__main__":
    main()
