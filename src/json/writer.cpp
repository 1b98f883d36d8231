#include "json/writer.hpp"

#include <array>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <charconv>
#include <cmath>

#include "json/number.hpp"
#include "json/pages.hpp"
#include "json/reader.hpp"

namespace tavrik::json {

char* write_double_of_token(char* out, std::string_view token) {
    const char* const p = token.data();
    const char* const end = p + token.size();
    const bool negative = *p == '-';
    // The significant digits, from the first that is not a zero, and the decimal exponent
    // m of the first: d.ddd x 10^m.
    char digits[24];
    int n = 0;
    int m = 0;
    const char* q = p + negative;
    const char* int_end = q;
    while (int_end < end && static_cast<unsigned>(*int_end - '0') < 10) ++int_end;
    int place = static_cast<int>(int_end - q) - 1;  // the exponent of the digit at q
    bool exact = false;
    for (const char* r = q; r < end; ++r) {
        if (*r == '.') continue;
        if ((*r | 0x20) == 'e') {
            ++r;
            const bool e_negative = *r == '-';
            r += *r == '+' || *r == '-';
            long e = 0;
            for (; r < end && e < 100000; ++r) e = e * 10 + (*r - '0');
            m += static_cast<int>(e_negative ? -e : e);
            break;
        }
        if (n == 0 && *r == '0') {
            --place;
            continue;
        }
        if (n == 0) m = place;
        if (n == static_cast<int>(sizeof digits)) {
            exact = true;
            break;
        }
        digits[n++] = *r;
        --place;
    }
    while (n > 0 && digits[n - 1] == '0') --n;
    if (n == 0) {
        *out = '-';
        std::memcpy(out + negative, "0.0", 3);
        return out + negative + 3;
    }
    // Past 15 digits, or near the ends of the range (subnormal values have fewer digits),
    // the value decides.
    if (exact || n > 15 || m < -300 || m > 300) {
        Reader reader(token);
        const Result<Number> number = reader.parse_number();
        return write_double(out, number ? number->as_double() : 0.0);
    }
    *out = '-';
    return write_double_digits(out + negative, digits, n, m);
}

void Writer::grow(std::size_t n) {
    const std::size_t size = static_cast<std::size_t>(cursor_ - begin_);
    std::size_t capacity = 2 * this->capacity();
    if (capacity < size + n) capacity = size + n;
    if (capacity < 256) capacity = 256;
    char* fresh = static_cast<char*>(grow_buffer(begin_, this->capacity(), capacity, size));
    begin_ = fresh;
    cursor_ = fresh + size;
    end_ = fresh + capacity;
}

bool Writer::clear_down_to(std::size_t capacity) {
    clear();
    if (this->capacity() <= capacity) return true;
    if (!shrink_buffer(begin_, this->capacity(), capacity)) return false;
    end_ = begin_ + capacity;
    return true;
}

namespace {

// What each byte starts in a JSON text whose strings have no escapes.
enum Token : unsigned char { kScalar, kSpace, kQuote, kOpen, kClose, kComma, kColon };
constexpr auto kTokens = [] {
    std::array<Token, 256> t{};
    for (unsigned char c : {' ', '\n', '\t', '\r'}) t[c] = kSpace;
    t['"'] = kQuote;
    t['{'] = t['['] = kOpen;
    t['}'] = t[']'] = kClose;
    t[','] = kComma;
    t[':'] = kColon;
    return t;
}();

Token token(char c) { return kTokens[static_cast<unsigned char>(c)]; }

// The length of the scalar at p (at most 32 bytes, all readable): up to the first
// whitespace, comma or closing bracket.
std::size_t scalar_size(const char* p) {
#if defined(__SSE2__)
    for (int half = 0; half < 2; ++half) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * half));
        const __m128i ends = _mm_or_si128(
            _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(',')), _mm_cmpeq_epi8(v, _mm_set1_epi8(']'))),
            _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('}')),
                         _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(' ')), v)));
        if (const int mask = _mm_movemask_epi8(ends); mask != 0) {
            return static_cast<std::size_t>(16 * half + __builtin_ctz(static_cast<unsigned>(mask)));
        }
    }
    return 32;
#else
    std::size_t n = 1;
    while (n < 32 && token(p[n]) == kScalar) ++n;
    return n;
#endif
}

// Whether any of the n bytes at p (at most 32, all 32 readable) is past ASCII.
bool has_high_byte(const char* p, std::size_t n) {
#if defined(__SSE2__)
    const auto low = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
    const auto high =
        static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16))));
    return ((std::uint64_t{high} << 16 | low) & ((std::uint64_t{1} << n) - 1)) != 0;
#else
    for (std::size_t i = 0; i < n; ++i) {
        if (static_cast<unsigned char>(p[i]) >= 0x80) return true;
    }
    return false;
#endif
}

// The size with its quotes of the string that starts at p when it ends within 32 bytes
// (all readable), else 0; its bytes up to the closing quote are not checked.
std::size_t short_string_size(const char* p, const char* end) {
    if (end - p < 32) return 0;
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"');
    const auto low = static_cast<std::uint32_t>(
        _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), quote)));
    const auto high = static_cast<std::uint32_t>(
        _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)), quote)));
    const std::uint32_t closing = (high << 16 | low) & ~std::uint32_t{1};
    return closing == 0 ? 0 : static_cast<std::size_t>(__builtin_ctz(closing)) + 1;
#else
    for (std::size_t i = 1; i < 32; ++i) {
        if (p[i] == '"') return i + 1;
    }
    return 0;
#endif
}

const char* skip_space_run(const char* p, const char* end);

// The first byte from p that is not whitespace (or end): none, or one space, or the line
// feed and indentation of indented text.
[[gnu::always_inline]] inline const char* skip_spaces(const char* p, const char* end) {
    if (p < end && token(*p) != kSpace) return p;
    if (end - p >= 2 && token(p[1]) != kSpace) return p + 1;
    return skip_space_run(p, end);
}

const char* skip_space_run(const char* p, const char* end) {
#if defined(__SSE2__)
    for (; end - p >= 16; p += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i spaces =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(' ')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\n'))),
                         _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\t')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\r'))));
        if (const unsigned other = ~static_cast<unsigned>(_mm_movemask_epi8(spaces)) & 0xFFFF; other != 0) {
            return p + __builtin_ctz(other);
        }
    }
#endif
    while (p < end && token(*p) == kSpace) ++p;
    return p;
}

}  // namespace

void Writer::reindent(std::string_view text, std::span<const char* const> doubles) {
    scalar_start();
    const char* p = text.data();
    const char* const end = p + text.size();
    std::size_t indent = 2 * level_;
    // The next token to write as a double (none: null, which no token starts at).
    const char* const* next_double = doubles.data();
    const char* const* const doubles_end = next_double + doubles.size();
    const char* rewrite_at = next_double != doubles_end ? *next_double : nullptr;
    // The cursor and the end of the room live in locals here: as far as the compiler
    // knows, each byte stored could change the members, which it would then load again
    // after every piece.
    char* o = cursor_;
    char* limit = end_;
    // Room for n bytes at o, and kSlack more.
    const auto room_for = [&](std::size_t n) {
        if (static_cast<std::size_t>(limit - o) < n + kSlack) [[unlikely]] {
            cursor_ = o;
            grow(n + kSlack);
            o = cursor_;
            limit = end_;
        }
    };
    while (p < end) {
        const char c = *p;
        switch (token(c)) {
            case kSpace: p = skip_spaces(p, end); break;
            case kQuote: {
                // Most strings are short: found, moved in a fixed width and tallied (only
                // when they hold anything but ASCII) from one load of 32 bytes.  They hold
                // no escapes, so the first quote after the opening one closes them.
                std::size_t n = short_string_size(p, end);  // with its quotes
                if (n != 0) {
                    room_for(32);
                    std::memcpy(o, p, 32);
                    if (has_high_byte(p, n)) shape_.add(p + 1, n - 2);
                } else {
                    const std::size_t from = static_cast<std::size_t>(p - text.data()) + 1;
                    n = scan_string(text.data(), from, text.size()) - from + 2;
                    room_for(n);
                    std::memcpy(o, p, n);
                    shape_.add(p + 1, n - 2);
                }
                o += n;
                p += n;
                // A key's colon follows it on the same line.
                if (p < end && *p == ':') {
                    std::memcpy(o, ": ", 2);
                    o += 2;
                    p = skip_spaces(p + 1, end);
                }
                break;
            }
            case kOpen: {
                const char close = c == '{' ? '}' : ']';
                p = skip_spaces(p + 1, end);
                room_for(2 + indent + 2);
                *o++ = c;
                if (p < end && *p == close) {
                    *o++ = close;
                    ++p;
                    break;
                }
                indent += 2;
                *o++ = '\n';
                o = spaces(o, indent);
                break;
            }
            case kClose: {
                indent -= 2;
                room_for(2 + indent);
                *o++ = '\n';
                o = spaces(o, indent);
                *o++ = c;
                ++p;
                break;
            }
            case kComma: {
                room_for(2 + indent);
                *o++ = ',';
                *o++ = '\n';
                o = spaces(o, indent);
                p = skip_spaces(p + 1, end);
                break;
            }
            case kColon:
                room_for(2);
                std::memcpy(o, ": ", 2);
                o += 2;
                p = skip_spaces(p + 1, end);
                break;
            case kScalar: {
                // Numbers or literals as this writer writes them (at most 32 bytes each),
                // and the commas between them, in one loop: runs of samples are the bulk
                // of a recording.
                std::size_t step = 0;  // see next_in_run
                for (;;) {
                    const char* const at = p;
                    static_assert(kSlack >= kDoubleRoom);
                    room_for(32 + 2 + indent);
                    if (p == rewrite_at) {
                        const char* stop = p + 1;
                        while (stop < end && token(*stop) == kScalar) ++stop;
                        o = write_double_of_token(o, std::string_view(p, static_cast<std::size_t>(stop - p)));
                        p = stop;
                        rewrite_at = ++next_double != doubles_end ? *next_double : nullptr;
                    } else if (end - p >= 32) {
                        std::memcpy(o, p, 32);
                        const std::size_t n = scalar_size(p);
                        o += n;
                        p += n;
                    } else {
                        do {
                            *o++ = *p++;
                        } while (p < end && token(*p) == kScalar);
                    }
                    if (p == end || *p != ',') break;
                    const char* next = skip_spaces(p + 1, end);
                    if (next == end || token(*next) != kScalar) break;
                    *o++ = ',';
                    *o++ = '\n';
                    o = spaces(o, indent);
                    p = next_in_run(at, next, step);
                }
                break;
            }
        }
    }
    cursor_ = o;
    has_value_ = true;
}

void Writer::u64(std::uint64_t v) {
    scalar_start();
    char* p = room(20);
    cursor_ = std::to_chars(p, p + 20, v).ptr;
}

void Writer::i64(std::int64_t v) {
    scalar_start();
    char* p = room(20);
    cursor_ = std::to_chars(p, p + 20, v).ptr;
}

void Writer::f64(double d) {
    scalar_start();
    if (!std::isfinite(d)) {
        std::memcpy(room(4), "null", 4);
        cursor_ += 4;
        return;
    }
    static_assert(kSlack >= kDoubleRoom);
    cursor_ = write_double(room(0), d);
}

namespace {

// n bytes from s to o, for n up to 32, in a few fixed-width moves that overlap rather
// than a call sized to each (most strings of a workout are short).
[[gnu::always_inline]] inline void copy_short(char* o, const char* s, std::size_t n) {
    if (n >= 16) {
        std::memcpy(o, s, 16);
        std::memcpy(o + n - 16, s + n - 16, 16);
    } else if (n >= 8) {
        std::memcpy(o, s, 8);
        std::memcpy(o + n - 8, s + n - 8, 8);
    } else if (n >= 4) {
        std::memcpy(o, s, 4);
        std::memcpy(o + n - 4, s + n - 4, 4);
    } else {
        for (std::size_t i = 0; i < n; ++i) o[i] = s[i];
    }
}

// Whether any of the sizeof(Word) bytes at p is a quote, a backslash or a control byte.
template <class Word>
inline bool needs_escape(const char* p) {
    constexpr Word ones = static_cast<Word>(~Word{0}) / 0xFF;
    Word w;
    std::memcpy(&w, p, sizeof w);
    const Word q = w ^ (ones * '"');
    const Word b = w ^ (ones * '\\');
    return ((((q - ones) & ~q) | ((b - ones) & ~b) | ((w - ones * 0x20) & ~w)) & (ones * 0x80)) != 0;
}

// How many bytes s begins with that need no escape.  Most strings need none: they are
// checked in blocks of eight (or four), the last of which may overlap the one before,
// since bytes past the string may not be read; the exact place is looked for only where
// a block has one.
std::size_t unescaped_prefix(std::string_view s) {
    const char* p = s.data();
    const std::size_t n = s.size();
    if (n < 8) {
        if (n < 4 || needs_escape<std::uint32_t>(p) || needs_escape<std::uint32_t>(p + n - 4)) return scan_string(p, 0, n);
        return n;
    }
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        if (needs_escape<std::uint64_t>(p + i)) return scan_string(p, i, n);
    }
    if (i < n && needs_escape<std::uint64_t>(p + n - 8)) return scan_string(p, i, n);
    return n;
}

}  // namespace

void Writer::write_string(std::string_view s) {
    shape_.add(s.data(), s.size());
    const std::size_t plain = unescaped_prefix(s);
    // Most strings need no escape: written with their quotes as one piece.
    char* p = room(s.size() + 2);
    *p++ = '"';
    if (plain <= 32) {
        copy_short(p, s.data(), plain);
    } else {
        std::memcpy(p, s.data(), plain);
    }
    p += plain;
    if (plain == s.size()) {
        *p++ = '"';
        cursor_ = p;
        return;
    }
    cursor_ = p;
    write_escaped(s, plain);
}

void Writer::write_escaped(std::string_view s, std::size_t i) {
    static constexpr char hex[] = "0123456789abcdef";
    // Runs that need no escape (no quote, backslash or control byte) are copied whole.
    for (;;) {
        const auto c = static_cast<unsigned char>(s[i]);
        const std::size_t run = i + 1;
        char* p = room(6);
        *p++ = '\\';
        switch (c) {
            case '"': *p++ = '"'; break;
            case '\\': *p++ = '\\'; break;
            case '\b': *p++ = 'b'; break;
            case '\t': *p++ = 't'; break;
            case '\n': *p++ = 'n'; break;
            case '\f': *p++ = 'f'; break;
            case '\r': *p++ = 'r'; break;
            default:
                std::memcpy(p, "u00", 3);
                p[3] = hex[c >> 4];
                p[4] = hex[c & 0xF];
                p += 5;
        }
        cursor_ = p;
        i = scan_string(s.data(), run, s.size());
        std::memcpy(room(i - run), s.data() + run, i - run);
        cursor_ += i - run;
        if (i == s.size()) break;
    }
    *room(1) = '"';
    ++cursor_;
}

}  // namespace tavrik::json
