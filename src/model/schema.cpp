#include "model/schema.hpp"

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "json/writer.hpp"
#include "model/named.hpp"

namespace tavrik::model {

namespace {

using json::Writer;
using detail::Inner;
using detail::IsOptional;
using detail::IsSortedMap;
using detail::IsVector;

void text_member(Writer& w, std::string_view key, std::string_view text) {
    w.key(key);
    w.string(text);
}

void const_schema(Writer& w, std::string_view name) {
    w.begin_object();
    text_member(w, "const", name);
    w.end_object();
}

template <class T>
void value_schema(Writer& w);

// The keywords that constrain a value of type T, inside an object already open.  A member
// left out when empty is never written empty, and says so.
template <class T>
void type_keywords(Writer& w, Presence presence = Presence::Required) {
    if constexpr (std::is_same_v<T, Text>) {
        text_member(w, "type", "string");
    } else if constexpr (std::is_same_v<T, double>) {
        text_member(w, "type", "number");
    } else if constexpr (std::is_same_v<T, std::uint32_t> || std::is_same_v<T, std::uint64_t>) {
        text_member(w, "type", "integer");
        w.key("minimum");
        w.u64(0);
        w.key("maximum");
        w.u64(std::numeric_limits<T>::max());
    } else if constexpr (IsOptional<T>::value) {
        // Only list entries: an absent entry is null.
        w.key("oneOf");
        w.begin_array(2);
        value_schema<typename T::value_type>(w);
        w.begin_object();
        text_member(w, "type", "null");
        w.end_object();
        w.end_array();
    } else if constexpr (IsVector<T>::value) {
        text_member(w, "type", "array");
        w.key("items");
        value_schema<typename T::value_type>(w);
        if (presence == Presence::Default) {
            w.key("minItems");
            w.u64(1);
        }
    } else if constexpr (IsSortedMap<T>::value) {
        text_member(w, "type", "object");
        w.key("additionalProperties");
        value_schema<typename detail::Inner<T>::type>(w);
        if (presence == Presence::Default) {
            w.key("minProperties");
            w.u64(1);
        }
    } else {
        text_member(w, "$ref", "#/$defs/" + std::string(Named<T>::name));
    }
}

template <class T>
void value_schema(Writer& w) {
    w.begin_object();
    type_keywords<T>(w);
    w.end_object();
}

// An object of the record A's fields, after the tag `type` when one is given.
template <class A>
void record_keywords(Writer& w, std::string_view tag = {}) {
    using D = Describe<A>;
    const auto members = member_names<D>(tag);
    text_member(w, "type", "object");
    w.key("properties");
    w.begin_object();
    if (!tag.empty()) {
        w.key("type");
        const_schema(w, tag);
    }
    each_field<D>([&](const auto& field, std::size_t) {
        w.key(field.name);
        w.begin_object();
        text_member(w, "description", member_note(members, field.name, field.presence));
        type_keywords<written_type<decltype(field)>>(w, field.presence);
        w.end_object();
    });
    w.end_object();
    w.key("required");
    w.begin_array(0);
    if (!tag.empty()) w.string("type");
    each_field<D>([&](const auto& field, std::size_t) {
        if (field.presence == Presence::Required) w.string(field.name);
    });
    w.end_array();
    w.key("additionalProperties");
    w.boolean(false);
}

// {"title": name, "type": "object", "properties": ..., "required": [...], no other member}
// for one alternative of a tagged enumeration.
void alternative_open(Writer& w, std::string_view name, std::string_view description) {
    w.begin_object();
    text_member(w, "title", name);
    text_member(w, "description", description);
    text_member(w, "type", "object");
}

// Opens "properties" with the tag member `type` fixed to `name`.
void open_tagged_properties(Writer& w, std::string_view name) {
    w.key("properties");
    w.begin_object();
    w.key("type");
    const_schema(w, name);
}

void closed_required(Writer& w, std::initializer_list<std::string_view> required) {
    w.key("required");
    w.begin_array(required.size());
    for (auto name : required) w.string(name);
    w.end_array();
    w.key("additionalProperties");
    w.boolean(false);
}

template <class T>
void adjacent_alternatives(Writer& w) {
    using D = Describe<T>;
    each_alternative<T>([&](auto index) {
        using A = alternative<T, index()>;
        const std::string_view name = D::variants[index()];
        if constexpr (UnitAlternative<A>) {
            alternative_open(w, name, tag_note(name));
            open_tagged_properties(w, name);
            w.end_object();
            closed_required(w, {"type"});
        } else {
            alternative_open(w, name, tag_note(name, D::content_key));
            open_tagged_properties(w, name);
            w.key(D::content_key);
            if constexpr (NewtypeAlternative<A>) {
                value_schema<decltype(A::value)>(w);
            } else {
                w.begin_object();
                record_keywords<A>(w);
                w.end_object();
            }
            w.end_object();
            closed_required(w, {"type", D::content_key});
        }
        w.end_object();
    });
}

template <class T>
void internal_alternatives(Writer& w) {
    using D = Describe<T>;
    each_alternative<T>([&](auto index) {
        using A = alternative<T, index()>;
        const std::string_view name = D::variants[index()];
        if constexpr (Describe<A>::style == Style::Flatten) {
            alternative_open(w, name, free_members_note(name));
            open_tagged_properties(w, name);
            w.end_object();
            w.key("required");
            w.begin_array(1);
            w.string("type");
            w.end_array();
            w.key("additionalProperties");
            value_schema<JsonValue>(w);
            w.end_object();
        } else {
            w.begin_object();
            text_member(w, "title", name);
            text_member(w, "description", record_note(member_names<Describe<A>>(name)));
            record_keywords<A>(w, name);
            w.end_object();
        }
    });
}

template <class T>
void external_alternatives(Writer& w) {
    using D = Describe<T>;
    w.begin_object();
    w.key("enum");
    w.begin_array(0);
    each_alternative<T>([&](auto index) {
        if constexpr (UnitAlternative<alternative<T, index()>>) w.string(D::variants[index()]);
    });
    w.end_array();
    w.end_object();
    each_alternative<T>([&](auto index) {
        using A = alternative<T, index()>;
        if constexpr (!UnitAlternative<A>) {
            const std::string_view name = D::variants[index()];
            alternative_open(w, name, external_note(name));
            w.key("properties");
            w.begin_object();
            w.key(name);
            value_schema<decltype(A::value)>(w);
            w.end_object();
            closed_required(w, {name});
            w.end_object();
        }
    });
}

template <class T>
void definition(Writer& w) {
    w.key(Named<T>::name);
    w.begin_object();
    text_member(w, "title", Named<T>::title);
    if constexpr (std::is_same_v<T, JsonValue>) {
        text_member(w, "description", Named<T>::text);
    } else {
        using D = Describe<T>;
        if constexpr (D::style == Style::Record) {
            text_member(w, "description", std::string(Named<T>::text) + " " + record_note(member_names<D>()));
            record_keywords<T>(w);
        } else if constexpr (D::style == Style::External && all_units<T>()) {
            text_member(w, "description", Named<T>::text);
            w.key("enum");
            w.begin_array(D::variants.size());
            for (auto name : D::variants) w.string(name);
            w.end_array();
        } else {
            text_member(w, "description", std::string(Named<T>::text) + " " + variants_note<T>());
            w.key("oneOf");
            w.begin_array(0);
            if constexpr (D::style == Style::Adjacent) adjacent_alternatives<T>(w);
            else if constexpr (D::style == Style::Internal) internal_alternatives<T>(w);
            else external_alternatives<T>(w);
            w.end_array();
        }
    }
    w.end_object();
}

}  // namespace

std::string workout_schema() {
    Writer w;
    w.begin_object();
    text_member(w, "$schema", "https://json-schema.org/draft/2020-12/schema");
    text_member(w, "title", "Workout document (normal form)");
    text_member(w, "description",
                "The shape of a workout as tavrik_workout_sdk.to_json writes it: members in a fixed "
                "order, empty and absent members left out, no other members. The rules that tie "
                "nodes together (which payload suits which kind, identifiers, counts) are checked "
                "by validate_workout, not here.");
    text_member(w, "$ref", "#/$defs/Workout");
    w.key("$defs");
    w.begin_object();
    each_named_type([&](auto type) { definition<typename decltype(type)::type>(w); });
    w.end_object();
    w.end_object();
    std::string text = w.take();
    text += '\n';
    return text;
}

}  // namespace tavrik::model
