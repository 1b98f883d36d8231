// Number tokens as classified by the reader, and the decimal form of doubles.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <string>

namespace tavrik::json {

// 10^0 to 10^22: every power of ten that a double holds exactly, for conversions that
// are one correctly rounded operation.
inline constexpr double kExactPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                         1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

struct Number {
    enum class Kind : std::uint8_t { Unsigned, Signed, Double };
    Kind kind;
    union {
        std::uint64_t u;
        std::int64_t i;
        double d;
    };

    static Number from_unsigned(std::uint64_t v) { Number n{Kind::Unsigned, {}}; n.u = v; return n; }
    static Number from_signed(std::int64_t v) { Number n{Kind::Signed, {}}; n.i = v; return n; }
    static Number from_double(double v) { Number n{Kind::Double, {}}; n.d = v; return n; }

    double as_double() const {
        switch (kind) {
            case Kind::Unsigned: return static_cast<double>(u);
            case Kind::Signed: return static_cast<double>(i);
            case Kind::Double: break;
        }
        return d;
    }
    // "integer `5`" or "floating point `5.0`", for messages.
    std::string unexpected() const;
};

// Shortest round-trip digits laid out in plain notation for decimal exponents -5..15
// ("1.0", "0.00001", "1000000000000000.0") and exponent notation otherwise ("1e+16",
// "5e-324"). Non-finite values give "NaN", "inf", "-inf" (messages only; the writer
// writes null for them).
void append_double(std::string& out, double d);

// The same text written at `out`, which must have kDoubleRoom bytes of room (the text is
// at most 32; the rest lets its pieces move in fixed widths).  Returns its end.
inline constexpr std::size_t kDoubleRoom = 64;
char* write_double(char* out, double d);

// The layout of write_double for a nonzero value d.ddd x 10^m given its n significant
// digits (the last not a zero), after any sign: plain for m in -5..15, exponent notation
// otherwise.  The same room as write_double.
char* write_double_digits(char* out, const char* digits, int n, int m);

// Whether the number token [p, end), which the reader accepts, is already as the writer
// writes the double read from it, when that is plain to see: a token without exponent,
// with a fraction and at most 15 significant digits (which are then the value's shortest
// round-trip digits, see write_double_of_token), laid out as the writer lays such a value
// out.  False for any other, which may still be so.  `limit` is the end of the readable
// text around the token: sixteen bytes from `p` are read at once when there are.
inline bool double_token_written(const char* p, const char* end, const char* limit);
// The same, one byte at a time, for any token.
bool double_token_written_slow(const char* p, const char* end);

// How many of the eight bytes at `p` lead with ASCII digits.  A byte below '0' sets its
// top bit in w - '0', one above '9' in w + 0x46, one past 0x7F in w itself; borrows and
// carries only start at such a byte and move upward, so the lowest flagged byte is exact.
inline unsigned digit_run8(const char* p) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    if constexpr (std::endian::native == std::endian::little) {
        const std::uint64_t flagged =
            ((w - 0x3030303030303030ULL) | (w + 0x4646464646464646ULL) | w) & 0x8080808080808080ULL;
        return flagged == 0 ? 8u : static_cast<unsigned>(std::countr_zero(flagged)) / 8;
    } else {
        unsigned n = 0;
        while (n < 8 && static_cast<unsigned>(p[n] - '0') < 10) ++n;
        return n;
    }
}

// The end of the run of digits from `p`.
inline const char* digits_end(const char* p, const char* end) {
    while (end - p >= 8) {
        const unsigned n = digit_run8(p);
        p += n;
        if (n < 8) return p;
    }
    while (p < end && static_cast<unsigned>(*p - '0') < 10) ++p;
    return p;
}

// The end of the number token at `p` when reading it as a double cannot fail, checking its
// form only: `-?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?` whose value stays below
// 10^308.  Such a value rounds to a finite double, and nothing else of a well-formed number
// is refused (a tiny one reads as zero), so this accepts what the reader accepts as a
// double, short of a value near the top of the range or an exponent over four digits, for
// which it returns null like for a malformed token: the caller leaves those to the reader.
inline const char* skip_double(const char* p, const char* end) {
    const char* q = p + (p < end && *p == '-');
    const char* int_end = digits_end(q, end);
    const long digits = int_end - q;
    if (digits == 0 || (*q == '0' && digits > 1)) return nullptr;
    q = int_end;
    if (q < end && *q == '.') {
        const char* frac_end = digits_end(q + 1, end);
        if (frac_end == q + 1) return nullptr;
        q = frac_end;
    }
    if (q < end && (*q | 0x20) == 'e') {
        ++q;
        bool negative = false;
        if (q < end && (*q == '+' || *q == '-')) negative = *q++ == '-';
        const char* exp_end = digits_end(q, end);
        if (exp_end == q || exp_end - q > 4) return nullptr;
        long e = 0;
        for (; q < exp_end; ++q) e = e * 10 + (*q - '0');
        // The value is below 10^(digits + e).
        if (digits + (negative ? -e : e) > 308) return nullptr;
        return q;
    }
    return digits > 308 ? nullptr : q;
}

[[gnu::always_inline]] inline bool double_token_written(const char* p, const char* end, const char* limit) {
#if defined(__SSE2__)
    const auto size = static_cast<unsigned>(end - p);
    if (size <= 16 && limit - p >= 16) {
        // At most 16 bytes: "I.0", "0.F" and "I.F" hold at most 15 digits.
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const unsigned digit = static_cast<unsigned>(_mm_movemask_epi8(
            _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8('0' - 1)), _mm_cmplt_epi8(v, _mm_set1_epi8('9' + 1)))));
        const unsigned sign = *p == '-';
        const unsigned other = ~digit & ((1u << size) - 1) & ~sign;
        // One byte other than a digit past the sign, and that a point: no exponent.
        if (other == 0 || (other & (other - 1)) != 0) return false;
        const auto dot = static_cast<unsigned>(std::countr_zero(other));
        if (p[dot] != '.') return false;
        // A zero ends only "I.0", the form of a whole value, or of zero.
        if (end[-1] == '0') return dot + 2 == size;
        if (p[sign] != '0') return true;
        // "0.000ddd": at most four zeros before the first significant digit.
        const unsigned zeros = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('0'))));
        return std::countr_one(zeros >> (dot + 1)) <= 4;
    }
#endif
    (void)limit;
    return double_token_written_slow(p, end);
}

#if defined(__SSE2__)
// The runs of digits of a number token at p, from one sixteen-byte load (all readable).
struct DigitRun {
    unsigned other;  // a bit per byte that is not a digit; those past the sixteen count as such
    unsigned sign;   // 1 after a minus
    unsigned point;  // where the digits after the sign stop
    // Where the digits after position `at` stop.
    [[gnu::always_inline]] unsigned digits_after(unsigned at) const {
        return at + 1 + static_cast<unsigned>(std::countr_zero(other >> (at + 1)));
    }
};

[[gnu::always_inline]] inline DigitRun digit_run(const char* p) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    // Signed compares: bytes from 0x80 up are negative, so never digits.
    const __m128i digit =
        _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8('0' - 1)), _mm_cmplt_epi8(v, _mm_set1_epi8('9' + 1)));
    const unsigned other = ~static_cast<unsigned>(_mm_movemask_epi8(digit));
    const unsigned sign = *p == '-';
    return {other, sign, sign + static_cast<unsigned>(std::countr_zero(other >> sign))};
}
#endif

// skip_double for the usual sample, a short token without exponent such as "-12.75",
// decided from one sixteen-byte load; anything longer or with an exponent goes the long way.
[[gnu::always_inline]] inline const char* skip_short_double(const char* p, const char* end) {
#if defined(__SSE2__)
    if (end - p >= 16) {
        const DigitRun run = digit_run(p);
        const unsigned sign = run.sign;
        const unsigned i = run.point;
        if (i == sign || (p[sign] == '0' && i > sign + 1)) return nullptr;
        if (i >= 16) return skip_double(p, end);
        unsigned stop = i;
        if (p[i] == '.') {
            stop = run.digits_after(i);
            if (stop >= 16) return skip_double(p, end);
            if (stop == i + 1) return nullptr;
        }
        if ((p[stop] | 0x20) == 'e') return skip_double(p, end);
        return p + stop;
    }
#endif
    return skip_double(p, end);
}

// Where the sample after the one at `at` starts, found at `next`: for a run of samples
// alike in width, one returned as `at + step`, so that the caller's loads of that sample
// hang on the last start and `step` alone, not on the scan that found `next`.  The two are
// compared only to choose: a sample of another width sets `step` anew and is `next`.
// Most samples of a recording's channel are as wide as the one before, and without this
// each waited for the whole chain of dependent steps of the one before.
[[gnu::always_inline]] inline const char* next_in_run(const char* at, const char* next, std::size_t& step) {
    const char* guess = at + step;
    const bool same = next == guess;
    // Hides that the two are equal when `same`, which would let the compiler take `next`.
    asm("" : "+r"(guess));
    if (!same) [[unlikely]] {
        step = static_cast<std::size_t>(next - at);
        guess = next;
    }
    return guess;
}

#if defined(__SSE2__)
// skip_short_double() for a caller that checks the byte after the token itself, as the
// callers of scan_listed_sample() do: the end of the sample's digits, or null.  The token
// ends there only when that byte is none of '.', 'e', 'E' and no digit (a run past the
// sixteen bytes loaded stops at the sixteenth, whose byte is then a digit); eighteen
// bytes from `p` readable.
[[gnu::always_inline]] inline const char* skip_listed_sample(const char* p) {
    const char* q = p + (*p == '-');
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
    const __m128i t = _mm_sub_epi8(v, _mm_set1_epi8('0'));
    const __m128i digit = _mm_cmpeq_epi8(_mm_min_epu8(t, _mm_set1_epi8(9)), t);
    // A bit per byte that is no digit, never zero: those past the sixteen count as such.
    const unsigned other = ~static_cast<unsigned>(_mm_movemask_epi8(digit));
    const auto whole = static_cast<unsigned>(__builtin_ctz(other));
    if (whole == 0 || (whole > 1 && *q == '0')) return nullptr;
    if (q[whole] != '.') return q + whole;
    const auto stop = static_cast<unsigned>(__builtin_ctz(other & (other - 1)));
    return stop == whole + 1 ? nullptr : q + stop;
}
#endif

// The value of the `count` (1 to 8) digit values 0-9 in the low bytes of `w`, the first
// digit in the lowest byte; the bytes above them are shifted out.
[[gnu::always_inline]] inline std::uint64_t digit_values(std::uint64_t w, unsigned count) {
    w <<= 8 * (8 - count);   // as if padded with leading zeros
    w = w * 10 + (w >> 8);  // pairs of digits in bytes 0, 2, 4, 6
    return (((w & 0x000000FF000000FFULL) * (100 + (1000000ULL << 32))) +
            (((w >> 16) & 0x000000FF000000FFULL) * (1 + (10000ULL << 32)))) >>
           32;
}

// The value of the `count` (1 to 8) ASCII digits at `q`, in a few word operations; the
// eight bytes from `q` must be readable.  The bytes past the digits are shifted out, and a
// borrow that they cause only moves away from the digits.
[[gnu::always_inline]] inline std::uint64_t few_digits(const char* q, unsigned count) {
    std::uint64_t w;
    std::memcpy(&w, q, 8);
    return digit_values(w - 0x3030303030303030ULL, count);
}

// The usual sample, such as "94", "-12.75" or "47.3769673" (at most eight digits on each
// side of the point, no exponent), read from one sixteen-byte load into the same Number
// as the reader's one-pass conversion gives; null for any other token, which the caller
// then reads the long way (which decides whether it is a number at all).
[[gnu::always_inline]] inline const char* scan_short_number(const char* p, const char* end, Number& out) {
#if defined(__SSE2__)
    if constexpr (std::endian::native == std::endian::little) {
        if (end - p < 24) return nullptr;  // the digit loads stay inside the text
        const DigitRun run = digit_run(p);
        const unsigned sign = run.sign;
        const unsigned point = run.point;
        const unsigned whole = point - sign;
        if (whole == 0 || whole > 8 || (p[sign] == '0' && whole > 1)) return nullptr;
        std::uint64_t m = few_digits(p + sign, whole);
        if (p[point] != '.') {
            if ((p[point] | 0x20) == 'e') return nullptr;
            if (sign == 0) {
                out = Number::from_unsigned(m);
                return p + point;
            }
            if (m == 0) return nullptr;
            out = Number::from_signed(-static_cast<std::int64_t>(m));
            return p + point;
        }
        const unsigned stop = run.digits_after(point);
        const unsigned fraction = stop - point - 1;
        if (fraction == 0 || fraction > 8 || stop >= 16 || (p[stop] | 0x20) == 'e') return nullptr;
        // Static: read from the binary, not laid out on the stack at each call.
        static constexpr std::uint64_t scale[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};
        m = m * scale[fraction] + few_digits(p + point + 1, fraction);
        if (m > (std::uint64_t{1} << 53)) return nullptr;
        const double d = static_cast<double>(m) / kExactPow10[fraction];
        out = Number::from_double(sign != 0 ? -d : d);
        return p + stop;
    }
#endif
    (void)p;
    (void)end;
    (void)out;
    return nullptr;
}

// The commonest samples, such as "94.0", "-12.75" or "408", as the double that
// scan_short_number() and Number::as_double() make of them, in fewer steps: at most seven
// digits on each side of the point, placed by one sixteen-byte load, and those of at most
// eight digits in all converted as one number.  Null for any other token, which the
// caller hands to scan_short_number().
[[gnu::always_inline]] inline const char* scan_sample(const char* p, const char* end, double& out) {
#if defined(__SSE2__)
    if constexpr (std::endian::native == std::endian::little) {
        if (end - p < 24) return nullptr;  // the loads stay inside the text
        constexpr std::uint64_t zeros = 0x3030303030303030ULL;
        const DigitRun run = digit_run(p);
        const unsigned sign = run.sign;
        const unsigned point = run.point;
        const unsigned whole = point - sign;
        if (whole - 1 > 6 || (whole > 1 && p[sign] == '0')) return nullptr;
        // The digits less '0' in the low bytes; a borrow that the bytes past them cause
        // moves only upward, and digit_values() shifts those out.
        std::uint64_t w;
        std::memcpy(&w, p + sign, 8);
        if (p[point] != '.') {
            if ((p[point] | 0x20) == 'e') return nullptr;
            const std::uint64_t m = digit_values(w - zeros, whole);
            if (sign != 0 && m == 0) return nullptr;  // "-0": the reader's signed zero, the long way
            out = sign != 0 ? -static_cast<double>(m) : static_cast<double>(m);
            return p + point;
        }
        const unsigned stop = run.digits_after(point);
        const unsigned fraction = stop - point - 1;
        if (fraction - 1 > 6 || stop >= 16 || (p[stop] | 0x20) == 'e') return nullptr;
        const std::uint64_t below_point = (std::uint64_t{1} << (8 * whole)) - 1;
        std::uint64_t m;
        if (whole + fraction <= 8) {
            // Eight digits at most: the point taken out by the bytes one further on, which
            // bring the fraction's digits down a byte.
            std::uint64_t after;
            std::memcpy(&after, p + sign + 1, 8);
            m = digit_values(((w & below_point) | (after & ~below_point)) - zeros, whole + fraction);
        } else {
            std::uint64_t f;
            std::memcpy(&f, p + point + 1, 8);
            static constexpr std::uint64_t scale[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000};
            // At most fourteen digits: below 2^53, so the double of m is exact.
            m = digit_values(w - zeros, whole) * scale[fraction] + digit_values(f - zeros, fraction);
        }
        const double d = static_cast<double>(m) / kExactPow10[fraction];
        out = sign != 0 ? -d : d;
        return p + stop;
    }
#endif
    (void)p;
    (void)end;
    (void)out;
    return nullptr;
}

// The bytes a caller of scan_listed_sample() must have readable from its `p`.
inline constexpr std::ptrdiff_t kListedSampleRoom = 24;

// The value of the digit values 0-9 in the top bytes of `w`, the first digit in the
// lowest of them, the bytes below them zero: the fold of digit_values() after its shift.
[[gnu::always_inline]] inline std::uint64_t fold_digits(std::uint64_t w) {
    w = w * 10 + (w >> 8);  // pairs of digits in bytes 0, 2, 4, 6
    return (((w & 0x000000FF000000FFULL) * (100 + (1000000ULL << 32))) +
            (((w >> 16) & 0x000000FF000000FFULL) * (1 + (10000ULL << 32)))) >>
           32;
}

// scan_listed_sample() after any sign: digits at `q`.  The point is taken out of the digits
// by one word merge, so that the digits of most samples fold as one number; longer ones
// add their last digits to the first eight.
[[gnu::always_inline]] inline const char* scan_listed_digits(const char* q, double& out) {
#if defined(__SSE2__)
    if constexpr (std::endian::native == std::endian::little) {
        constexpr std::uint64_t zeros = 0x3030303030303030ULL;
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
        const __m128i t = _mm_sub_epi8(v, _mm_set1_epi8('0'));
        const __m128i digit = _mm_cmpeq_epi8(_mm_min_epu8(t, _mm_set1_epi8(9)), t);
        // A bit per byte that is no digit; those past the sixteen loaded count as such.
        const unsigned other = ~static_cast<unsigned>(_mm_movemask_epi8(digit));
        // Never zero (the bits from 16 up are set): no test before the count.
        const auto whole = static_cast<unsigned>(__builtin_ctz(other));
        if (whole - 1 > 7 || (whole > 1 && *q == '0')) return nullptr;
        // The digits less '0' in the low bytes; a borrow that the bytes past them cause
        // moves only upward, out of what the shifts below keep.
        std::uint64_t raw;
        std::memcpy(&raw, q, 8);
        const std::uint64_t w = raw - zeros;
        if (q[whole] != '.') {
            out = static_cast<double>(static_cast<std::int64_t>(fold_digits(w << (64 - 8 * whole))));
            return q + whole;
        }
        // The point is the lowest bit of `other`: the fraction's digits run to the next,
        // at most sixteen bytes from `q`, so at most fifteen digits in all.
        const auto stop = static_cast<unsigned>(__builtin_ctz(other & (other - 1)));
        if (stop < whole + 2) return nullptr;
        if (stop == whole + 2 && q[whole + 1] == '0') {
            // "94.0", the commonest: the whole number, which m / 10 would give too.
            out = static_cast<double>(static_cast<std::int64_t>(fold_digits(w << (64 - 8 * whole))));
            return q + stop;
        }
        const unsigned n = stop - 1;  // the digits
        // The first eight digits, the point left out: those before it from `q`, those
        // after it one byte further on.
        std::uint64_t after;
        std::memcpy(&after, q + 1, 8);
        const std::uint64_t before_point = ~std::uint64_t{0} >> (64 - 8 * whole);
        // Merged before '0' is taken off: the point would borrow from the digit after it.
        const std::uint64_t first = ((raw & before_point) | (after & ~before_point)) - zeros;
        std::uint64_t m;
        if (n <= 8) {
            m = fold_digits(first << (64 - 8 * n));
        } else if (n == 9) {
            // A latitude's seven decimals: one digit more.
            m = fold_digits(first) * 10 + static_cast<unsigned char>(q[9] - '0');
        } else {
            // The digits past the first eight start after the point, at byte nine.
            static constexpr std::uint64_t scale[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000};
            std::uint64_t rest;
            std::memcpy(&rest, q + 9, 8);
            m = fold_digits(first) * scale[n - 8] + digit_values(rest - zeros, n - 8);
        }
        // At most fifteen digits: below 2^53, so the double of m is exact.
        out = static_cast<double>(static_cast<std::int64_t>(m)) / kExactPow10[n - whole];
        return q + stop;
    }
#endif
    (void)q;
    (void)out;
    return nullptr;
}

// The usual sample inside a list or a row, such as "94.0", "-12.75" or "47.3769673" (at
// most eight digits before the point and fifteen in all, no exponent), where the caller
// looks at the byte after it anyway: the end of its digits and its value, the same double
// as scan_short_number() and Number::as_double() make of it, or null.  The token ends
// there only when that byte is none of '.', 'e', 'E' and no digit, which the caller's
// check for a ',', ']' or '}' settles; the text's end is the caller's to check too
// (kListedSampleRoom bytes readable from `p`).  Leaner than scan_sample(), which settles
// both itself.
[[gnu::always_inline]] inline const char* scan_listed_sample(const char* p, double& out) {
    if (*p != '-') [[likely]] return scan_listed_digits(p, out);
    const char* stop = scan_listed_digits(p + 1, out);
    // "-0": the reader's signed zero, the long way.
    if (stop == nullptr || (stop == p + 2 && p[1] == '0')) return nullptr;
    out = -out;
    return stop;
}

}  // namespace tavrik::json
