// The JSON text reader: tokens, positions, strings, numbers, nesting and skipping.
//
// The reader works on the caller's bytes in place.  Strings without escapes come back
// as views into the input; escaped ones as views into one scratch buffer that every
// escaped string reuses, so a returned view is valid until the next string is read.
// Every failure comes back as an Error value; nothing throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <optional>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <string>
#include <string_view>

#include "json/error.hpp"
#include "json/number.hpp"

namespace tavrik::json {

// Writes the UTF-8 form of a code point (at most U+10FFFF) at `out`, returning its end.
inline char* put_utf8(char* out, std::uint32_t cp) {
    if (cp < 0x80) {
        *out++ = static_cast<char>(cp);
    } else if (cp < 0x800) {
        *out++ = static_cast<char>(0xC0 | (cp >> 6));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *out++ = static_cast<char>(0xE0 | (cp >> 12));
        *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        *out++ = static_cast<char>(0xF0 | (cp >> 18));
        *out++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
    return out;
}

// Appends the UTF-8 form of a code point (at most U+10FFFF) to `out`.
void append_utf8(std::string& out, std::uint32_t cp);

template <class T>
using Result = std::expected<T, Error>;
using Status = std::expected<void, Error>;

inline constexpr int kEof = -1;

// Where a walk over a document gave up at a byte that the grammar of JSON alone may
// refuse, having taken everything before it: the `offset` of that byte, `value` when a
// value begins there, `skipped` when it lies inside a value that the typed reading may
// skip rather than read (see grammar_fault_at()).
struct Stop {
    std::size_t offset;
    bool value;
    bool skipped;
};

// The error that the general reading of `text` meets first, when the grammar refuses what
// stands at the stop: the text is read from its start as a value read in full (nesting
// budget taken, numbers converted), building nothing, up to the stop, so the message and
// the position are the reader's own (defined with the typed sources, whose steps it takes).  Nothing when the grammar takes what stands there,
// refuses something before it, or would word it otherwise in a skipped value: the typed
// reading then has to tell.
std::optional<Error> grammar_fault_at(std::string_view text, const Stop& stop);

// Offset of the first quote, backslash or control byte at or after `i`, or `size`:
// sixteen bytes at a time where SSE2 is there, else eight by arithmetic on a word.
inline std::size_t scan_string(const char* data, std::size_t i, std::size_t size) {
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i control_max = _mm_set1_epi8(0x1F);
    while (i + 16 <= size) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        // v <= 0x1F (unsigned) exactly where min(v, 0x1F) == v.
        const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                                         _mm_cmpeq_epi8(_mm_min_epu8(v, control_max), v));
        if (const int mask = _mm_movemask_epi8(hit); mask != 0) return i + static_cast<std::size_t>(__builtin_ctz(mask));
        i += 16;
    }
#endif
    constexpr std::uint64_t ones = 0x0101010101010101ULL;
    constexpr std::uint64_t highs = 0x8080808080808080ULL;
    while (i + 8 <= size) {
        std::uint64_t w;
        std::memcpy(&w, data + i, 8);
        std::uint64_t q = w ^ (ones * '"');
        std::uint64_t b = w ^ (ones * '\\');
        std::uint64_t flagged = ((q - ones) & ~q) | ((b - ones) & ~b) | ((w - ones * 0x20) & ~w);
        flagged &= highs;
        if (flagged != 0) {
            // The lowest flagged byte is exact; borrows only disturb bytes above it.
            return i + static_cast<std::size_t>(__builtin_ctzll(flagged) / 8);
        }
        i += 8;
    }
    while (i < size) {
        auto c = static_cast<unsigned char>(data[i]);
        if (c == '"' || c == '\\' || c < 0x20) return i;
        ++i;
    }
    return size;
}

// The common number, `-?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]{1,4})?` with at most 19
// digits, read in one pass: an integer is its digits; a float is a mantissa of at most
// 2^53 scaled by a power of ten up to 10^22, both exact doubles, so one correctly rounded
// operation.  Returns the end of the token, or null for anything else (malformed, long,
// or needing the general conversion), which the general reader then takes from the start.
//
// Unbounded, it reads without checking for the end of the text: it never looks more than
// 64 bytes ahead, since it gives up at the twentieth digit.  Without `Value` it only
// checks the form, for numbers nobody keeps (every plain number is in range).
template <bool Bounded, bool Value = true>
inline const char* scan_plain_number_in(const char* p, const char* end, Number& out) {
    auto digit = [&](const char* q) { return (!Bounded || q < end) && static_cast<unsigned>(*q - '0') < 10; };
    if (Bounded && p == end) return nullptr;  // a list cut after its "[" reaches here
    const bool negative = *p == '-';
    p += negative;
    if (Bounded && p == end) return nullptr;
    std::uint64_t m = 0;
    int digits = 0;
    if (*p == '0') {
        ++p;
        digits = 1;
        if (digit(p)) return nullptr;
    } else if (static_cast<unsigned>(*p - '1') < 9) {
        do {
            if (++digits > 19) return nullptr;
            m = m * 10 + static_cast<unsigned>(*p++ - '0');
        } while (digit(p));
    } else {
        return nullptr;
    }
    int frac = 0;
    bool is_float = false;
    if ((!Bounded || p < end) && *p == '.') {
        ++p;
        while (digit(p)) {
            if (++digits > 19) return nullptr;
            m = m * 10 + static_cast<unsigned>(*p++ - '0');
            ++frac;
        }
        if (frac == 0) return nullptr;
        is_float = true;
    }
    int e = 0;
    if ((!Bounded || p < end) && (*p == 'e' || *p == 'E')) {
        ++p;
        bool e_negative = false;
        if ((!Bounded || p < end) && (*p == '+' || *p == '-')) e_negative = *p++ == '-';
        int e_digits = 0;
        while (digit(p)) {
            if (++e_digits > 4) return nullptr;
            e = e * 10 + (*p++ - '0');
        }
        if (e_digits == 0) return nullptr;
        if (e_negative) e = -e;
        is_float = true;
    }
    if constexpr (!Value) {
        (void)out;
        if (is_float || !negative || (m != 0 && m <= (std::uint64_t{1} << 63))) {
            const int e10 = e - frac;
            if (!is_float || (m <= (std::uint64_t{1} << 53) && e10 >= -22 && e10 <= 22)) return p;
        }
        return nullptr;
    }
    if (!is_float) {
        if (!negative) {
            out = Number::from_unsigned(m);
            return p;
        }
        if (m != 0 && m <= (std::uint64_t{1} << 63)) {
            out = Number::from_signed(static_cast<std::int64_t>(0 - m));
            return p;
        }
    }
    const int e10 = e - frac;
    if (m > (std::uint64_t{1} << 53) || e10 < -22 || e10 > 22) return nullptr;
    double d = static_cast<double>(m);
    d = e10 < 0 ? d / kExactPow10[-e10] : d * kExactPow10[e10];
    out = Number::from_double(negative ? -d : d);
    return p;
}

template <bool Value = true>
inline const char* scan_plain_number(const char* p, const char* end, Number& out) {
    return end - p >= 64 ? scan_plain_number_in<false, Value>(p, end, out) : scan_plain_number_in<true, Value>(p, end, out);
}

class Reader {
public:
    explicit Reader(std::string_view input) : data_(input.data()), size_(input.size()) {}

    // ---- cursor ----
    int peek() const { return pos_ < size_ ? static_cast<unsigned char>(data_[pos_]) : kEof; }
    // Skips the four whitespace bytes, then peeks.
    int peek_ws() {
        while (pos_ < size_) {
            char c = data_[pos_];
            if (c > ' ') return static_cast<unsigned char>(c);
            if (c != ' ' && c != '\n' && c != '\t' && c != '\r') return static_cast<unsigned char>(c);
            ++pos_;
            // Indentation: a line feed and a run of spaces, eight at a time.
            if (c == '\n') {
                constexpr std::uint64_t spaces = 0x2020202020202020ULL;
                std::uint64_t w;
                while (pos_ + 8 <= size_ && (std::memcpy(&w, data_ + pos_, 8), w == spaces)) pos_ += 8;
            }
        }
        return kEof;
    }
    void bump() { ++pos_; }

    // Raw access for loops that read many tokens at once.
    const char* cursor() const { return data_ + pos_; }
    const char* limit() const { return data_ + size_; }
    void seek(const char* p) { pos_ = static_cast<std::size_t>(p - data_); }
    // Whether `depth` more brackets may be entered.
    bool can_enter(int depth = 1) const { return budget_ > depth; }
    // Whether a string handed out lies in the input (rather than in the scratch buffer).
    bool in_input(std::string_view s) const { return s.data() >= data_ && s.data() <= data_ + size_; }

    // ---- errors and positions ----
    // At the last consumed byte.
    Error error_current(std::string message) const;
    // At the next, not yet consumed byte (the last byte at the end of input).
    Error error_next(std::string message) const;
    // Gives a position-less error the current position; positioned errors keep theirs.
    Error fix(Error e) const;

    // ---- nesting budget ----
    // Taken before an opening bracket is consumed.
    Status enter() {
        if (--budget_ == 0) return std::unexpected(error_next("recursion limit exceeded"));
        return {};
    }
    void leave() { ++budget_; }

    // ---- scalars (the first byte already peeked, not consumed unless said) ----
    // After the first letter was consumed: the rest of "true", "false" or "null".
    Status parse_ident(std::string_view rest);
    // At '-' or a digit.
    Result<Number> parse_number() {
        Number n;
        if (const char* end = scan_plain_number(data_ + pos_, data_ + size_, n)) {
            pos_ = static_cast<std::size_t>(end - data_);
            return n;
        }
        return parse_number_general();
    }
    // After the opening quote was consumed.
    Result<std::string_view> parse_string() {
        // Most strings have no escape: one scan to the closing quote.
        std::size_t end = scan_string(data_, pos_, size_);
        if (end < size_ && data_[end] == '"') {
            std::string_view s(data_ + pos_, end - pos_);
            pos_ = end + 1;
            return s;
        }
        return parse_string_general();
    }

    // ---- containers ----
    // Array element protocol: true when an element follows (whitespace skipped).
    Result<bool> seq_has_next(bool& first) {
        // The common case, a comma and the next value's first byte, decided inline.
        if (!first && pos_ + 1 < size_ && data_[pos_] == ',') {
            char c = data_[pos_ + 1];
            if (c != ' ' && c != '\n' && c != '\t' && c != '\r' && c != ']') {
                ++pos_;
                return true;
            }
        }
        return seq_has_next_general(first);
    }
    // Object member protocol: true when a key follows; the key is then read.
    Result<bool> map_next_key(bool& first, std::string_view& key);
    Status parse_colon();
    // After a successful array or object body: the closing bracket, or the error for
    // what stands there instead.
    Status end_seq();
    Status end_map();
    // After a failed body: skip what the successful path would have consumed so the
    // error's position lands where the caller expects it.
    void end_after_error(char close);

    // A whole value of any shape, validated but not built, without the nesting budget
    // (while speculating: within it, and with numbers in range, as a buffered value).
    Status skip_value();

    // ---- speculative reads ----
    // A fast path may try a read that the general path redoes from the same spot when it
    // fails.  Meanwhile errors get no computed position (only the failure counts, and
    // positions cost a scan from the start), and skipped values obey the rules of
    // buffered ones, so a speculative read accepts nothing the general path rejects.
    struct Checkpoint {
        std::size_t pos;
        std::uint8_t budget;
        bool speculative;
    };
    Checkpoint speculate() {
        Checkpoint c{pos_, budget_, speculative_};
        speculative_ = true;
        return c;
    }
    // Ends a speculation; a failed one rewinds to where it started.
    void settle(const Checkpoint& c, bool succeeded) {
        if (!succeeded) {
            pos_ = c.pos;
            budget_ = c.budget;
        }
        speculative_ = c.speculative;
    }

    // Document end: only whitespace may follow.
    Status end_document();

private:
    Result<Number> parse_number_general();
    Result<std::string_view> parse_string_general();
    Result<bool> seq_has_next_general(bool& first);
    Result<bool> map_key_escaped(std::string_view& key);
    [[gnu::cold, gnu::noinline]] Error error_next_cold(const char* message) const;
    [[gnu::cold, gnu::noinline]] Error map_key_error(int c, bool first, bool after_comma) const;
    [[gnu::cold, gnu::noinline]] Error end_error(int c, char close);
    Error at(std::string message, std::size_t offset) const;
    Status parse_escape();
    Status skip_string();
    Status skip_number();

    const char* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
    std::uint8_t budget_ = 128;
    bool speculative_ = false;
    std::string scratch_;  // escaped strings, and the bracket stack while skipping
};

}  // namespace tavrik::json
