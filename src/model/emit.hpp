// Writing a model value into a sink, driven by the descriptions in forms.hpp.
//
// The same walk feeds the JSON text writer and the conversion into Python objects, so
// member order and omissions are stated once.  A sink offers begin_object(), end_object(),
// begin_array(n), end_array(), the member names field() (a name of the format, from a
// static table) and key() (a key of the data), and the scalars null(), boolean(), u64(),
// i64(), f64() and string(); optionally f64_list() for a whole list of doubles.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "model/describe.hpp"
#include "model/forms.hpp"
#include "model/workout.hpp"

namespace tavrik::model {

template <class Sink, class T>
void emit(Sink& sink, const T& value);

namespace detail {

template <class T>
bool is_present(const std::optional<T>& v) {
    return v.has_value();
}
template <class T>
bool is_present(const List<T>& v) {
    return !v.empty();
}
template <class V>
bool is_present(const SortedMap<V>& v) {
    return !v.empty();
}
template <class T>
bool is_present(const T&) {
    return true;
}

template <class T>
void emit_present(auto& sink, const std::optional<T>& v) {
    emit(sink, *v);
}
template <class T>
void emit_present(auto& sink, const T& v) {
    emit(sink, v);
}

// The members of a record, in declaration order, leaving out what is absent or empty.
template <class Sink, class T>
void emit_fields(Sink& sink, const T& value) {
    using D = Describe<T>;
    std::apply(
        [&](const auto&... field) {
            (
                [&] {
                    const auto& member = value.*(field.member);
                    if (field.presence != Presence::Required && !is_present(member)) return;
                    sink.field(field.name);
                    emit_present(sink, member);
                }(),
                ...);
        },
        D::fields);
}

template <class Sink, class T>
void emit_content(Sink& sink, const T& alternative) {
    if constexpr (NewtypeAlternative<T>) {
        emit(sink, alternative.value);
    } else {
        emit(sink, alternative);
    }
}

}  // namespace detail

template <class Sink, class T>
void emit(Sink& sink, const T& value) {
    using namespace detail;
    if constexpr (std::is_same_v<T, Text>) {
        sink.string(value);
    } else if constexpr (std::is_same_v<T, double>) {
        sink.f64(value);
    } else if constexpr (std::is_same_v<T, std::uint32_t> || std::is_same_v<T, std::uint64_t>) {
        sink.u64(value);
    } else if constexpr (std::is_same_v<T, JsonValue>) {
        std::visit(
            [&](const auto& v) {
                using V = std::decay_t<decltype(v)>;
                if constexpr (std::is_same_v<V, std::monostate>) sink.null();
                else if constexpr (std::is_same_v<V, bool>) sink.boolean(v);
                else if constexpr (std::is_same_v<V, std::uint64_t>) sink.u64(v);
                else if constexpr (std::is_same_v<V, std::int64_t>) sink.i64(v);
                else emit(sink, v);
            },
            value.v);
    } else if constexpr (IsOptional<T>::value) {
        // Only list entries reach here: an absent entry is null.
        if (value) emit(sink, *value);
        else sink.null();
    } else if constexpr (IsVector<T>::value) {
        // A sink may take a list of samples whole.
        if constexpr (std::is_same_v<T, List<double>> && requires { sink.f64_list(value); }) {
            sink.f64_list(value);
            return;
        }
        sink.begin_array(value.size());
        for (const auto& item : value) emit(sink, item);
        sink.end_array();
    } else if constexpr (IsSortedMap<T>::value) {
        sink.begin_object();
        for (const auto& [key, item] : value.entries) {
            sink.key(key);
            emit(sink, item);
        }
        sink.end_object();
    } else {
        using D = Describe<T>;
        if constexpr (D::style == Style::Record) {
            sink.begin_object();
            emit_fields(sink, value);
            sink.end_object();
        } else if constexpr (D::style == Style::Adjacent) {
            std::visit(
                [&](const auto& alternative) {
                    sink.begin_object();
                    sink.field(kTagKey);
                    sink.string(D::variants[value.v.index()]);
                    if constexpr (!UnitAlternative<std::decay_t<decltype(alternative)>>) {
                        sink.field(D::content_key);
                        emit_content(sink, alternative);
                    }
                    sink.end_object();
                },
                value.v);
        } else if constexpr (D::style == Style::Internal) {
            std::visit(
                [&](const auto& alternative) {
                    using A = std::decay_t<decltype(alternative)>;
                    sink.begin_object();
                    sink.field(kTagKey);
                    sink.string(D::variants[value.v.index()]);
                    if constexpr (Describe<A>::style == Style::Flatten) {
                        for (const auto& [key, item] : (alternative.*(Describe<A>::member)).entries) {
                            sink.key(key);
                            emit(sink, item);
                        }
                    } else {
                        emit_fields(sink, alternative);
                    }
                    sink.end_object();
                },
                value.v);
        } else {
            static_assert(D::style == Style::External);
            std::visit(
                [&](const auto& alternative) {
                    const auto name = D::variants[value.v.index()];
                    if constexpr (UnitAlternative<std::decay_t<decltype(alternative)>>) {
                        sink.string(name);
                    } else {
                        sink.begin_object();
                        sink.field(name);
                        emit_content(sink, alternative);
                        sink.end_object();
                    }
                },
                value.v);
        }
    }
}

}  // namespace tavrik::model
