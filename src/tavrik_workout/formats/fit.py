"""FIT: activities and workouts in, workouts out.

Reading goes through fitdecode, which reads every record form devices write (compressed
timestamp headers included); writing goes through the vendor SDK's encoder, whose profile
names every field, so nothing here knows the byte layout."""

from __future__ import annotations

import datetime as dt
import io
import math
import struct
from types import ModuleType
from typing import Any

from tavrik_workout.formats import activity as act
from tavrik_workout.formats import steps as st
from tavrik_workout.formats.loss import (CLAMPED, DROPPED, REWRITTEN, ROUNDED, TRUNCATED,
                                         Conversion, FormatError, JsonObject, LossReport, need)
from tavrik_workout.formats.source import Source, load, stem

# fitdecode ships no type information: its frames and fields are what it gives.
_Frame = Any
_Field = Any
# A record's column: a metric's name, a custom column's key, or _TIME, _LAT or _LNG.
_ColumnKey = act.ColumnKey
_Messages = dict[int, list[_Frame]]

FIT_EPOCH = dt.datetime(1989, 12, 31, tzinfo=dt.timezone.utc)
_SEMICIRCLE = 180 / 2**31

_FILE_ID, _SESSION, _LAP, _RECORD, _ACTIVITY, _WORKOUT, _WORKOUT_STEP = 0, 18, 19, 20, 34, 26, 27
# Messages that only describe other messages.
_STRUCTURAL = {206, 207, 49, 162}

_METRICS = {"heart_rate": "HeartRate", "enhanced_speed": "Speed", "cadence": "Cadence",
            "power": "Power", "enhanced_altitude": "Altitude", "grade": "Grade",
            "temperature": "Temperature"}
# Older devices write these; the decoder expands them into the enhanced fields too.
_PLAIN = {"speed": "Speed", "altitude": "Altitude"}
_TIME, _LAT, _LNG = "timestamp", "position_lat", "position_long"

_TRIGGERS = {"manual": "Manual", "time": "Time", "distance": "Distance"}
_LAP_SKIP = {"timestamp", "start_time", "message_index", "lap_trigger"}

_SPORTS = {"running": "running", "run": "running", "cycling": "cycling", "bike": "cycling",
           "swimming": "swimming", "swim": "swimming", "strength": "training",
           "training": "training", "walking": "walking", "rowing": "rowing",
           "hiking": "hiking", "generic": "generic"}


def _reader(fitdecode: ModuleType, data: bytes) -> Any:
    # The base processor leaves times as seconds since the FIT epoch: the mapping needs
    # numbers, and a datetime per sample would cost more than the rest of the import.
    return fitdecode.FitReader(io.BytesIO(data), processor=fitdecode.DataProcessorBase(),
                               check_crc=fitdecode.CrcCheck.RAISE,
                               error_handling=fitdecode.ErrorHandling.RAISE)


def decode_only(data: bytes) -> int:
    """Every frame, decoded as read_fit decodes them and dropped: the baseline of the bench."""
    fitdecode = need("fitdecode")
    count = 0
    with _reader(fitdecode, data) as reader:
        for _frame in reader:
            count += 1
    return count


def read_fit(source: Source, *, gaps: str = "fill", allow_truncated: bool = False) -> Conversion:
    """A FIT activity or workout file as a workout document in normal form (`Conversion`)."""
    act.check_gaps(gaps)
    fitdecode = need("fitdecode")
    data, name = load(source)
    if not data:
        raise FormatError(f"{name}: empty file")
    loss = LossReport()
    activity = act.Activity(loss, epoch=FIT_EPOCH, tick=1)
    messages: _Messages = {_FILE_ID: [], _SESSION: [], _LAP: [], _ACTIVITY: [], _WORKOUT: [],
                           _WORKOUT_STEP: []}
    other: dict[str, int] = {}
    fault: str | None
    try:
        _decode(fitdecode, data, activity, messages, other, loss)
    except fitdecode.FitHeaderError as error:
        fault = f"bad header: {error}"
    except fitdecode.FitCRCError:
        fault = "bad checksum"
    except fitdecode.FitEOFError:
        fault = "unexpected end of file"
    except (fitdecode.FitParseError, fitdecode.FitError) as error:
        fault = f"malformed data: {error}"
    except (struct.error, ValueError, UnicodeDecodeError, AssertionError) as error:
        # The decoder's own slips on damaged bytes; the file is at fault, not the caller.
        fault = f"malformed data: {error}"
    else:
        fault = None
    if fault is not None:
        if not allow_truncated or not (activity.times or messages[_WORKOUT_STEP]):
            raise FormatError(f"{name}: {fault}")
        loss.add(TRUNCATED, name, f"{fault}; what precedes it is imported")
    for message, count in other.items():
        loss.add(DROPPED, f"message {message}", "not a sample, lap or session", count)
    if messages[_WORKOUT_STEP] and not activity.times:
        return Conversion(_workout(messages, name, loss), loss)
    if not activity.times:
        raise FormatError(f"{name}: no activity records and no workout steps")
    return Conversion(_activity(activity, messages, name, loss, gaps), loss)


def _decode(fitdecode: ModuleType, data: bytes, activity: act.Activity, messages: _Messages,
            other: dict[str, int], loss: LossReport) -> None:
    data_frame = fitdecode.FIT_FRAME_DATA
    dev_type = fitdecode.types.DevFieldDefinition
    keys: dict[object, _ColumnKey] = {}  # field object -> column key, _TIME, _LAT or _LNG
    standard = set(_METRICS) | set(_PLAIN)
    row_of, put = activity.row, activity.put
    units = activity.units
    no_time = 0
    with _reader(fitdecode, data) as reader:
        for frame in reader:
            if frame.frame_type != data_frame:
                continue
            number = frame.global_mesg_num
            if number != _RECORD:
                if number in messages:
                    messages[number].append(frame)
                elif number not in _STRUCTURAL:
                    other[frame.name] = other.get(frame.name, 0) + 1
                continue
            time = lat = lng = None
            values: list[tuple[_ColumnKey, Any]] = []
            for field in frame.fields:
                value = field.value
                if value is None:
                    continue
                key = keys.get(field.field)
                if key is None:
                    key = _key(field, dev_type, standard, units)
                    if field.field is not None:
                        keys[field.field] = key
                if key is _TIME:
                    time = value
                elif key is _LAT:
                    lat = value
                elif key is _LNG:
                    lng = value
                else:
                    values.append((key, value))
            if type(time) is not int:
                no_time += 1  # none, or not the one number a timestamp is
                continue
            row = row_of(time)
            if type(lat) is int and type(lng) is int:
                put(row, act.POSITION, (lat * _SEMICIRCLE, lng * _SEMICIRCLE))
            elif lat is not None or lng is not None:
                loss.add(DROPPED, "channel Position", "latitude or longitude alone")
            for key, value in values:
                kind = type(value)
                if kind is int or kind is float:
                    put(row, key, value)
                else:
                    loss.add(DROPPED, f"record field {key[1] if isinstance(key, tuple) else key}",
                             "not a number")
    if no_time:
        loss.add(DROPPED, "message record", "no valid timestamp", no_time)


def _key(field: _Field, dev_type: type, standard: set[str], units: dict[_ColumnKey, str]) -> _ColumnKey:
    name: str = field.name
    key: _ColumnKey
    if isinstance(field.field_def, dev_type):
        key = act.custom(name if name not in standard else f"developer {name}")
    elif name in (_TIME, _LAT, _LNG):
        return name
    elif name in _METRICS:
        key = _METRICS[name]
    else:
        key = act.custom(name)
    if field.units:
        units.setdefault(key, field.units)
    return key


def _time(value: object) -> int | None:
    return value if type(value) is int else None


def _fields(frame: _Frame) -> dict[str, Any]:
    return {field.name: field.value for field in frame.fields if field.value is not None}


def _activity(activity: act.Activity, messages: _Messages, name: str, loss: LossReport, gaps: str) -> str:
    columns = activity.columns
    for plain, metric in _PLAIN.items():
        column = columns.pop(act.custom(plain), None)
        if column is None:
            continue
        unit = activity.units.pop(act.custom(plain), None)
        target = columns.get(metric)
        if target is None:
            columns[metric] = column
            if unit is not None:
                activity.units.setdefault(metric, unit)
        elif any(a is not None and b is not None and a != b for a, b in zip(column, target)):
            columns[act.custom(plain)] = column  # a second, different reading: keep it apart
            if unit is not None:
                activity.units[act.custom(plain)] = unit
    metadata: JsonObject = {}
    for frame in messages[_FILE_ID][:1]:
        fields = _fields(frame)
        words = ("manufacturer", "garmin_product" if "garmin_product" in fields else "product")
        device = " ".join(str(fields[key]) for key in words if key in fields)
        if device:
            metadata["device"] = device
        if "serial_number" in fields:
            metadata["serial_number"] = fields["serial_number"]
    sport: str | None = None
    sessions: list[dict[str, float]] = []
    for frame in messages[_SESSION]:
        fields = _fields(frame)
        if sport is None and "sport" in fields:
            sport = str(fields["sport"])
            sub = fields.get("sub_sport")
            if sub not in (None, "generic"):
                sport += f"/{sub}"
        summary: dict[str, float] = {}
        for key, value in fields.items():
            if key in ("timestamp", "start_time", "message_index", "sport", "sub_sport"):
                continue
            if key.endswith(("_lat", "_long")) and type(value) is int:
                summary[key] = value * _SEMICIRCLE
            elif type(value) is int or (type(value) is float and math.isfinite(value)):
                summary[key] = value
            else:
                loss.add(DROPPED, f"session field {key}", "not a finite number")
        sessions.append(summary)
    if sessions:
        metadata["sessions"] = sessions
    for i, frame in enumerate(messages[_LAP]):
        fields = _fields(frame)
        trigger_word = fields.get("lap_trigger")
        trigger: str | dict[str, str] = (_TRIGGERS.get(str(trigger_word))
                                         or {"Custom": str(trigger_word) if trigger_word else "unknown"})
        summary = {}
        for key, value in fields.items():
            if key in _LAP_SKIP:
                continue
            if key.endswith(("_lat", "_long")) and type(value) is int:
                summary[key] = value * _SEMICIRCLE
            elif type(value) in (int, float):
                summary[key] = float(value)
            else:
                loss.add(DROPPED, f"lap field {key}", "not a number")
        activity.lap(_time(fields.get("start_time")), _time(fields.get("timestamp")), trigger,
                     f"Lap {i + 1}", summary)
    offset: dt.timedelta | None = None
    for frame in messages[_ACTIVITY][:1]:
        fields = _fields(frame)
        local, utc = _time(fields.get("local_timestamp")), _time(fields.get("timestamp"))
        if local is not None and utc is not None and abs(local - utc) < 86400:
            offset = dt.timedelta(minutes=round((local - utc) / 60))
        elif local is not None or utc is not None:
            loss.add(DROPPED, "activity local_timestamp", "no offset of less than a day")
    start = FIT_EPOCH + dt.timedelta(seconds=min(activity.times))
    title = (sport or "activity").split("/")[0].replace("_", " ").capitalize()
    return activity.document(
        workout_id=stem(name) or f"fit-{start:%Y%m%dT%H%M%S}", name=f"{title} {start:%Y-%m-%d}",
        sport=sport, offset=offset, source_format="fit", metadata=metadata, gaps=gaps)


# Workouts in.

def _raw(frame: _Frame) -> tuple[dict[int, Any], dict[str, Any]]:
    """Field values by definition number, raw (unscaled), plus names for the enumerations."""
    raw: dict[int, Any] = {}
    named: dict[str, Any] = {}
    for field in frame.fields:
        if field.value is None:
            continue
        named[field.name] = field.value
        if field.field_def is not None:
            raw[field.field_def.def_num] = field.raw_value
    return raw, named


def _workout(messages: _Messages, name: str, loss: LossReport) -> str:
    types: dict[str, dict[Any, str]] = need("garmin_fit_sdk").Profile["types"]  # exercise names by number
    title: str = stem(name) or "Workout"
    sport: str | None = None
    for frame in messages[_WORKOUT][:1]:
        fields = _fields(frame)
        title = str(fields.get("wkt_name") or title)
        if "sport" in fields:
            sport = str(fields["sport"])
            if fields.get("sub_sport") not in (None, "generic"):
                sport += f"/{fields['sub_sport']}"
    items: list[tuple[int, JsonObject]] = []  # (index of the first step, node)
    for index, frame in enumerate(messages[_WORKOUT_STEP]):
        raw, named = _raw(frame)
        if named.get("duration_type") == "repeat_until_steps_cmplt":
            first = raw.get(2, 0)
            children: list[JsonObject] = []
            while items and items[-1][0] >= first:
                children.append(items.pop()[1])
            children.reverse()
            if not children:
                loss.add(DROPPED, f"workout step {index}", "repeat of no steps")
                continue
            node: JsonObject = {"id": f"step-{index}", "kind": {"type": "Block"},
                    "children": children,
                    "payload": {"type": "Block", "execution_mode":
                                {"type": "Circuit", "value": {"rounds": raw.get(4, 1)}}}}
            if named.get("wkt_step_name"):
                node["name"] = named["wkt_step_name"]
            items.append((first, node))
            continue
        if str(named.get("duration_type", "")).startswith("repeat_until"):
            loss.add(DROPPED, f"workout step {index}", f"repeat kind {named['duration_type']}")
            continue
        items.append((index, _step_node(index, raw, named, types)))
    root = {"id": "workout", "kind": {"type": "Session"}, "name": title,
            "children": [node for _first, node in items], "payload": {"type": "Temporal"}}
    doc: JsonObject = {"id": stem(name) or "workout", "version": "1"}
    if sport:
        doc["sport"] = sport
    doc["root"] = root
    doc["metadata"] = {"source_format": "fit"}
    return act.normal_form(doc)


def _exercise_words(named: dict[str, Any], profile_types: dict[str, dict[Any, str]]) -> tuple[str | None, str | None]:
    category = named.get("exercise_category")
    number = named.get("exercise_name")
    if not isinstance(category, str):
        return None, None
    table = profile_types.get(f"{category}_exercise_name", {})
    return category, table.get(number) if number is not None else None


def _step_node(index: int, raw: dict[int, Any], named: dict[str, Any], types: dict[str, dict[Any, str]]) -> JsonObject:
    measures: list[JsonObject] = []
    extras: list[JsonObject] = []
    duration = named.get("duration_type")
    value = raw.get(2)
    if duration in ("time", "repetition_time") and value is not None:
        measures.append({"type": "Duration", "value": {"seconds": value / 1000}})
    elif duration == "distance" and value is not None:
        measures.append({"type": "Distance", "value": {"amount": value / 100, "unit": "Meters"}})
    elif duration == "reps" and value is not None:
        measures.append({"type": "Reps", "value": value})
    elif duration == "calories" and value is not None:
        measures.append({"type": "Calories", "value": value})
    elif duration not in (None, "open"):
        extras.append({"type": "Custom", "value": {"name": "duration",
                                                   "value": {"type": str(duration),
                                                             "value": value}}})
    if "exercise_weight" in named:
        kg = named["exercise_weight"]
        if named.get("weight_display_unit") == "pound":
            measures.append({"type": "Weight", "value": {"amount": round(kg / 0.45359237, 2),
                                                         "unit": "Lbs"}})
        else:
            measures.append({"type": "Weight", "value": {"amount": kg, "unit": "Kg"}})
    intensity = None
    for target_key, value_key, low_key, high_key in ((3, 4, 5, 6), (19, 20, 21, 22)):
        target = named.get("target_type" if target_key == 3 else "secondary_target_type")
        if target is None or target == "open":
            continue
        got = _target_in(str(target), raw.get(value_key), raw.get(low_key), raw.get(high_key))
        if got is None:
            continue
        kind, payload = got
        if kind == "intensity" and intensity is None:
            intensity = payload
        elif kind == "measure":
            measures.append(payload)
        else:
            extras.append(payload)
    measures += extras
    if not measures:
        measures.append({"type": "Custom", "value": {"name": "duration", "value": "open"}})
    leaf: JsonObject = {"type": "Leaf", "measures": measures}
    if intensity is not None:
        leaf["intensity"] = intensity
    set_node: JsonObject = {"id": f"step-{index}-set", "kind": {"type": "Set"}, "payload": leaf}
    metadata: dict[str, str] = {}
    if named.get("intensity") not in (None, "active"):
        metadata["intensity"] = str(named["intensity"])
    if named.get("notes"):
        metadata["notes"] = str(named["notes"])
    if metadata:
        set_node["metadata"] = metadata
    category, exercise = _exercise_words(named, types)
    title = named.get("wkt_step_name") or (exercise or category or "").replace("_", " ").capitalize()
    if not title:
        title = "Rest" if metadata.get("intensity") == "rest" else f"Step {index + 1}"
    node: JsonObject = {"id": f"step-{index}", "kind": {"type": "Exercise"}, "name": str(title),
            "children": [set_node], "payload": {"type": "Exercise"}}
    words: dict[str, str] = {}
    if category:
        words["exercise_category"] = category
    if exercise:
        words["exercise_name"] = exercise
    if words:
        node["metadata"] = words
    return node


def _target_in(target: str, value: Any, low: Any, high: Any) -> tuple[str, JsonObject] | None:
    """(where, model value) of one FIT target: an intensity, a measure or a custom measure."""
    if value not in (None, 0):
        zone = {"heart_rate": "heart_rate", "power": "power", "speed": "speed",
                "cadence": "cadence"}.get(target, target)
        return "custom", {"type": "Custom", "value": {"name": f"{zone}_target",
                                                      "value": {"zone": value}}}
    if low is None and high is None:
        return None
    low = high if low is None else low
    high = low if high is None else high
    if target == "heart_rate":
        unit = "%max" if high <= 100 else "bpm"
        if high > 100:
            low, high = low - 100, high - 100
        if low == high and unit == "%max":
            return "intensity", {"type": "PercentOfMax", "value": float(low)}
        if low == high:
            return "measure", {"type": "HeartRate", "value": {"bpm": low}}
    elif target == "power":
        unit = "%FTP" if high <= 1000 else "W"
        if high > 1000:
            low, high = low - 1000, high - 1000
    elif target == "speed":
        unit, low, high = "m/s", low / 1000, high / 1000
        if low == high and low > 0:
            return "measure", {"type": "Pace", "value": {"per": "Kilometers",
                                                         "seconds": 1000 / low}}
    elif target == "cadence":
        unit = "rpm"
    else:
        unit = ""
    value = {"low": low, "high": high}
    if unit:
        value["unit"] = unit
    return "custom", {"type": "Custom", "value": {"name": f"{target}_target", "value": value}}


# Workouts out.

_DISTANCE = {"Meters": 1.0, "Kilometers": 1000.0, "Miles": 1609.344}
_POUND = 0.45359237
_UINT32 = 2**32 - 2  # the largest valid value; all ones means "none"


def write_fit_workout(text: str) -> Conversion:
    """The prescription in `text` (workout JSON) as the bytes of a FIT workout file."""
    need("garmin_fit_sdk")
    from garmin_fit_sdk import Encoder, Profile
    doc = st.parse(text)
    loss = LossReport()
    steps = st.flatten(doc, loss)
    if not steps:
        raise FormatError("the workout has no steps to write")
    sport, sub_sport = _sport_out(doc.get("sport"), loss)
    numbers = Profile["mesg_num"]
    encoder = Encoder()
    encoder.write_mesg({"mesg_num": numbers["FILE_ID"], "type": "workout",
                        "manufacturer": "development", "product": 0})
    workout: dict[str, Any] = {"mesg_num": numbers["WORKOUT"], "sport": sport, "num_valid_steps": len(steps)}
    if sub_sport:
        workout["sub_sport"] = sub_sport
    name = doc["root"].get("name") or doc["id"]
    if name:
        workout["wkt_name"] = name
    encoder.write_mesg(workout)
    categories = _categories(Profile["types"])
    for index, step in enumerate(steps):
        message: dict[str, Any] = {"mesg_num": numbers["WORKOUT_STEP"], "message_index": index}
        message.update(_step_out(step, loss, categories, Profile["types"], sport == "cycling"))
        encoder.write_mesg(message)
    data: bytes = encoder.close()
    return Conversion(data, loss)


def _sport_out(sport: str | None, loss: LossReport) -> tuple[str, str | None]:
    if not sport:
        return "generic", None
    word, _, sub = sport.lower().partition("/")
    word = word.strip().replace(" ", "_")
    from garmin_fit_sdk import Profile
    names = set(Profile["types"]["sport"].values())
    subs = set(Profile["types"]["sub_sport"].values())
    if word.startswith("strength"):
        return "training", "strength_training"
    fit = word if word in names else _SPORTS.get(word)
    if fit is None:
        loss.add(REWRITTEN, f"sport {sport}", "FIT has no such sport: written as generic")
        return "generic", None
    if sub and sub in subs:
        return fit, sub
    if sub:
        loss.add(DROPPED, f"sub-sport {sub}", "FIT has no such sub-sport")
    return fit, None


def _categories(types: dict[str, dict[Any, str]]) -> dict[str, tuple[str, int | None]]:
    """Exercise words to (category, name number): every FIT exercise name and category."""
    table: dict[str, tuple[str, int | None]] = {}
    for category in types["exercise_category"].values():
        table.setdefault(category, (category, None))
        for number, exercise in types.get(f"{category}_exercise_name", {}).items():
            table.setdefault(exercise, (category, number))
    return table


def _words(text: str) -> str:
    return "_".join("".join(c if c.isalnum() else " " for c in text.lower()).split())


def _step_out(step: st.Step, loss: LossReport, categories: dict[str, tuple[str, int | None]],
              types: dict[str, dict[Any, str]], cycling: bool) -> dict[str, Any]:
    where = f"node {step.node}"
    message: dict[str, Any] = {"intensity": step.purpose}
    if step.name:
        message["wkt_step_name"] = step.name
    if step.notes:
        message["notes"] = step.notes
    if step.is_repeat:
        message.update(duration_type="repeat_until_steps_cmplt", duration_value=step.repeat_from,
                       target_type="open", target_value=min(step.rounds, _UINT32))
        message.pop("intensity")
        if step.rounds > _UINT32:
            loss.add(CLAMPED, where, f"rounds {step.rounds} to {_UINT32}")
        return message
    if step.seconds is not None:
        message.update(duration_type="time", target_type="open",
                       duration_value=_scaled(step.seconds, 1000, where, "rest seconds", loss))
        return message
    meta = step.exercise_metadata
    category = meta.get("exercise_category") if isinstance(meta, dict) else None
    if isinstance(category, str) and category in types["exercise_category"].values():
        message["exercise_category"] = category
        name = meta.get("exercise_name")
        table = types.get(f"{category}_exercise_name", {})
        number = next((n for n, word in table.items() if word == name), None)
        if number is not None:
            message["exercise_name"] = number
    elif step.exercise and any(m["type"] in ("Reps", "Weight") for m in step.measures):
        # Only strength steps: a "Run" step of a running plan is not the exercise "run".
        found = categories.get(_words(step.exercise))
        if found is not None:
            message["exercise_category"] = found[0]
            if found[1] is not None:
                message["exercise_name"] = found[1]
    duration = None
    targets = []
    for measure in step.measures:
        kind, value = measure["type"], measure["value"]
        if kind in ("Duration", "Distance", "Reps", "Calories"):
            if duration is not None:
                loss.add(DROPPED, where, f"{kind} measure: a FIT step has one duration")
                continue
            duration = kind
            if kind == "Duration":
                message.update(duration_type="time",
                               duration_value=_scaled(value["seconds"], 1000, where, "seconds",
                                                      loss))
            elif kind == "Distance":
                meters = value["amount"] * _DISTANCE[value["unit"]]
                message.update(duration_type="distance",
                               duration_value=_scaled(meters, 100, where, "distance", loss))
            elif kind == "Reps":
                message.update(duration_type="reps", duration_value=value)
            else:
                message.update(duration_type="calories", duration_value=value)
        elif kind == "Weight":
            kg = value["amount"] * (_POUND if value["unit"] == "Lbs" else 1.0)
            stored = _scaled(kg, 100, where, "weight", loss, limit=65534)
            message["exercise_weight"] = stored / 100
            message["weight_display_unit"] = "pound" if value["unit"] == "Lbs" else "kilogram"
        elif kind == "HeartRate":
            targets.append(("heart_rate", value["bpm"] + 100, value["bpm"] + 100))
        elif kind == "Pace":
            meters = _DISTANCE[value["per"]]
            if value["seconds"] <= 0:
                loss.add(DROPPED, where, "pace of no time")
                continue
            speed = _scaled(meters / value["seconds"], 1000, where, "pace", loss)
            targets.append(("speed", speed, speed))
        elif kind == "Custom":
            target = _target_out(value["name"], value["value"], where, loss)
            if target is None:
                loss.add(DROPPED, where, f"custom measure {value['name']}")
            else:
                targets.append(target)
    if duration is None:
        message["duration_type"] = "open"
    intensity = step.intensity
    if intensity is not None:
        kind = intensity["type"]
        strength = any(m["type"] in ("Reps", "Weight") for m in step.measures)
        if kind == "PercentOfMax" and strength:
            loss.add(DROPPED, where, "PercentOfMax of a strength set: FIT has no share of a "
                                     "one-repetition maximum")
        elif kind == "PercentOfMax" and cycling:
            # On a bike the maximum that plans scale by is the FTP, as Zwift files do.
            stored = _scaled(intensity["value"], 1, where, "PercentOfMax", loss, limit=1000)
            targets.insert(0, ("power", stored, stored))
        elif kind == "PercentOfMax":
            percent = intensity["value"]
            if not 0 <= percent <= 100:
                loss.add(DROPPED, where, f"PercentOfMax {percent}: FIT holds 0 to 100")
            else:
                stored = _scaled(percent, 1, where, "PercentOfMax", loss)
                targets.insert(0, ("heart_rate", stored, stored))
        elif kind == "Custom":
            target = _target_out(intensity["value"]["name"], intensity["value"]["value"], where,
                                 loss)
            if target is None:
                loss.add(DROPPED, where, f"intensity {intensity['value']['name']}")
            else:
                targets.insert(0, target)
        else:
            loss.add(DROPPED, where, f"intensity {kind}: FIT workouts have no such target")
    message["target_type"] = "open"
    for slot, target in enumerate(targets):
        if slot == 2:
            loss.add(DROPPED, where, f"{target[0]} target: a FIT step has two")
            continue
        kind, low, high = target
        prefix = "" if slot == 0 else "secondary_"
        message[f"{prefix}target_type"] = kind
        if low == "zone":
            message[f"{prefix}target_value"] = high
        else:
            message[f"{prefix}target_value"] = 0
            message[f"{prefix}custom_target_value_low"] = low
            message[f"{prefix}custom_target_value_high"] = high
    return message


def _scaled(value: float, scale: float, where: str, what: str, loss: LossReport, limit: int = _UINT32) -> int:
    stored = round(value * scale)
    if stored != value * scale:
        loss.add(ROUNDED, where, f"{what} {value} to {stored / scale}")
    if not 0 <= stored <= limit:
        clamped = min(max(stored, 0), limit)
        loss.add(CLAMPED, where, f"{what} {value} to {clamped / scale}")
        stored = clamped
    return stored


_TARGET_UNITS = {"heart_rate": {"bpm": 100, "%max": 0, "": 100},
                 "power": {"W": 1000, "%FTP": 0, "": 1000},
                 "cadence": {"rpm": 0, "": 0},
                 "speed": {"m/s": 0, "": 0}}


def _target_out(name: str, value: Any, where: str, loss: LossReport) -> tuple[str, str | int, int] | None:
    """(FIT target type, low, high) of a custom target such as
    {"name": "power", "value": {"low": 200, "high": 250, "unit": "W"}}."""
    kind = name[:-7] if name.endswith("_target") else name
    units = _TARGET_UNITS.get(kind)
    if units is None:
        return None
    if isinstance(value, dict) and "zone" in value and isinstance(value["zone"], int):
        return kind, "zone", value["zone"]
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        low = high = value
        unit = ""
    elif isinstance(value, dict) and isinstance(value.get("low"), (int, float)) \
            and isinstance(value.get("high"), (int, float)):
        low, high, unit = value["low"], value["high"], value.get("unit", "")
    else:
        return None
    if unit not in units:
        loss.add(DROPPED, where, f"{kind} target in {unit}: FIT has no such unit")
        return None
    scale = 1000 if kind == "speed" else 1
    return (kind, _scaled(low, scale, where, f"{kind} target", loss) + units[unit],
            _scaled(high, scale, where, f"{kind} target", loss) + units[unit])
