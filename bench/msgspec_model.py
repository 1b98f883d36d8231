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


def unit_variant(name, cls_name):
    """A variant that carries nothing: its content, when given, must be null."""
    return msgspec.defstruct(cls_name, [("value", None, None)], bases=(Variant,), tag=name)


def unit_variants(prefix, *names):
    return [unit_variant(name, f"{prefix}{name}") for name in names]


class NodeKindCustom(Variant, tag="Custom"):
    value: str


NODE_KINDS = unit_variants("NodeKind", "Set", "Exercise", "Block", "Session", "Day", "Week", "Phase", "Program")
NodeKind = Union[tuple(NODE_KINDS) + (NodeKindCustom,)]


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


class Reps(Variant, tag="Reps"):
    value: U32


class Weight(Variant, tag="Weight"):
    value: WeightValue


class Distance(Variant, tag="Distance"):
    value: DistanceValue


class Duration(Variant, tag="Duration"):
    value: DurationValue


class Pace(Variant, tag="Pace"):
    value: PaceValue


class HeartRate(Variant, tag="HeartRate"):
    value: HeartRateValue


class Calories(Variant, tag="Calories"):
    value: U32


class MeasureCustom(Variant, tag="Custom"):
    value: NamedValue


Measure = Union[Reps, Weight, Distance, Duration, Pace, HeartRate, Calories, MeasureCustom]


class Rounds(Record):
    rounds: U32


class Circuit(Variant, tag="Circuit"):
    value: Rounds


class ModeCustom(Variant, tag="Custom"):
    value: str


MODES = unit_variants("Mode", "Sequential", "Parallel")
ExecutionMode = Union[tuple(MODES) + (Circuit, ModeCustom)]


class PercentOfMax(Variant, tag="PercentOfMax"):
    value: float


class RPE(Variant, tag="RPE"):
    value: float


class RIR(Variant, tag="RIR"):
    value: U32


class IntensityCustom(Variant, tag="Custom"):
    value: NamedValue


Bodyweight = unit_variant("Bodyweight", "Bodyweight")
Intensity = Union[PercentOfMax, RPE, RIR, Bodyweight, IntensityCustom]


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


class Scalar(Variant, tag="Scalar"):
    values: list[float]


class Positions(Variant, tag="Position"):
    values: list[Optional[Position]]


class Stream(Record):
    metric: StreamMetric
    data: Union[Scalar, Positions]


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
