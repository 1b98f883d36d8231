"""FIT files for the format tests, made with the vendor SDK's encoder; records with
compressed timestamp headers (which the encoder never writes) by a few lines of bytes."""

import datetime as dt
import struct

from garmin_fit_sdk import CrcCalculator, Encoder, Profile

MESG = Profile["mesg_num"]
START = dt.datetime(2026, 5, 1, 6, 0, 0, tzinfo=dt.timezone.utc)
FIT_EPOCH_SECONDS = 631065600


def at(seconds):
    return START + dt.timedelta(seconds=seconds)


def activity(records, *, laps=(), local_offset=None, developer=None, extra=()):
    """records: dicts of record fields with "t" (seconds after START) instead of timestamp."""
    encoder = Encoder()
    if developer is not None:
        encoder.add_developer_field(0, *developer)
    encoder.write_mesg({"mesg_num": MESG["FILE_ID"], "type": "activity",
                        "manufacturer": "garmin", "product": 3121, "time_created": START})
    if developer is not None:
        encoder.write_mesg({"mesg_num": MESG["DEVELOPER_DATA_ID"], **developer[0]})
        encoder.write_mesg({"mesg_num": MESG["FIELD_DESCRIPTION"], **developer[1]})
    for record in records:
        fields = {key: value for key, value in record.items() if key != "t"}
        encoder.write_mesg({"mesg_num": MESG["RECORD"], "timestamp": at(record["t"]), **fields})
    for lap in laps:
        encoder.write_mesg({"mesg_num": MESG["LAP"], "start_time": at(lap["start"]),
                            "timestamp": at(lap["end"]),
                            **{k: v for k, v in lap.items() if k not in ("start", "end")}})
    for message in extra:
        encoder.write_mesg(message)
    if local_offset is not None:
        end = at(records[-1]["t"])
        local = int((end + local_offset).timestamp()) - FIT_EPOCH_SECONDS
        encoder.write_mesg({"mesg_num": MESG["ACTIVITY"], "timestamp": end,
                            "local_timestamp": local, "num_sessions": 1})
    return encoder.close()


def developer_field(name="Glucose", units="mg/dL"):
    return ({"developer_data_index": 0, "application_id": list(range(16))},
            {"developer_data_index": 0, "field_definition_number": 0,
             "fit_base_type_id": 0x84, "field_name": name, "units": units})


def workout(steps, name="Plan", sport="training", sub_sport="strength_training"):
    encoder = Encoder()
    encoder.write_mesg({"mesg_num": MESG["FILE_ID"], "type": "workout",
                        "manufacturer": "development", "product": 0})
    encoder.write_mesg({"mesg_num": MESG["WORKOUT"], "wkt_name": name, "sport": sport,
                        "sub_sport": sub_sport, "num_valid_steps": len(steps)})
    for index, step in enumerate(steps):
        encoder.write_mesg({"mesg_num": MESG["WORKOUT_STEP"], "message_index": index, **step})
    return encoder.close()


def compressed(base_seconds, heart_rates):
    """A record with a full timestamp, then one record a second with a compressed
    timestamp header (local message 1, heart rate only)."""
    base = int(at(base_seconds).timestamp()) - FIT_EPOCH_SECONDS
    body = bytearray()
    body += bytes([0x40, 0, 0]) + struct.pack("<H", 20) + bytes([2, 253, 4, 0x86, 3, 1, 0x02])
    body += bytes([0x00]) + struct.pack("<IB", base, heart_rates[0])
    body += bytes([0x41, 0, 0]) + struct.pack("<H", 20) + bytes([1, 3, 1, 0x02])
    for step, heart_rate in enumerate(heart_rates[1:], start=1):
        body += bytes([0x80 | (1 << 5) | ((base + step) & 0x1F), heart_rate])
    header = bytearray(struct.pack("<BBHI4s", 14, 0x20, 2180, len(body), b".FIT"))
    header += struct.pack("<H", CrcCalculator.calculate_crc(header, 0, 12))
    data = header + body
    return bytes(data + struct.pack("<H", CrcCalculator.calculate_crc(data, 0, len(data))))
