// The workout document: records and enumerations, owning all their contents (strings and
// lists in the arena of the read that made them, when one was open).
//
// Enumerations are std::variant over one small struct per alternative, in the
// alternatives' declared order, so that variant::index() is the variant index that
// messages, tables and the array forms use.  A unit alternative is an empty struct; an
// alternative that carries one value ("newtype") holds it as `value` and says so with
// `newtype`; any other alternative is a record.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <variant>

#include "model/arena.hpp"

namespace tavrik::model {

// A map from string keys, sorted by key bytes, each key once (a repeated key keeps the
// last value read).
//
// JsonValue holds a SortedMap of itself.  The special members are defined out of line so
// that asking whether the map is trivially destructible or movable (as std::variant
// does inside JsonValue) does not instantiate the entry type before JsonValue is
// complete, which some compilers reject.
template <class V>
struct SortedMap {
    List<std::pair<Text, V>> entries;
    bool empty() const { return entries.empty(); }

    SortedMap();
    SortedMap(const SortedMap&);
    SortedMap(SortedMap&&) noexcept;
    SortedMap& operator=(const SortedMap&);
    SortedMap& operator=(SortedMap&&) noexcept;
    ~SortedMap();
};

template <class V>
SortedMap<V>::SortedMap() = default;
template <class V>
SortedMap<V>::SortedMap(const SortedMap&) = default;
template <class V>
SortedMap<V>::SortedMap(SortedMap&&) noexcept = default;
template <class V>
SortedMap<V>& SortedMap<V>::operator=(const SortedMap&) = default;
template <class V>
SortedMap<V>& SortedMap<V>::operator=(SortedMap&&) noexcept = default;
template <class V>
SortedMap<V>::~SortedMap() = default;

struct JsonValue;
using JsonObject = SortedMap<JsonValue>;

// Any JSON value; numbers keep the form they were read in.
struct JsonValue {
    using Array = List<JsonValue>;
    std::variant<std::monostate, bool, std::uint64_t, std::int64_t, double, Text, Array,
                 JsonObject>
        v;
};

#define TAVRIK_NEWTYPE(Name, T)               \
    struct Name {                             \
        static constexpr bool newtype = true; \
        T value;                              \
    }

// ---- units and measures ----

struct DistanceUnit {
    struct Meters {};
    struct Kilometers {};
    struct Miles {};
    std::variant<Meters, Kilometers, Miles> v;
};

struct WeightUnit {
    struct Kg {};
    struct Lbs {};
    std::variant<Kg, Lbs> v;
};

struct Measure {
    TAVRIK_NEWTYPE(Reps, std::uint32_t);
    struct Weight {
        double amount;
        WeightUnit unit;
    };
    struct Distance {
        double amount;
        DistanceUnit unit;
    };
    struct Duration {
        double seconds;
    };
    struct Pace {
        DistanceUnit per;
        double seconds;
    };
    struct HeartRate {
        std::uint32_t bpm;
    };
    TAVRIK_NEWTYPE(Calories, std::uint32_t);
    struct Custom {
        Text name;
        JsonValue value;
    };
    std::variant<Reps, Weight, Distance, Duration, Pace, HeartRate, Calories, Custom> v;
};

// ---- execution mode, intensity, payload ----

struct ExecutionMode {
    struct Sequential {};
    struct Parallel {};
    struct Circuit {
        std::uint32_t rounds;
    };
    TAVRIK_NEWTYPE(Custom, Text);
    std::variant<Sequential, Parallel, Circuit, Custom> v;
};

struct Intensity {
    TAVRIK_NEWTYPE(PercentOfMax, double);
    TAVRIK_NEWTYPE(RPE, double);
    TAVRIK_NEWTYPE(RIR, std::uint32_t);
    struct Bodyweight {};
    struct Custom {
        Text name;
        JsonValue value;
    };
    std::variant<PercentOfMax, RPE, RIR, Bodyweight, Custom> v;
};

struct NodePayload {
    struct Leaf {
        List<Measure> measures;
        std::optional<Intensity> intensity;
    };
    struct Exercise {
        List<Measure> measures;
        std::optional<Intensity> intensity;
        std::optional<double> rest_seconds;
    };
    struct Block {
        ExecutionMode execution_mode;
        std::optional<double> rest_seconds;
    };
    struct Temporal {
        std::optional<double> rest_seconds;
    };
    // Every member of the payload object other than the tag.
    struct Custom {
        JsonObject fields;
    };
    std::variant<Leaf, Exercise, Block, Temporal, Custom> v;
};

// ---- recorded data ----

struct Position {
    double lat;
    double lng;
    std::optional<double> altitude;
};

struct StreamMetric {
    struct HeartRate {};
    struct Speed {};
    struct Cadence {};
    struct Power {};
    struct Altitude {};
    struct Grade {};
    struct Temperature {};
    struct Position {};
    TAVRIK_NEWTYPE(Custom, Text);
    std::variant<HeartRate, Speed, Cadence, Power, Altitude, Grade, Temperature, Position, Custom> v;
};

struct StreamData {
    TAVRIK_NEWTYPE(Scalar, List<double>);
    // An absent entry is a sample without a fix.
    TAVRIK_NEWTYPE(Position, List<std::optional<model::Position>>);
    std::variant<Scalar, Position> v;
};

struct Stream {
    StreamMetric metric;
    StreamData data;
};

struct Streams {
    List<double> timestamps;
    List<Stream> channels;
};

struct LapTrigger {
    struct Manual {};
    struct Distance {};
    struct Time {};
    struct HeartRateZone {};
    struct Auto {};
    TAVRIK_NEWTYPE(Custom, Text);
    std::variant<Manual, Distance, Time, HeartRateZone, Auto, Custom> v;
};

struct Lap {
    std::optional<std::uint64_t> start_index;
    std::optional<std::uint64_t> end_index;
    SortedMap<double> summary;
    LapTrigger trigger;
    std::optional<Text> name;
};

// ---- the tree ----

struct NodeKind {
    struct Set {};
    struct Exercise {};
    struct Block {};
    struct Session {};
    struct Day {};
    struct Week {};
    struct Phase {};
    struct Program {};
    TAVRIK_NEWTYPE(Custom, Text);
    std::variant<Set, Exercise, Block, Session, Day, Week, Phase, Program, Custom> v;
};

struct Node {
    Text id;
    NodeKind kind;
    std::optional<Text> name;
    List<Node> children;
    NodePayload payload;
    JsonObject metadata;
};

struct Workout {
    Text id;
    Text version;
    std::optional<Text> sport;
    std::optional<Text> date;
    Node root;
    std::optional<Streams> streams;
    List<Lap> laps;
    JsonObject metadata;
};

#undef TAVRIK_NEWTYPE

}  // namespace tavrik::model
