// A one-pass walk over the common form of a workout, generated from the descriptions in
// forms.hpp, that builds nothing and tells a sink what it meets.
//
// It takes objects only, tags first, member names and tags without escapes, plain
// numbers, and a nesting well inside the reader's limit.  Other strings with escapes
// (values, map keys, strings inside free values) it decodes as the general reader does,
// out of line, giving up on any escape that reader refuses.  A lenient walker also decodes
// escaped member names and tags, and finds a tag written after other members by a skip
// ahead, then walks the members as if it came first.  On anything else it gives up (returns
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
#include <algorithm>
#include <array>
#include <bit>
#include <concepts>
#include <limits>
#include <new>
#include <optional>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>

#include "json/number.hpp"
#include "json/reader.hpp"
#include "model/describe.hpp"
#include "model/text_store.hpp"
#include "model/forms.hpp"
#include "model/workout.hpp"

namespace tavrik::model::fast {

// The inside of a string, [from, to), decoded as the general reader decodes it into `out`,
// which has room for to - from bytes (a decoding is never longer); its size, or nothing for
// anything the reader refuses: an invalid escape, an escape cut by `to`, a surrogate that
// is not the first of a pair followed by the second.  Bytes other than escapes are copied
// as they are: the caller has found no quote or control byte among them.
[[gnu::cold]] inline std::optional<std::size_t> unescape(const char* from, const char* to, char* out) {
    char* o = out;
    const auto hex4 = [&](const char* q) -> std::optional<std::uint32_t> {
        if (to - q < 4) return std::nullopt;
        std::uint32_t v = 0;
        for (int k = 0; k < 4; ++k) {
            const char h = q[k];
            const int d = h >= '0' && h <= '9' ? h - '0' : h >= 'a' && h <= 'f' ? h - 'a' + 10 : h >= 'A' && h <= 'F' ? h - 'A' + 10 : -1;
            if (d < 0) return std::nullopt;
            v = v << 4 | static_cast<std::uint32_t>(d);
        }
        return v;
    };
    const char* q = from;
    while (q < to) {
        const char* slash = static_cast<const char*>(std::memchr(q, '\\', static_cast<std::size_t>(to - q)));
        const char* run_end = slash != nullptr ? slash : to;
        std::memcpy(o, q, static_cast<std::size_t>(run_end - q));
        o += run_end - q;
        if (slash == nullptr) break;
        if (to - slash < 2) return std::nullopt;
        q = slash + 2;
        switch (slash[1]) {
            case '"': *o++ = '"'; continue;
            case '\\': *o++ = '\\'; continue;
            case '/': *o++ = '/'; continue;
            case 'b': *o++ = '\b'; continue;
            case 'f': *o++ = '\f'; continue;
            case 'n': *o++ = '\n'; continue;
            case 'r': *o++ = '\r'; continue;
            case 't': *o++ = '\t'; continue;
            case 'u': break;
            default: return std::nullopt;
        }
        std::optional<std::uint32_t> unit = hex4(q);
        if (!unit) return std::nullopt;
        q += 4;
        std::uint32_t cp = *unit;
        if (cp >= 0xDC00 && cp <= 0xDFFF) return std::nullopt;
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (to - q < 2 || q[0] != '\\' || q[1] != 'u') return std::nullopt;
            const std::optional<std::uint32_t> trail = hex4(q + 2);
            if (!trail || *trail < 0xDC00 || *trail > 0xDFFF) return std::nullopt;
            q += 6;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (*trail - 0xDC00);
        }
        o = json::put_utf8(o, cp);
    }
    return static_cast<std::size_t>(o - out);
}

// The end of the string whose inside starts at `from`, after its closing quote, stepping
// over escapes (their check is unescape()'s); null at a control byte or the end of the
// text, which the general reader refuses.
[[gnu::cold]] inline const char* string_end(const char* begin, const char* from, const char* end) {
    const auto size = static_cast<std::size_t>(end - begin);
    std::size_t at = static_cast<std::size_t>(from - begin);
    for (;;) {
        at = json::scan_string(begin, at, size);
        if (at >= size) return nullptr;
        if (begin[at] == '"') return begin + at + 1;
        if (begin[at] != '\\') return nullptr;
        at += 2;
        if (at > size) return nullptr;
    }
}

// Decodes the string whose inside starts at `from` into `store`: the decoded text and the
// end after its closing quote, or nothing where the general reader refuses it.  With `keep`
// false the text is only checked, and its view lasts until the next decoding.
[[gnu::cold]] inline std::optional<std::pair<std::string_view, const char*>> decode_string(
    const char* begin, const char* from, const char* end, TextStore& store, bool keep) {
    const char* stop = string_end(begin, from, end);
    if (stop == nullptr) return std::nullopt;
    const auto raw = static_cast<std::size_t>(stop - 1 - from);
    char* out = store.room(raw);
    const std::optional<std::size_t> n = unescape(from, stop - 1, out);
    if (!n) return std::nullopt;
    return std::pair{keep ? store.commit(*n) : std::string_view(out, *n), stop};
}

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
    // The token of a typed double, not converted, for a sink that does not want numbers.
    template <auto Member>
    void double_token(const char*, const char*) {}
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
    // A tagged value whose tag is not its first member, once its tag is read: where its
    // members start (after the brace) and the tag's member, from its key to the end of its
    // value.  The events that follow are those of the tag first.
    void tag_moved(const char*, const char*, const char*) {}
    // A member name or tag written with escapes, read decoded.
    void escaped_name() {}
    // Any other string written with escapes (a value, a map key, or one inside a free or
    // skipped value), decoded; the events that tell of it give the decoded text.
    void escaped_text() {}
};

// Whether the walk decodes strings with escapes for the sink; one that declares
// `static constexpr bool kDecodesEscapes = false;` has the walk give up on them instead.
template <class Sink>
constexpr bool decodes_escapes() {
    if constexpr (requires { Sink::kDecodesEscapes; }) {
        return Sink::kDecodesEscapes;
    } else {
        return true;
    }
}

// Whether the sink lends the walk the store of its decoded strings (see TextStore).
template <class Sink>
constexpr bool lends_texts() {
    return requires(Sink& sink) {
        { sink.texts() } -> std::same_as<TextStore&>;
    };
}

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

// Whether the sink hears each unconverted double's token (`static constexpr bool
// kWantsDoubleTokens = true;`); the samples are then not checked by blocks, which skip
// tokens without telling of them.
template <class Sink>
constexpr bool wants_double_tokens() {
    if constexpr (requires { Sink::kWantsDoubleTokens; }) {
        return Sink::kWantsDoubleTokens;
    } else {
        return false;
    }
}

// A sink that declares `static constexpr bool kTakesReals = true;` hears the usual double
// (see json::scan_sample) as `real<Member>(double)`, converted, instead of number(); any
// other one still comes as number().
template <class Sink>
constexpr bool takes_reals() {
    if constexpr (requires { Sink::kTakesReals; }) {
        return Sink::kTakesReals;
    } else {
        return false;
    }
}

// Room for doubles that a sink lends the sample loop, for a sink that declares
// `static constexpr bool kLendsSampleRoom = true;` and has `SampleRoom&
// sample_room<Member>()` (before the first sample of each list of doubles) and
// `more_room(SampleRoom&)` (when the room is full).  Each sample then goes into the room
// as a double, converted as the number event would have it, with no event of its own:
// the bulk of a recording costs a scan and a store.  list_size() follows the last.
struct SampleRoom {
    double* at = nullptr;     // where the next sample goes
    double* limit = nullptr;  // the end of the room
};

template <class Sink>
constexpr bool lends_sample_room() {
    if constexpr (requires { Sink::kLendsSampleRoom; }) {
        return Sink::kLendsSampleRoom;
    } else {
        return false;
    }
}

// A sink that declares `static constexpr bool kTakesNumberRows = true;` hears each entry
// of a list of optional records of doubles (positions) that is written plainly, its
// members in declaration order, as `number_row<T>(const double* values, std::uint32_t
// present)` (a bit per field), with no other event; any other entry comes as before.
template <class Sink>
constexpr bool takes_number_rows() {
    if constexpr (requires { Sink::kTakesNumberRows; }) {
        return Sink::kTakesNumberRows;
    } else {
        return false;
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

// A member's key as the common form writes it, `"name":`, for name(I) of a captureless
// name function; a constant array, so that comparing it is a few fixed-width loads.
template <class Name, std::size_t I>
struct KeyText {
    static constexpr std::string_view name = Name{}(std::integral_constant<std::size_t, I>{});
    static constexpr std::array<char, name.size() + 3> bytes = [] {
        std::array<char, name.size() + 3> b{};
        b[0] = '"';
        for (std::size_t k = 0; k < name.size(); ++k) b[k + 1] = name[k];
        b[name.size() + 1] = '"';
        b[name.size() + 2] = ':';
        return b;
    }();
};

// The tag's member name, as a name function for KeyText.
struct TagKeyName {
    constexpr std::string_view operator()(auto) const { return std::string_view(kTagKey, sizeof kTagKey - 1); }
};

// The member names of the record description D, for KeyText.
template <class D>
struct FieldName {
    constexpr std::string_view operator()(auto i) const { return std::get<i()>(D::fields).name; }
};

// What leads field I of a row of the record description D in the common compact form:
// the brace, the quoted name, a colon and a space for the first field; a comma and a
// space before the quoted name for the others.
template <class D, std::size_t I>
struct RowKeyText {
    static constexpr std::string_view name = std::get<I>(D::fields).name;
    static constexpr std::size_t lead = I == 0 ? 1 : 2;
    static constexpr std::array<char, lead + name.size() + 4> bytes = [] {
        std::array<char, lead + name.size() + 4> b{};
        std::size_t k = 0;
        if (I == 0) {
            b[k++] = '{';
        } else {
            b[k++] = ',';
            b[k++] = ' ';
        }
        b[k++] = '"';
        for (const char c : name) b[k++] = c;
        b[k++] = '"';
        b[k++] = ':';
        b[k++] = ' ';
        return b;
    }();
};

// Deeper texts are left to the general reader, whose nesting budget is 127 brackets;
// this walk counts skipped values too, so it stays well inside that.
inline constexpr int kMaxDepth = 96;

// A walker that is not `Lenient` gives up on escaped names, where stopped_at() then shows
// them (see worth_lenient()), and hands a tagged object whose tag is not first over to a
// lenient one; a lenient one takes both.  Kept apart because the paths that take them
// slow the common walk down by some percent.
template <class Sink, bool Lenient = false>
class Walker {
public:
    Walker(std::string_view text, Sink& sink)
        : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()), store_(store_of(sink)), sink_(sink) {}

private:
    // A walker that takes over at another's place (see hand_over()), decoding into its store.
    Walker(const char* begin, const char* p, const char* end, int depth, TextStore* store, Sink& sink)
        : begin_(begin), p_(p), end_(end), depth_(depth), store_(store), sink_(sink) {}

    TextStore* store_of(Sink& sink) {
        if constexpr (lends_texts<Sink>()) {
            return &sink.texts();
        } else if constexpr (!decodes_escapes<Sink>()) {
            return nullptr;
        } else {
            return &own_;
        }
    }

public:

    template <class, bool>
    friend class Walker;

    // Where a walk that gave up stopped.
    const char* stopped_at() const { return p_; }

    // Whether the walk gave up at a byte that the grammar alone may refuse, having taken
    // everything before it (for json::grammar_fault_at()); nothing for any other give-up.
    std::optional<json::Stop> grammar_stop() const {
        if (refused_ == nullptr || refused_ != p_) return std::nullopt;
        return json::Stop{static_cast<std::size_t>(p_ - begin_), refused_value_, refused_skipped_};
    }

    // One value of type T and then only whitespace.
    template <class T>
    bool document() {
        return value<T, nullptr>() && (peek() == json::kEof || refuse());
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
            if (c == '\n') p_ = past_spaces(p_);
        }
        return json::kEof;
    }

    // The first byte from `q` that is not a space, or where fewer than sixteen bytes are
    // left: the indentation of a line, sixteen bytes a step.
    const char* past_spaces(const char* q) const {
#if defined(__SSE2__)
        while (end_ - q >= 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
            const auto other = static_cast<unsigned>(~_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(' '))) & 0xFFFF);
            if (other != 0) return q + std::countr_zero(other);
            q += 16;
        }
#endif
        return q;
    }

    // The first byte from `q` that is not whitespace, where the one space of compact text
    // costs a byte test and an indented line a step of past_spaces().
    [[gnu::always_inline]] const char* past_blanks(const char* q) const {
        while (q != end_ && static_cast<unsigned char>(*q) <= ' ') {
            const char c = *q;
            if (c == '\n') {
                q = past_spaces(q + 1);
            } else if (c == ' ' || c == '\t' || c == '\r') {
                ++q;
            } else {
                break;
            }
        }
        return q;
    }

    // The first byte of the sample after the separator at `q` when that is one of the
    // usual ones: "," or ", " (compact text, Python's json) or a comma and an indented
    // line (one sample a line); null for anything else, which peek() then decides.
    [[gnu::always_inline]] const char* after_separator(const char* q) {
        // An indented text's line first: its checks below would cost as much again.
        if (line_length_ != 0) {
            if (const char* line = after_known_line(q)) return line;
        }
        if (end_ - q >= 3 && *q == ',') {
            const auto next = static_cast<unsigned char>(q[1]);
            if (next > ' ') return q + 1;
            if (next == ' ' && static_cast<unsigned char>(q[2]) > ' ') return q + 2;
            if (next == '\n') return after_line(q);
        }
        return nullptr;
    }

    // After the comma at `q`, the sample on the next line when that line is indented as
    // the last one was: one compare of the comma, the newline and the indent together.
    [[gnu::always_inline]] const char* after_known_line(const char* q) const {
#if defined(__SSE2__)
        if (end_ - q >= 32) return known_line(q);
#endif
        (void)q;
        return nullptr;
    }
#if defined(__SSE2__)
    // after_known_line() where the caller knows the 32 bytes from `q` readable.
    [[gnu::always_inline]] const char* known_line(const char* q) const {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
        const auto same = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, line_)));
        if ((same & line_mask_) == line_mask_ && static_cast<unsigned char>(q[line_length_]) > ' ')
            return q + line_length_;
        return nullptr;
    }
#endif

    // After the comma and newline at `q`, the first byte after the indent when it is not
    // whitespace and the indent ends within sixteen bytes of the comma, the separator then
    // kept for after_known_line(); null otherwise, for peek() to decide.
    const char* after_line(const char* q) {
#if defined(__SSE2__)
        if (end_ - q >= 32) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
            const auto other = static_cast<unsigned>(~_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(' '))) & 0xFFFC);
            if (other != 0) {
                const unsigned length = static_cast<unsigned>(std::countr_zero(other));
                if (static_cast<unsigned char>(q[length]) > ' ') {
                    line_ = v;
                    line_length_ = length;
                    line_mask_ = (1u << length) - 1;
                    return q + length;
                }
            }
        }
#endif
        (void)q;
        return nullptr;
    }

    // Steps over the comma or colon at the cursor and the one space that usually follows
    // it (Python's json writes ", " and ": "), so that the next peek() is a byte test;
    // peek() still takes any other whitespace.
    [[gnu::always_inline]] void step_separator() {
        ++p_;
        if (p_ < end_) p_ += *p_ == ' ';
    }

    // Steps over a key of `length` bytes with its colon, matched at the cursor, and the
    // one space usual after it.
    [[gnu::always_inline]] void step_key(std::size_t length) {
        p_ += length;
        if (p_ < end_) p_ += *p_ == ' ';
    }

    // Consumes `c` if it is the next byte after whitespace.
    bool take(char c) {
        if (peek() != static_cast<unsigned char>(c)) return false;
        ++p_;
        return true;
    }

    // Gives up at the cursor, where the grammar decides what may stand (a value begins
    // there, `value`) and everything before it was taken: the general reader refuses the
    // same byte first, if the grammar does.  Only where no typed check of what comes before
    // is left undone.
    [[gnu::cold]] bool refuse(bool value = false) {
        refused_ = p_;
        refused_value_ = value;
        refused_key_ = kNoKey;
        return false;
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
    std::optional<std::string_view> plain_string() {
        const std::size_t from = static_cast<std::size_t>(p_ - begin_) + 1;
        const std::size_t size = static_cast<std::size_t>(end_ - begin_);
        const std::size_t stop = json::scan_string(begin_, from, size);
        if (stop >= size || begin_[stop] != '"') return std::nullopt;
        p_ = begin_ + stop + 1;
        return std::string_view(begin_ + from, stop - from);
    }

    // A string, the opening quote at the cursor; one with escapes is decoded out of line,
    // kept in the store when `Keep` (else checked, its view lasting until the next).
    template <bool Keep = true>
    std::optional<std::string_view> string() {
        const std::size_t from = static_cast<std::size_t>(p_ - begin_) + 1;
        const std::size_t size = static_cast<std::size_t>(end_ - begin_);
        const std::size_t stop = json::scan_string(begin_, from, size);
        if (stop >= size) return std::nullopt;
        if (begin_[stop] == '"') [[likely]] {
            p_ = begin_ + stop + 1;
            return std::string_view(begin_ + from, stop - from);
        }
        if constexpr (decodes_escapes<Sink>()) {
            if (begin_[stop] == '\\') return escaped<Keep>();
        }
        return std::nullopt;
    }

    // The string at the cursor, which has an escape, decoded; nothing (the cursor unmoved)
    // for what the general reader refuses.
    template <bool Keep>
    [[gnu::noinline, gnu::cold]] std::optional<std::string_view> escaped() {
        const auto decoded = decode_string(begin_, p_ + 1, end_, *store_, Keep);
        if (!decoded) return std::nullopt;
        sink_.escaped_text();
        p_ = decoded->second;
        return decoded->first;
    }

    // A key and its colon.
    template <bool Keep = true>
    std::optional<std::string_view> key() {
        if (peek() != '"') return std::nullopt;
        auto k = string<Keep>();
        if (!k) {
            ++p_;  // past the quote: a key of a map or a free value, no name for worth_lenient()
            return std::nullopt;
        }
        if (!take(':')) {
            refuse();
            return std::nullopt;
        }
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
        if (!any()) {
            refused_skipped_ = true;  // a free value is read, an unknown member's skipped
            return false;
        }
        tell(from, static_cast<const char*>(p_));
        return true;
    }

    template <bool Value>
    bool number(json::Number& n) {
        const int c = peek();
        if (c != '-' && static_cast<unsigned>(c - '0') >= 10) return refuse(true);
        const char* stop = json::scan_plain_number<Value>(p_, end_, n);
        if (stop == nullptr) return refuse(true);
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
        // The first letter decides between most names in one byte test each.
        const char first = q < end_ ? *q : '"';
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            (void)(((KeyText<std::remove_cvref_t<Name>, I>::bytes[1] == first &&
                     quoted_is(q, name(std::integral_constant<std::size_t, I>{})))
                        ? (index = I, length = name(std::integral_constant<std::size_t, I>{}).size(), true)
                        : false) ||
                   ...);
        }(std::make_index_sequence<count>{});
        if (index < count) {
            p_ = q + length + 1;
            return index;
        }
        auto other = plain_string();
        if (!other) {
            if constexpr (Lenient) {
                return escaped_name_at<count>(name);
            } else {
                refuse(true);  // an escape, for a lenient walk, or a fault in the string
                return std::nullopt;
            }
        }
        other_ = *other;
        return count;
    }

    // name_at() for a member's key and its colon, with the one space usual after the
    // colon stepped over.  A key written `"name":`, without escapes or whitespace, is
    // told by its first letter and one fixed-width compare; any other is left to
    // name_at().
    template <std::size_t count, class Name>
    [[gnu::always_inline]] std::optional<std::size_t> key_at(Name&& name) {
        using N = std::remove_cvref_t<Name>;
        std::size_t index = count;
        std::size_t length = 0;
        if (end_ - p_ >= 2) {
            const char first = p_[1];
            [&]<std::size_t... I>(std::index_sequence<I...>) {
                (void)(((KeyText<N, I>::bytes[1] == first && key_is<KeyText<N, I>::bytes.size()>(KeyText<N, I>::bytes.data()))
                            ? (index = I, length = KeyText<N, I>::bytes.size(), true)
                            : false) ||
                       ...);
            }(std::make_index_sequence<count>{});
        }
        if (index < count) {
            step_key(length);
            return index;
        }
        auto other = name_at<count>(name);
        if (!other) return std::nullopt;
        if (!take(':')) {
            refuse();
            refused_key_ = *other;  // for the caller to judge: a repeated name is refused first
            return std::nullopt;
        }
        return other;
    }

    // Whether the text at the cursor begins with the n bytes of `key`.
    template <std::size_t n>
    [[gnu::always_inline]] bool key_is(const char* key) const {
        return end_ - p_ >= static_cast<std::ptrdiff_t>(n) && same_bytes(p_, key, n);
    }

    // name_at() for a string with escapes, decoded into the store.
    template <std::size_t count, class Name>
    [[gnu::noinline, gnu::cold]] std::optional<std::size_t> escaped_name_at(Name&& name) {
        if constexpr (!decodes_escapes<Sink>()) return std::nullopt;
        const auto decoded = decode_string(begin_, p_ + 1, end_, *store_, true);
        if (!decoded) return std::nullopt;
        p_ = decoded->second;
        sink_.escaped_name();
        std::size_t index = count;
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            (void)((decoded->first == name(std::integral_constant<std::size_t, I>{}) ? (index = I, true) : false) || ...);
        }(std::make_index_sequence<count>{});
        other_ = decoded->first;
        return index;
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
            if (c != ',') return refuse();
            step_separator();
            c = peek();
        }
        for (;;) {
            if (c != '"') return refuse();
            if (!on_member() || stopped()) return false;
            c = peek();
            if (c == ',') {
                step_separator();
                c = peek();
                continue;
            }
            if (c != '}') return refuse();
            ++p_;
            return true;
        }
    }

    // Any JSON value, checked and dropped.  Stricter than both the reading of free values
    // and the skipping of unknown members, so it accepts nothing that either refuses.
    bool any() {
        switch (peek()) {
            case '"': return string<false>().has_value() || refuse(true);
            case 'n': return literal("null") || refuse(true);
            case 't': return literal("true") || refuse(true);
            case 'f': return literal("false") || refuse(true);
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
                    if (c != ']') return refuse();
                    ++p_;
                    leave();
                    return true;
                }
            }
            case '{': {
                if (!enter() || !members(false, [&] { return key<false>() && any(); })) return false;
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
            if (peek() != '"') return refuse(true);
            auto s = string();
            if (!s) return refuse(true);
            sink_.template text<Member>(*s);
            return true;
        } else if constexpr (std::is_same_v<T, double> || std::is_same_v<T, std::uint32_t> ||
                             std::is_same_v<T, std::uint64_t>) {
            return typed_number<T, Member>();
        } else if constexpr (std::is_same_v<T, JsonValue>) {
            return any_told([&](const char* b, const char* e) { sink_.template free_value<Member>(b, e); });
        } else if constexpr (IsOptional<T>::value) {
            if (peek() == 'n') {
                if (!literal("null")) return refuse(true);
                sink_.template null<Member>();
                return true;
            }
            return value<typename T::value_type, Member>();
        } else if constexpr (IsVector<T>::value) {
            return list<typename T::value_type, Member>();
        } else if constexpr (IsSortedMap<T>::value) {
            if (peek() != '{') return refuse(true);
            if (!enter()) return false;
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
            if (c != '-' && static_cast<unsigned>(c - '0') >= 10) return refuse(true);
        }
        if constexpr (std::is_same_v<T, double> && takes_reals<Sink>()) {
            double v;
            if (const char* stop = json::scan_sample(p_, end_, v)) {
                p_ = stop;
                sink_.template real<Member>(v);
                return true;
            }
        }
        if constexpr (std::is_same_v<T, double> && !kWantsNumbers) {
            const char* stop = json::skip_short_double(p_, end_);
            if (stop == nullptr) return refuse(true);
            sink_.template double_token<Member>(p_, stop);
            p_ = stop;
        } else {
            json::Number n;
            const char* stop = nullptr;
            if constexpr (std::is_same_v<T, double>) stop = json::scan_short_number(p_, end_, n);
            if (stop == nullptr) stop = json::scan_plain_number<true>(p_, end_, n);
            if (stop == nullptr) return refuse(true);
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

    // Compact samples ("1.5,2" or "1.5, 2") for a sink that wants no numbers, thirty-two
    // bytes at a time, the cursor at a sample's first byte: the samples before the last one
    // begun in the block are checked by byte masks to be of the form that typed_number
    // takes, each followed by "," or ", ", and stepped over.  Anything unusual in them stops
    // the block with the cursor where it was, for the sample loop to decide; false when no
    // block took anything.
    bool skip_samples(std::size_t& n) {
        bool took = false;
#if defined(__SSE2__)
        using Bits = std::uint64_t;
        while (end_ - p_ >= 32) {
            const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p_));
            const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p_ + 16));
            auto bits = [](__m128i a, __m128i b) {
                return static_cast<Bits>(static_cast<unsigned>(_mm_movemask_epi8(a))) |
                       static_cast<Bits>(static_cast<unsigned>(_mm_movemask_epi8(b))) << 16;
            };
            auto is = [&](char c) {
                const __m128i k = _mm_set1_epi8(c);
                return bits(_mm_cmpeq_epi8(lo, k), _mm_cmpeq_epi8(hi, k));
            };
            // Signed compares: bytes from 0x80 up are negative, so never digits.
            auto digits = [](__m128i x) {
                return _mm_and_si128(_mm_cmpgt_epi8(x, _mm_set1_epi8('0' - 1)), _mm_cmplt_epi8(x, _mm_set1_epi8('9' + 1)));
            };
            const Bits digit = bits(digits(lo), digits(hi));
            const Bits dot = is('.');
            const Bits minus = is('-');
            const Bits comma = is(',');
            const Bits space = is(' ');
            const Bits number = digit | dot | minus;
            // Sample text runs up to the first other byte (bit 32 when none).
            const int limit = std::countr_one(number | comma | space);
            const Bits starts = number & ~(number << 1) & ((Bits{1} << limit) - 1) & ~Bits{1};
            if (starts == 0) break;
            // Bytes up to the last sample begun in the block, that one's first byte included.
            const int cut = 63 - std::countl_zero(starts);
            const Bits checked = (Bits{2} << cut) - 1;
            const Bits first = number & ~(number << 1);
            const Bits integer = digit & ~(digit << 1) & ~(dot << 1);
            Bits bad = comma & ~(digit << 1);                 // a sample ends in a digit,
            bad |= (comma << 1) & ~(space | digit | minus);   // then one space at most
            bad |= space & ~(comma << 1);
            bad |= (space << 1) & ~(digit | minus);           // and the next begins
            bad |= minus & ~first;                            // a sign leads
            bad |= (minus << 1) & ~digit;                     // a digit follows it
            bad |= dot & ~(digit << 1);                       // digits on both sides
            bad |= (dot << 1) & ~digit;                       // of a point
            bad |= ((is('0') & integer) << 1) & digit;        // no leading zero
            bad |= dot & ((number & ~(number + dot)) << 1);   // one point a sample
            if ((bad & checked) != 0) break;
            n += static_cast<std::size_t>(std::popcount(starts & (checked >> 1))) + 1;
            p_ += cut;
            took = true;
        }
#endif
        return took;
    }

    // The samples of a list of doubles into the room the sink lends, the cursor at the
    // first; the closing bracket consumed.  The cursor is kept in a local and written back
    // where a call may read it.
    bool samples_into(SampleRoom& room, std::size_t& n) {
        const char* p = p_;
        double* at = room.at;
        double* limit = room.limit;
        // The samples stored are counted by the room they took, as the room changes.
        std::size_t count = 0;
        const double* first = at;
        unsigned misses = 0;  // scanned samples in a row that the next did not repeat
        std::size_t step = 0;  // see next_in_run
        // Up to `fast`, a sample and the separator after it have their bytes in the text.
        constexpr std::ptrdiff_t kRoom = json::kListedSampleRoom + 16;
        const char* const fast = end_ - p > kRoom ? end_ - kRoom : p;
        for (;;) {
            double v;
            // A sample takes two bytes at least: before `bound` the room holds the next.
            const char* const bound = fast - p < 2 * (limit - at) ? fast : p + 2 * (limit - at);
            // The cursor after the "," at `comma`: past one space, or a newline and an indent.
            auto after_comma = [this](const char* comma) {
                const auto next = static_cast<unsigned char>(comma[1]);
                const char* q = comma + 1 + (next == ' ');
                if (next == '\n') {
                    if (line_length_ != 0) {
                        if (const char* line = after_known_line(comma)) return line;
                    }
                    if (const char* line = after_line(comma)) q = line;
                }
                return q;
            };
            bool more = true;
            while (more && p < bound) {
                if (misses >= 16) [[unlikely]] {
                    // A channel that seldom repeats: a run of samples without the repeat
                    // step, which would cost each of them a look, then sixteen tries again.
                    misses = 0;
                    for (unsigned plain = 0; plain < 256 && p < bound; ++plain) {
                        const char* stop = json::scan_listed_sample(p, v);
                        if (stop == nullptr || *stop != ',') {
                            more = false;
                            break;
                        }
                        *at++ = v;
                        p = json::next_in_run(p, after_comma(stop), step);
                    }
                    continue;
                }
                // The usual sample and "," or ", " after it, or ",\n" and an indent.
                const char* stop = json::scan_listed_sample(p, v);
                if (stop == nullptr || *stop != ',') break;
                *at++ = v;
                const char* const token = p;
                p = json::next_in_run(token, after_comma(stop), step);
                // A recording often repeats its last value: the same bytes up to a "," are
                // the same token, so the same double, with no scan.
                const auto length = static_cast<unsigned>(stop - token);
                if (length > 8) continue;
                const double* const before = at;
                const std::uint64_t mask = ~std::uint64_t{0} >> (64 - 8 * length);
                std::uint64_t same;
                std::memcpy(&same, token, 8);
                same &= mask;
                while (p < bound) {
                    std::uint64_t word;
                    std::memcpy(&word, p, 8);
                    if ((word & mask) != same || p[length] != ',') break;
                    *at++ = v;
                    p = json::next_in_run(p, after_comma(p + length), step);
                }
                misses = at == before ? misses + 1 : 0;
            }
            // Anything else, the last sample included, one step at a time; whitespace
            // first, which the steps above may have left.
            if (p < end_ && static_cast<unsigned char>(*p) <= ' ') {
                p_ = p;
                (void)peek();
                p = p_;
            }
            if (const char* stop = json::scan_sample(p, end_, v)) [[likely]] {
                p = stop;
            } else {
                p_ = p;
                const std::optional<double> read = long_sample();
                if (!read) return false;
                v = *read;
                p = p_;
            }
            if (at == limit) [[unlikely]] {
                count += static_cast<std::size_t>(at - first);
                room.at = at;
                sink_.more_room(room);
                at = room.at;
                first = at;
                limit = room.limit;
            }
            *at++ = v;
            if (const char* q = after_separator(p)) {
                p = q;
                continue;
            }
            p_ = p;
            const int c = peek();
            if (c == ',') {
                ++p_;
                if (peek() == json::kEof) return false;
                p = p_;
                continue;
            }
            if (c != ']') return false;
            ++p_;
            room.at = at;
            n += count + static_cast<std::size_t>(at - first);
            return true;
        }
    }

    // Samples one a line, for a sink that wants no numbers, the cursor at a sample's first
    // byte: each checked by its form as typed_number() checks it, and the separator after
    // it compared whole with the line kept (see after_known_line).  Stops at a sample's
    // first byte at anything else, for the sample loop to decide.
    void skip_lines(std::size_t& n) {
#if defined(__SSE2__)
        const char* p = p_;
        // The scan reads eighteen bytes from a sample, the compare thirty-two from its end.
        const char* const fast = end_ - p > 64 ? end_ - 64 : p;
        std::size_t step = 0;  // see next_in_run
        while (p < fast) {
            // The compare with the line, which starts with its comma, settles where the
            // token ends.
            const char* stop = json::skip_listed_sample(p);
            if (stop == nullptr) break;
            const char* next = known_line(stop);
            if (next == nullptr) break;
            ++n;
            p = json::next_in_run(p, next, step);
        }
        p_ = p;
#else
        (void)n;
#endif
    }

    // A sample that scan_sample() does not take, converted as typed_number() converts it.
    [[gnu::noinline]] std::optional<double> long_sample() {
        if (p_ >= end_) return std::nullopt;
        const int c = static_cast<unsigned char>(*p_);
        if (c != '-' && static_cast<unsigned>(c - '0') >= 10) return std::nullopt;
        json::Number number;
        const char* stop = json::scan_short_number(p_, end_, number);
        if (stop == nullptr) stop = json::scan_plain_number<true>(p_, end_, number);
        if (stop == nullptr) return std::nullopt;
        // "-0" is left to the general reader, as typed_number() leaves it.
        if (stop - p_ == 2 && p_[0] == '-' && p_[1] == '0') return std::nullopt;
        p_ = stop;
        return number.as_double();
    }

    template <class E, auto Member>
    bool list() {
        if (peek() != '[') return refuse(true);
        if (!enter()) return false;
        sink_.template list_begin<Member>();
        std::size_t n = 0;
        if (peek() == ']') {
            ++p_;
        } else if constexpr (std::is_same_v<E, double> && lends_sample_room<Sink>()) {
            if (!samples_into(sink_.template sample_room<Member>(), n)) return false;
        } else if constexpr (std::is_same_v<E, double>) {
            // Recorded samples, the bulk of a recording: one tight loop.
            // Compact samples by blocks until a block takes none.
            constexpr bool kByBlocks = !kWantsNumbers && !wants_double_tokens<Sink>();
            bool blocks = kByBlocks;
            // A sink that takes each sample's value spends its time on those, not on
            // waiting for the scan (see next_in_run), and measured slower with it.
            [[maybe_unused]] std::size_t step = 0;
            for (;;) {
                if constexpr (kByBlocks) {
                    if (blocks) {
                        blocks = skip_samples(n);
                    } else if (line_length_ != 0) {
                        skip_lines(n);
                    }
                }
                [[maybe_unused]] const char* const at = p_;
                if (!typed_number<double, nullptr, true>()) return false;
                ++n;
                if (const char* q = after_separator(p_)) {
                    if constexpr (kWantsNumbers) {
                        p_ = q;
                    } else {
                        p_ = json::next_in_run(at, q, step);
                    }
                    continue;
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
                if (const int taken = lean_row<E>(); taken == 2) {
                    ++n;
                    continue;
                } else if (taken == 0 && !number_row<E>() && !value<E, nullptr>()) {
                    return false;
                }
                ++n;
                if constexpr (rows_of<E>()) p_ = past_blanks(p_);
                const int c = peek();
                if (c == ',') {
                    step_separator();
                    continue;
                }
                if (c != ']') return refuse();
                ++p_;
                break;
            }
        }
        leave();
        sink_.template list_size<Member>(n);
        return true;
    }

    // Whether every field of the record description D is a double or an optional one.
    template <class D>
    static constexpr bool numbers_only() {
        return []<std::size_t... I>(std::index_sequence<I...>) {
            return ((std::is_same_v<field_type_of<D, I>, double> ||
                     std::is_same_v<field_type_of<D, I>, std::optional<double>>) &&
                    ...);
        }(std::make_index_sequence<field_count<D>()>{});
    }

    // Whether entries of a list of E may be number rows for this sink (see number_row).
    template <class E>
    static constexpr bool rows_of() {
        if constexpr (!model::detail::IsOptional<E>::value || !takes_number_rows<Sink>()) {
            return false;
        } else {
            return numbers_only<Describe<typename E::value_type>>();
        }
    }

    // An entry of a list of optional records of doubles, for a sink that takes them as
    // rows: an object whose members are its fields in declaration order, each key
    // followed by a colon and at most one space, each value a number that the sample
    // scans take (or null for an optional field), separated by "," or ", ", the optional
    // fields at its end left out or not.  Looked at from the cursor without moving it:
    // true when taken and handed over; false for anything else, which the general loop
    // then reads from the same place.
    template <class E>
    [[gnu::always_inline]] bool number_row() {
        if constexpr (!rows_of<E>()) {
            return false;
        } else {
            using T = typename E::value_type;
            using D = Describe<T>;
            // Whitespace first as peek() would step over it, an indented line in one step.
            p_ = past_blanks(p_);
            if (p_ == end_ || *p_ != '{' || depth_ >= kMaxDepth) return false;
            const char* p = p_ + 1;
            double values[field_count<D>()] = {};
            std::uint32_t present = 0;
            bool closed = false;
            const bool ok = [&]<std::size_t... I>(std::index_sequence<I...>) __attribute__((always_inline)) {
                return (row_field<D, I>(p, values, present, closed) && ...);
            }(std::make_index_sequence<field_count<D>()>{});
            if (!ok) return false;
            if (!closed) {
                p = past_blanks(p);
                if (p == end_ || *p != '}') return false;
                ++p;
            }
            if ((present & required_mask<D>()) != required_mask<D>()) return false;
            p_ = p;
            sink_.template number_row<T>(values, present);
            return true;
        }
    }

    // The bytes before the value of field I of a number row, as the last row had them.
    struct Lead {
        char bytes[32];
        std::uint32_t mask = 0;  // a bit per byte of the lead; none kept yet when 0
        unsigned length = 0;
    };
    static constexpr std::size_t kLeads = 4;

    // Where the value of field I starts when the bytes at `from` are the kept lead and a
    // byte that is not whitespace follows; null otherwise.
    template <std::size_t I>
    [[gnu::always_inline]] const char* after_lead(const char* from) const {
#if defined(__SSE2__)
        if constexpr (I < kLeads) {
            const Lead& lead = leads_[I];
            if (lead.mask == 0 || end_ - from < 33) return nullptr;
            auto same = [&](int half) {
                const __m128i text = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 16 * half));
                const __m128i kept = _mm_loadu_si128(reinterpret_cast<const __m128i*>(lead.bytes + 16 * half));
                return static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(text, kept)));
            };
            if (((same(0) | same(1) << 16) & lead.mask) != lead.mask) return nullptr;
            const char* value = from + lead.length;
            return static_cast<unsigned char>(*value) > ' ' ? value : nullptr;
        }
#endif
        (void)from;
        return nullptr;
    }

    // Keeps the bytes from `from` to the value at `value` as field I's lead, when they fit.
    template <std::size_t I>
    void keep_lead(const char* from, const char* value) {
        if constexpr (I < kLeads) {
            const auto length = static_cast<std::size_t>(value - from);
            Lead& lead = leads_[I];
            if (length == 0 || length > 32 || end_ - from < 33) {
                lead.mask = 0;
                return;
            }
            std::memcpy(lead.bytes, from, 32);
            lead.mask = length == 32 ? ~std::uint32_t{0} : (std::uint32_t{1} << length) - 1;
            lead.length = static_cast<unsigned>(length);
        } else {
            (void)from;
            (void)value;
        }
    }

    // Field I of a number row at `p` (after the opening brace or the previous value); false
    // to give the row up.  `closed` once the closing brace came in place of an optional
    // field, which leaves the rest out.
    template <class D, std::size_t I>
    [[gnu::always_inline]] bool row_field(const char*& p, double* values, std::uint32_t& present, bool& closed) {
        if (closed) return true;
        // The bytes up to the value as the last row had them (an indented row's newline,
        // indent, key and colon), or else each step, the bytes then kept for the next row.
        const char* const from = p;
        if (const char* value = after_lead<I>(from)) {
            p = value;
        } else {
            if constexpr (I > 0) {
                p = past_blanks(p);
                if (p == end_) return false;
                if (*p == '}') {
                    closed = true;
                    ++p;
                    return std::get<I>(D::fields).presence != Presence::Required;
                }
                if (*p != ',') return false;
            }
            p = past_blanks(I > 0 ? p + 1 : p);
            constexpr std::string_view name = std::get<I>(D::fields).name;
            if (p == end_ || *p != '"' || !quoted_is(p + 1, name)) return false;
            p += name.size() + 2;
            if (p == end_ || *p != ':') return false;
            ++p;
            if (p != end_ && *p == ' ') ++p;
            keep_lead<I>(from, p);
        }
        if constexpr (model::detail::IsOptional<field_type_of<D, I>>::value) {
            if (end_ - p >= 4 && same_bytes(p, "null", 4)) {
                p += 4;
                return true;
            }
        }
        if constexpr (!kWantsNumbers) {
            // The form alone, as typed_number() checks a double for such a sink.  What
            // follows a value is checked to be whitespace, a comma or the brace, which
            // settles where the token ends.
#if defined(__SSE2__)
            const char* stop = end_ - p >= 18 ? json::skip_listed_sample(p) : json::skip_short_double(p, end_);
#else
            const char* stop = json::skip_short_double(p, end_);
#endif
            if (stop == nullptr) return false;
            p = stop;
        } else if (const char* stop = json::scan_sample(p, end_, values[I])) {
            p = stop;
        } else {
            json::Number number;
            stop = json::scan_short_number(p, end_, number);
            if (stop == nullptr) return false;
            values[I] = number.as_double();
            p = stop;
        }
        present |= std::uint32_t{1} << I;
        return true;
    }

    // A number row in the form most writers give it, `{"<first>": 1.5, "<second>": 2}` (the keys
    // and spaces as RowKeyText has them, each number one that scan_listed_sample() takes,
    // the optional fields at its end left out or not), and the ", " after it when another
    // row follows.  2 when both were taken, the cursor at the next row; 1 when the row
    // alone was; 0 with the cursor unmoved for anything else, which number_row() and the
    // general loop then read.  Fixed bytes compared in place of a key scan and a number
    // scan that knows its bounds make the bulk of a track a few word compares.
    template <class E>
    [[gnu::always_inline]] int lean_row() {
        if constexpr (!rows_of<E>()) {
            return 0;
        } else {
            using T = typename E::value_type;
            using D = Describe<T>;
            constexpr std::size_t kFields = field_count<D>();
            // Every key, every number with the bytes its scan reads, and the separator.
            constexpr std::ptrdiff_t kRoom = []<std::size_t... I>(std::index_sequence<I...>) {
                return ((static_cast<std::ptrdiff_t>(RowKeyText<D, I>::bytes.size()) + 17) + ...) +
                       json::kListedSampleRoom + 3;
            }(std::make_index_sequence<kFields>{});
            const char* p = p_;
            if (end_ - p < kRoom || depth_ >= kMaxDepth) return 0;
            double values[kFields] = {};
            std::uint32_t present = 0;
            bool closed = false;
            const bool ok = [&]<std::size_t... I>(std::index_sequence<I...>) __attribute__((always_inline)) {
                return (lean_field<D, I>(p, values, present, closed) && ...);
            }(std::make_index_sequence<kFields>{});
            if (!ok || !closed || (present & required_mask<D>()) != required_mask<D>()) return 0;
            sink_.template number_row<T>(values, present);
            if (p[0] == ',' && p[1] == ' ' && p[2] == '{') {
                p_ = p + 2;
                return 2;
            }
            p_ = p;
            return 1;
        }
    }

    // Whether the N (at least 8) bytes at `a` and `b` are the same, by words of eight,
    // the last one overlapping the one before.
    template <std::size_t N>
    [[gnu::always_inline]] static bool same_words(const char* a, const char* b) {
        static_assert(N >= 8);
        std::uint64_t differ = 0;
        for (std::size_t at = 0;; at += 8) {
            const std::size_t k = at + 8 <= N ? at : N - 8;
            std::uint64_t x;
            std::uint64_t y;
            std::memcpy(&x, a + k, 8);
            std::memcpy(&y, b + k, 8);
            differ |= x ^ y;
            if (k + 8 >= N) break;
        }
        return differ == 0;
    }

    // Field I of a lean row at `p`, which stays inside the room lean_row() checked.
    template <class D, std::size_t I>
    [[gnu::always_inline]] bool lean_field(const char*& p, double* values, std::uint32_t& present, bool& closed) {
        if (closed) return true;
        constexpr auto& key = RowKeyText<D, I>::bytes;
        if (!same_words<key.size()>(p, key.data())) return false;
        const char* stop;
#if defined(__SSE2__)
        if constexpr (!kWantsNumbers) {
            // The form alone, as row_field() checks it.
            stop = json::skip_listed_sample(p + key.size());
        } else {
            stop = json::scan_listed_sample(p + key.size(), values[I]);
        }
#else
        stop = json::scan_listed_sample(p + key.size(), values[I]);
#endif
        if (stop == nullptr) return false;
        present |= std::uint32_t{1} << I;
        if (*stop == '}') {
            closed = true;
            p = stop + 1;
            return true;
        }
        p = stop;
        return I + 1 < field_count<D>() && *stop == ',';
    }

    // ---- records ----

    // The field that the key at the cursor names (the field count for none), with its
    // colon consumed; nullopt to give up.
    template <class D>
    std::optional<std::size_t> field_key() {
        return key_at<field_count<D>()>([](auto i) { return std::get<i()>(D::fields).name; });
    }

    template <class D>
    bool field_at(std::size_t index) {
        bool ok = false;
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            (void)((index == I ? (sink_.template field<D, I>(), ok = field_value<D, I>(), true) : false) || ...);
        }(std::make_index_sequence<field_count<D>()>{});
        return ok;
    }

    // The value of field I of D.  A double is scanned in place: the walk meets one in most
    // records, and a call for each costs more than the scan.
    template <class D, std::size_t I>
    [[gnu::always_inline]] bool field_value() {
        using F = field_type_of<D, I>;
        constexpr auto member = std::get<I>(D::fields).member;
        if constexpr (std::is_same_v<F, double>) {
            return typed_number<double, member>();
        } else {
            return value<F, member>();
        }
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
    // With the tag read ahead (`tag_at` its key, `tag_end` the end of its value), the
    // members are those from the opening brace and the tag is stepped over.  The fields
    // in `taken` were read already, as the members before the cursor.
    template <class T, bool after_tag = false, bool tag_ahead = false>
    bool record_members(const char* tag_at = nullptr, const char* tag_end = nullptr, std::uint32_t taken = 0) {
        using D = Describe<T>;
        static_assert(field_count<D>() <= 32);
        std::uint32_t seen = taken;
        const bool ok = members((after_tag && !tag_ahead) || taken != 0, [&] {
            if constexpr (tag_ahead) {
                if (p_ == tag_at) {
                    p_ = tag_end;
                    return true;
                }
            }
            const auto index = field_key<D>();
            if (!index) {
                // A key without its colon: a repeated field, or a second tag, is refused first.
                if (refused_key_ < field_count<D>() ? (seen >> refused_key_ & 1) != 0
                                                     : refused_key_ != kNoKey && after_tag && other_ == kTagKey) {
                    refused_ = nullptr;
                }
                return false;
            }
            if (*index == field_count<D>()) {
                return !(after_tag && other_ == kTagKey) &&
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
        if (peek() != '{') return refuse(true);
        if (!enter()) return false;
        sink_.template begin<T>();
        if (stopped()) return false;
        std::uint32_t taken = 0;
        const Ordered ordered = in_order<Describe<T>>(taken);
        if (ordered == Ordered::GiveUp) return false;
        if (ordered == Ordered::Complete) {
            sink_.template end<T>();
            leave();
            return true;
        }
        if (!record_members<T>(nullptr, nullptr, taken)) return false;
        sink_.template end<T>();
        leave();
        return true;
    }

    enum class Ordered : std::uint8_t { Complete, Rest, GiveUp };

    // The members of a record written in declaration order, after its opening brace (or,
    // `after_tag`, from the comma after the tag of an internally tagged value): each key
    // is then one fixed compare, with no look among the names.  Fields that may be left
    // out are stepped past when the member is not theirs.  Complete: the closing brace
    // consumed.  Rest: the cursor is at the comma before (or, with nothing `taken` and
    // no tag, at) the first member out of that order, which the general loop takes from
    // there.  The events are those of the general loop.
    template <class D>
    Ordered in_order(std::uint32_t& taken, bool after_tag = false) {
        Ordered ordered = Ordered::Rest;
        const char* rest = p_;
        bool at_key = !after_tag;
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            (void)(ordered_field<D, I>(taken, ordered, rest, at_key) && ...);
        }(std::make_index_sequence<field_count<D>()>{});
        if (ordered == Ordered::Rest) p_ = rest;
        return ordered;
    }

    // Field I in its place; true to go on to the next field.  `rest`: where the general
    // loop would go on; `at_key`: the cursor is past the comma before the member.
    template <class D, std::size_t I>
    [[gnu::always_inline]] bool ordered_field(std::uint32_t& taken, Ordered& ordered, const char*& rest,
                                              bool& at_key) {
        using Key = KeyText<FieldName<D>, I>;
        if (!at_key) {
            step_separator();
            at_key = true;
        }
        if (peek() != '"' || !key_is<Key::bytes.size()>(Key::bytes.data())) {
            // A field that may be left out may be followed by the next one.
            return std::get<I>(D::fields).presence != Presence::Required;
        }
        step_key(Key::bytes.size());
        ordered = Ordered::GiveUp;
        sink_.template field<D, I>();
        if (!field_value<D, I>() || stopped()) return false;
        taken |= std::uint32_t{1} << I;
        const int c = peek();
        if (c == '}') {
            ++p_;
            if ((taken & required_mask<D>()) == required_mask<D>()) ordered = Ordered::Complete;
            return false;
        }
        if (c != ',') return refuse();
        ordered = Ordered::Rest;
        rest = p_;
        at_key = false;
        return true;
    }

    // ---- enumerations ----

    // `"type":` at the cursor, after any whitespace.
    // The tag's name is made here from the array and its size, a constant from the
    // start: a string_view copied from a variable stays a load until after the early
    // inlining, which then left this and the tag compares below out of line.
    bool type_key() {
        if (peek() != '"') return false;
        using Key = KeyText<TagKeyName, 0>;
        if (key_is<Key::bytes.size()>(Key::bytes.data())) {
            step_key(Key::bytes.size());
            return true;
        }
        if (!quoted_is(p_ + 1, std::string_view(kTagKey, sizeof kTagKey - 1))) return false;
        p_ += sizeof kTagKey + 1;
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
        if (peek() != '{') return refuse(true);
        if (!enter()) return false;
        sink_.template enum_begin<E>();
        const char* open = p_;
        if (!type_key()) return tag_not_first<E, false>(open, [&] { return adjacent_tag_ahead<E>(open); });
        auto index = tag<E>();
        if (!index) return false;
        return adjacent_members<E>(*index, true, nullptr, nullptr);
    }

    // The members of an adjacently tagged value of variant `index` up to its closing brace:
    // those after the tag (`after_tag`), or all of them from the brace, stepping over the
    // tag's member at [tag_at, tag_end).
    template <class E>
    [[gnu::always_inline]] bool adjacent_members(std::size_t index, bool after_tag, const char* tag_at,
                                                 const char* tag_end) {
        bool has_content = false;
        // The step is inlined where it is small: it runs for each tagged value, most often
        // for its content alone, and a call was a good part of that.  A list in it would
        // crowd out what the compiler inlines in the list.
        if (!members(after_tag, [&] [[gnu::always_inline]] () {
                if constexpr (holds_list<E>()) {
                    return adjacent_member_apart<E>(index, has_content, tag_at, tag_end);
                } else {
                    return adjacent_member<E>(index, has_content, tag_at, tag_end);
                }
            })) {
            return false;
        }
        if (!has_content && !dispatch<E>(index, [&]<std::size_t I>() { return UnitAlternative<Alt<E, I>>; })) {
            return false;
        }
        sink_.template enum_end<E>();
        leave();
        return true;
    }

    // One member of an adjacently tagged value of variant `index` (see adjacent_members).
    template <class E>
    [[gnu::always_inline]] bool adjacent_member(std::size_t index, bool& has_content, const char* tag_at,
                                                const char* tag_end) {
        using D = Describe<E>;
        if (p_ == tag_at) {
            p_ = tag_end;
            return true;
        }
        auto k = key_at<2>([](auto i) { return i() == 0 ? std::string_view(kTagKey, sizeof kTagKey - 1) : D::content_key; });
        if (!k) {
            // A key without its colon: a second tag or content is refused first.
            if (refused_key_ == 0 || (refused_key_ == 1 && has_content)) refused_ = nullptr;
            return false;
        }
        if (*k == 0 || (*k == 1 && has_content)) return false;
        if (*k == 2) return any_told([&](const char* b, const char* e) { sink_.unknown(other_, b, e); });
        has_content = true;
        return dispatch<E>(index, [&]<std::size_t I>() { return content<E, I>(); });
    }

    template <class E>
    [[gnu::noinline]] bool adjacent_member_apart(std::size_t index, bool& has_content, const char* tag_at,
                                                 const char* tag_end) {
        return adjacent_member<E>(index, has_content, tag_at, tag_end);
    }

    // Whether a variant of E holds a list.
    template <class E>
    static constexpr bool holds_list() {
        return []<std::size_t... I>(std::index_sequence<I...>) {
            return (list_content<Alt<E, I>>() || ...);
        }(std::make_index_sequence<std::variant_size_v<decltype(E::v)>>{});
    }
    template <class A>
    static constexpr bool list_content() {
        if constexpr (NewtypeAlternative<A>) {
            return model::detail::IsVector<std::remove_cvref_t<decltype(A::value)>>::value;
        } else {
            return false;
        }
    }

    // What a tagged object whose first member is not `"type":` leaves to `lenient`; a
    // walker that is not lenient hands the object over to a lenient one (see hand_over()).
    template <class E, bool internally, class F>
    [[gnu::always_inline]] bool tag_not_first(const char* open, F&& lenient) {
        if constexpr (Lenient) {
            (void)open;
            return lenient();
        } else {
            (void)lenient;
            return hand_over<E, internally>(open);
        }
    }

    // The tagged object from `open` walked by a lenient walker at this one's place, which
    // then goes on from where that one stopped.  Walking it here costs what the object
    // costs; giving up would cost the walk so far twice, since the caller then walks the
    // whole text again leniently.
    template <class E, bool internally>
    [[gnu::noinline, gnu::cold]] bool hand_over(const char* open) {
        Walker<Sink, true> lenient(begin_, p_, end_, depth_, store_, sink_);
        bool ok;
        if constexpr (internally) {
            ok = lenient.template internal_tag_ahead<E>(open);
        } else {
            ok = lenient.template adjacent_tag_ahead<E>(open);
        }
        p_ = lenient.p_;
        depth_ = lenient.depth_;
        refused_ = lenient.refused_;
        refused_key_ = lenient.refused_key_;
        refused_value_ = lenient.refused_value_;
        refused_skipped_ = lenient.refused_skipped_;
        return ok;
    }

    // The tag of a tagged object whose first member is not its tag, found by a skip over
    // the members before it from `open` (after the brace).  On success `tag_at` is the key
    // of the tag, the cursor is after its value, and the sink has heard the variant.  A member before the tag that is not a value gives up, as does an
    // object without a tag.
    template <class E>
    std::optional<std::size_t> tag_ahead(const char* open, const char*& tag_at) {
        auto index = tag_ahead_walk<E>(open, tag_at);
        // The members passed are checked only once the tag is known.
        if (!index) refused_ = nullptr;
        return index;
    }
    template <class E>
    std::optional<std::size_t> tag_ahead_walk(const char* open, const char*& tag_at) {
        p_ = open;
        int c = peek();
        for (;;) {
            if (c != '"') return std::nullopt;
            tag_at = p_;
            auto k = name_at<1>([](auto) { return std::string_view(kTagKey, sizeof kTagKey - 1); });
            if (!k || !take(':')) return std::nullopt;
            if (*k == 0) return tag<E>();
            if (!any()) return std::nullopt;
            if (peek() != ',') return std::nullopt;
            ++p_;
            c = peek();
        }
    }

    // An adjacently tagged value whose tag is not first: the members are walked from the
    // brace once the tag is known, as they would be after it, stepping over the tag.
    template <class E>
    [[gnu::noinline, gnu::cold]] bool adjacent_tag_ahead(const char* open) {
        const char* tag_at = nullptr;
        auto index = tag_ahead<E>(open, tag_at);
        if (!index) return false;
        const char* tag_end = p_;
        sink_.tag_moved(open, tag_at, tag_end);
        p_ = open;
        return adjacent_members<E>(*index, false, tag_at, tag_end);
    }

    // An internally tagged value whose tag is not first: the variant's members are walked
    // from the brace once the tag is known, stepping over the tag.
    template <class E>
    [[gnu::noinline, gnu::cold]] bool internal_tag_ahead(const char* open) {
        const char* tag_at = nullptr;
        auto index = tag_ahead<E>(open, tag_at);
        if (!index) return false;
        const char* tag_end = p_;
        sink_.tag_moved(open, tag_at, tag_end);
        p_ = open;
        if (!dispatch<E>(*index, [&]<std::size_t I>() {
                using A = Alt<E, I>;
                if constexpr (Describe<A>::style == Style::Flatten) {
                    constexpr auto member = Describe<A>::member;
                    sink_.template flat_begin<member>();
                    std::size_t n = 0;
                    if (!members(false, [&] {
                            if (p_ == tag_at) {
                                p_ = tag_end;
                                return true;
                            }
                            auto k = name_at<1>([](auto) { return std::string_view(kTagKey, sizeof kTagKey - 1); });
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
                    if (!record_members<A, true, true>(tag_at, tag_end)) return false;
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

    // {"type": name, ...the variant's own members} with the tag first.
    template <class E>
    bool internal() {
        if (peek() != '{') return refuse(true);
        if (!enter()) return false;
        sink_.template enum_begin<E>();
        const char* open = p_;
        if (!type_key()) return tag_not_first<E, true>(open, [&] { return internal_tag_ahead<E>(open); });
        auto index = tag<E>();
        if (!index) return false;
        if (!dispatch<E>(*index, [&]<std::size_t I>() {
                using A = Alt<E, I>;
                if constexpr (Describe<A>::style == Style::Flatten) {
                    constexpr auto member = Describe<A>::member;
                    sink_.template flat_begin<member>();
                    std::size_t n = 0;
                    if (!members(true, [&] {
                            auto k = name_at<1>([](auto) { return std::string_view(kTagKey, sizeof kTagKey - 1); });
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
                    std::uint32_t taken = 0;
                    if (peek() == ',') {
                        const Ordered ordered = in_order<Describe<A>>(taken, true);
                        if (ordered == Ordered::GiveUp) return false;
                        if (ordered == Ordered::Complete) {
                            sink_.template end<A>();
                            return true;
                        }
                    }
                    if (!record_members<A, true>(nullptr, nullptr, taken)) return false;
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
    const char* refused_ = nullptr;  // see refuse()
    static constexpr std::size_t kNoKey = ~std::size_t{0};
    std::size_t refused_key_ = kNoKey;  // the name whose colon is missing at refused_
    bool refused_value_ = false;
    bool refused_skipped_ = false;  // given up inside a free or unknown member's value
#if defined(__SSE2__)
    // The last separator after_line() took between samples: a comma, a newline and an
    // indent, `line_length_` bytes (none yet when 0).
    __m128i line_ = _mm_setzero_si128();
#endif
    unsigned line_length_ = 0;
    unsigned line_mask_ = 0;
    // The leads of number rows' fields (see after_lead), for a sink that takes rows.
    [[no_unique_address]] std::conditional_t<takes_number_rows<Sink>(), Lead[kLeads], std::monostate> leads_;
    // Decoded strings: the sink's, or the walk's own (unused then).
    [[no_unique_address]] std::conditional_t<lends_texts<Sink>() || !decodes_escapes<Sink>(), std::monostate, TextStore>
        own_;
    TextStore* store_;
    Sink& sink_;
};

// Walks `text` as one T; false when the general reader has to read it.
template <class T, bool Lenient = false, class Sink>
bool walk(std::string_view text, Sink& sink) {
    Walker<Sink, Lenient> walker(text, sink);
    return walker.template document<T>();
}

// The error that the general reading of `text` meets first, when the walk gave up at a
// fault of the JSON grammar that nothing before it outranks: the walk took everything
// before, so no typed fault comes earlier.  Nothing for any other give-up.
template <class W>
std::optional<json::Error> grammar_fault(std::string_view text, const W& walker) {
    const std::optional<json::Stop> stop = walker.grammar_stop();
    if (!stop) return std::nullopt;
    return json::grammar_fault_at(text, *stop);
}

// Whether the text ends as an object does, with a closing brace and whitespace after it.
// One that does not is cut short (a file written in part) or has something after its
// end: the general reader refuses it, and a walk would find that out only at the end.
inline bool ends_as_object(std::string_view text) {
    std::size_t n = text.size();
    while (n > 0 && (text[n - 1] == ' ' || text[n - 1] == '\n' || text[n - 1] == '\t' || text[n - 1] == '\r')) --n;
    return n > 0 && text[n - 1] == '}';
}

// Whether a walk that was not lenient, stopped at `at`, may have stopped for what a
// lenient one takes: a string with an escape, a name it could not decode.  (Tags not
// first it hands over itself.)  Texts cut short or wrong elsewhere are not walked again.
inline bool worth_lenient(std::string_view text, const char* at) {
    const char* const end = text.data() + text.size();
    if (at >= end || *at != '"') return false;
    for (const char* q = at + 1; q < end && *q != '"'; ++q) {
        if (*q == '\\') return true;
    }
    return false;
}

}  // namespace tavrik::model::fast
