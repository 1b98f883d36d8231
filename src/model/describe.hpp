// The vocabulary in which each model type states its JSON form once.
//
// A record lists its fields (name, member, presence) in declaration order; an
// enumeration names its variants in order and says how it is tagged.  Reading from text,
// reading from a buffered value, writing JSON text and building Python objects all walk
// these descriptions, so the forms cannot drift apart.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <tuple>
#include <optional>
#include <type_traits>
#include <vector>

#include "model/workout.hpp"

namespace tavrik::model {

namespace detail {
template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};
template <class T>
struct IsVector : std::false_type {};
template <class T>
struct IsVector<List<T>> : std::true_type {};
template <class T>
struct IsSortedMap : std::false_type {};
template <class V>
struct IsSortedMap<SortedMap<V>> : std::true_type {};

}  // namespace detail

enum class Presence : std::uint8_t {
    Required,  // must be given (optional<> members may be given as null)
    Optional,  // std::optional<>: absent or null means not present; written only when present
    Default,   // list or map: absent means empty; written only when not empty
};

template <class C, class M>
struct Field {
    std::string_view name;
    M C::*member;
    Presence presence;
};

template <class C, class M>
constexpr Field<C, M> required(std::string_view name, M C::*member) {
    return {name, member, Presence::Required};
}
template <class C, class M>
constexpr Field<C, M> optional(std::string_view name, M C::*member) {
    return {name, member, Presence::Optional};
}
template <class C, class M>
constexpr Field<C, M> defaulted(std::string_view name, M C::*member) {
    return {name, member, Presence::Default};
}

// What a holder holds: an optional's value, a list's element, a map's value.  Left
// undefined for anything else, so that `typename Inner<T>::type` tells holders apart.
template <class T>
struct Inner;
template <class T>
struct Inner<std::optional<T>> {
    using type = T;
};
template <class T>
struct Inner<List<T>> {
    using type = T;
};
template <class T>
struct Inner<SortedMap<T>> {
    using type = T;
};

// T without its optional.
template <class T>
struct Unwrapped {
    using type = T;
};
template <class T>
struct Unwrapped<std::optional<T>> : Inner<std::optional<T>> {};

// The element type of a list or a map (void for anything else).
template <class H>
struct ElementOf {
    using type = void;
};
template <class T>
struct ElementOf<List<T>> : Inner<List<T>> {};
template <class V>
struct ElementOf<SortedMap<V>> : Inner<SortedMap<V>> {};

// The member of a tagged object that names its alternative (an array, so that the walk
// can make it a string_view of constant size).
inline constexpr char kTagKey[] = "type";

enum class Style : std::uint8_t {
    Record,    // an object of named fields, or (if it has one) an array of them in order
    Adjacent,  // {"type": name, "<content key>": content}, or [name, content]
    Internal,  // {"type": name, ...the alternative's own members}, or [name, ...fields]
    External,  // "Name" for a unit alternative, {"Name": content} otherwise
    Flatten,   // a record that is all the members its enclosing object has left
};

// Specialised for every model type (see forms.hpp).
template <class T>
struct Describe;

template <class T>
concept Described = requires { Describe<T>::style; };

// The alternative kinds of an enumeration's variants.
template <class A>
concept UnitAlternative = std::is_empty_v<A>;
template <class A>
concept NewtypeAlternative = requires { A::newtype; };

template <class D>
constexpr std::size_t field_count() {
    return std::tuple_size_v<std::remove_cvref_t<decltype(D::fields)>>;
}

// The names of a record's fields, in order.
template <class D, std::size_t... I>
constexpr auto field_names_impl(std::index_sequence<I...>) {
    return std::array<std::string_view, sizeof...(I)>{std::get<I>(D::fields).name...};
}
template <class D>
constexpr auto field_names() {
    return field_names_impl<D>(std::make_index_sequence<field_count<D>()>{});
}

namespace detail {
template <class P>
struct FieldOwner;
template <class C, class M>
struct FieldOwner<M C::*> {
    using type = C;
};
}  // namespace detail

// The name that the description of its record gives the member `Member`.
template <auto Member>
constexpr std::string_view member_name() {
    using D = Describe<typename detail::FieldOwner<decltype(Member)>::type>;
    return []<std::size_t... I>(std::index_sequence<I...>) {
        std::string_view name;
        (void)(([&] {
             if constexpr (std::is_same_v<decltype(std::get<I>(D::fields).member), decltype(Member)>) {
                 if (std::get<I>(D::fields).member == Member) {
                     name = std::get<I>(D::fields).name;
                     return true;
                 }
             }
             return false;
         }()) ||
         ...);
        return name;
    }(std::make_index_sequence<field_count<D>()>{});
}

}  // namespace tavrik::model
