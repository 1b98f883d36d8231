// The JSON form of every model type, stated once: field names, order and presence,
// variant names and order, tagging, and the words each type puts into messages.
#pragma once

#include <array>
#include <string_view>
#include <tuple>

#include "model/describe.hpp"
#include "model/workout.hpp"

namespace tavrik::model {

// ---- free-form values ----

// JsonValue and SortedMap are handled by kind (any value; a map with string keys).

// ---- units and measures ----

template <>
struct Describe<DistanceUnit> {
    static constexpr Style style = Style::External;
    static constexpr std::array<std::string_view, 3> variants{"Meters", "Kilometers", "Miles"};
};

template <>
struct Describe<WeightUnit> {
    static constexpr Style style = Style::External;
    static constexpr std::array<std::string_view, 2> variants{"Kg", "Lbs"};
};

template <>
struct Describe<Measure> {
    static constexpr Style style = Style::Adjacent;
    static constexpr std::string_view name = "Measure";
    static constexpr std::string_view expecting = "adjacently tagged enum Measure";
    static constexpr std::string_view content_key = "value";
    static constexpr std::array<std::string_view, 8> variants{
        "Reps", "Weight", "Distance", "Duration", "Pace", "HeartRate", "Calories", "Custom"};
};

template <>
struct Describe<Measure::Weight> {
    static constexpr Style style = Style::Record;
    static constexpr std::string_view expecting = "struct variant Measure::Weight";
    static constexpr auto fields =
        std::make_tuple(required("amount", &Measure::Weight::amount), required("unit", &Measure::Weight::unit));
};

template <>
struct Describe<Measure::Distance> {
    static constexpr Style style = Style::Record;
    static constexpr std::string_view expecting = "struct variant Measure::Distance";
    static constexpr auto fields = std::make_tuple(required("amount", &Measure::Distance::amount),
                                                   required("unit", &Measure::Distance::unit));
};

template <>
struct Describe<Measure::Duration> {
    static constexpr Style style = Style::Record;
    static constexpr std::string_view expecting = "struct variant Measure::Duration";
    static constexpr auto fields = std::make_tuple(required("seconds", &Measure::Duration::seconds));
};

template <>
struct Describe<Measure::Pace> {
    static constexpr Style style = Style::Record;
    static constexpr std::string_view expecting = "struct variant Measure::Pace";
    static constexpr auto fields =
        std::make_tuple(required("per", &Measure::Pace::per), required("seconds", &Measure::Pace::seconds));
};

template <>
struct Describe<Measure::HeartRate> {
    static constexpr Style style = Style::Record;
    static constexpr std::string_view expecting = "struct variant Measure::HeartRate";
    static constexpr auto fields = std::make_tuple(required("bpm", &Measure::HeartRate::bpm));
};

template <>
struct Describe<Measure::Custom> {
    static constexpr Style style = Style::Record;
    static constexpr std::string_view expecting = "struct variant Measure::Custom";
    static constexpr auto fields =
        std::make_tuple(required("name", &Measure::Custom::name), required("value", &Measure::Custom::value));
};

// ---- execution mode, intensity, payload ----

template <>
struct Describe<ExecutionMode> {
    static constexpr Style style = Style::Adjacent;
    static constexpr std::string_view name = "ExecutionMode";
    static constexpr std::string_view expecting = "adjacently tagged enum ExecutionMode";
    static constexpr std::string_view content_key = "value";
    static constexpr std::array<std::string_view, 4> variants{"Sequential", "Parallel", "Circuit", "Custom"};
};

template <>
struct Describe<ExecutionMode::Circuit> {
    static constexpr Style style = Style::Record;
    static constexpr std::string_view expecting = "struct variant ExecutionMode::Circuit";
    static constexpr auto fields = std::make_tuple(required("rounds", &ExecutionMode::Circuit::rounds));
};

template <>
struct Describe<Intensity> {
    static constexpr Style style = Style::Adjacent;
    static constexpr std::string_view name = "Intensity";
    static constexpr std::string_view expecting = "adjacently tagged enum Intensity";
    static constexpr std::string_view content_key = "value";
    static constexpr std::array<std::string_view, 5> variants{"PercentOfMax", "RPE", "RIR", "Bodyweight", "Custom"};
};

template <>
struct Describe<Intensity::Custom> {
    static constexpr Style style = Style::Record;
    static constexpr std::string_view expecting = "struct variant Intensity::Custom";
    static constexpr auto fields = std::make_tuple(required("name", &Intensity::Custom::name),
                                                   required("value", &Intensity::Custom::value));
};

template <>
struct Describe<NodePayload> {
    static constexpr Style style = Style::Internal;
    static constexpr std::string_view expecting = "internally tagged enum NodePayload";
    static constexpr std::array<std::string_view, 5> variants{"Leaf", "Exercise", "Block", "Temporal", "Custom"};
};

template <>
struct Describe<NodePayload::Leaf> {
    static constexpr Style style = Style::Record;
    static constexpr std::string_view expecting = "struct variant NodePayload::Leaf";
    static constexpr std::string_view expecting_len = "struct variant NodePayload::Leaf with 2 elements";
    static constexpr auto fields = std::make_tuple(required("measures", &NodePayload::Leaf::measures),
                                                   optional("intensity", &NodePayload::Leaf::intensity));
};

template <>
struct Describe<NodePayload::Exercise> {
    static constexpr Style style = Style::Record;
    static constexpr std::string_view expecting = "struct variant NodePayload::Exercise";
    static constexpr std::string_view expecting_len = "struct variant NodePayload::Exercise with 3 elements";
    static constexpr auto fields = std::make_tuple(defaulted("measures", &NodePayload::Exercise::measures),
                                                   optional("intensity", &NodePayload::Exercise::intensity),
                                                   optional("rest_seconds", &NodePayload::Exercise::rest_seconds));
};

template <>
struct Describe<NodePayload::Block> {
    static constexpr Style style = Style::Record;
    static constexpr std::string_view expecting = "struct variant NodePayload::Block";
    static constexpr std::string_view expecting_len = "struct variant NodePayload::Block with 2 elements";
    static constexpr auto fields = std::make_tuple(required("execution_mode", &NodePayload::Block::execution_mode),
                                                   optional("rest_seconds", &NodePayload::Block::rest_seconds));
};

template <>
struct Describe<NodePayload::Temporal> {
    static constexpr Style style = Style::Record;
    static constexpr std::string_view expecting = "struct variant NodePayload::Temporal";
    static constexpr std::string_view expecting_len = "struct variant NodePayload::Temporal with 1 element";
    static constexpr auto fields = std::make_tuple(optional("rest_seconds", &NodePayload::Temporal::rest_seconds));
};

template <>
struct Describe<NodePayload::Custom> {
    static constexpr Style style = Style::Flatten;
    static constexpr std::string_view expecting = "struct variant NodePayload::Custom";
    static constexpr auto member = &NodePayload::Custom::fields;
};

// ---- recorded data ----

template <>
struct Describe<Position> {
    static constexpr Style style = Style::Record;
    static constexpr std::string_view expecting = "struct Position";
    static constexpr std::string_view expecting_len = "struct Position with 3 elements";
    static constexpr auto fields = std::make_tuple(required("lat", &Position::lat), required("lng", &Position::lng),
                                                   optional("altitude", &Position::altitude));
};

template <>
struct Describe<StreamMetric> {
    static constexpr Style style = Style::External;
    static constexpr std::array<std::string_view, 9> variants{
        "HeartRate", "Speed", "Cadence", "Power", "Altitude", "Grade", "Temperature", "Position", "Custom"};
};

template <>
struct Describe<StreamData> {
    static constexpr Style style = Style::Adjacent;
    static constexpr std::string_view name = "StreamData";
    static constexpr std::string_view expecting = "adjacently tagged enum StreamData";
    static constexpr std::string_view content_key = "values";
    static constexpr std::array<std::string_view, 2> variants{"Scalar", "Position"};
};

template <>
struct Describe<Stream> {
    static constexpr Style style = Style::Record;
    static constexpr std::string_view expecting = "struct Stream";
    static constexpr std::string_view expecting_len = "struct Stream with 2 elements";
    static constexpr auto fields = std::make_tuple(required("metric", &Stream::metric), required("data", &Stream::data));
};

template <>
struct Describe<Streams> {
    static constexpr Style style = Style::Record;
    static constexpr std::string_view expecting = "struct Streams";
    static constexpr std::string_view expecting_len = "struct Streams with 2 elements";
    static constexpr auto fields = std::make_tuple(required("timestamps", &Streams::timestamps),
                                                   defaulted("channels", &Streams::channels));
};

template <>
struct Describe<LapTrigger> {
    static constexpr Style style = Style::External;
    static constexpr std::array<std::string_view, 6> variants{"Manual", "Distance", "Time", "HeartRateZone", "Auto",
                                                              "Custom"};
};

template <>
struct Describe<Lap> {
    static constexpr Style style = Style::Record;
    static constexpr std::string_view expecting = "struct Lap";
    static constexpr std::string_view expecting_len = "struct Lap with 5 elements";
    static constexpr auto fields =
        std::make_tuple(optional("start_index", &Lap::start_index), optional("end_index", &Lap::end_index),
                        defaulted("summary", &Lap::summary), required("trigger", &Lap::trigger),
                        optional("name", &Lap::name));
};

// ---- the tree ----

template <>
struct Describe<NodeKind> {
    static constexpr Style style = Style::Adjacent;
    static constexpr std::string_view name = "NodeKind";
    static constexpr std::string_view expecting = "adjacently tagged enum NodeKind";
    static constexpr std::string_view content_key = "value";
    static constexpr std::array<std::string_view, 9> variants{"Set",  "Exercise", "Block",   "Session", "Day",
                                                              "Week", "Phase",    "Program", "Custom"};
};

template <>
struct Describe<Node> {
    static constexpr Style style = Style::Record;
    static constexpr std::string_view expecting = "struct Node";
    static constexpr std::string_view expecting_len = "struct Node with 6 elements";
    static constexpr auto fields =
        std::make_tuple(required("id", &Node::id), required("kind", &Node::kind), optional("name", &Node::name),
                        defaulted("children", &Node::children), required("payload", &Node::payload),
                        defaulted("metadata", &Node::metadata));
};

template <>
struct Describe<Workout> {
    static constexpr Style style = Style::Record;
    static constexpr std::string_view expecting = "struct Workout";
    static constexpr std::string_view expecting_len = "struct Workout with 8 elements";
    static constexpr auto fields =
        std::make_tuple(required("id", &Workout::id), required("version", &Workout::version),
                        optional("sport", &Workout::sport), optional("date", &Workout::date),
                        required("root", &Workout::root), optional("streams", &Workout::streams),
                        defaulted("laps", &Workout::laps), defaulted("metadata", &Workout::metadata));
};

}  // namespace tavrik::model
