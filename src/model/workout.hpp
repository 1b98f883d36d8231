// The workout document: records and enumerations, owning all their contents.
//
// Enumerations are std::variant over one small struct per alternative, in the
// alternatives' declared order, so that variant::index() is the variant index that
// messages, tables and the array forms use.  A unit alternative is an empty struct; an
// alternative that carries one value ("newtype") holds it as `value` and says so with
// `newtype`; any other alternative is a record.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

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
    std::vector<std::pair<std::string, V>> entries;
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
    using Array = std::vector<JsonValue>;
    std::variant<std::monostate, bool, std::uint64_t, std::int64_t, double, std::string, Array,
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
        std::string name;
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
    TAVRIK_NEWTYPE(Custom, std::string);
    std::variant<Sequential, Parallel, Circuit, Custom> v;
};

struct Intensity {
    TAVRIK_NEWTYPE(PercentOfMax, double);
    TAVRIK_NEWTYPE(RPE, double);
    TAVRIK_NEWTYPE(RIR, std::uint32_t);
    struct Bodyweight {};
    struct Custom {
        std::string name;
        JsonValue value;
    };
    std::variant<PercentOfMax, RPE, RIR, Bodyweight, Custom> v;
};

struct NodePayload {
    struct Leaf {
        std::vector<Measure> measures;
        std::optional<Intensity> intensity;
    };
    struct Exercise {
        std::vector<Measure> measures;
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
    TAVRIK_NEWTYPE(Custom, std::string);
    std::variant<HeartRate, Speed, Cadence, Power, Altitude, Grade, Temperature, Position, Custom> v;
};

struct StreamData {
    TAVRIK_NEWTYPE(Scalar, std::vector<double>);
    // An absent entry is a sample without a fix.
    TAVRIK_NEWTYPE(Position, std::vector<std::optional<model::Position>>);
    std::variant<Scalar, Position> v;
};

struct Stream {
    StreamMetric metric;
    StreamData data;
};

struct Streams {
    std::vector<double> timestamps;
    std::vector<Stream> channels;
};

struct LapTrigger {
    struct Manual {};
    struct Distance {};
    struct Time {};
    struct HeartRateZone {};
    struct Auto {};
    TAVRIK_NEWTYPE(Custom, std::string);
    std::variant<Manual, Distance, Time, HeartRateZone, Auto, Custom> v;
};

struct Lap {
    std::optional<std::uint64_t> start_index;
    std::optional<std::uint64_t> end_index;
    SortedMap<double> summary;
    LapTrigger trigger;
    std::optional<std::string> name;
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
    TAVRIK_NEWTYPE(Custom, std::string);
    std::variant<Set, Exercise, Block, Session, Day, Week, Phase, Program, Custom> v;
};

struct Node {
    std::string id;
    NodeKind kind;
    std::optional<std::string> name;
    std::vector<Node> children;
    NodePayload payload;
    JsonObject metadata;
};

struct Workout {
    std::string id;
    std::string version;
    std::optional<std::string> sport;
    std::optional<std::string> date;
    Node root;
    std::optional<Streams> streams;
    std::vector<Lap> laps;
    JsonObject metadata;
};

#undef TAVRIK_NEWTYPE

}  // namespace tavrik::model
