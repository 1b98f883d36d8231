#include "json/number.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "json/error.hpp"

namespace tavrik::json {

std::string Number::unexpected() const {
    switch (kind) {
        case Kind::Unsigned: return unexpected_integer(static_cast<unsigned long long>(u));
        case Kind::Signed: return unexpected_integer(static_cast<long long>(i));
        case Kind::Double: break;
    }
    return unexpected_double(d);
}

namespace {

// The usual double, a decimal with few digits, without the general shortest search: the
// fewest fractional digits k whose nearest decimal reads back as d.  While 10^-k is more
// than four units in the last place of d, at most one decimal of k fractional digits lies
// within reading distance of d, and the product d * 10^k rounds to it, so the first k
// that reads back gives the shortest digits, the very ones the general search finds.
char* short_decimal(char* out, double d) {
    const double a = std::fabs(d);
    if (!(a >= 1e-5 && a < 1e15)) return nullptr;  // inside the plain layout, with room
    // The spacing of doubles at a: the next one up, a positive finite value's bits plus one.
    const double four_ulps = 4 * (std::bit_cast<double>(std::bit_cast<std::uint64_t>(a) + 1) - a);
    for (int k = 0; k <= 22; ++k) {
        const double scale = kExactPow10[k];
        if (four_ulps * scale >= 1) return nullptr;
        const double p = a * scale;
        if (p >= 9007199254740992.0) return nullptr;  // 2^53
        // Nearest integer, ties to even, without a call: from 2^52 up every double is
        // one; below, adding 2^52 leaves no fraction bits and rounds as nearbyint does.
        const double m = p >= 4503599627370496.0 ? p : (p + 4503599627370496.0) - 4503599627370496.0;
        if (m / scale != a) continue;
        // At most 16 digits; the pieces are moved in fixed widths of 24 bytes, which
        // the caller's room allows for.
        char digits[48];
        const auto n = static_cast<std::size_t>(
            std::to_chars(digits, digits + 24, static_cast<std::uint64_t>(m)).ptr - digits);
        const auto frac = static_cast<std::size_t>(k);
        char* t = out;
        *t = '-';
        t += d < 0;
        if (frac == 0) {
            std::memcpy(t, digits, 24);
            t += n;
            std::memcpy(t, ".0", 2);
            t += 2;
        } else if (n > frac) {
            std::memcpy(t, digits, 24);
            t += n - frac;
            std::memcpy(t + 1, digits + n - frac, 24);
            *t = '.';
            t += 1 + frac;
        } else {
            static constexpr char zeros[] = "0.000000000000000000000000";
            std::memcpy(t, zeros, 24);
            t += 2 + frac - n;
            std::memcpy(t, digits, 24);
            t += n;
        }
        return t;
    }
    return nullptr;
}

char* put(char* out, std::string_view s) {
    std::memcpy(out, s.data(), s.size());
    return out + s.size();
}

}  // namespace

char* write_double(char* out, double d) {
    if (std::isnan(d)) return put(out, "NaN");
    if (std::isinf(d)) return put(out, d < 0 ? "-inf" : "inf");
    if (d == 0) return put(out, std::signbit(d) ? "-0.0" : "0.0");
    if (char* end = short_decimal(out, d)) return end;
    // Scientific shortest form gives the digits and the exponent; only the layout is ours.
    char buf[32];
    auto res = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
    const char* p = buf;
    if (*p == '-') {
        *out++ = '-';
        ++p;
    }
    char digits[20];
    int n = 0;
    for (; p < res.ptr && *p != 'e'; ++p)
        if (*p != '.') digits[n++] = *p;
    while (n > 1 && digits[n - 1] == '0') --n;
    int m = 0;
    std::from_chars(p + 1 + (p[1] == '+'), res.ptr, m);
    return write_double_digits(out, digits, n, m);
}

char* write_double_digits(char* out, const char* digits, int n, int m) {
    const auto digits_from = [&](int from, int to) { return std::string_view(digits + from, static_cast<std::size_t>(to - from)); };
    if (m >= -5 && m <= 15) {
        if (m < 0) {
            out = put(out, "0.");
            for (int i = 0; i < -m - 1; ++i) *out++ = '0';
            return put(out, digits_from(0, n));
        }
        if (m < n - 1) {
            out = put(out, digits_from(0, m + 1));
            *out++ = '.';
            return put(out, digits_from(m + 1, n));
        }
        out = put(out, digits_from(0, n));
        for (int i = 0; i < m - n + 1; ++i) *out++ = '0';
        return put(out, ".0");
    }
    *out++ = digits[0];
    if (n >= 2) {
        *out++ = '.';
        out = put(out, digits_from(1, n));
    }
    out = put(out, m < 0 ? "e-" : "e+");
    return std::to_chars(out, out + 8, m < 0 ? -m : m).ptr;
}

bool double_token_written_slow(const char* p, const char* end) {
    const char* q = p + (*p == '-');
    const char* dot = digits_end(q, end);
    if (dot == end || *dot != '.') return false;
    const char* frac = dot + 1;
    if (digits_end(frac, end) != end) return false;  // an exponent
    const auto int_len = dot - q;
    const auto frac_len = end - frac;
    const bool int_zero = *q == '0';  // then it is the whole integer part
    if (end[-1] == '0') {
        // Only "I.0" ends in a zero: the writer's form of a whole value below 10^16, or
        // of zero.  The integer part's digits, short of its trailing zeros, are the
        // value's significant ones.
        if (frac_len != 1) return false;
        if (int_zero) return true;
        if (int_len < 16) return true;
        if (int_len > 16) return false;
        const char* last = dot - 1;
        while (*last == '0') --last;
        return last - q < 15;
    }
    if (!int_zero) return int_len + frac_len <= 15;
    // "0.000ddd": at most four zeros before the first significant digit.
    const char* first = frac;
    while (*first == '0') ++first;
    return first - frac <= 4 && end - first <= 15;
}

void append_double(std::string& out, double d) {
    char text[kDoubleRoom];
    out.append(text, write_double(text, d));
}

}  // namespace tavrik::json
