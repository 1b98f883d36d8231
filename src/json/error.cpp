#include "json/error.hpp"

#include <charconv>

#include "json/number.hpp"

namespace tavrik::json {

namespace {

void append_decimal(std::string& out, unsigned long long v) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

// Decodes one UTF-8 sequence (the input is valid UTF-8).
char32_t decode(std::string_view s, std::size_t& i) {
    auto b = static_cast<unsigned char>(s[i]);
    int len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    char32_t c = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
    for (int k = 1; k < len && i + k < s.size(); ++k) c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    i += static_cast<std::size_t>(len);
    return c;
}

// Characters shown escaped in debug-quoted text: controls, the C1 block, combining
// marks, format characters, separators other than the ASCII space, private use and
// noncharacters. A compact approximation of the Unicode printable property.
bool printable(char32_t c) {
    if (c < 0x20 || (c >= 0x7F && c < 0xA0)) return false;
    if (c == 0xAD) return false;                                     // soft hyphen
    if (c >= 0x300 && c <= 0x36F) return false;                      // combining diacritics
    if (c >= 0x1AB0 && c <= 0x1AFF) return false;
    if (c >= 0x1DC0 && c <= 0x1DFF) return false;
    if (c >= 0x20D0 && c <= 0x20FF) return false;
    if (c >= 0xFE20 && c <= 0xFE2F) return false;
    if (c == 0xA0 || c == 0x1680 || c == 0x202F || c == 0x205F || c == 0x3000) return false;
    if (c >= 0x2000 && c <= 0x200F) return false;                    // spaces, zero-width marks
    if (c >= 0x2028 && c <= 0x202E) return false;
    if (c >= 0x2060 && c <= 0x206F) return false;
    if (c == 0xFEFF) return false;
    if (c >= 0xE000 && c <= 0xF8FF) return false;                    // private use
    if (c >= 0xFFF0 && c <= 0xFFFF) return c >= 0xFFFC && c <= 0xFFFD;
    if (c >= 0xF0000) return false;                                  // supplementary private use
    if (c >= 0xE0000 && c <= 0xE0FFF) return false;                  // tags, variation selectors
    return true;
}

}  // namespace

std::string Error::display() const {
    if (d_->line == 0) return d_->message;
    std::string s = d_->message;
    s += " at line ";
    append_decimal(s, d_->line);
    s += " column ";
    append_decimal(s, d_->column);
    return s;
}

void append_debug_quoted(std::string& out, std::string_view s) {
    out += '"';
    for (std::size_t i = 0; i < s.size();) {
        std::size_t start = i;
        char32_t c = decode(s, i);
        switch (c) {
            case '"': out += "\\\""; continue;
            case '\\': out += "\\\\"; continue;
            case '\t': out += "\\t"; continue;
            case '\r': out += "\\r"; continue;
            case '\n': out += "\\n"; continue;
            case '\0': out += "\\0"; continue;
            default: break;
        }
        if (printable(c)) {
            out.append(s.substr(start, i - start));
        } else {
            char buf[8];
            auto r = std::to_chars(buf, buf + sizeof buf, static_cast<unsigned long>(c), 16);
            out += "\\u{";
            out.append(buf, r.ptr);
            out += '}';
        }
    }
    out += '"';
}

std::string unexpected_string(std::string_view s) {
    std::string out = "string ";
    append_debug_quoted(out, s);
    return out;
}

std::string unexpected_double(double d) {
    std::string out = "floating point `";
    append_double(out, d);
    out += '`';
    return out;
}

std::string unexpected_integer(unsigned long long v) {
    std::string out = "integer `";
    append_decimal(out, v);
    out += '`';
    return out;
}

std::string unexpected_integer(long long v) {
    std::string out = "integer `";
    if (v < 0) {
        out += '-';
        append_decimal(out, 0ULL - static_cast<unsigned long long>(v));
    } else {
        append_decimal(out, static_cast<unsigned long long>(v));
    }
    out += '`';
    return out;
}

namespace {

// "{what}: {unexpected}, expected {expected}"
Error mismatch(std::string_view what, std::string_view unexpected, std::string_view expected) {
    std::string m(what);
    m += ": ";
    m += unexpected;
    m += ", expected ";
    m += expected;
    return Error{std::move(m)};
}

}  // namespace

Error invalid_type(std::string_view unexpected, std::string_view expected) {
    return mismatch("invalid type", unexpected, expected);
}

Error invalid_value(std::string_view unexpected, std::string_view expected) {
    return mismatch("invalid value", unexpected, expected);
}

Error invalid_length(std::size_t n, std::string_view expected) {
    std::string m = "invalid length ";
    append_decimal(m, n);
    m += ", expected ";
    m += expected;
    return Error{std::move(m)};
}

Error missing_field(std::string_view name) {
    std::string m = "missing field `";
    m += name;
    m += '`';
    return Error{std::move(m)};
}

Error duplicate_field(std::string_view name) {
    std::string m = "duplicate field `";
    m += name;
    m += '`';
    return Error{std::move(m)};
}

Error unknown_variant(std::string_view name, const std::string_view* names, std::size_t count) {
    std::string m = "unknown variant `";
    m += name;
    m += "`, ";
    if (count == 0) {
        m += "there are no variants";
        return Error{std::move(m)};
    }
    m += "expected ";
    if (count > 2) m += "one of ";
    for (std::size_t k = 0; k < count; ++k) {
        if (k > 0) m += count == 2 ? " or " : ", ";
        m += '`';
        m += names[k];
        m += '`';
    }
    return Error{std::move(m)};
}

}  // namespace tavrik::json
