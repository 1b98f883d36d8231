#include "json/number.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

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
bool append_short_decimal(std::string& out, double d) {
    const double a = std::fabs(d);
    if (!(a >= 1e-5 && a < 1e15)) return false;  // inside the plain layout, with room
    // The spacing of doubles at a: the next one up, a positive finite value's bits plus one.
    const double four_ulps = 4 * (std::bit_cast<double>(std::bit_cast<std::uint64_t>(a) + 1) - a);
    for (int k = 0; k <= 22; ++k) {
        const double scale = kExactPow10[k];
        if (four_ulps * scale >= 1) return false;
        const double p = a * scale;
        if (p >= 9007199254740992.0) return false;  // 2^53
        // Nearest integer, ties to even, without a call: from 2^52 up every double is
        // one; below, adding 2^52 leaves no fraction bits and rounds as nearbyint does.
        const double m = p >= 4503599627370496.0 ? p : (p + 4503599627370496.0) - 4503599627370496.0;
        if (m / scale != a) continue;
        char digits[24];
        const auto n = static_cast<std::size_t>(
            std::to_chars(digits, digits + sizeof digits, static_cast<std::uint64_t>(m)).ptr - digits);
        const auto frac = static_cast<std::size_t>(k);
        // Laid out in a local buffer and appended at once.
        char text[48];
        char* t = text;
        if (d < 0) *t++ = '-';
        if (frac == 0) {
            std::memcpy(t, digits, n);
            std::memcpy(t + n, ".0", 2);
            t += n + 2;
        } else if (n > frac) {
            std::memcpy(t, digits, n - frac);
            t += n - frac;
            *t++ = '.';
            std::memcpy(t, digits + n - frac, frac);
            t += frac;
        } else {
            *t++ = '0';
            *t++ = '.';
            std::memset(t, '0', frac - n);
            t += frac - n;
            std::memcpy(t, digits, n);
            t += n;
        }
        out.append(text, static_cast<std::size_t>(t - text));
        return true;
    }
    return false;
}

}  // namespace

void append_double(std::string& out, double d) {
    if (std::isnan(d)) { out += "NaN"; return; }
    if (std::isinf(d)) { out += d < 0 ? "-inf" : "inf"; return; }
    if (d == 0) { out += std::signbit(d) ? "-0.0" : "0.0"; return; }
    if (append_short_decimal(out, d)) return;
    // Scientific shortest form gives the digits and the exponent; only the layout is ours.
    char buf[32];
    auto res = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
    const char* p = buf;
    if (*p == '-') { out += '-'; ++p; }
    char digits[20];
    int n = 0;
    for (; p < res.ptr && *p != 'e'; ++p)
        if (*p != '.') digits[n++] = *p;
    while (n > 1 && digits[n - 1] == '0') --n;
    int m = 0;
    std::from_chars(p + 1 + (p[1] == '+'), res.ptr, m);
    if (m >= -5 && m <= 15) {
        if (m < 0) {
            out += "0.";
            out.append(static_cast<std::size_t>(-m - 1), '0');
            out.append(digits, static_cast<std::size_t>(n));
        } else if (m < n - 1) {
            out.append(digits, static_cast<std::size_t>(m + 1));
            out += '.';
            out.append(digits + m + 1, static_cast<std::size_t>(n - m - 1));
        } else {
            out.append(digits, static_cast<std::size_t>(n));
            out.append(static_cast<std::size_t>(m - n + 1), '0');
            out += ".0";
        }
        return;
    }
    out += digits[0];
    if (n >= 2) {
        out += '.';
        out.append(digits + 1, static_cast<std::size_t>(n - 1));
    }
    out += m < 0 ? "e-" : "e+";
    char ebuf[8];
    auto er = std::to_chars(ebuf, ebuf + sizeof ebuf, m < 0 ? -m : m);
    out.append(ebuf, er.ptr);
}

}  // namespace tavrik::json
