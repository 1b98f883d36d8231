"""Writes a ten-minute ride as a bike computer records it, for trying `tavrik-workout import`:
one record a second, a heart-rate strap that drops out now and then, a lap every five
minutes, a local time two hours ahead of UTC.  Needs the formats extra.

    python examples/make_ride_fit.py ride.fit
"""

import datetime as dt
import sys

from garmin_fit_sdk import Encoder, Profile

FIT_EPOCH = dt.datetime(1989, 12, 31, tzinfo=dt.timezone.utc)


def ride(seconds=600):
    numbers = Profile["mesg_num"]
    start = dt.datetime(2026, 5, 1, 6, tzinfo=dt.timezone.utc)
    encoder = Encoder()
    encoder.write_mesg({"mesg_num": numbers["FILE_ID"], "type": "activity",
                        "manufacturer": "garmin", "product": 3121, "time_created": start})
    for t in range(seconds):
        record = {"mesg_num": numbers["RECORD"], "timestamp": start + dt.timedelta(seconds=t),
                  "enhanced_speed": 8 + (t % 50) / 10, "power": 180 + t % 90,
                  "cadence": 85 + t % 10, "enhanced_altitude": 300 + t % 30,
                  "distance": 8.5 * t, "position_lat": 570000000 + 100 * t,
                  "position_long": 130000000 - 60 * t}
        if t % 97 not in (3, 4, 5):  # the strap loses contact for three seconds
            record["heart_rate"] = 120 + t % 40
        encoder.write_mesg(record)
    for lap in range(seconds // 300):
        encoder.write_mesg({"mesg_num": numbers["LAP"], "lap_trigger": "time",
                            "start_time": start + dt.timedelta(seconds=300 * lap),
                            "timestamp": start + dt.timedelta(seconds=300 * lap + 299),
                            "total_elapsed_time": 300.0, "total_distance": 2550.0,
                            "avg_heart_rate": 139, "total_calories": 80})
    end = start + dt.timedelta(seconds=seconds - 1)
    local = end + dt.timedelta(hours=2)
    encoder.write_mesg({"mesg_num": numbers["ACTIVITY"], "timestamp": end, "num_sessions": 1,
                        "local_timestamp": int((local - FIT_EPOCH).total_seconds())})
    return encoder.close()


if __name__ == "__main__":
    with open(sys.argv[1] if len(sys.argv) > 1 else "ride.fit", "wb") as file:
        file.write(ride())
