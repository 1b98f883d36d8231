"""Columns against the module's own functions, as ratios measured in one run.

    python bench/columns.py [--quick]

On the benchmark's recorded ride (14,400 samples, seven channels) and its 11-week plan:
`columns.streams` then `pyarrow.table` against `validate_workout` (the read alone),
`parse_workout`, and `parse_workout` followed by a pandas.DataFrame of the channels; the
extra peak memory of `columns.streams` against the bytes of the samples and the input; and
`columns.sets` against `parse_workout` plus a Python walk that collects the same rows.
Each time is the best of several samples.
"""

import gc
import json
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import pandas as pd
import pyarrow as pa

import tavrik_workout_sdk as sdk
from tavrik_workout import columns

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import bench  # noqa: E402

KINDS = ("Exercise", "Block", "Session", "Day", "Week", "Phase", "Program")


def best(fn, text, seconds):
    """Best time of one call, over samples taken for about `seconds`."""
    fn(text)
    times = []
    end = time.perf_counter() + seconds
    while time.perf_counter() < end or len(times) < 3:
        gc.collect()
        start = time.perf_counter()
        fn(text)
        times.append(time.perf_counter() - start)
    return min(times)


def parse_then_pandas(text):
    workout = sdk.parse_workout(text)
    streams = workout["streams"]
    frame = {"timestamp": streams["timestamps"]}
    for channel in streams["channels"]:
        metric = channel["metric"]
        frame[metric if isinstance(metric, str) else metric["Custom"]] = channel["data"]["values"]
    return pd.DataFrame(frame)


def parse_then_walk(text):
    """The rows of columns.sets the way one writes them by hand over parse_workout."""
    rows = []

    def walk(node, position, nearest, rest):
        payload = node["payload"]
        if payload["type"] == "Leaf":
            row = {"id": node["id"], "name": node.get("name"), "position": position, "rest_seconds": rest}
            for kind in KINDS:
                group = nearest.get(kind)
                row[kind.lower() + "_id"] = group and group["id"]
                row[kind.lower() + "_name"] = group and group.get("name")
            for measure in payload["measures"]:
                value = measure["value"]
                if isinstance(value, dict):
                    for field, item in value.items():
                        row.setdefault(f"{measure['type']}_{field}", item if not isinstance(item, dict) else json.dumps(item))
                else:
                    row.setdefault(measure["type"], value)
            intensity = payload.get("intensity")
            row["intensity"] = intensity and intensity["type"]
            row["intensity_value"] = intensity and intensity.get("value")
            rows.append(row)
        kind = node["kind"]["type"]
        inner = {**nearest, kind: node} if kind in KINDS else nearest
        for index, child in enumerate(node.get("children", [])):
            walk(child, index, inner, payload.get("rest_seconds", rest))

    walk(sdk.parse_workout(text)["root"], 0, {}, None)
    return rows


def peak(name, text):
    with tempfile.NamedTemporaryFile("w", suffix=".json", encoding="utf-8", delete=False) as file:
        file.write(text)
    try:
        out = subprocess.run([sys.executable, str(HERE / "peak_memory.py"), name, file.name],
                             capture_output=True, text=True, check=True, cwd=HERE).stdout.split()
    finally:
        Path(file.name).unlink()
    return int(out[0])


def main():
    seconds = 0.3 if "--quick" in sys.argv else 2.0
    ride = json.dumps(bench.make_recording())
    plan = json.dumps(bench.make_plan(11), ensure_ascii=False)  # the benchmark's default, about 0.55 MB
    samples = len(bench.make_recording()["streams"]["timestamps"])
    print(f"ride {len(ride.encode()) / 1e6:.2f} MB, {samples} samples; plan {len(plan.encode()) / 1e6:.2f} MB, "
          f"{sdk.count_sets(plan)} sets")

    t_streams = best(lambda text: pa.table(columns.streams(text)), ride, seconds)
    t_validate = best(sdk.validate_workout, ride, seconds)
    t_parse = best(sdk.parse_workout, ride, seconds)
    t_pandas = best(parse_then_pandas, ride, seconds)
    print(f"streams + pyarrow.table   {t_streams * 1e3:8.2f} ms")
    print(f"validate_workout          {t_validate * 1e3:8.2f} ms   streams / validate = {t_streams / t_validate:.2f}x (goal <= 1.5x)")
    print(f"parse_workout             {t_parse * 1e3:8.2f} ms   parse / streams = {t_parse / t_streams:.1f}x (goal >= 4x)")
    print(f"parse_workout + pandas    {t_pandas * 1e3:8.2f} ms   (parse + pandas) / streams = {t_pandas / t_streams:.1f}x (goal >= 8x)")

    extra = peak("columns.streams", ride)
    sample_bytes = 7 * samples * 8
    budget = 1.5 * sample_bytes + len(ride.encode())
    print(f"streams peak extra memory {extra / 1e6:8.2f} MB   budget 1.5 x {sample_bytes / 1e6:.2f} MB of samples + "
          f"{len(ride.encode()) / 1e6:.2f} MB input = {budget / 1e6:.2f} MB ({extra / budget:.2f} of it)")

    t_sets = best(columns.sets, plan, seconds)
    t_walk = best(parse_then_walk, plan, seconds)
    print(f"sets                      {t_sets * 1e3:8.2f} ms")
    print(f"parse_workout + walk      {t_walk * 1e3:8.2f} ms   (parse + walk) / sets = {t_walk / t_sets:.1f}x (goal >= 5x)")


if __name__ == "__main__":
    main()
