// A one-pass walk over the common form of a workout, generated from the descriptions in
// forms.hpp, that builds nothing and tells a sink what it meets.
//
// It takes objects only, tags first, strings and keys without escapes, plain numbers,
// and a nesting well inside the reader's limit.  On anything else it gives up (returns
// false) and the caller reads the text from the start with the general reader, which is
// the one source of errors, messages and positions.  So the walk never has to word an
// error, and it accepts only texts that the general reader accepts with the same value.
//
// The cursor is checked against the end of the text everywhere: nothing relies on a NUL
// after it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <bit>
#include <limits>
#include <optional>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>

#include "json/number.hpp"
#include "json/reader.hpp"
#include "model/describe.hpp"
#include "model/forms.hpp"
#include "model/workout.hpp"

namespace tavrik::model::fast {

// Whether two member pointers (of any types) are the same member.
template <auto A, auto B>
constexpr bool same_member() {
    if constexpr (std::is_same_v<decltype(A), decltype(B)>) {
        return A == B;
    } else {
        return false;
    }
}

// The class and the type of a member pointer.
template <class P>
struct MemberOf;
template <class C, class M>
struct MemberOf<M C::*> {
    using owner = C;
    using type = M;
};

// T without its optional.
template <class T>
struct Unwrapped {
    using type = T;
};
template <class T>
struct Unwrapped<std::optional<T>> {
    using type = T;
};

// The element type of a list or a map (void for anything else).
template <class H>
struct ElementOf {
    using type = void;
};
template <class T>
struct ElementOf<List<T>> {
    using type = T;
};
template <class V>
struct ElementOf<SortedMap<V>> {
    using type = V;
};

// What a walk tells its sink; this one listens to nothing.  `Member` is the member
// pointer of the field a value belongs to (nullptr for list elements and map values).
// Numbers are converted only for a sink that wants them (kWantsNumbers, true unless it
// says otherwise); the form they are checked against is the same either way.
struct NoSink {
    template <class T>
    void begin() {}
    template <class T>
    void end() {}
    template <auto Member>
    void text(std::string_view) {}
    template <class E>
    void variant(std::size_t) {}
    template <auto Member>
    void list_size(std::size_t) {}
    // Right before the value of field I (declaration index) of the record description D.
    template <class D, std::size_t I>
    void field() {}
    // An optional given as null; nothing else is sent for it.
    template <auto Member>
    void null() {}
    // A typed number (field, map value, list element, sample) with its text.
    template <auto Member>
    void number(std::string_view, const json::Number&) {}
    // A map key, before its value (also the members of a flattened record).
    void key(std::string_view) {}
    // Before the first element of a list; list_size() comes after the last.
    template <auto Member>
    void list_begin() {}
    // An unknown member skipped, with the text of its value.
    void unknown(std::string_view, const char*, const char*) {}
    // A free-form value, checked, with its text.
    template <auto Member>
    void free_value(const char*, const char*) {}
    // Around a map of typed values: after its opening brace, after its last value, and
    // its size after its closing brace.
    template <auto Member>
    void map_begin() {}
    template <auto Member>
    void map_end() {}
    template <auto Member>
    void map_size(std::size_t) {}
    // The free members of a flattened record (each a key and a free value): after the
    // tag, and their count at the closing brace.
    template <auto Member>
    void flat_begin() {}
    template <auto Member>
    void flat_size(std::size_t) {}
    // Around a tagged value of enumeration E, whatever its form (the tag comes between).
    template <class E>
    void enum_begin() {}
    template <class E>
    void enum_end() {}
    // A unit variant given with a null content.
    template <class E>
    void unit_null() {}
};

// Whether the walk converts numbers for the sink; one that declares
// `static constexpr bool kWantsNumbers = false;` has doubles checked by their form only.
template <class Sink>
constexpr bool wants_numbers() {
    if constexpr (requires { Sink::kWantsNumbers; }) {
        return Sink::kWantsNumbers;
    } else {
        return true;
    }
}

template <class F>
struct MemberType;
template <class C, class M>
struct MemberType<Field<C, M>> {
    using type = M;
};
// The member type of field I of the record description D.
template <class D, std::size_t I>
using field_type_of = typename MemberType<std::remove_cvref_t<decltype(std::get<I>(D::fields))>>::type;

template <class M>
struct MapValue;
template <class V>
struct MapValue<SortedMap<V>> {
    using type = V;
};

// Deeper texts are left to the general reader, whose nesting budget is 127 brackets;
// this walk counts skipped values too, so it stays well inside that.
inline constexpr int kMaxDepth = 96;

template <class Sink>
class Walker {
public:
    Walker(std::string_view text, Sink& sink) : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()), sink_(sink) {}

    // One value of type T and then only whitespace.
    template <class T>
    bool document() {
        return value<T, nullptr>() && peek() == json::kEof;
    }

private:
    // ---- tokens ----

    // The next byte after any whitespace, not consumed; kEof at the end.  No whitespace
    // and one space (after a comma or colon) are decided inline.
    [[gnu::always_inline]] int peek() {
        if (p_ < end_) {
            const auto c = static_cast<unsigned char>(*p_);
            if (c > ' ') return c;
            if (c == ' ' && end_ - p_ > 1 && static_cast<unsigned char>(p_[1]) > ' ') {
                ++p_;
                return static_cast<unsigned char>(*p_);
            }
        }
        return peek_slow();
    }

    [[gnu::noinline]] int peek_slow() {
        while (p_ < end_) {
            const auto c = static_cast<unsigned char>(*p_);
            if (c > ' ') return c;
            if (c != ' ' && c != '\n' && c != '\t' && c != '\r') return c;
            ++p_;
            if (c == '\n') {
                // Indentation, eight spaces at a time.
                constexpr std::uint64_t spaces = 0x2020202020202020ULL;
                std::uint64_t w;
                while (end_ - p_ >= 8 && (std::memcpy(&w, p_, 8), w == spaces)) p_ += 8;
            }
        }
        return json::kEof;
    }

    // The first byte after a run of spaces from `q` when it is not whitespace and the run
    // ends within sixteen bytes; null otherwise, for peek() to decide.
    const char* after_indent(const char* q) const {
#if defined(__SSE2__)
        if (end_ - q >= 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
            const auto other = static_cast<unsigned>(~_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(' '))) & 0xFFFF);
            if (other != 0) {
                const char* stop = q + std::countr_zero(other);
                if (static_cast<unsigned char>(*stop) > ' ') return stop;
            }
        }
#endif
        (void)q;
        return nullptr;
    }

    // Consumes `c` if it is the next byte after whitespace.
    bool take(char c) {
        if (peek() != static_cast<unsigned char>(c)) return false;
        ++p_;
        return true;
    }

    // Whether the sink has seen enough to know that the walk is of no more use to it.
    bool stopped() const {
        if constexpr (requires { sink_.stopped(); }) {
            return sink_.stopped();
        } else {
            return false;
        }
    }

    bool enter() {
        if (++depth_ > kMaxDepth) return false;
        ++p_;
        return true;
    }
    void leave() { --depth_; }

    // A string without escapes, the opening quote at the cursor.
    std::optional<std::string_view> string() {
        const std::size_t from = static_cast<std::size_t>(p_ - begin_) + 1;
        const std::size_t size = static_cast<std::size_t>(end_ - begin_);
        const std::size_t stop = json::scan_string(begin_, from, size);
        if (stop >= size || begin_[stop] != '"') return std::nullopt;
        p_ = begin_ + stop + 1;
        return std::string_view(begin_ + from, stop - from);
    }

    // A key and its colon.
    std::optional<std::string_view> key() {
        if (peek() != '"') return std::nullopt;
        auto k = string();
        if (!k || !take(':')) return std::nullopt;
        return k;
    }

    bool literal(std::string_view word) {
        if (static_cast<std::size_t>(end_ - p_) < word.size() || std::memcmp(p_, word.data(), word.size()) != 0) {
            return false;
        }
        p_ += word.size();
        return true;
    }

    // Any value, checked and dropped, with its text told to the sink as `tell(begin, end)`.
    template <class Tell>
    bool any_told(Tell&& tell) {
        peek();
        const char* from = p_;
        if (!any()) return false;
        tell(from, static_cast<const char*>(p_));
        return true;
    }

    template <bool Value>
    bool number(json::Number& n) {
        const int c = peek();
        if (c != '-' && static_cast<unsigned>(c - '0') >= 10) return false;
        const char* stop = json::scan_plain_number<Value>(p_, end_, n);
        if (stop == nullptr) return false;
        p_ = stop;
        return true;
    }

    // Whether the text at `q` is `name` and its closing quote.  Inlined where the name is
    // a constant, so the compare is a few fixed-width loads.
    [[gnu::always_inline]] bool quoted_is(const char* q, std::string_view name) const {
        return static_cast<std::size_t>(end_ - q) > name.size() && same_bytes(q, name.data(), name.size()) &&
               q[name.size()] == '"';
    }

    // memcmp(a, b, n) == 0 for a constant n, in word loads (two overlapping ones for the
    // tail) rather than a library call.
    [[gnu::always_inline]] static bool same_bytes(const char* a, const char* b, std::size_t n) {
        auto same = [](const char* x, const char* y, auto word) {
            decltype(word) u;
            decltype(word) v;
            std::memcpy(&u, x, sizeof u);
            std::memcpy(&v, y, sizeof v);
            return u == v;
        };
        for (; n >= 8; a += 8, b += 8, n -= 8) {
            if (!same(a, b, std::uint64_t{})) return false;
        }
        if (n >= 4) return same(a, b, std::uint32_t{}) && same(a + n - 4, b + n - 4, std::uint32_t{});
        if (n >= 2) return same(a, b, std::uint16_t{}) && same(a + n - 2, b + n - 2, std::uint16_t{});
        return n == 0 || *a == *b;
    }

    // The index of the name that the string at the cursor holds, among the `count` names
    // that name(I) gives, consuming the string; `count` for another name, nullopt to give
    // up.
    template <std::size_t count, class Name>
    std::optional<std::size_t> name_at(Name&& name) {
        const char* q = p_ + 1;
        std::size_t index = count;
        std::size_t length = 0;
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            (void)((quoted_is(q, name(std::integral_constant<std::size_t, I>{}))
                        ? (index = I, length = name(std::integral_constant<std::size_t, I>{}).size(), true)
                        : false) ||
                   ...);
        }(std::make_index_sequence<count>{});
        if (index < count) {
            p_ = q + length + 1;
            return index;
        }
        auto other = string();
        if (!other) return std::nullopt;
        other_ = *other;
        return count;
    }

    // The members of an object after its opening brace (and after `first_done` members
    // already taken), each handed to on_member() with the cursor at its key's opening
    // quote; on_member reads the key, the colon and the value.
    template <class OnMember>
    bool members(bool first_done, OnMember&& on_member) {
        int c = peek();
        if (c == '}') {
            ++p_;
            return true;
        }
        if (first_done) {
            if (c != ',') return false;
            ++p_;
            c = peek();
        }
        for (;;) {
            if (c != '"' || !on_member() || stopped()) return false;
            c = peek();
            if (c == ',') {
                ++p_;
                c = peek();
                continue;
            }
            if (c != '}') return false;
            ++p_;
            return true;
        }
    }

    // Any JSON value, checked and dropped.  Stricter than both the reading of free values
    // and the skipping of unknown members, so it accepts nothing that either refuses.
    bool any() {
        switch (peek()) {
            case '"': return string().has_value();
            case 'n': return literal("null");
            case 't': return literal("true");
            case 'f': return literal("false");
            case '[': {
                if (!enter()) return false;
                if (peek() == ']') {
                    ++p_;
                    leave();
                    return true;
                }
                for (;;) {
                    if (!any()) return false;
                    const int c = peek();
                    if (c == ',') {
                        ++p_;
                        continue;
                    }
                    if (c != ']') return false;
                    ++p_;
                    leave();
                    return true;
                }
            }
            case '{': {
                if (!enter() || !members(false, [&] { return key() && any(); })) return false;
                leave();
                return true;
            }
            default: {
                json::Number n;
                return number<false>(n);
            }
        }
    }

    // ---- typed values ----

    template <class T, auto Member>
    bool value() {
        using namespace model::detail;
        if constexpr (std::is_same_v<T, Text>) {
            if (peek() != '"') return false;
            auto s = string();
            if (!s) return false;
            sink_.template text<Member>(*s);
            return true;
        } else if constexpr (std::is_same_v<T, double> || std::is_same_v<T, std::uint32_t> ||
                             std::is_same_v<T, std::uint64_t>) {
            return typed_number<T, Member>();
        } else if constexpr (std::is_same_v<T, JsonValue>) {
            return any_told([&](const char* b, const char* e) { sink_.template free_value<Member>(b, e); });
        } else if constexpr (IsOptional<T>::value) {
            if (peek() == 'n') {
                if (!literal("null")) return false;
                sink_.template null<Member>();
                return true;
            }
            return value<typename T::value_type, Member>();
        } else if constexpr (IsVector<T>::value) {
            return list<typename T::value_type, Member>();
        } else if constexpr (IsSortedMap<T>::value) {
            if (peek() != '{' || !enter()) return false;
            sink_.template map_begin<Member>();
            std::size_t n = 0;
            if (!members(false, [&] {
                    auto k = key();
                    if (!k) return false;
                    sink_.key(*k);
                    ++n;
                    return value<typename MapValue<T>::type, nullptr>();
                })) {
                return false;
            }
            sink_.template map_end<Member>();
            leave();
            sink_.template map_size<Member>(n);
            return true;
        } else {
            using D = Describe<T>;
            if constexpr (D::style == Style::Record) {
                return record<T>();
            } else if constexpr (D::style == Style::Adjacent) {
                return adjacent<T>();
            } else if constexpr (D::style == Style::External) {
                return external<T>();
            } else {
                static_assert(D::style == Style::Internal, "a flattened record stands only inside a tagged one");
                return internal<T>();
            }
        }
    }

    // A double, or an unsigned integer within T's range.  Doubles that the sink does not
    // want are checked by their form alone; the others are converted as the reader's
    // common path converts them, and anything it would not convert gives up.
    // `at_token`: the cursor is known to be at a byte of the text after any whitespace, which
    // the scans check themselves.
    template <class T, auto Member, bool at_token = false>
    [[gnu::always_inline]] bool typed_number() {
        if constexpr (!at_token) {
            const int c = peek();
            if (c != '-' && static_cast<unsigned>(c - '0') >= 10) return false;
        }
        if constexpr (std::is_same_v<T, double> && !kWantsNumbers) {
            const char* stop = json::skip_short_double(p_, end_);
            if (stop == nullptr) return false;
            p_ = stop;
        } else {
            json::Number n;
            const char* stop = nullptr;
            if constexpr (std::is_same_v<T, double>) stop = json::scan_short_number(p_, end_, n);
            if (stop == nullptr) stop = json::scan_plain_number<true>(p_, end_, n);
            if (stop == nullptr) return false;
            if constexpr (!std::is_same_v<T, double>) {
                if (n.kind != json::Number::Kind::Unsigned || n.u > std::numeric_limits<T>::max()) return false;
            }
            const char* start = p_;
            if constexpr (std::is_same_v<T, double>) {
                // "-0" is left to the general reader, which decides what its zero is.
                if (stop - start == 2 && start[0] == '-' && start[1] == '0') return false;
            }
            p_ = stop;
            if constexpr (kWantsNumbers) {
                sink_.template number<Member>(std::string_view(start, static_cast<std::size_t>(stop - start)), n);
            }
        }
        return true;
    }

    template <class E, auto Member>
    bool list() {
        if (peek() != '[' || !enter()) return false;
        sink_.template list_begin<Member>();
        std::size_t n = 0;
        if (peek() == ']') {
            ++p_;
        } else if constexpr (std::is_same_v<E, double>) {
            // Recorded samples, the bulk of a recording: one tight loop.
            for (;;) {
                if (!typed_number<double, nullptr, true>()) return false;
                ++n;
                // "," or ", " before the next sample, the separators of compact text and of
                // Python's json, decided here; anything else by peek().
                if (end_ - p_ >= 3 && *p_ == ',') {
                    const auto next = static_cast<unsigned char>(p_[1]);
                    if (next > ' ') {
                        p_ += 1;
                        continue;
                    }
                    if (next == ' ' && static_cast<unsigned char>(p_[2]) > ' ') {
                        p_ += 2;
                        continue;
                    }
                    if (next == '\n') {
                        // One sample a line, as indented text has them.
                        if (const char* q = after_indent(p_ + 2)) {
                            p_ = q;
                            continue;
                        }
                    }
                }
                const int c = peek();
                if (c == ',') {
                    ++p_;
                    if (peek() == json::kEof) return false;
                    continue;
                }
                if (c != ']') return false;
                ++p_;
                break;
            }
        } else {
            for (;;) {
                if (!value<E, nullptr>()) return false;
                ++n;
                const int c = peek();
                if (c == ',') {
                    ++p_;
                    continue;
                }
                if (c != ']') return false;
                ++p_;
                break;
            }
        }
        leave();
        sink_.template list_size<Member>(n);
        return true;
    }

    // ---- records ----

    // The field that the key at the cursor names (the field count for none), with its
    // colon consumed; nullopt to give up.
    template <class D>
    std::optional<std::size_t> field_key() {
        auto index = name_at<field_count<D>()>([](auto i) { return std::get<i()>(D::fields).name; });
        if (!index || !take(':')) return std::nullopt;
        return index;
    }

    template <class D>
    bool field_at(std::size_t index) {
        bool ok = false;
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            (void)((index == I ? (sink_.template field<D, I>(),
                                  ok = value<field_type_of<D, I>, std::get<I>(D::fields).member>(), true)
                               : false) ||
                   ...);
        }(std::make_index_sequence<field_count<D>()>{});
        return ok;
    }

    template <class D>
    static constexpr std::uint32_t required_mask() {
        std::uint32_t mask = 0;
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            ((mask |= std::get<I>(D::fields).presence == Presence::Required ? std::uint32_t{1} << I : 0), ...);
        }(std::make_index_sequence<field_count<D>()>{});
        return mask;
    }

    // The members of record T; a repeated field, or a missing required one, gives up.
    // After the tag of an internally tagged value (`after_tag`), a second tag gives up.
    template <class T, bool after_tag = false>
    bool record_members() {
        using D = Describe<T>;
        static_assert(field_count<D>() <= 32);
        std::uint32_t seen = 0;
        const bool ok = members(after_tag, [&] {
            const auto index = field_key<D>();
            if (!index) return false;
            if (*index == field_count<D>()) {
                return !(after_tag && other_ == "type") &&
                       any_told([&](const char* b, const char* e) { sink_.unknown(other_, b, e); });
            }
            const std::uint32_t bit = std::uint32_t{1} << *index;
            if ((seen & bit) != 0) return false;
            seen |= bit;
            return field_at<D>(*index);
        });
        return ok && (seen & required_mask<D>()) == required_mask<D>();
    }

    template <class T>
    bool record() {
        if (peek() != '{' || !enter()) return false;
        sink_.template begin<T>();
        if (stopped() || !record_members<T>()) return false;
        sink_.template end<T>();
        leave();
        return true;
    }

    // ---- enumerations ----

    // `"type":` at the cursor, after any whitespace.
    bool type_key() {
        if (peek() != '"' || !quoted_is(p_ + 1, "type")) return false;
        p_ += 6;
        return take(':');
    }

    // Calls f.template operator()<I>() for the runtime index.
    template <class E, class F>
    static bool dispatch(std::size_t index, F&& f) {
        bool ok = false;
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            (void)((index == I ? (ok = f.template operator()<I>(), true) : false) || ...);
        }(std::make_index_sequence<std::variant_size_v<decltype(E::v)>>{});
        return ok;
    }

    template <class E, std::size_t I>
    using Alt = std::variant_alternative_t<I, decltype(E::v)>;

    // A tag given as a string naming a variant.
    template <class E>
    std::optional<std::size_t> tag() {
        constexpr std::size_t count = Describe<E>::variants.size();
        if (peek() != '"') return std::nullopt;
        auto index = name_at<count>([](auto i) { return Describe<E>::variants[i()]; });
        if (!index || *index == count) return std::nullopt;
        sink_.template variant<E>(*index);
        return index;
    }

    // The content of variant I: null for a unit, the value of a newtype, else a record.
    template <class E, std::size_t I>
    bool content() {
        using A = Alt<E, I>;
        if constexpr (UnitAlternative<A>) {
            if (peek() != 'n' || !literal("null")) return false;
            sink_.template unit_null<E>();
            return true;
        } else if constexpr (NewtypeAlternative<A>) {
            return value<decltype(A::value), &A::value>();
        } else {
            return record<A>();
        }
    }

    // {"type": name, <content key>: content} with the tag first.
    template <class E>
    bool adjacent() {
        using D = Describe<E>;
        if (peek() != '{' || !enter()) return false;
        sink_.template enum_begin<E>();
        if (!type_key()) return false;
        auto index = tag<E>();
        if (!index) return false;
        bool has_content = false;
        if (!members(true, [&] {
                auto k = name_at<2>([](auto i) { return i() == 0 ? std::string_view("type") : D::content_key; });
                if (!k || !take(':') || *k == 0 || (*k == 1 && has_content)) return false;
                if (*k == 2) return any_told([&](const char* b, const char* e) { sink_.unknown(other_, b, e); });
                has_content = true;
                return dispatch<E>(*index, [&]<std::size_t I>() { return content<E, I>(); });
            })) {
            return false;
        }
        if (!has_content && !dispatch<E>(*index, [&]<std::size_t I>() { return UnitAlternative<Alt<E, I>>; })) {
            return false;
        }
        sink_.template enum_end<E>();
        leave();
        return true;
    }

    // {"type": name, ...the variant's own members} with the tag first.
    template <class E>
    bool internal() {
        if (peek() != '{' || !enter()) return false;
        sink_.template enum_begin<E>();
        if (!type_key()) return false;
        auto index = tag<E>();
        if (!index) return false;
        if (!dispatch<E>(*index, [&]<std::size_t I>() {
                using A = Alt<E, I>;
                if constexpr (Describe<A>::style == Style::Flatten) {
                    constexpr auto member = Describe<A>::member;
                    sink_.template flat_begin<member>();
                    std::size_t n = 0;
                    if (!members(true, [&] {
                            auto k = name_at<1>([](auto) { return std::string_view("type"); });
                            if (!k || *k != 1 || !take(':')) return false;
                            sink_.key(other_);
                            ++n;
                            return any_told([&](const char* b, const char* e) { sink_.template free_value<nullptr>(b, e); });
                        })) {
                        return false;
                    }
                    sink_.template flat_size<member>(n);
                    return true;
                } else {
                    sink_.template begin<A>();
                    if (!record_members<A, true>()) return false;
                    sink_.template end<A>();
                    return true;
                }
            })) {
            return false;
        }
        sink_.template enum_end<E>();
        leave();
        return true;
    }

    // "Name" for a unit variant, {"Name": content} for any.
    template <class E>
    bool external() {
        const int c = peek();
        if (c == '"') {
            sink_.template enum_begin<E>();
            auto index = tag<E>();
            if (!index || !dispatch<E>(*index, [&]<std::size_t I>() { return UnitAlternative<Alt<E, I>>; })) {
                return false;
            }
            sink_.template enum_end<E>();
            return true;
        }
        if (c != '{' || !enter()) return false;
        sink_.template enum_begin<E>();
        if (peek() != '"') return false;
        auto index = tag<E>();
        if (!index || !take(':')) return false;
        if (!dispatch<E>(*index, [&]<std::size_t I>() { return content<E, I>(); })) return false;
        if (!take('}')) return false;
        sink_.template enum_end<E>();
        leave();
        return true;
    }

    static constexpr bool kWantsNumbers = wants_numbers<Sink>();

    const char* begin_;
    const char* p_;
    const char* end_;
    int depth_ = 0;
    std::string_view other_;  // the last key that name_at found among none of its names
    Sink& sink_;
};

// Walks `text` as one T; false when the general reader has to read it.
template <class T, class Sink>
bool walk(std::string_view text, Sink& sink) {
    Walker<Sink> walker(text, sink);
    return walker.template document<T>();
}

}  // namespace tavrik::model::fast
