"""Hardening: nothing kept on any path, the same results from many threads, extreme inputs.

Memory figures are printed; `pytest tests/test_hardening.py -s -k "leak or extreme"` shows one
line per case.  The extreme cases run in a child process (this file run as a script) so that
each call's peak memory is measured on its own.
"""

import functools
import gc
import json
import os
import subprocess
import sys
import threading
from pathlib import Path

import pytest

import tavrik_workout_sdk as sdk

NAMES = ["parse_workout", "validate_workout", "count_sets", "to_json"]
MiB = 1 << 20
# AddressSanitizer keeps freed memory in quarantine and shadows what is in use, so resident
# memory says little about the module there; counts of objects and references still do.
UNDER_ASAN = "libasan" in Path("/proc/self/maps").read_text()


def fresh(text):
    """An equal str that no one else holds, so that its reference count means something."""
    return "".join(list(text))


def outcome(call):
    try:
        return ("ok", call())
    except (TypeError, ValueError, RuntimeError) as error:
        return (type(error).__name__, str(error))


SET = {"id": "s", "kind": {"type": "Set"}, "payload": {"type": "Leaf", "measures": [{"type": "Reps", "value": 5}]}}


def workout(root=SET, **members):
    return json.dumps({"id": "w", "version": "1", "root": root, **members})


# One of everything the reader builds and the conversion makes.
RICH = workout(
    {"id": "r", "kind": {"value": "Meso", "type": "Custom"}, "name": "plan",
     "payload": {"type": "Custom", "k": [1, -2, 2.5e-7, None, True, "x\n\u00e9\U0001F600"]},
     "children": [{"id": "b", "kind": {"type": "Block"},
                   "payload": {"type": "Block", "execution_mode": {"value": {"rounds": 3}, "type": "Circuit"},
                               "rest_seconds": 60},
                   "children": [{"id": "e", "kind": ["Exercise", None],
                                 "payload": {"type": "Exercise", "intensity": {"type": "PercentOfMax", "value": 80}},
                                 "children": [{**SET, "payload": {"type": "Leaf", "measures": [
                                     {"type": "Reps", "value": 5}, {"type": "Weight", "value": {"amount": 100, "unit": "Kg"}},
                                     {"type": "Custom", "value": {"name": "tempo", "value": {"b": [1], "a": "3-1-1"}}}]}}]}]}]},
    sport="Run", date="2025-01-01",
    streams={"timestamps": [0, 1.5], "channels": [
        {"metric": {"Custom": "lactate"}, "data": {"values": [1, 2], "type": "Scalar"}},
        {"metric": "Position", "data": ["Position", [None, {"lat": 1, "lng": 2, "altitude": 3}]]}]},
    laps=[{"trigger": {"Custom": "pool"}, "summary": {"z": 1, "a": 2}, "start_index": 0, "end_index": 1, "name": "L"}],
    metadata={"b": {"x": [{}]}, "a": 18446744073709551615, "c": -9223372036854775808, "d": -0.0})
# Reads, but the validator rejects it twice.
REJECTED = workout({"id": "r", "kind": {"type": "Block"}, "payload": {"type": "Block", "execution_mode": {"type": "Parallel"}},
                    "children": [{"id": "c", "kind": {"type": "Exercise"}, "payload": {"type": "Leaf", "measures": []}}]})


# ---- leaks: 200,000 calls per path ----

LEAK_CALLS = 200_000
PATHS = [  # (id, positional, keywords, exception or None); texts are copied per case
    ("valid", (RICH,), {}, None),
    ("validation-errors", (REJECTED,), {}, {"parse_workout": ValueError}),  # the rest answer
    ("keyword-read-error", (), {"json": RICH[:-1]}, ValueError),  # the whole model built, then EOF
    ("grammar-error", ('{"id":"w","version":1.5e',), {}, ValueError),
    ("buffered-value-error", (workout({**SET, "kind": {"value": [1], "type": "Day"}}),), {}, ValueError),
    ("nesting-error", (workout(metadata={"a": 1}).replace("1", "[" * 200),), {}, ValueError),
    ("no-argument", (), {}, TypeError),
    ("two-positional", (RICH, RICH), {}, TypeError),
    ("json-twice", (RICH,), {"json": RICH}, TypeError),
    ("unknown-keyword", (RICH,), {"indent": "2em"}, TypeError),
    ("surrogate-keyword", (), {"x\udc80": "one"}, TypeError),
    ("not-a-str", (RICH.encode(),), {}, TypeError),
    ("lone-surrogate", (RICH[:40] + "\ud800" + RICH[40:],), {}, UnicodeEncodeError),
]


def resident():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def calls(call, expected, count):
    for _ in range(count):
        try:
            call()
        except expected:
            pass


# The paths that build the whole model take seconds per function: CI runs them.
SLOW_PATHS = {"valid", "keyword-read-error", "nesting-error"}


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("path, args, kwargs, expected", [
    pytest.param(*p, id=p[0], marks=[pytest.mark.slow] if p[0] in SLOW_PATHS else []) for p in PATHS])
def test_leak(name, path, args, kwargs, expected):
    function = getattr(sdk, name)
    if isinstance(expected, dict):
        expected = expected.get(name)
    args = tuple(fresh(a) if isinstance(a, str) else bytes(a) for a in args)
    kwargs = {fresh(k): fresh(v) for k, v in kwargs.items()}
    held = [*args, *kwargs, *kwargs.values()]
    call = functools.partial(function, *args, **kwargs)
    if expected is None:
        call()
    else:
        with pytest.raises(expected):
            call()
    expected = expected or ()
    calls(call, expected, LEAK_CALLS // 10)  # warm the interpreter's caches and free lists
    gc.collect()
    references = [sys.getrefcount(obj) for obj in held]
    assert all(count < 100 for count in references)  # none is immortal
    rss, blocks = resident(), sys.getallocatedblocks()
    calls(call, expected, LEAK_CALLS)
    gc.collect()
    rss, blocks = resident() - rss, sys.getallocatedblocks() - blocks
    print(f"\nleak {name} {path}: {LEAK_CALLS} calls, RSS {rss / 1024:+.0f} KiB, {blocks:+d} objects")
    assert [sys.getrefcount(obj) for obj in held] == references
    assert blocks < 1000
    if not UNDER_ASAN:
        # The smallest heap block is 16 bytes: one kept per call would be 3.2 MB.
        assert rss < 3 * MiB


# ---- threads ----

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
THREAD_INPUTS = [
    RICH, REJECTED, "", "[", '{"id":"w"}', RICH[:-1], RICH + "x",
    (EXAMPLES / "run_with_streams.workout.json").read_text(),
    (EXAMPLES / "broken_missing_comma.workout.json").read_text(),
]


def test_eight_threads_get_the_single_threaded_results():
    jobs = [(getattr(sdk, name), text) for text in THREAD_INPUTS for name in NAMES]
    jobs += [(sdk.to_json, None), (sdk.count_sets, b"{}")]
    expected = [outcome(functools.partial(f, text)) for f, text in jobs]
    assert {kind for kind, _ in expected} == {"ok", "ValueError", "TypeError"}
    start = threading.Barrier(8)
    seen = [None] * 8

    def worker(index):
        start.wait()
        order = jobs[index:] + jobs[:index]  # each thread begins somewhere else
        mismatches = 0
        for _ in range(100):
            for position, (f, text) in enumerate(order):
                mismatches += outcome(functools.partial(f, text)) != expected[(position + index) % len(jobs)]
        seen[index] = mismatches

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch threads between almost every two calls
    try:
        threads = [threading.Thread(target=worker, args=(i,)) for i in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    assert seen == [0] * 8


# ---- nesting at the limit ----

def opening_column(text, level):
    """Column of the bracket that opens nesting level `level` in a one-line text."""
    depth = 0
    for column, char in enumerate(text, 1):
        depth += (char in "[{") - (char in "]}")
        if char in "[{" and depth == level:
            return column
    raise AssertionError(f"the text does not reach level {level}")


def chain(nodes, measure):
    """`nodes` nested nodes: sessions, then at the bottom one set with `measure`."""
    root = {**SET, "payload": {"type": "Leaf", "measures": [measure]}}
    for level in range(nodes - 1):
        root = {"id": f"d{level}", "kind": {"type": "Session"}, "payload": {"type": "Temporal"}, "children": [root]}
    return workout(root)


WEIGHT = {"type": "Weight", "value": {"amount": 1.5, "unit": "Kg"}}
DEEPEST = [  # the deepest path: 127 brackets reads, 128 does not
    pytest.param(chain(62, SET["payload"]["measures"][0]), chain(62, WEIGHT), id="node-chain"),
    pytest.param(workout(metadata={"a": json.loads("[" * 125 + "]" * 125)}),
                 workout(metadata={"a": json.loads("[" * 126 + "]" * 126)}), id="metadata"),
]


@pytest.mark.parametrize("deepest, too_deep", DEEPEST)
def test_nesting_limit_through_every_function(deepest, too_deep):
    opening_column(deepest, 127)  # reaches the limit...
    with pytest.raises(AssertionError):  # ...and goes no further
        opening_column(deepest, 128)
    assert sdk.validate_workout(deepest) == []
    assert sdk.count_sets(deepest) == 1
    assert sdk.parse_workout(deepest) == json.loads(deepest)  # written in normal form already
    assert json.loads(sdk.to_json(deepest)) == json.loads(deepest)
    error = f"parse error: recursion limit exceeded at line 1 column {opening_column(too_deep, 128)}"
    for name in NAMES:
        assert outcome(lambda: getattr(sdk, name)(too_deep)) == ("ValueError", error)


# ---- extremes, each call measured in a child process ----

UNKNOWN = workout(notes="@").replace('"@"', "@")  # the value at @ is skipped
METADATA = workout(metadata={"blob": "@"}).replace('"@"', "@")
SAMPLES = workout(streams={"timestamps": [0, 1], "channels": [
    {"metric": "HeartRate", "data": {"type": "Scalar", "values": "@"}}]}).replace('"@"', "[@99]")
SAMPLE_UNIT = "61,61.5,62.25,1e2,-0.5,120.125,7E-1,143,"  # eight samples

SKIPPED, GROWS = "skipped", "grows"
EXTREMES = {  # id: (template, unit repeated at @, repeats, expected, memory allowed per input byte)
    # expected: SKIPPED (as if the value were not there), GROWS (the output grows with the
    # input, see expected_outcome), or a read error with a function giving its column
    "string-200MB-unknown": (UNKNOWN.replace("@", '"@"'), "abcdefgh", 25 * MiB, SKIPPED, 0),
    "array-200MB-unknown": (UNKNOWN.replace("@", "[@0]"), "0,", 100 * MiB, SKIPPED, 0),
    "string-200MB-unclosed": (UNKNOWN.split("@")[0] + '"@', "abcdefgh", 25 * MiB, ("EOF while parsing a string", len), 0),
    "string-200MB-metadata": (METADATA.replace("@", '"@"'), "abcdefgh", 25 * MiB, GROWS, 4),
    "samples-10M": (SAMPLES, SAMPLE_UNIT, 10_000_000 // 8, GROWS, 12),
    "brackets-1M-unknown": (UNKNOWN, ('[{"a":', "}]"), 500_000, SKIPPED, 0),
    "brackets-1M-unclosed": (UNKNOWN.split("@")[0] + "@", ("[", ""), 1_000_000, ("EOF while parsing a list", len), 0),
    "brackets-1M-metadata": (METADATA, ("[", "]"), 1_000_000,
                             ("recursion limit exceeded", lambda text: opening_column(text, 128)), 0),
}


def build(template, unit, repeats):
    """The template with `unit` repeated at @ (a pair of units: on both sides of a 0), built
    without a second full-size copy."""
    head, tail = template.split("@")
    if isinstance(unit, tuple):
        return "".join([head, unit[0] * repeats, "0", unit[1] * repeats, tail])
    block = unit * max(1, MiB // len(unit))
    count, rest = divmod(repeats, MiB // len(unit))
    return "".join([head] + [block] * count + [unit * rest, tail])


def expected_outcome(name, case, text):
    template, unit, repeats, expected, _ = EXTREMES[case]
    function = getattr(sdk, name)
    if expected == SKIPPED:
        return outcome(lambda: function(build(template, unit, 1)))
    if expected != GROWS:
        message, column = expected
        return ("ValueError", f"parse error: {message} at line 1 column {column(text)}")
    one, two, three = (build(template, unit, k) for k in (1, 2, 3))
    if name in ("validate_workout", "count_sets"):
        assert outcome(lambda: function(one)) == outcome(lambda: function(two)) == outcome(lambda: function(three))
        return outcome(lambda: function(one))
    # Each repeat adds the same text to what to_json writes; parse_workout gives what that reads as.
    one, two, three = map(sdk.to_json, (one, two, three))
    at = len(os.path.commonprefix([one, two]))
    grown = two[at:at + len(two) - len(one)]
    assert three == one[:at] + grown * 2 + one[at:]
    written = "".join([one[:at], grown * (repeats - 1), one[at:]])
    return ("ok", written if name == "to_json" else json.loads(written))


def run_extreme(case, name):
    """In the child: one call on the extreme input, its outcome checked and its peak measured."""
    template, unit, repeats, _, _ = EXTREMES[case]
    text = build(template, unit, repeats)
    expected = expected_outcome(name, case, text)
    gc.collect()
    try:
        Path("/proc/self/clear_refs").write_text("5")  # restart the peak from here
    except OSError:
        pass  # the peak then includes the setup's: an overestimate

    def status(field):
        line = next(l for l in Path("/proc/self/status").read_text().splitlines() if l.startswith(field + ":"))
        return int(line.split()[1]) * 1024

    before = status("VmRSS")
    got = outcome(lambda: getattr(sdk, name)(text))
    grown = status("VmHWM") - before
    brief = str(got)[:300] if got != expected else None
    print(json.dumps({"input": len(text), "grown": grown, "mismatch": brief}))


@pytest.mark.slow  # a child process per case, reading hundreds of megabytes
@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("case", EXTREMES)
def test_extreme(case, name):
    child = subprocess.run([sys.executable, __file__, case, name], capture_output=True, text=True, timeout=600)
    assert child.returncode == 0, child.stderr[-3000:]
    report = json.loads(child.stdout)
    size, grown = report["input"], report["grown"]
    print(f"\nextreme {case} {name}: input {size / MiB:.1f} MiB, peak growth {grown / MiB:.1f} MiB")
    assert report["mismatch"] is None
    per_byte = EXTREMES[case][4]
    slack = (256 if UNDER_ASAN else 32) * MiB
    assert grown <= per_byte * size + slack


if __name__ == "__main__":
    run_extreme(*sys.argv[1:])
