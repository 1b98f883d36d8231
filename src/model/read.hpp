// Typed reading, generic over the source (JSON text or a buffered value), driven by the
// descriptions in forms.hpp.  Each read fills `out` or returns the first error.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "json/source.hpp"
#include "model/describe.hpp"
#include "model/forms.hpp"
#include "model/workout.hpp"

namespace tavrik::model {

using json::Error;
using json::Number;
using json::Status;
template <class T>
using Result = json::Result<T>;

template <class S, class T>
Status read_into(S& src, T& out);

namespace detail {

inline Status fail(Error e) { return std::unexpected(std::move(e)); }

// Sorts by key bytes and keeps the last value of a repeated key.
template <class V>
void finish_sorted(List<std::pair<Text, V>>& entries) {
    std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::size_t out = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (i + 1 < entries.size() && entries[i + 1].first == entries[i].first) continue;
        if (out != i) entries[out] = std::move(entries[i]);
        ++out;
    }
    entries.resize(out);
}

template <class T>
Status to_unsigned(const Number& n, T& out, std::string_view word) {
    switch (n.kind) {
        case Number::Kind::Unsigned:
            if (n.u > std::numeric_limits<T>::max()) return fail(json::invalid_value(n.unexpected(), word));
            out = static_cast<T>(n.u);
            return {};
        case Number::Kind::Signed: return fail(json::invalid_value(n.unexpected(), word));
        case Number::Kind::Double: break;
    }
    return fail(json::invalid_type(n.unexpected(), word));
}

// ---- any value ----

// Builds a JsonValue from any JSON value.
struct JsonValueVisitor {
    Result<JsonValue> null() { return JsonValue{std::monostate{}}; }
    Result<JsonValue> boolean(bool b) { return JsonValue{b}; }
    Result<JsonValue> number(const Number& n) {
        switch (n.kind) {
            case Number::Kind::Unsigned: return JsonValue{n.u};
            case Number::Kind::Signed: return JsonValue{n.i};
            case Number::Kind::Double: break;
        }
        return JsonValue{n.d};
    }
    Result<JsonValue> string(std::string_view s) { return JsonValue{Text(s)}; }
    template <class Seq>
    Result<JsonValue> array(Seq& seq) {
        JsonValue::Array items;
        for (;;) {
            auto more = seq.has_next();
            if (!more) return std::unexpected(std::move(more.error()));
            if (!*more) break;
            auto&& element = seq.element();
            auto item = element.read_any(*this);
            if (!item) return item;
            items.push_back(std::move(*item));
        }
        return JsonValue{std::move(items)};
    }
    template <class Map>
    Result<JsonValue> object(Map& map) {
        JsonObject obj;
        if (auto s = read_members(map, obj); !s) return std::unexpected(std::move(s.error()));
        return JsonValue{std::move(obj)};
    }
    // Every member of a map into a JsonObject.
    template <class Map>
    Status read_members(Map& map, JsonObject& obj) {
        for (;;) {
            auto key = map.next_key();
            if (!key) return fail(std::move(key.error()));
            if (!*key) break;
            Text name(**key);
            auto src = map.value();
            if (!src) return fail(std::move(src.error()));
            auto item = json::deref(*src).read_any(*this);
            if (!item) return fail(std::move(item.error()));
            obj.entries.emplace_back(std::move(name), std::move(*item));
        }
        finish_sorted(obj.entries);
        return {};
    }
};

// Accepts null only; the content of a unit variant given with a value.
template <class D, std::size_t I>
struct UnitContentVisitor {
    static Status reject(std::string_view unexpected) {
        std::string expected = "unit variant ";
        expected += D::name;
        expected += "::";
        expected += D::variants[I];
        return fail(json::invalid_type(unexpected, expected));
    }
    Status null() { return {}; }
    Status boolean(bool b) { return reject(b ? "boolean `true`" : "boolean `false`"); }
    Status number(const Number& n) { return reject(n.unexpected()); }
    Status string(std::string_view s) { return reject(json::unexpected_string(s)); }
    template <class Seq>
    Status array(Seq&) { return reject("sequence"); }
    template <class Map>
    Status object(Map&) { return reject("map"); }
};

// ---- records ----

template <class D>
concept HasArrayForm = requires { D::expecting_len; };

template <class D, class S, class T, std::size_t... I>
Status read_field_at(std::size_t index, S& src, T& out, std::index_sequence<I...>) {
    Status st;
    ((index == I ? (void)(st = read_into(src, out.*(std::get<I>(D::fields).member))) : void()), ...);
    return st;
}

template <class D, class Map, class T>
Status read_record_members(Map& map, T& out) {
    constexpr std::size_t n = field_count<D>();
    static constexpr auto names = field_names<D>();
    std::array<bool, n> seen{};
    for (;;) {
        auto key = map.next_key();
        if (!key) return fail(std::move(key.error()));
        if (!*key) break;
        std::size_t index = json::find_name(names.data(), n, **key);
        if (index == n) {
            if (auto s = map.skip_value(); !s) return s;
            continue;
        }
        if (seen[index]) return fail(json::duplicate_field(names[index]));
        seen[index] = true;
        auto src = map.value();
        if (!src) return fail(std::move(src.error()));
        if (auto s = read_field_at<D>(index, json::deref(*src), out, std::make_index_sequence<n>{}); !s) return s;
    }
    Status st;
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (void)((seen[I] || std::get<I>(D::fields).presence != Presence::Required ||
                ((st = fail(json::missing_field(names[I]))), false)) &&
               ...);
    }(std::make_index_sequence<n>{});
    return st;
}

template <class D, class Seq, class T>
Status read_record_elements(Seq& seq, T& out) {
    Status st;
    auto element = [&]<std::size_t I>() -> bool {
        const auto& field = std::get<I>(D::fields);
        auto more = seq.has_next();
        if (!more) {
            st = fail(std::move(more.error()));
            return false;
        }
        if (!*more) {
            if (field.presence == Presence::Default) return true;
            st = fail(json::invalid_length(I, D::expecting_len));
            return false;
        }
        auto&& src = seq.element();
        st = read_into(src, out.*(field.member));
        return st.has_value();
    };
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (void)(element.template operator()<I>() && ...);
    }(std::make_index_sequence<field_count<D>()>{});
    return st;
}

template <class S, class T>
Status read_record(S& src, T& out) {
    using D = Describe<T>;
    auto members = [&](auto& map) -> Status { return read_record_members<D>(map, out); };
    if constexpr (HasArrayForm<D>) {
        return src.read_struct(D::expecting, members,
                               [&](auto& seq) -> Status { return read_record_elements<D>(seq, out); });
    } else {
        return src.read_struct(D::expecting, members, json::NoSeq{});
    }
}

// ---- enumerations ----

template <class E, std::size_t I>
using AlternativeAt = std::variant_alternative_t<I, decltype(E::v)>;

template <class E>
constexpr std::size_t variant_count = std::variant_size_v<decltype(E::v)>;

// Calls f.template operator()<I>() for the runtime index `index`.
template <class E, class F>
Status dispatch(std::size_t index, F&& f) {
    Status st;
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        ((index == I ? (void)(st = f.template operator()<I>()) : void()), ...);
    }(std::make_index_sequence<variant_count<E>>{});
    return st;
}

// The content of variant I of an adjacently or internally tagged enumeration.
template <class E, std::size_t I, class S>
Status read_content(S& src, E& out) {
    using D = Describe<E>;
    using A = AlternativeAt<E, I>;
    if constexpr (UnitAlternative<A>) {
        UnitContentVisitor<D, I> visitor;
        if (auto s = src.read_any(visitor); !s) return s;
        out.v.template emplace<I>();
    } else if constexpr (NewtypeAlternative<A>) {
        A a{};
        if (auto s = read_into(src, a.value); !s) return s;
        out.v.template emplace<I>(std::move(a));
    } else {
        A a{};
        if (auto s = read_into(src, a); !s) return s;
        out.v.template emplace<I>(std::move(a));
    }
    return {};
}

// The tag of the object form: a name, or a one-member object naming it.
template <class D, class S>
Result<std::size_t> read_tag(S& src) {
    return src.read_enum(D::variants.data(), D::variants.size(), [](std::size_t index, auto* content) -> Result<std::size_t> {
        if (content != nullptr) {
            if (auto s = content->read_unit("unit"); !s) return std::unexpected(std::move(s.error()));
        }
        return index;
    });
}

template <class S, class E>
Status read_adjacent(S& src, E& out) {
    using D = Describe<E>;
    enum class Key { Tag, Content };
    [[maybe_unused]] auto scope = src.keep_tape();
    auto members = [&](auto& map) -> Status {
        // The next "type" or content member; other members are skipped.
        auto next_relevant = [&]() -> Result<std::optional<Key>> {
            for (;;) {
                auto key = map.next_key();
                if (!key) return std::unexpected(std::move(key.error()));
                if (!*key) return std::nullopt;
                if (**key == kTagKey) return Key::Tag;
                if (**key == D::content_key) return Key::Content;
                if (auto s = map.skip_value(); !s) return std::unexpected(std::move(s.error()));
            }
        };
        auto tag_value = [&]() -> Result<std::size_t> {
            auto src2 = map.value();
            if (!src2) return std::unexpected(std::move(src2.error()));
            return read_tag<D>(json::deref(*src2));
        };
        auto content_for = [&](auto& content_src, std::size_t tag) -> Status {
            return dispatch<E>(tag, [&]<std::size_t I>() { return read_content<E, I>(content_src, out); });
        };

        auto first = next_relevant();
        if (!first) return fail(std::move(first.error()));
        if (!*first) return fail(json::missing_field(kTagKey));
        if (**first == Key::Tag) {
            auto tag = tag_value();
            if (!tag) return fail(std::move(tag.error()));
            auto next = next_relevant();
            if (!next) return fail(std::move(next.error()));
            if (!*next) {
                // Only a variant without data may leave out its content.
                return dispatch<E>(*tag, [&]<std::size_t I>() -> Status {
                    if constexpr (UnitAlternative<AlternativeAt<E, I>>) {
                        out.v.template emplace<I>();
                        return {};
                    } else {
                        return fail(json::missing_field(D::content_key));
                    }
                });
            }
            if (**next == Key::Tag) return fail(json::duplicate_field(kTagKey));
            auto content_src = map.value();
            if (!content_src) return fail(std::move(content_src.error()));
            if (auto s = content_for(json::deref(*content_src), *tag); !s) return s;
        } else {
            // Content before the tag: held until the tag says how to read it.
            auto content_src = map.value();
            if (!content_src) return fail(std::move(content_src.error()));
            auto held = json::deref(*content_src).buffer();
            if (!held) return fail(std::move(held.error()));
            json::BufSource buffered = *held;
            auto next = next_relevant();
            if (!next) return fail(std::move(next.error()));
            if (!*next) return fail(json::missing_field(kTagKey));
            if (**next == Key::Content) return fail(json::duplicate_field(D::content_key));
            auto tag = tag_value();
            if (!tag) return fail(std::move(tag.error()));
            if (auto s = content_for(buffered, *tag); !s) return s;
        }
        // Anything after the content may not repeat the tag or the content.
        auto next = next_relevant();
        if (!next) return fail(std::move(next.error()));
        if (!*next) return {};
        return fail(json::duplicate_field(**next == Key::Tag ? kTagKey : D::content_key));
    };
    auto elements = [&](auto& seq) -> Status {
        auto more = seq.has_next();
        if (!more) return fail(std::move(more.error()));
        if (!*more) return fail(json::invalid_length(0, D::expecting));
        std::size_t tag;
        {
            auto&& tag_src = seq.element();
            auto t = tag_src.read_identifier(D::variants.data(), D::variants.size());
            if (!t) return fail(std::move(t.error()));
            tag = *t;
        }
        more = seq.has_next();
        if (!more) return fail(std::move(more.error()));
        if (!*more) return fail(json::invalid_length(1, D::expecting));
        auto&& content_src = seq.element();
        return dispatch<E>(tag, [&]<std::size_t I>() { return read_content<E, I>(content_src, out); });
    };
    return src.read_struct(D::expecting, members, elements);
}

template <class S, class E>
Status read_external(S& src, E& out) {
    using D = Describe<E>;
    return src.read_enum(D::variants.data(), D::variants.size(), [&](std::size_t index, auto* content) -> Status {
        return dispatch<E>(index, [&]<std::size_t I>() -> Status {
            using A = AlternativeAt<E, I>;
            if constexpr (UnitAlternative<A>) {
                if (content != nullptr) {
                    if (auto s = content->read_unit("unit"); !s) return s;
                }
                out.v.template emplace<I>();
                return {};
            } else {
                static_assert(NewtypeAlternative<A>);
                if (content == nullptr) return fail(json::invalid_type("unit variant", "newtype variant"));
                A a{};
                if (auto s = read_into(*content, a.value); !s) return s;
                out.v.template emplace<I>(std::move(a));
                return {};
            }
        });
    });
}

// A record that takes every member its object has; it has no array form.
template <class S, class T>
Status read_flatten(S& src, T& out) {
    using D = Describe<T>;
    return src.read_struct(
        D::expecting,
        [&](auto& map) -> Status {
            JsonValueVisitor visitor;
            return visitor.read_members(map, out.*(D::member));
        },
        json::NoSeq{});
}

// The members of an internally tagged object after its tag: a second tag is an error.
template <class Map>
class UntaggedMembers {
public:
    explicit UntaggedMembers(Map& map) : map_(map) {}
    auto next_key() -> decltype(std::declval<Map&>().next_key()) {
        auto key = map_.next_key();
        if (key && *key && **key == kTagKey) return std::unexpected(json::duplicate_field(kTagKey));
        return key;
    }
    auto value() { return map_.value(); }
    auto skip_value() { return map_.skip_value(); }

private:
    Map& map_;
};

// The common case of an internally tagged value, an object whose first member is the
// tag, read straight from the text without buffering.  It only ever succeeds where the
// buffered reading would give the same value; on any failure the text is rewound and the
// caller reads it the general way, which also gives the failure its exact message and
// position.
template <class E>
bool read_internal_tag_first(json::TextSource& src, E& out) {
    using D = Describe<E>;
    json::Reader& r = src.reader();
    if (r.peek_ws() != '{') return false;
    const auto checkpoint = r.speculate();
    Status st = src.read_struct(
        D::expecting,
        [&](json::TextMap& map) -> Status {
            auto key = map.next_key();
            if (!key) return fail(std::move(key.error()));
            if (!*key || **key != kTagKey) return fail(json::missing_field(kTagKey));
            auto value = map.value();
            if (!value) return fail(std::move(value.error()));
            auto tag = (*value)->read_identifier(D::variants.data(), D::variants.size());
            if (!tag) return fail(std::move(tag.error()));
            UntaggedMembers rest(map);
            return dispatch<E>(*tag, [&]<std::size_t I>() -> Status {
                using A = AlternativeAt<E, I>;
                using DA = Describe<A>;
                A a{};
                Status s;
                if constexpr (DA::style == Style::Flatten) {
                    s = JsonValueVisitor{}.read_members(rest, a.*(DA::member));
                } else {
                    s = read_record_members<DA>(rest, a);
                }
                if (!s) return s;
                out.v.template emplace<I>(std::move(a));
                return {};
            });
        },
        json::NoSeq{});
    r.settle(checkpoint, st.has_value());
    return st.has_value();
}

// Internally tagged: the tag may stand anywhere among the members, so the other
// members are buffered (phase one) and interpreted once the tag is known (phase two).
// Phase-two errors have no position of their own: they take the one reached when they
// leave the enclosing value.
template <class E>
Status read_internal(json::TextSource& src, E& out) {
    using D = Describe<E>;
    if (src.direct_reads() && read_internal_tag_first(src, out)) return {};
    struct Tagged {
        std::size_t tag;
        std::uint32_t rest;  // the other members or elements, on the tape
    };
    struct PhaseOne {
        json::TextSource& src;
        Result<Tagged> reject(std::string_view unexpected) {
            return std::unexpected(json::invalid_type(unexpected, D::expecting));
        }
        Result<Tagged> null() { return reject("null"); }
        Result<Tagged> boolean(bool b) { return reject(b ? "boolean `true`" : "boolean `false`"); }
        Result<Tagged> number(const Number& n) { return reject(n.unexpected()); }
        Result<Tagged> string(std::string_view s) { return reject(json::unexpected_string(s)); }
        Result<Tagged> object(json::TextMap& map) {
            std::optional<std::size_t> tag;
            std::uint32_t rest = src.open_buffered(json::Slot::Kind::Object);
            std::uint32_t count = 0;
            for (;;) {
                auto key = map.next_key();
                if (!key) return std::unexpected(std::move(key.error()));
                if (!*key) break;
                if (**key == kTagKey) {
                    if (tag) return std::unexpected(json::duplicate_field(kTagKey));
                    auto value = map.value();
                    if (!value) return std::unexpected(std::move(value.error()));
                    auto t = (*value)->read_identifier(D::variants.data(), D::variants.size());
                    if (!t) return std::unexpected(std::move(t.error()));
                    tag = *t;
                    continue;
                }
                src.buffer_key(**key);
                auto value = map.value();
                if (!value) return std::unexpected(std::move(value.error()));
                if (auto buffered = (*value)->buffer(); !buffered) return std::unexpected(std::move(buffered.error()));
                ++count;
            }
            if (!tag) return std::unexpected(json::missing_field(kTagKey));
            src.close_buffered(rest, count);
            return Tagged{*tag, rest};
        }
        Result<Tagged> array(json::TextSeq& seq) {
            auto more = seq.has_next();
            if (!more) return std::unexpected(std::move(more.error()));
            if (!*more) return std::unexpected(json::missing_field(kTagKey));
            auto tag = seq.element().read_identifier(D::variants.data(), D::variants.size());
            if (!tag) return std::unexpected(std::move(tag.error()));
            std::uint32_t rest = src.open_buffered(json::Slot::Kind::Array);
            std::uint32_t count = 0;
            for (;; ++count) {
                more = seq.has_next();
                if (!more) return std::unexpected(std::move(more.error()));
                if (!*more) break;
                if (auto item = seq.element().buffer(); !item) return std::unexpected(std::move(item.error()));
            }
            src.close_buffered(rest, count);
            return Tagged{*tag, rest};
        }
    };
    auto scope = src.keep_tape();
    PhaseOne visitor{src};
    auto tagged = src.read_any(visitor);
    if (!tagged) return fail(std::move(tagged.error()));
    json::BufSource rest(src.tape(), tagged->rest);
    return dispatch<E>(tagged->tag, [&]<std::size_t I>() -> Status {
        AlternativeAt<E, I> a{};
        if (auto s = read_into(rest, a); !s) return s;
        out.v.template emplace<I>(std::move(a));
        return {};
    });
}

// Counts in place of a list, for the one-loop reading of plain numbers that are checked
// but not kept.
struct SampleCount {
    static constexpr bool keeps_values = false;
    std::size_t n = 0;
    std::size_t size() const { return n; }
    void reserve(std::size_t) {}
    void resize(std::size_t k) { n = k; }
    template <class T>
    void push_back(const T&) {
        ++n;
    }
};

// A recording's positions read in one loop: `null`, or an object of the two coordinates and
// the optional altitude last, in their declared order, with plain numbers and keys without
// escapes, which is how they are written.  False, with nothing consumed or kept, for
// anything else; the general reading then takes the list from its start.
template <class Out>
bool read_position_list(json::TextSource& src, Out& out) {
    constexpr bool keep = json::keeps_values<Out>();
    // Latitude, longitude, altitude, by the record's own description.
    static constexpr auto names = field_names<Describe<Position>>();
    static_assert(std::get<0>(Describe<Position>::fields).member == &Position::lat &&
                  std::get<1>(Describe<Position>::fields).member == &Position::lng &&
                  std::get<2>(Describe<Position>::fields).member == &Position::altitude);
    json::Reader& r = src.reader();
    if (r.peek_ws() != '[' || !r.can_enter(2)) return false;
    const char* start = r.cursor();
    const std::size_t kept = out.size();
    auto give_up = [&] {
        r.seek(start);
        out.resize(kept);
        return false;
    };
    // `"name"` and a colon, each after any whitespace, and the whitespace after them.
    auto key = [&](std::string_view name) {
        if (r.peek_ws() != '"') return false;
        const char* p = r.cursor() + 1;
        if (static_cast<std::size_t>(r.limit() - p) <= name.size() || std::memcmp(p, name.data(), name.size()) != 0 ||
            p[name.size()] != '"')
            return false;
        r.seek(p + name.size() + 1);
        if (r.peek_ws() != ':') return false;
        r.bump();
        return r.peek_ws() != json::kEof;
    };
    auto number = [&](double& d) {
        json::Number n;
        const char* end = json::scan_plain_number<keep>(r.cursor(), r.limit(), n);
        if (end == nullptr) return false;
        r.seek(end);
        if constexpr (keep) d = n.as_double();
        return true;
    };
    r.bump();
    int c = r.peek_ws();
    while (c != ']') {
        if (c == 'n') {
            if (r.limit() - r.cursor() < 4 || std::memcmp(r.cursor(), "null", 4) != 0) return give_up();
            r.seek(r.cursor() + 4);
            out.push_back(std::optional<Position>{});
        } else if (c == '{') {
            r.bump();
            Position p{0.0, 0.0, std::nullopt};
            if (!key(names[0]) || !number(p.lat) || r.peek_ws() != ',') return give_up();
            r.bump();
            if (!key(names[1]) || !number(p.lng)) return give_up();
            c = r.peek_ws();
            if (c == ',') {
                r.bump();
                double altitude = 0.0;
                if (!key(names[2]) || !number(altitude)) return give_up();
                p.altitude = altitude;
                c = r.peek_ws();
            }
            if (c != '}') return give_up();
            r.bump();
            out.push_back(std::optional<Position>{p});
        } else {
            return give_up();
        }
        c = r.peek_ws();
        if (c == ',') {
            r.bump();
            c = r.peek_ws();
            if (c == ']') return give_up();  // a trailing comma: the general reader words it
        } else if (c != ']') {
            return give_up();
        }
    }
    r.bump();
    return true;
}

// Reads a list element by element into one scratch value, keeping none of them.
template <class E, class S>
Status read_dropping(S& src) {
    return src.read_seq("a sequence", [&](auto& seq) -> Status {
        E element{};
        for (;;) {
            auto more = seq.has_next();
            if (!more) return fail(std::move(more.error()));
            if (!*more) return {};
            auto&& item = seq.element();
            if (auto s = read_into(item, element); !s) return s;
        }
    });
}

// Reads a list of samples as the list would be read, keeping none of them.
template <class E>
Status check_samples(json::TextSource& src) {
    if constexpr (std::is_same_v<E, double>) {
        SampleCount none;
        if (src.direct_reads() && src.read_number_list(none)) return {};
    } else {
        SampleCount none;
        if (src.direct_reads() && read_position_list(src, none)) return {};
    }
    return read_dropping<E>(src);
}

}  // namespace detail

template <class S, class T>
Status read_into(S& src, T& out) {
    using namespace detail;
    if constexpr (std::is_same_v<T, Text>) {
        return src.read_string("a string", [&](std::string_view s) -> Status {
            out.assign(s);
            return {};
        });
    } else if constexpr (std::is_same_v<T, double>) {
        return src.read_number("f64", [&](const Number& n) -> Status {
            out = n.as_double();
            return {};
        });
    } else if constexpr (std::is_same_v<T, std::uint32_t>) {
        return src.read_number("u32", [&](const Number& n) { return to_unsigned(n, out, "u32"); });
    } else if constexpr (std::is_same_v<T, std::uint64_t>) {
        return src.read_number("usize", [&](const Number& n) { return to_unsigned(n, out, "usize"); });
    } else if constexpr (std::is_same_v<T, JsonValue>) {
        JsonValueVisitor visitor;
        auto v = src.read_any(visitor);
        if (!v) return fail(std::move(v.error()));
        out = std::move(*v);
        return {};
    } else if constexpr (IsOptional<T>::value) {
        auto null = src.take_null();
        if (!null) return fail(std::move(null.error()));
        if (*null) {
            out.reset();
            return {};
        }
        return read_into(src, out.emplace());
    } else if constexpr (IsVector<T>::value) {
        using E = typename T::value_type;
        constexpr bool samples = std::is_same_v<E, double> || std::is_same_v<E, std::optional<Position>>;
        if constexpr (samples && std::is_same_v<S, json::TextSource>) {
            if (!src.keep_samples()) return detail::check_samples<E>(src);
        }
        if constexpr (samples && std::is_same_v<S, json::BufSource>) {
            // A buffered list is checked element by element, or kept at its exact size:
            // what the tape already holds is not doubled by the list's growth.
            if (!src.keep_samples()) return detail::read_dropping<E>(src);
            if (const json::Slot list = src.slot(); list.kind == json::Slot::Kind::Array) {
                out.reserve(out.size() + list.count);
            }
        }
        auto read_elements = [&]() -> Status {
            return src.read_seq("a sequence", [&](auto& seq) -> Status {
                for (;;) {
                    auto more = seq.has_next();
                    if (!more) return fail(std::move(more.error()));
                    if (!*more) return {};
                    auto&& element = seq.element();
                    if (auto s = read_into(element, out.emplace_back()); !s) return s;
                }
            });
        };
        if constexpr (samples && std::is_same_v<S, json::TextSource>) {
            // Room is reserved from the timestamps' length, which a channel need not have:
            // what it did not use is given back, so that a document cannot hold more than
            // twice what its samples need.
            Status s = [&]() -> Status {
                if constexpr (std::is_same_v<E, double>) {
                    if (src.direct_reads() && src.read_number_list(out)) return {};
                } else {
                    // Sized at once from the other channels, rather than doubled up to
                    // there: a recording's positions are its largest list, and the doubling
                    // held the old and the new buffer at once.  "null" is the shortest
                    // element.
                    if (src.direct_reads()) {
                        out.reserve(src.samples_hint(5));
                        if (detail::read_position_list(src, out)) return {};
                    }
                }
                return read_elements();
            }();
            if (out.capacity() > 2 * out.size() + 16) out.shrink_to_fit();
            return s;
        } else {
            return read_elements();
        }
    } else if constexpr (IsSortedMap<T>::value) {
        return src.read_map("a map", [&](auto& map) -> Status {
            for (;;) {
                auto key = map.next_key();
                if (!key) return fail(std::move(key.error()));
                if (!*key) break;
                auto& entry = out.entries.emplace_back(Text(**key), typename decltype(out.entries)::value_type::second_type{});
                auto value = map.value();
                if (!value) return fail(std::move(value.error()));
                if (auto s = read_into(json::deref(*value), entry.second); !s) return s;
            }
            finish_sorted(out.entries);
            return {};
        });
    } else {
        using D = Describe<T>;
        if constexpr (D::style == Style::Record) {
            return read_record(src, out);
        } else if constexpr (D::style == Style::Adjacent) {
            return read_adjacent(src, out);
        } else if constexpr (D::style == Style::External) {
            return read_external(src, out);
        } else if constexpr (D::style == Style::Flatten) {
            return read_flatten(src, out);
        } else {
            static_assert(D::style == Style::Internal);
            static_assert(std::is_same_v<S, json::TextSource>, "internally tagged values are read from text");
            return read_internal(src, out);
        }
    }
}

}  // namespace tavrik::model
