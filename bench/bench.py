"""Speed of tavrik_workout_sdk against general JSON libraries, measured in one run.

    python bench/bench.py [--repeat N] [--max-seconds S] [--weeks W] [--samples N] [--gc]

Generates seeded, realistic workout documents, checks that the module agrees with a plain
Python reading of them, then times every operation against its nearest equivalent built
from json / orjson (and ujson, simplejson, msgspec when installed) and prints the ratios.
Nothing here asserts on time: the numbers are for reading.  See bench/README.md.
"""

import argparse
import gc
import importlib
import json
import math
import platform
import random
import sys
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


def make_recording(scalar_samples=1_000_000):
    """A 24-hour ride: timestamps, HeartRate and Power at 4 Hz sharing ~scalar_samples
    numbers between them, GPS positions at 1 Hz with dropouts, hourly and manual laps."""
    rng = random.Random(SEED + 1)
    n = max(4, scalar_samples // 3)
    hz = 4
    timestamps = [i / hz for i in range(n)]
    hr, power = [], []
    beat, watts = 95.0, 180.0
    for i in range(n):
        beat = min(185.0, max(88.0, beat + rng.gauss(0.02 if i % 7200 < 3600 else -0.02, 0.6)))
        hr.append(float(round(beat)))
        watts = min(420.0, max(90.0, watts + rng.gauss(0.0, 6.0)))
        power.append(0.0 if rng.random() < 0.08 else float(round(watts)))
    positions = []
    lat, lng, alt, heading = 47.3769, 8.5417, 408.0, 0.3
    for i in range(n // hz):
        heading += rng.gauss(0.0, 0.05)
        lat += 0.0000640 * math.cos(heading)
        lng += 0.0000950 * math.sin(heading)
        alt = max(200.0, alt + rng.gauss(0.0, 0.4))
        if rng.random() < 0.004:
            positions.append(None)
        elif i < 30:
            positions.append({"lat": round(lat, 7), "lng": round(lng, 7)})
        else:
            positions.append({"lat": round(lat, 7), "lng": round(lng, 7), "altitude": round(alt, 1)})
    laps = []
    lap_len = 3600 * hz
    for lap, start in enumerate(range(0, n, lap_len), 1):
        end = min(n, start + lap_len) - 1
        summary = {"avg_hr": round(sum(hr[start:end + 1]) / (end - start + 1), 1),
                   "avg_power": round(sum(power[start:end + 1]) / (end - start + 1), 1),
                   "distance_m": round(rng.uniform(27000, 33000), 1),
                   "elevation_gain_m": round(rng.uniform(80, 450), 1)}
        record = {"start_index": start, "end_index": end, "summary": dict(sorted(summary.items())),
                  "trigger": "Time", "name": f"Hour {lap}"}
        laps.append(record)
        if lap % 4 == 0:
            laps.append({"start_index": end, "end_index": end, "trigger": {"Custom": "aid station"},
                         "name": f"Aid station {lap // 4}"})
    laps.append({"trigger": "Manual"})
    stints = []
    for s in range(1, 9):
        stints.append(node(f"ride-e1-s{s}", kind("Set"),
                           leaf([duration(3 * 3600), heart_rate(rng.randint(120, 140))], zone(2))))
    ride = node("ride-e1", kind("Exercise"), exercise_payload(intensity=zone(2)), name="Ride",
                children=stints, metadata=meta(bike="gravel", tyre_mm=40))
    root = node("ride", kind("Session"), temporal(), name="24-hour gravel ride",
                children=[node("ride-b1", kind("Block"), block_payload(SEQUENTIAL), name="Race",
                               children=[ride])],
                metadata=meta(event="Alpenbrevet 24", start_local="2026-06-20T12:00:00+02:00"))
    streams = {"timestamps": timestamps, "channels": [
        {"metric": "HeartRate", "data": {"type": "Scalar", "values": hr}},
        {"metric": "Power", "data": {"type": "Scalar", "values": power}},
        {"metric": "Position", "data": {"type": "Position", "values": positions}},
    ]}
    return {"id": "ride-2026-06-20-24h", "version": "1.2", "sport": "Cycling", "date": "2026-06-20",
            "root": root, "streams": streams, "laps": laps,
            "metadata": meta(device="Edge 1050", sample_rate_hz=hz)}


def make_session():
    """One session of the plan on its own: shows the fixed cost of a call."""
    rng = random.Random(SEED + 2)
    return {"id": "session-w05-d1", "version": "1.2", "sport": "Strength and conditioning",
            "date": "2026-02-02", "root": session(rng, "w05-d1-am", "Strength", 5, 1, False)}


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


def best_time(fn, arg, repeats, max_seconds, keep_gc):
    """Best time of one call in seconds, and the number of timed samples taken.

    A first untimed call warms caches.  Calls too quick for the clock are looped so each
    sample lasts at least MIN_SAMPLE seconds.  Sampling stops after `repeats` samples, or
    earlier (but after two) once `max_seconds` have been spent, keeping slow runs bounded.
    """
    min_sample = 0.02
    start = time.perf_counter()
    fn(arg)
    first = time.perf_counter() - start
    number = 1 if first >= min_sample else max(1, math.ceil(min_sample / max(first, 1e-7)))
    best, spent, samples = math.inf, 0.0, 0
    for _ in range(repeats):
        gc.collect()
        if not keep_gc:
            gc.disable()
        try:
            start = time.perf_counter()
            for _ in range(number):
                fn(arg)
            elapsed = time.perf_counter() - start
        finally:
            gc.enable()
        best = min(best, elapsed / number)
        spent += elapsed
        samples += 1
        if spent >= max_seconds and samples >= 2:
            break
    return best, samples


def load_optional(name):
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


def competitors(libs):
    """Per operation: (label, function of the text) for every installed library."""
    stdlib, orjson, ujson, simplejson, msgspec = (libs[k] for k in
                                                  ("json", "orjson", "ujson", "simplejson", "msgspec"))
    loads = [("json.loads", stdlib.loads)]
    if orjson:
        loads.append(("orjson.loads", orjson.loads))
    parse = list(loads)
    if ujson:
        parse.append(("ujson.loads", ujson.loads))
    if simplejson:
        parse.append(("simplejson.loads", simplejson.loads))
    if msgspec:
        parse.append(("msgspec.json.decode", msgspec.json.decode))

    dump = [("json.dumps(json.loads, indent=2)",
             lambda t: stdlib.dumps(stdlib.loads(t), indent=2, ensure_ascii=False))]
    if orjson:
        dump.append(("orjson.dumps(orjson.loads, INDENT_2)",
                     lambda t: orjson.dumps(orjson.loads(t), option=orjson.OPT_INDENT_2)))
    if ujson:
        dump.append(("ujson.dumps(ujson.loads, indent=2)",
                     lambda t: ujson.dumps(ujson.loads(t), indent=2, ensure_ascii=False)))
    if simplejson:
        dump.append(("simplejson.dumps(loads, indent=2)",
                     lambda t: simplejson.dumps(simplejson.loads(t), indent=2, ensure_ascii=False)))
    if msgspec:
        mj = msgspec.json
        dump.append(("msgspec format(encode(decode), 2)",
                     lambda t: mj.format(mj.encode(mj.decode(t)), indent=2)))

    return {
        "parse_workout": parse,
        "count_sets": [(f"{label} + walk", (lambda f: lambda t: py_count_sets(f(t)))(f))
                       for label, f in loads],
        "validate_workout": [(f"{label} + walk", (lambda f: lambda t: py_validate(f(t)))(f))
                             for label, f in loads],
        "to_json": dump,
    }


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


# ---------------------------------------------------------------------------------------


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5, help="timed samples per measurement (best is kept)")
    parser.add_argument("--max-seconds", type=float, default=1.5,
                        help="stop sampling a measurement after this long (two samples at least)")
    parser.add_argument("--weeks", type=int, default=52, help="weeks in the training plan")
    parser.add_argument("--samples", type=int, default=1_000_000,
                        help="scalar samples in the recording (timestamps + HeartRate + Power)")
    parser.add_argument("--gc", action="store_true", help="leave the garbage collector on while timing")
    args = parser.parse_args()

    run_start = time.perf_counter()
    libs = {"json": json}
    print(f"Python {platform.python_version()} ({platform.python_implementation()}),"
          f" {platform.machine()}, {platform.system()}")
    versions = []
    for name in ("orjson", "ujson", "simplejson", "msgspec"):
        libs[name] = load_optional(name)
        if libs[name] is None:
            versions.append(f"{name} skipped: not installed")
        else:
            versions.append(f"{name} {getattr(libs[name], '__version__', '?')}")
    print("Compared with: json (stdlib), " + ", ".join(versions))
    print(f"Best of up to {args.repeat} samples, at most ~{args.max_seconds:g} s per measurement,"
          f" garbage collector {'on' if args.gc else 'off'} while timing")

    print("Generating documents (seed %d)..." % SEED)
    documents = []
    for name, make in (("plan", lambda: make_plan(args.weeks)),
                       ("recording", lambda: make_recording(args.samples)),
                       ("session", make_session)):
        obj = make()
        text = json.dumps(obj, ensure_ascii=False)
        documents.append((name, text, obj))

    problems = []
    for name, text, obj in documents:
        size = len(text.encode("utf-8"))
        print(f"  {name}: {size / 1e6:.2f} MB, {py_count_sets(obj)} sets")
        found = check(name, text, obj)
        problems += found
        # a document the module calls invalid would make every timing meaningless
        if any(f"{name}: validate_workout" in p or "generated document is invalid" in p for p in found):
            for p in found:
                print("  PROBLEM:", p)
            sys.exit(f"{name}: not a valid workout for the module; nothing timed")
    for p in problems:
        print("  PROBLEM:", p)
    ops = ("parse_workout", "count_sets", "validate_workout", "to_json")
    if not problems:
        print(f"  checks passed ({', '.join(ops)}): each result equals json's reading of the same text")

    table = competitors(libs)
    headers = ("document", "operation", "compared with", "ours ms", "theirs ms", "ratio", "MB",
               "ours MB/s", "theirs MB/s")
    rows = []
    slower = []
    for name, text, obj in documents:
        del obj
        print(f"Timing {name}...", flush=True)
        mb = len(text.encode("utf-8")) / 1e6
        for op in ops:
            if any(p.startswith(f"{name}: {op} raised") for p in problems):
                rows.append((name, op, "(skipped: raised, see PROBLEM)", "", "", "", f"{mb:.2f}", "", ""))
                continue
            ours, _ = best_time(getattr(sdk, op), text, args.repeat, args.max_seconds, args.gc)
            for label, fn in table[op]:
                theirs, _ = best_time(fn, text, args.repeat, args.max_seconds, args.gc)
                ratio = theirs / ours
                rows.append((name, op, label, f"{ours * 1e3:.3f}", f"{theirs * 1e3:.3f}", f"{ratio:.2f}x",
                             f"{mb:.2f}", f"{mb / ours:.1f}", f"{mb / theirs:.1f}"))
                if label.startswith("json.") and ratio < 1:
                    slower.append(f"{op} on {name}: {ours * 1e3:.3f} ms vs {label} {theirs * 1e3:.3f} ms"
                                  f" ({1 / ratio:.2f}x slower)")

    widths = [max(len(h), *(len(r[i]) for r in rows)) if rows else len(h) for i, h in enumerate(headers)]
    print()
    print("ratio = theirs / ours: above 1 means tavrik_workout_sdk is faster")
    line = "  ".join(h.ljust(w) if i < 3 else h.rjust(w) for i, (h, w) in enumerate(zip(headers, widths)))
    print(line)
    print("-" * len(line))
    previous = None
    for r in rows:
        if previous is not None and r[0] != previous:
            print()
        previous = r[0]
        print("  ".join(c.ljust(w) if i < 3 else c.rjust(w) for i, (c, w) in enumerate(zip(r, widths))))
    print()
    if slower:
        print("Slower than the standard library's json:")
        for s in slower:
            print("  " + s)
    if problems:
        print(f"{len(problems)} PROBLEM(S) found, listed above")
    print(f"Total run time {time.perf_counter() - run_start:.1f} s")


if __name__ == "__main__":
    main()
