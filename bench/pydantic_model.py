"""The workout's normal form as pydantic models: what a program using pydantic would
validate the text into to get typed, checked records without the module.

The tagged enumerations are unions discriminated by the member "type"; a Custom payload
keeps its free members as extras.  Strict mode, as the module: an integer count given as
10.0 or "10" is refused, a float field takes an integer.  What is not modelled: the other
forms the module also reads (positional, tags as one-member objects), and metadata maps are
taken in the order given, not sorted by key.
"""

from typing import Annotated, Any, Literal, Optional, Union

from pydantic import BaseModel, ConfigDict, Field, create_model

U32 = Annotated[int, Field(ge=0, le=2**32 - 1)]
U64 = Annotated[int, Field(ge=0, le=2**64 - 1)]
DistanceUnit = Literal["Meters", "Kilometers", "Miles"]
WeightUnit = Literal["Kg", "Lbs"]


class Record(BaseModel):
    model_config = ConfigDict(strict=True)


def variant(name, cls_name, **fields):
    """A member of a union discriminated by "type"; without fields it carries nothing, and
    its content, when given, must be null."""
    fields = fields or {"value": (None, None)}
    return create_model(cls_name, __base__=Record, type=(Literal[name], ...), **fields)


def tagged(*variants):
    return Annotated[Union[variants], Field(discriminator="type")]


NodeKind = tagged(*(variant(name, f"NodeKind{name}") for name in
                    ("Set", "Exercise", "Block", "Session", "Day", "Week", "Phase", "Program")),
                  variant("Custom", "NodeKindCustom", value=(str, ...)))


class WeightValue(Record):
    amount: float
    unit: WeightUnit


class DistanceValue(Record):
    amount: float
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


Measure = tagged(variant("Reps", "Reps", value=(U32, ...)),
                 variant("Weight", "Weight", value=(WeightValue, ...)),
                 variant("Distance", "Distance", value=(DistanceValue, ...)),
                 variant("Duration", "Duration", value=(DurationValue, ...)),
                 variant("Pace", "Pace", value=(PaceValue, ...)),
                 variant("HeartRate", "HeartRate", value=(HeartRateValue, ...)),
                 variant("Calories", "Calories", value=(U32, ...)),
                 variant("Custom", "MeasureCustom", value=(NamedValue, ...)))
ExecutionMode = tagged(variant("Sequential", "Sequential"), variant("Parallel", "Parallel"),
                       variant("Circuit", "Circuit", value=(Rounds, ...)),
                       variant("Custom", "ModeCustom", value=(str, ...)))
Intensity = tagged(variant("PercentOfMax", "PercentOfMax", value=(float, ...)),
                   variant("RPE", "RPE", value=(float, ...)),
                   variant("RIR", "RIR", value=(U32, ...)),
                   variant("Bodyweight", "Bodyweight"),
                   variant("Custom", "IntensityCustom", value=(NamedValue, ...)))


class Leaf(Record):
    type: Literal["Leaf"]
    measures: list[Measure]
    intensity: Optional[Intensity] = None


class Exercise(Record):
    type: Literal["Exercise"]
    measures: list[Measure] = []
    intensity: Optional[Intensity] = None
    rest_seconds: Optional[float] = None


class Block(Record):
    type: Literal["Block"]
    execution_mode: ExecutionMode
    rest_seconds: Optional[float] = None


class Temporal(Record):
    type: Literal["Temporal"]
    rest_seconds: Optional[float] = None


class PayloadCustom(Record):
    model_config = ConfigDict(strict=True, extra="allow")
    type: Literal["Custom"]


NodePayload = Annotated[Union[Leaf, Exercise, Block, Temporal, PayloadCustom], Field(discriminator="type")]


class Node(Record):
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


StreamData = tagged(variant("Scalar", "Scalar", values=(list[float], ...)),
                    variant("Position", "Positions", values=(list[Optional[Position]], ...)))


class Stream(Record):
    metric: StreamMetric
    data: StreamData


class Streams(Record):
    timestamps: list[float]
    channels: list[Stream] = []


class Lap(Record):
    start_index: Optional[U64] = None
    end_index: Optional[U64] = None
    summary: dict[str, float] = {}
    trigger: Union[Literal["Manual", "Distance", "Time", "HeartRateZone", "Auto"], CustomName]
    name: Optional[str] = None


class Workout(Record):
    id: str
    version: str
    sport: Optional[str] = None
    date: Optional[str] = None
    root: Node
    streams: Optional[Streams] = None
    laps: list[Lap] = []
    metadata: dict[str, Any] = {}


validate = Workout.model_validate_json


def to_builtins(workout):
    """The plain objects that parse_workout returns, for checking the model against it."""
    return workout.model_dump(exclude_defaults=True)
