"""Times importing a one-hour FIT activity against the FIT decoder alone on the same bytes.

The import decodes with the same decoder and settings, so the ratio is what the mapping to
a workout document (columns, gaps, laps, normal form, validation) adds.  The goal is a
ratio of at most 1.5.  Needs the formats extra.

    .venv/bin/python bench/formats.py [--records 3600] [--repeat 5]
"""

import argparse
import datetime as dt
import gc
import time

from garmin_fit_sdk import Encoder, Profile

from tavrik_workout.formats import read_fit
from tavrik_workout.formats.fit import decode_only

GOAL = 1.5


def ride(records):
    """A ride as a bike computer records it: one record a second with eight channels."""
    numbers = Profile["mesg_num"]
    start = dt.datetime(2026, 5, 1, 6, tzinfo=dt.timezone.utc)
    encoder = Encoder()
    encoder.write_mesg({"mesg_num": numbers["FILE_ID"], "type": "activity",
                        "manufacturer": "garmin", "product": 3121, "time_created": start})
    for t in range(records):
        encoder.write_mesg({
            "mesg_num": numbers["RECORD"], "timestamp": start + dt.timedelta(seconds=t),
            "heart_rate": 120 + t % 40, "enhanced_speed": 8 + (t % 50) / 10,
            "power": 180 + t % 90, "cadence": 85 + t % 10, "enhanced_altitude": 300 + t % 30,
            "temperature": 20, "distance": 8.5 * t,
            "position_lat": 570000000 + 100 * t, "position_long": 130000000 - 60 * t})
        if t % 600 == 599:
            encoder.write_mesg({"mesg_num": numbers["LAP"], "lap_trigger": "time",
                                "start_time": start + dt.timedelta(seconds=t - 599),
                                "timestamp": start + dt.timedelta(seconds=t),
                                "total_elapsed_time": 600.0, "total_distance": 5100.0})
    return encoder.close()


def best(function, data, repeat):
    times = []
    for _ in range(repeat):
        gc.collect()
        began = time.perf_counter()
        function(data)
        times.append(time.perf_counter() - began)
    return min(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--records", type=int, default=3600)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    data = ride(args.records)
    read_fit(data)  # warm both paths
    decoder = best(decode_only, data, args.repeat)
    full = best(read_fit, data, args.repeat)
    ratio = full / decoder
    print(f"FIT activity: {args.records} records, {len(data):,} bytes")
    print(f"decoder alone (fitdecode): {decoder * 1000:8.1f} ms")
    print(f"read_fit (decode + map):   {full * 1000:8.1f} ms")
    print(f"ratio {ratio:.2f} (goal <= {GOAL}): {'met' if ratio <= GOAL else 'MISSED'}")


if __name__ == "__main__":
    main()
