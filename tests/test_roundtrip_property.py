"""Workouts generated in their normal form (the dict parse_workout must return) and rendered as input
text in a random mix of the accepted forms read back unchanged, and to_json is a fixed point."""

import decimal
import json
import math

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import tavrik_workout_sdk as sdk
from test_writer import assert_same

U32, U64 = st.integers(0, 2**32 - 1), st.integers(0, 2**64 - 1)
FLOATS = st.floats(allow_nan=False, allow_infinity=False)
TEXT, KEYS = st.text(max_size=6), st.text(max_size=4)
METRICS = ["HeartRate", "Speed", "Cadence", "Power", "Altitude", "Grade", "Temperature", "Position"]
TRIGGERS = ["Manual", "Distance", "Time", "HeartRateZone", "Auto"]
KIND_PAYLOAD = {"Set": "Leaf", "Exercise": "Exercise", "Block": "Block", "Session": "Temporal", "Day": "Temporal",
                "Week": "Temporal", "Phase": "Temporal", "Program": "Temporal", "Custom": "Custom"}


def sorted_map(values, min_size=0, keys=KEYS):
    return st.dictionaries(keys, values, min_size=min_size, max_size=3).map(lambda d: dict(sorted(d.items())))


JSON = st.recursive(st.none() | st.booleans() | st.integers(-2**63, 2**64 - 1) | FLOATS | TEXT,
                    lambda inner: st.lists(inner, max_size=3) | sorted_map(inner), max_leaves=6)


def rec(*fields):
    required = {key: s for key, s, optional in fields if not optional}
    optional = {key: s for key, s, opt in fields if opt}
    order = [key for key, _, _ in fields]
    return st.fixed_dictionaries(required, optional=optional).map(lambda d: {k: d[k] for k in order if k in d})


def tagged(name, content=None):
    return st.just({"type": name}) if content is None else content.map(lambda v: {"type": name, "value": v})


DISTANCE = st.sampled_from(["Meters", "Kilometers", "Miles"])

MEASURE = st.one_of(
    tagged("Reps", U32), tagged("Weight", rec(("amount", FLOATS, 0), ("unit", st.sampled_from(["Kg", "Lbs"]), 0))),
    tagged("Distance", rec(("amount", FLOATS, 0), ("unit", DISTANCE, 0))),
    tagged("Duration", rec(("seconds", FLOATS, 0))),
    tagged("Pace", rec(("per", DISTANCE, 0), ("seconds", FLOATS, 0))),
    tagged("HeartRate", rec(("bpm", U32, 0))), tagged("Calories", U32),
    tagged("Custom", rec(("name", TEXT, 0), ("value", JSON, 0))))
INTENSITY = st.one_of(tagged("PercentOfMax", FLOATS), tagged("RPE", FLOATS), tagged("RIR", U32), tagged("Bodyweight"),
                      tagged("Custom", rec(("name", TEXT, 0), ("value", JSON, 0))))
MODE = st.one_of(tagged("Sequential"), tagged("Parallel"), tagged("Circuit", rec(("rounds", U32, 0))),
                 tagged("Custom", TEXT))


def payloads(variant, min_measures):
    kind = ("type", st.just(variant), 0)
    return {
        "Leaf": rec(kind, ("measures", st.lists(MEASURE, min_size=min_measures, max_size=3), 0),
                    ("intensity", INTENSITY, 1)),
        "Exercise": rec(kind, ("measures", st.lists(MEASURE, min_size=1, max_size=3), 1), ("intensity", INTENSITY, 1),
                        ("rest_seconds", FLOATS, 1)),
        "Block": rec(kind, ("execution_mode", MODE, 0), ("rest_seconds", FLOATS, 1)),
        "Temporal": rec(kind, ("rest_seconds", FLOATS, 1)),
        "Custom": sorted_map(JSON, keys=KEYS.filter(lambda k: k != "type")).map(lambda f: {"type": "Custom", **f}),
    }[variant]


@st.composite
def nodes(draw, depth, valid, banned=()):
    kind = draw(st.sampled_from([k for k in KIND_PAYLOAD if k not in banned and (depth or k != "Block" or not valid)]))
    variant = KIND_PAYLOAD[kind] if valid else draw(st.sampled_from(sorted(set(KIND_PAYLOAD.values()))))
    child_banned = {"Block": ("Set",), "Exercise": ("Block", "Session")}.get(kind, ()) if valid else ()
    children = draw(st.lists(nodes(depth - 1, valid, child_banned), min_size=int(valid and kind == "Block"),
                             max_size=3 if depth else 0))
    node = {"id": draw(TEXT), "kind": {"type": "Custom", "value": draw(TEXT)} if kind == "Custom" else {"type": kind}}
    node.update(draw(rec(("name", TEXT, 1))))
    if children:
        node["children"] = children
    node["payload"] = draw(payloads(variant, int(valid)))
    node.update(draw(rec(("metadata", sorted_map(JSON, min_size=1), 1))))
    return node


POSITION = rec(("lat", FLOATS, 0), ("lng", FLOATS, 0), ("altitude", FLOATS, 1))
STREAM = rec(("metric", st.sampled_from(METRICS) | TEXT.map(lambda s: {"Custom": s}), 0),
             ("data", rec(("type", st.just("Scalar"), 0), ("values", st.lists(FLOATS, max_size=3), 0))
              | rec(("type", st.just("Position"), 0), ("values", st.lists(st.none() | POSITION, max_size=3), 0)), 0))
LAP = rec(("start_index", U64, 1), ("end_index", U64, 1), ("summary", sorted_map(FLOATS, min_size=1), 1),
          ("trigger", st.sampled_from(TRIGGERS) | TEXT.map(lambda s: {"Custom": s}), 0), ("name", TEXT, 1))


def workouts(valid):
    return rec(("id", TEXT, 0), ("version", TEXT, 0), ("sport", TEXT, 1), ("date", TEXT, 1),
               ("root", nodes(2, valid), 0),
               ("streams", rec(("timestamps", st.lists(FLOATS, max_size=3), 0),
                               ("channels", st.lists(STREAM, min_size=1, max_size=2), 1)), 1),
               ("laps", st.lists(LAP, min_size=1, max_size=2), 1), ("metadata", sorted_map(JSON, min_size=1), 1))


EXTRA_KEYS = ["notes", "Type", "Value", "_"]
JUNK = ['[1,{"a":[true,null]},"x"]', "{}", "null", "-12.5e-3", '"\\u00e9"', '{"type":"Leaf"}']
OTHER_FIELDS = ["measures", "intensity", "rest_seconds", "execution_mode"]


class Render:
    def __init__(self, rnd):
        self.rnd = rnd

    def ws(self):
        return self.rnd.choice(["", "", " ", "\n", "\t", "\r\n  "])

    def string(self, s):
        out = []
        for c in s:
            if self.rnd.random() < 0.15:
                out.append(json.dumps(c)[1:-1] if ord(c) > 0xFFFF else self.rnd.choice(["\\u%04x", "\\u%04X"]) % ord(c))
            else:
                out.append("\\/" if c == "/" and self.rnd.random() < 0.5 else json.dumps(c, ensure_ascii=False)[1:-1])
        return '"' + "".join(out) + '"'

    def double(self, x, integral=True):
        forms = [repr(x), "%.16e" % x]
        if integral and x.is_integer() and abs(x) < 2**64:
            forms.append(("-" if math.copysign(1, x) < 0 else "") + str(abs(int(x))))
        return self.rnd.choice(forms).replace("e", self.rnd.choice("eE"))

    def array(self, items):
        return "[" + self.ws() + ",".join(self.ws() + item + self.ws() for item in items) + "]"

    def obj(self, members, extras=(), dups=()):
        """Members shuffled; unknown `extras` and earlier `dups` (key, text) inserted at random places."""
        members = list(members)
        self.rnd.shuffle(members)
        for key, text in dups:
            members.insert(self.rnd.randint(0, [k for k, _ in members].index(key)), (key, text))
        for key in extras:
            if self.rnd.random() < 0.2:
                members.insert(self.rnd.randint(0, len(members)), (key, self.rnd.choice(JUNK)))
        return "{" + self.ws() + ",".join(self.ws() + self.string(k) + self.ws() + ":" + self.ws() + v + self.ws()
                                          for k, v in members) + "}"

    def map(self, d, render, junk=JUNK):
        dups = [(k, self.rnd.choice(junk)) for k in d if self.rnd.random() < 0.2]
        return self.obj([(k, render(v)) for k, v in d.items()], dups=dups)

    def value(self, v):
        if v is None or isinstance(v, bool):
            return json.dumps(v)
        if isinstance(v, (int, float)):
            return str(v) if isinstance(v, int) else self.double(v, integral=False)
        if isinstance(v, str):
            return self.string(v)
        return self.array([self.value(x) for x in v]) if isinstance(v, list) else self.map(v, self.value)

    def record(self, d, layout, positional=True, extras=EXTRA_KEYS, tag=None):
        """layout: (field, kind, render) with kind "req", "opt" (null when absent), "list" or "map" (empty when
        absent). A `tag` is the "type" member, or the first element of the positional form."""
        empty = {"req": None, "opt": "null", "list": "[]", "map": "{}"}
        if positional and self.rnd.random() < 0.3:
            items = [render(d[f]) if f in d else empty[kind] for f, kind, render in layout]
            while items and layout[len(items) - 1][1] in ("list", "map") and layout[len(items) - 1][0] not in d \
                    and self.rnd.random() < 0.5:
                items.pop()
            return self.array(([tag] if tag else []) + items)
        members = [(f, render(d[f]) if f in d else empty[kind]) for f, kind, render in layout
                   if f in d or (kind != "req" and self.rnd.random() < 0.3)]
        return self.obj(members + ([("type", tag)] if tag else []), extras)

    def tag(self, name, names, unit_forms=("null",), index=False):
        forms = [self.string(name)] + ["{" + self.string(name) + ":" + self.ws() + u + "}" for u in unit_forms]
        return self.rnd.choice(forms + ([str(names.index(name))] if index else []))

    def adjacent(self, d, names, content, unit_forms=("null", "{}"), index=True):
        """An enumeration with "type" and "value" members, or the [tag, content] array."""
        body = content(d["type"], d["value"]) if "value" in d else "null"
        if self.rnd.random() < 0.3:
            return self.array([self.tag(d["type"], names, (), index), body])
        members = [("type", self.tag(d["type"], names, unit_forms))]
        return self.obj(members + [("value", body)] * ("value" in d or self.rnd.random() < 0.3), EXTRA_KEYS)

    def content(self, name, v):
        """The content of a tagged variant: a record (object form only), an integer, a double or a text."""
        if isinstance(v, dict):
            unit = lambda u: self.tag(u, None, ("null", "{}"))  # noqa: E731
            fields = {"amount": self.double, "seconds": self.double, "bpm": str, "rounds": str, "unit": unit,
                      "per": unit, "name": self.string, "value": self.value}
            return self.record(v, [(f, "req", fields[f]) for f in v], positional=False)
        return str(v) if isinstance(v, int) else self.double(v) if isinstance(v, float) else self.string(v)

    def measure(self, m):
        names = ["Reps", "Weight", "Distance", "Duration", "Pace", "HeartRate", "Calories", "Custom"]
        return self.adjacent(m, names, self.content)

    def intensity(self, i):
        return self.adjacent(i, ["PercentOfMax", "RPE", "RIR", "Bodyweight", "Custom"], self.content)

    def mode(self, e):
        return self.adjacent(e, ["Sequential", "Parallel", "Circuit", "Custom"], self.content)

    def payload(self, p):
        variant = p["type"]
        if variant == "Custom":
            fields = {k: v for k, v in p.items() if k != "type"}
            dups = [(k, self.rnd.choice(JUNK)) for k in fields if self.rnd.random() < 0.2]
            members = [("type", self.string("Custom"))] + [(k, self.value(v)) for k, v in fields.items()]
            return self.obj(members, dups=dups)
        renders = {"measures": lambda ms: self.array([self.measure(m) for m in ms]), "intensity": self.intensity,
                   "rest_seconds": self.double, "execution_mode": self.mode}
        fields = {"Leaf": ["measures", "intensity"], "Exercise": ["measures", "intensity", "rest_seconds"],
                  "Block": ["execution_mode", "rest_seconds"], "Temporal": ["rest_seconds"]}[variant]
        kinds = {"measures": "list" if variant == "Exercise" else "req", "execution_mode": "req"}
        return self.record(p, [(f, kinds.get(f, "opt"), renders[f]) for f in fields],
                           extras=EXTRA_KEYS + [f for f in OTHER_FIELDS if f not in fields], tag=self.string(variant))

    def position(self, p):
        return "null" if p is None else self.record(p, [("lat", "req", self.double), ("lng", "req", self.double),
                                                        ("altitude", "opt", self.double)])

    def data(self, d):
        samples = self.array([self.double(x) for x in d["values"]] if d["type"] == "Scalar"
                             else [self.position(p) for p in d["values"]])
        if self.rnd.random() < 0.3:
            return self.array([self.string(d["type"]), samples])
        return self.obj([("type", self.tag(d["type"], None)), ("values", samples)], EXTRA_KEYS)

    def named(self, v):  # a metric or a lap trigger
        if isinstance(v, str):
            return self.tag(v, None)
        return "{" + self.string("Custom") + ":" + self.string(v["Custom"]) + "}"

    def streams(self, s):
        channel = lambda c: self.record(c, [("metric", "req", self.named), ("data", "req", self.data)])
        return self.record(s, [("timestamps", "req", lambda ts: self.array([self.double(x) for x in ts])),
                               ("channels", "list", lambda cs: self.array([channel(c) for c in cs]))])

    def lap(self, lap):
        return self.record(lap, [("start_index", "opt", str), ("end_index", "opt", str),
                                 ("summary", "map", lambda m: self.map(m, self.double, junk=["0", "-1.5e3"])),
                                 ("trigger", "req", self.named), ("name", "opt", self.string)])

    def kind(self, k):
        return self.adjacent(k, None, self.content, unit_forms=("null",), index=False)

    def node(self, n):
        return self.record(n, [("id", "req", self.string), ("kind", "req", self.kind), ("name", "opt", self.string),
                               ("children", "list", lambda cs: self.array([self.node(c) for c in cs])),
                               ("payload", "req", self.payload),
                               ("metadata", "map", lambda m: self.map(m, self.value))])

    def workout(self, w):
        return self.ws() + self.record(w, [
            ("id", "req", self.string), ("version", "req", self.string), ("sport", "opt", self.string),
            ("date", "opt", self.string), ("root", "req", self.node), ("streams", "opt", self.streams),
            ("laps", "list", lambda ls: self.array([self.lap(x) for x in ls])),
            ("metadata", "map", lambda m: self.map(m, self.value))]) + self.ws()


def decimal_form(x):
    """Python's shortest round-trip digits of x, laid out in plain notation for decimal exponents -5 to 15."""
    sign, digits, exponent = decimal.Decimal(repr(x)).as_tuple()
    d = "".join(map(str, digits)).rstrip("0") or "0"
    m = len(digits) + exponent - 1
    if x == 0:
        body = "0.0"
    elif -5 <= m <= 15:
        body = "0." + "0" * (-m - 1) + d if m < 0 else d[:m + 1] + "." + d[m + 1:] if m < len(d) - 1 \
            else d + "0" * (m - len(d) + 1) + ".0"
    else:
        body = d[0] + ("." + d[1:] if len(d) > 1 else "") + "e" + ("+" if m > 0 else "-") + str(abs(m))
    return "-" * sign + body


def written_float(text):
    assert text == decimal_form(float(text)), text
    return float(text)


def leaves(node):
    return (node["payload"]["type"] == "Leaf") + sum(leaves(c) for c in node.get("children", []))


@pytest.mark.slow  # 200 generated documents of every input form: half a minute each
@pytest.mark.parametrize("valid", [True, False], ids=["valid-trees", "unchecked-trees"])
@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(data=st.data())
def test_every_input_form_reads_as_its_normal_form(valid, data):
    workout = data.draw(workouts(valid), label="workout")
    text = Render(data.draw(st.randoms(use_true_random=False))).workout(workout)
    written = sdk.to_json(text)
    assert_same(json.loads(written, parse_float=written_float), workout)
    assert sdk.to_json(written) == written
    errors = sdk.validate_workout(text)
    assert sdk.validate_workout(written) == errors
    assert not (valid and errors), errors
    assert sdk.count_sets(text) == sdk.count_sets(written) == leaves(workout["root"])
    if not errors:
        assert_same(sdk.parse_workout(text), workout)
        return
    with pytest.raises(ValueError) as caught:
        sdk.parse_workout(text)
    assert caught.value.args == ("validation errors: " + "; ".join(errors),)
