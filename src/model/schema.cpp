#include "model/schema.hpp"

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "json/writer.hpp"
#include "model/named.hpp"
#include "model/notes.hpp"

namespace tavrik::model {

namespace {

using json::Writer;
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
        value_schema<typename Inner<T>::type>(w);
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

// Calls each(field, index_constant) for every field of the record description D, in order;
// the index is a constant so that the field's member pointer can key its note.
template <class D, class Each>
void each_field_constant(Each&& each) {
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (each(std::get<I>(D::fields), std::integral_constant<std::size_t, I>{}), ...);
    }(std::make_index_sequence<field_count<D>()>{});
}

template <class D, std::size_t I>
constexpr std::string_view field_meaning() {
    constexpr auto member = std::get<I>(D::fields).member;
    static_assert(HasMemberNote<member>, "every field needs its meaning in notes.hpp");
    return MemberNote<member>::text;
}

template <class A>
constexpr std::string_view alternative_meaning() {
    static_assert(HasAlternativeNote<A>, "every tagged alternative needs its meaning in notes.hpp");
    return AlternativeNote<A>::text;
}

// Editors attach a schema to a document by this member; only the document's own object
// may carry it, and the module reads it as a member it does not know.
void schema_reference_property(Writer& w) {
    w.key("$schema");
    w.begin_object();
    text_member(w, "description",
                "The schema this document follows, for editors. Not part of the workout: the module "
                "skips it as a member it does not know.");
    text_member(w, "type", "string");
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
    if constexpr (std::is_same_v<A, Workout>) schema_reference_property(w);
    if (!tag.empty()) {
        w.key(kTagKey);
        const_schema(w, tag);
    }
    each_field_constant<D>([&](const auto& field, auto index) {
        w.key(field.name);
        w.begin_object();
        text_member(w, "description",
                    std::string(field_meaning<D, index()>()) + " " +
                        member_note(members, field.name, field.presence));
        type_keywords<written_type<decltype(field)>>(w, field.presence);
        w.end_object();
    });
    w.end_object();
    w.key("required");
    w.begin_array(0);
    if (!tag.empty()) w.string(kTagKey);
    each_field<D>([&](const auto& field, std::size_t) {
        if (field.presence == Presence::Required) w.string(field.name);
    });
    w.end_array();
    w.key("additionalProperties");
    w.boolean(false);
}

// The tagged enumerations are chosen by their tag: the tag's own schema lists the names,
// and one if/then per alternative applies that alternative's schema only when the tag
// names it.  So a checker reports a fault inside the alternative the document chose (a
// wrong unit as a wrong unit) instead of "valid under none of" every alternative.

void tag_property(Writer& w, std::string_view description, const std::vector<std::string_view>& names) {
    w.key(kTagKey);
    w.begin_object();
    text_member(w, "description", description);
    w.key("enum");
    w.begin_array(names.size());
    for (auto name : names) w.string(name);
    w.end_array();
    w.end_object();
}

template <class T>
std::vector<std::string_view> variant_names() {
    return {Describe<T>::variants.begin(), Describe<T>::variants.end()};
}

// Opens {"if": tag is `name`, "then": {... (left open for the alternative's keywords).
void open_when_tag_is(Writer& w, std::string_view name, std::string_view title, std::string_view description) {
    w.begin_object();
    w.key("if");
    w.begin_object();
    w.key("properties");
    w.begin_object();
    w.key(kTagKey);
    const_schema(w, name);
    w.end_object();
    w.key("required");
    w.begin_array(1);
    w.string(kTagKey);
    w.end_array();
    w.end_object();
    w.key("then");
    w.begin_object();
    text_member(w, "title", title);
    text_member(w, "description", description);
}

void close_when_tag_is(Writer& w) {
    w.end_object();
    w.end_object();
}

// The members an alternative allows beside the tag: only `type` and, when given, the
// content member.
void tag_and_content_only(Writer& w, std::string_view content_key) {
    w.key("additionalProperties");
    w.boolean(false);
    if (content_key.empty()) return;
    w.key("required");
    w.begin_array(1);
    w.string(content_key);
    w.end_array();
}

// An object whose "type" member names the alternative, with a conditional schema for
// each alternative, which `each(index, name, title)` writes between the tag's test and
// its close.
template <class T, class Each>
void tagged_object(Writer& w, Each&& each) {
    text_member(w, "type", "object");
    w.key("properties");
    w.begin_object();
    tag_property(w, "Names the alternative; the members beside it depend on it.", variant_names<T>());
    w.end_object();
    w.key("required");
    w.begin_array(1);
    w.string(kTagKey);
    w.end_array();
    w.key("allOf");
    w.begin_array(0);
    each_alternative<T>([&](auto index) {
        const std::string_view name = Describe<T>::variants[index()];
        each(index, name, std::string(Named<T>::name) + " " + std::string(name));
        close_when_tag_is(w);
    });
    w.end_array();
}

template <class T>
void adjacent_keywords(Writer& w) {
    using D = Describe<T>;
    tagged_object<T>(w, [&](auto index, std::string_view name, const std::string& title) {
        using A = alternative<T, index()>;
        if constexpr (UnitAlternative<A>) {
            open_when_tag_is(w, name, title, std::string(alternative_meaning<A>()) + " " + tag_note(name));
            w.key("properties");
            w.begin_object();
            w.key(kTagKey);
            w.boolean(true);
            w.end_object();
            tag_and_content_only(w, {});
        } else {
            open_when_tag_is(w, name, title,
                             std::string(alternative_meaning<A>()) + " " + tag_note(name, D::content_key));
            w.key("properties");
            w.begin_object();
            w.key(kTagKey);
            w.boolean(true);
            w.key(D::content_key);
            if constexpr (NewtypeAlternative<A>) {
                w.begin_object();
                text_member(w, "description", alternative_meaning<A>());
                type_keywords<decltype(A::value)>(w);
                w.end_object();
            } else {
                w.begin_object();
                text_member(w, "description",
                            std::string(alternative_meaning<A>()) + " " + record_note(member_names<Describe<A>>()));
                record_keywords<A>(w);
                w.end_object();
            }
            w.end_object();
            tag_and_content_only(w, D::content_key);
        }
    });
}

template <class T>
void internal_keywords(Writer& w) {
    tagged_object<T>(w, [&](auto index, std::string_view name, const std::string& title) {
        using A = alternative<T, index()>;
        if constexpr (Describe<A>::style == Style::Flatten) {
            open_when_tag_is(w, name, title, std::string(alternative_meaning<A>()) + " " + free_members_note(name));
            w.key("additionalProperties");
            value_schema<JsonValue>(w);
        } else {
            open_when_tag_is(w, name, title,
                             std::string(alternative_meaning<A>()) + " " +
                                 record_note(member_names<Describe<A>>(name)));
            record_keywords<A>(w, name);
        }
    });
}

// A name for the alternatives without content; an object of one member, named after
// the alternative, for the others.
template <class T>
void external_keywords(Writer& w) {
    using D = Describe<T>;
    w.key("type");
    w.begin_array(2);
    w.string("string");
    w.string("object");
    w.end_array();
    w.key("if");
    w.begin_object();
    text_member(w, "type", "string");
    w.end_object();
    w.key("then");
    w.begin_object();
    w.key("enum");
    w.begin_array(0);
    each_alternative<T>([&](auto index) {
        if constexpr (UnitAlternative<alternative<T, index()>>) w.string(D::variants[index()]);
    });
    w.end_array();
    w.end_object();
    w.key("else");
    w.begin_object();
    w.key("properties");
    w.begin_object();
    each_alternative<T>([&](auto index) {
        using A = alternative<T, index()>;
        if constexpr (!UnitAlternative<A>) {
            const std::string_view name = D::variants[index()];
            w.key(name);
            w.begin_object();
            text_member(w, "description", external_note(name));
            type_keywords<decltype(A::value)>(w);
            w.end_object();
        }
    });
    w.end_object();
    w.key("minProperties");
    w.u64(1);
    w.key("maxProperties");
    w.u64(1);
    w.key("additionalProperties");
    w.boolean(false);
    w.end_object();
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
            if constexpr (D::style == Style::Adjacent) adjacent_keywords<T>(w);
            else if constexpr (D::style == Style::Internal) internal_keywords<T>(w);
            else external_keywords<T>(w);
        }
    }
    w.end_object();
}

// What a JSON Schema cannot see, said where every user of the schema reads it.  The tests
// hold an example document for each sentence on which this schema and the module disagree.
constexpr std::string_view limits_note =
    "The shape of a workout as tavrik_workout_sdk.to_json writes it: members in a fixed order, empty "
    "and absent members left out, no other members (a top-level \"$schema\" member aside). Input "
    "that the module reads but never writes (null or empty members, unknown members, the array "
    "forms, tags given as objects) is flagged. "
    "What this schema cannot check, and the module does: "
    "(1) integer members written with a fraction, an exponent or as -0 (10.0, 1e1, -0 pass here, the "
    "module wants 10 and 0); "
    "(2) nesting depth: the module reads at most 127 nested arrays and objects, free-form values "
    "included; "
    "(3) repeated members: JSON readers keep the last, the module rejects a repeated member of a "
    "record (in free-form maps the last one wins); "
    "(4) numbers out of range of a double, such as 1e400, which the module rejects; "
    "(5) strings with an unpaired surrogate escape such as \"\\udc00\", which the module rejects; "
    "(6) the structural rules of the tree (which payload suits which kind, sets with measures, "
    "blocks with children, what may sit under a block): validate_workout. "
    "What neither this schema nor the module checks: "
    "(7) duplicate or empty node ids; "
    "(8) recorded data that disagrees with itself (timestamps out of order, channels of another "
    "length, lap indices beyond the samples); "
    "(9) the normal form's spelling: number forms such as 90 for 90.0, member order and layout "
    "(compare with to_json); "
    "(10) free-form numbers that a double cannot hold exactly, such as an integer beyond 64 bits, "
    "which to_json writes back rounded.";

}  // namespace

std::string workout_schema() {
    Writer w;
    w.begin_object();
    text_member(w, "$schema", "https://json-schema.org/draft/2020-12/schema");
    // A name, not a location: the schema travels with the package and the repository.
    text_member(w, "$id", "urn:tavrik-workout:workout.schema.json");
    text_member(w, "title", "Workout document (normal form)");
    text_member(w, "description", limits_note);
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
