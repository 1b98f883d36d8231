#include "json/number.hpp"

#include <charconv>
#include <cmath>
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

void append_double(std::string& out, double d) {
    if (std::isnan(d)) { out += "NaN"; return; }
    if (std::isinf(d)) { out += d < 0 ? "-inf" : "inf"; return; }
    if (d == 0) { out += std::signbit(d) ? "-0.0" : "0.0"; return; }
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
