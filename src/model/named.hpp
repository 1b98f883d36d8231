// The model types that editors and type checkers see by name, with a title and a plain
// description for each, and a walk that reaches every one of them from the workout.
//
// The walk follows the descriptions in forms.hpp, so a type that a description comes to
// use is reached at once; one without a name here stops the build.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "model/describe.hpp"
#include "model/forms.hpp"
#include "model/workout.hpp"

namespace tavrik::model {

template <class T>
struct Named;

#define TAVRIK_NAMED(Type, Title, Text)                            \
    template <>                                                    \
    struct Named<Type> {                                           \
        static constexpr std::string_view name = #Type;            \
        static constexpr std::string_view title = Title;           \
        static constexpr std::string_view text = Text;             \
    }

TAVRIK_NAMED(Workout, "Workout",
             "One workout document: the tree of training nodes under `root`, and what was recorded "
             "while it was performed.");
TAVRIK_NAMED(Node, "Training node",
             "One node of the training tree: a program, phase, week, day, session, block, exercise or "
             "set, with what it prescribes and its child nodes.");
TAVRIK_NAMED(NodeKind, "Node kind",
             "What the node stands for. `type` names the kind; a `Custom` kind gives its own name in "
             "`value`.");
TAVRIK_NAMED(NodePayload, "Payload",
             "What the node prescribes, named by `type`: measures for a `Leaf` or an `Exercise`, how "
             "children run for a `Block`, a rest for a `Temporal` grouping, or free members for `Custom`.");
TAVRIK_NAMED(ExecutionMode, "Execution mode", "How the children of a block are run.");
TAVRIK_NAMED(Intensity, "Intensity", "How hard a prescription is meant to be.");
TAVRIK_NAMED(Measure, "Measure",
             "One prescribed quantity: `type` names it and `value` gives the amount.");
TAVRIK_NAMED(DistanceUnit, "Distance unit", "The unit of a distance or of a pace.");
TAVRIK_NAMED(WeightUnit, "Weight unit", "The unit of a load.");
TAVRIK_NAMED(Streams, "Recorded streams",
             "Samples recorded during the workout: one list of timestamps and the channels sampled at "
             "them.");
TAVRIK_NAMED(Stream, "Recorded channel", "One recorded channel: what it measures and its samples.");
TAVRIK_NAMED(StreamMetric, "Channel metric",
             "What a channel records: a metric's name, or an object naming a custom metric.");
TAVRIK_NAMED(StreamData, "Channel samples",
             "The samples of a channel: numbers for `Scalar`, positions (or null where there was no "
             "fix) for `Position`.");
TAVRIK_NAMED(Position, "Position", "One geographic sample in degrees, with an optional altitude.");
TAVRIK_NAMED(Lap, "Lap", "One lap: the sample range it covers, its summary figures and what ended it.");
TAVRIK_NAMED(LapTrigger, "Lap trigger",
             "What ended a lap: a trigger's name, or an object naming a custom trigger.");
TAVRIK_NAMED(JsonValue, "Any JSON value",
             "Free-form content: any JSON value; objects are written with their keys in ascending order.");

#undef TAVRIK_NAMED

template <class T>
concept HasName = requires { Named<T>::name; };

namespace detail {

template <class F>
struct FieldMember;
template <class C, class M>
struct FieldMember<Field<C, M>> {
    using type = M;
};

}  // namespace detail

// The member type of a field of a description's `fields` tuple.
template <class F>
using field_type = typename detail::FieldMember<std::remove_cvref_t<F>>::type;

namespace detail {
template <class M>
struct Written {
    using type = M;
};
template <class M>
struct Written<std::optional<M>> {
    using type = M;
};
}  // namespace detail

// The type a member is written as: an optional member is written only when present.
template <class F>
using written_type = typename detail::Written<field_type<F>>::type;

// The type of alternative I of an enumeration.
template <class T, std::size_t I>
using alternative = std::variant_alternative_t<I, decltype(T::v)>;

template <class T>
constexpr std::size_t alternative_count = std::variant_size_v<decltype(T::v)>;

// Calls each(index_constant) for every alternative of T, in order.
template <class T, class Each>
void each_alternative(Each&& each) {
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (each(std::integral_constant<std::size_t, I>{}), ...);
    }(std::make_index_sequence<alternative_count<T>>{});
}

// Calls each(field, index) for every field of the record description D, in order.
template <class D, class Each>
void each_field(Each&& each) {
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (each(std::get<I>(D::fields), I), ...);
    }(std::make_index_sequence<field_count<D>()>{});
}

namespace detail {

template <class T>
constexpr bool is_scalar = std::is_same_v<T, Text> || std::is_same_v<T, double> ||
                           std::is_same_v<T, std::uint32_t> || std::is_same_v<T, std::uint64_t>;

template <class U, class Visit>
void reach(std::set<std::string_view>& seen, Visit& visit);

template <class U, class Visit>
void reach_fields(std::set<std::string_view>& seen, Visit& visit) {
    each_field<Describe<U>>([&](const auto& field, std::size_t) {
        reach<field_type<decltype(field)>>(seen, visit);
    });
}

template <class U, class Visit>
void reach_contents(std::set<std::string_view>& seen, Visit& visit) {
    if constexpr (Describe<U>::style == Style::Record) {
        reach_fields<U>(seen, visit);
    } else {
        each_alternative<U>([&](auto index) {
            using A = alternative<U, index()>;
            if constexpr (NewtypeAlternative<A>) {
                reach<decltype(A::value)>(seen, visit);
            } else if constexpr (UnitAlternative<A>) {
            } else if constexpr (Describe<A>::style == Style::Flatten) {
                reach<JsonValue>(seen, visit);
            } else {
                reach_fields<A>(seen, visit);
            }
        });
    }
}

template <class U, class Visit>
void reach(std::set<std::string_view>& seen, Visit& visit) {
    if constexpr (is_scalar<U>) {
    } else if constexpr (requires { typename Inner<U>::type; }) {
        reach<typename Inner<U>::type>(seen, visit);
    } else {
        static_assert(HasName<U>, "every model type that a description uses needs a Named<>");
        if (!seen.insert(Named<U>::name).second) return;
        visit(std::type_identity<U>{});
        if constexpr (!std::is_same_v<U, JsonValue>) reach_contents<U>(seen, visit);
    }
}

}  // namespace detail

// Calls visit(std::type_identity<T>{}) once for every named type that a workout holds,
// the workout first and every type before the types it holds.
template <class Visit>
void each_named_type(Visit&& visit) {
    std::set<std::string_view> seen;
    detail::reach<Workout>(seen, visit);
}

// ---- plain words shared by the schema's descriptions and the stubs' docstrings ----

// A record's member names in the order written, after the tag when one is given.
template <class D>
std::vector<std::string_view> member_names(std::string_view tag = {}) {
    std::vector<std::string_view> names;
    if (!tag.empty()) names.push_back(kTagKey);
    each_field<D>([&](const auto& field, std::size_t) { names.push_back(field.name); });
    return names;
}

inline std::string quoted_list(const std::vector<std::string_view>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        text += i == 0 ? "" : i + 1 == names.size() ? " and " : ", ";
        text += '`';
        text += names[i];
        text += '`';
    }
    return text;
}

inline std::string record_note(const std::vector<std::string_view>& members) {
    return "Members are written in this order: " + quoted_list(members) + ".";
}

// Where one member stands and when it is left out.
inline std::string member_note(const std::vector<std::string_view>& members, std::string_view name,
                               Presence presence) {
    std::size_t at = 0;
    while (members[at] != name) ++at;
    std::string text = "Member " + std::to_string(at + 1) + " of " + std::to_string(members.size());
    if (at > 0) text += std::string(", after `") + std::string(members[at - 1]) + "`";
    text += presence == Presence::Required   ? "; always written."
            : presence == Presence::Optional ? "; left out when absent."
                                             : "; left out when empty.";
    return text;
}

inline std::string tag_note(std::string_view name, std::string_view content_key = {}) {
    std::string text = "`type` is \"" + std::string(name) + "\"";
    if (!content_key.empty()) text += ", then `" + std::string(content_key) + "`";
    return text + ".";
}

inline std::string free_members_note(std::string_view name) {
    return "`type` is \"" + std::string(name) +
           "\"; every other member is free-form and written in ascending key order.";
}

inline std::string external_note(std::string_view name) {
    return "An object whose only member `" + std::string(name) + "` holds the name.";
}

template <class T>
constexpr bool all_units() {
    return []<std::size_t... I>(std::index_sequence<I...>) {
        return (UnitAlternative<alternative<T, I>> && ...);
    }(std::make_index_sequence<alternative_count<T>>{});
}

template <class T>
std::string variants_note() {
    using D = Describe<T>;
    std::vector<std::string_view> names(D::variants.begin(), D::variants.end());
    if constexpr (D::style == Style::External) {
        return "One of " + quoted_list(names) + ".";
    } else {
        return "`type` is one of " + quoted_list(names) + ".";
    }
}

}  // namespace tavrik::model
