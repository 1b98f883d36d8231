"""The workout's normal form as msgspec Structs: what a program using msgspec would decode
into to get typed, checked records without the module.

Records are Structs that leave out None, [] and {} when converted back, as the module's
writer does; the tagged enumerations are tagged unions on the member "type" whose content
is the variant's "value" (or "values") field.  Numbers carry the module's ranges (u32 and
u64 counts, floats that accept integers).  What msgspec cannot say:

- the members of a Custom payload beside "type" are free-form, and a Struct has no field
  that collects unknown members, so they are skipped, not kept;
- the form of each type is fixed here to the one the module writes: the positional form,
  tags given as one-member objects, "value" before "type" and such are not accepted;
- metadata maps are taken in the order given, not sorted by key.
"""

from typing import Annotated, Any, Literal, Optional, Union

import msgspec

U32 = Annotated[int, msgspec.Meta(ge=0, le=2**32 - 1)]
U64 = Annotated[int, msgspec.Meta(ge=0)]  # bounds beyond int64 are not supported
DistanceUnit = Literal["Meters", "Kilometers", "Miles"]
WeightUnit = Literal["Kg", "Lbs"]


class Record(msgspec.Struct, omit_defaults=True):
    pass


class Variant(Record, tag_field="type"):
    pass


def variant(name, cls_name, **fields):
    """A member of a union tagged by "type"; without fields it carries nothing, and its
    content, when given, must be null."""
    fields = list(fields.items()) or [("value", None, None)]
    return msgspec.defstruct(cls_name, fields, bases=(Variant,), tag=name)


def tagged(*variants):
    return Union[variants]


NodeKind = tagged(*(variant(name, f"NodeKind{name}") for name in
                    ("Set", "Exercise", "Block", "Session", "Day", "Week", "Phase", "Program")),
                  variant("Custom", "NodeKindCustom", value=str))


class Amount(Record):
    amount: float


class WeightValue(Amount):
    unit: WeightUnit


class DistanceValue(Amount):
    unit: DistanceUnit


class DurationValue(Record):
    seconds: float


class PaceValue(Record):
    per: DistanceUnit
    seconds: float


class HeartRateValue(Record):
    bpm: U32


class NamedValue(Record):
    name: str
    value: Any


class Rounds(Record):
    rounds: U32


Measure = tagged(variant("Reps", "Reps", value=U32),
                 variant("Weight", "Weight", value=WeightValue),
                 variant("Distance", "Distance", value=DistanceValue),
                 variant("Duration", "Duration", value=DurationValue),
                 variant("Pace", "Pace", value=PaceValue),
                 variant("HeartRate", "HeartRate", value=HeartRateValue),
                 variant("Calories", "Calories", value=U32),
                 variant("Custom", "MeasureCustom", value=NamedValue))
ExecutionMode = tagged(variant("Sequential", "Sequential"), variant("Parallel", "Parallel"),
                       variant("Circuit", "Circuit", value=Rounds),
                       variant("Custom", "ModeCustom", value=str))
Intensity = tagged(variant("PercentOfMax", "PercentOfMax", value=float),
                   variant("RPE", "RPE", value=float),
                   variant("RIR", "RIR", value=U32),
                   variant("Bodyweight", "Bodyweight"),
                   variant("Custom", "IntensityCustom", value=NamedValue))


class Leaf(Variant, tag="Leaf"):
    measures: list[Measure]
    intensity: Optional[Intensity] = None


class Exercise(Variant, tag="Exercise"):
    measures: list[Measure] = []
    intensity: Optional[Intensity] = None
    rest_seconds: Optional[float] = None


class Block(Variant, tag="Block"):
    execution_mode: ExecutionMode
    rest_seconds: Optional[float] = None


class Temporal(Variant, tag="Temporal"):
    rest_seconds: Optional[float] = None


class PayloadCustom(Variant, tag="Custom"):
    """Its free members are skipped (see the module's docstring)."""


NodePayload = Union[Leaf, Exercise, Block, Temporal, PayloadCustom]


class Node(Record, kw_only=True):  # required members after optional ones
    id: str
    kind: NodeKind
    name: Optional[str] = None
    children: list["Node"] = []
    payload: NodePayload
    metadata: dict[str, Any] = {}


class CustomName(Record):
    Custom: str


StreamMetric = Union[Literal["HeartRate", "Speed", "Cadence", "Power", "Altitude", "Grade", "Temperature",
                             "Position"], CustomName]


class Position(Record):
    lat: float
    lng: float
    altitude: Optional[float] = None


StreamData = tagged(variant("Scalar", "Scalar", values=list[float]),
                    variant("Position", "Positions", values=list[Optional[Position]]))


class Stream(Record):
    metric: StreamMetric
    data: StreamData


class Streams(Record):
    timestamps: list[float]
    channels: list[Stream] = []


LapTrigger = Union[Literal["Manual", "Distance", "Time", "HeartRateZone", "Auto"], CustomName]


class Lap(Record, kw_only=True):  # required members after optional ones
    start_index: Optional[U64] = None
    end_index: Optional[U64] = None
    summary: dict[str, float] = {}
    trigger: LapTrigger
    name: Optional[str] = None


class Workout(Record, kw_only=True):  # required members after optional ones
    id: str
    version: str
    sport: Optional[str] = None
    date: Optional[str] = None
    root: Node
    streams: Optional[Streams] = None
    laps: list[Lap] = []
    metadata: dict[str, Any] = {}


decode = msgspec.json.Decoder(Workout).decode


def decode_to_builtins(text):
    """Typed decode, then the plain objects that parse_workout returns."""
    return msgspec.to_builtins(decode(text))
