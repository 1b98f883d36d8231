#include "json/reader.hpp"

#include <charconv>
#include <cstring>
#include <limits>

namespace tavrik::json {

namespace {

bool is_digit(int c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

void append_utf8(std::string& out, std::uint32_t cp) {
    char bytes[4];
    out.append(bytes, static_cast<std::size_t>(put_utf8(bytes, cp) - bytes));
}

// ---- positions ----

namespace {

Error at_offset(std::string message, const char* data, std::size_t i) {
    std::size_t line = 1;
    std::size_t line_start = 0;
    for (const char* p = data; p < data + i;) {
        const void* nl = std::memchr(p, '\n', static_cast<std::size_t>(data + i - p));
        if (nl == nullptr) break;
        ++line;
        p = static_cast<const char*>(nl) + 1;
        line_start = static_cast<std::size_t>(p - data);
    }
    return Error{std::move(message), line, i - line_start};
}

}  // namespace

Error Reader::at(std::string message, std::size_t offset) const {
    // A speculative failure is thrown away; any position marks it as placed.
    if (speculative_) return Error{std::move(message), 1, 0};
    return at_offset(std::move(message), data_, offset);
}

Error Reader::error_current(std::string message) const { return at(std::move(message), pos_); }

Error Reader::error_next(std::string message) const {
    return at(std::move(message), pos_ + 1 < size_ ? pos_ + 1 : size_);
}

Error Reader::fix(Error e) const {
    if (e.has_position()) return e;
    return at(std::move(e).take_message(), pos_);
}

// ---- literals ----

Status Reader::parse_ident(std::string_view rest) {
    for (char expected : rest) {
        if (pos_ >= size_) return std::unexpected(error_current("EOF while parsing a value"));
        char c = data_[pos_++];
        if (c != expected) return std::unexpected(error_current("expected ident"));
    }
    return {};
}

// ---- numbers ----

namespace {

// Decimal exponent of the leading significant digit of a literal whose digits are not
// all zero, saturating; positive means the magnitude is at least 10.
long long leading_exponent(std::string_view int_digits, std::string_view frac_digits, long long exp) {
    std::size_t nz = int_digits.find_first_not_of('0');
    long long lead;
    if (nz != std::string_view::npos) {
        lead = static_cast<long long>(int_digits.size() - nz) - 1;
    } else {
        std::size_t f = frac_digits.find_first_not_of('0');
        lead = -static_cast<long long>(f) - 1;
    }
    return lead + exp;
}

}  // namespace

Result<Number> Reader::parse_number_general() {
    const std::size_t start = pos_;
    bool negative = false;
    if (data_[pos_] == '-') {
        negative = true;
        ++pos_;
    }
    // Integer part.
    if (pos_ >= size_) return std::unexpected(error_current("EOF while parsing a value"));
    const std::size_t int_start = pos_;
    char first = data_[pos_++];
    if (first == '0') {
        if (is_digit(peek())) return std::unexpected(error_next("invalid number"));
    } else if (first >= '1' && first <= '9') {
        while (is_digit(peek())) ++pos_;
    } else {
        return std::unexpected(error_current("invalid number"));
    }
    const std::string_view int_digits(data_ + int_start, pos_ - int_start);

    std::string_view frac_digits;
    bool is_float = false;
    if (peek() == '.') {
        is_float = true;
        ++pos_;
        const std::size_t f = pos_;
        while (is_digit(peek())) ++pos_;
        if (pos_ == f) {
            if (pos_ >= size_) return std::unexpected(error_next("EOF while parsing a value"));
            return std::unexpected(error_next("invalid number"));
        }
        frac_digits = std::string_view(data_ + f, pos_ - f);
    }
    long long exp = 0;
    bool exp_overflow = false;
    bool exp_negative = false;
    if (peek() == 'e' || peek() == 'E') {
        is_float = true;
        ++pos_;
        if (peek() == '+' || peek() == '-') {
            exp_negative = data_[pos_] == '-';
            ++pos_;
        }
        if (pos_ >= size_) return std::unexpected(error_current("EOF while parsing a value"));
        if (!is_digit(data_[pos_++])) return std::unexpected(error_current("invalid number"));
        // Accumulated as a signed 32-bit value; past that the rest of the digits only
        // decide between zero and out of range.
        std::int32_t e = data_[pos_ - 1] - '0';
        while (is_digit(peek())) {
            int digit = data_[pos_] - '0';
            if (e > 214748364 || (e == 214748364 && digit > 7)) {
                exp_overflow = true;
                while (is_digit(peek())) ++pos_;
                break;
            }
            e = e * 10 + digit;
            ++pos_;
        }
        exp = exp_negative ? -static_cast<long long>(e) : e;
    }

    const bool all_zero = int_digits.find_first_not_of('0') == std::string_view::npos &&
                          frac_digits.find_first_not_of('0') == std::string_view::npos;
    if (!is_float) {
        // Plain integers stay integers while they fit; -0 and anything wider is a double.
        std::uint64_t v = 0;
        auto [p, ec] = std::from_chars(int_digits.data(), int_digits.data() + int_digits.size(), v);
        (void)p;
        if (ec == std::errc{}) {
            if (!negative) return Number::from_unsigned(v);
            if (v != 0 && v <= (std::uint64_t{1} << 63)) {
                return Number::from_signed(static_cast<std::int64_t>(0 - v));
            }
        }
    }
    if (exp_overflow) {
        if (!all_zero && !exp_negative) return std::unexpected(error_current("number out of range"));
        return Number::from_double(negative ? -0.0 : 0.0);
    }
    // The nearest double to the decimal value, correctly rounded.
    double d = 0;
    auto [p, ec] = std::from_chars(data_ + start, data_ + pos_, d);
    (void)p;
    if (ec == std::errc::result_out_of_range) {
        if (leading_exponent(int_digits, frac_digits, exp) > 0) {
            return std::unexpected(error_current("number out of range"));
        }
        d = negative ? -0.0 : 0.0;
    }
    return Number::from_double(d);
}

Status Reader::skip_number() {
    if (peek() == '-') ++pos_;
    int c = peek();
    if (c == '0') {
        ++pos_;
        if (is_digit(peek())) return std::unexpected(error_next("invalid number"));
    } else if (c >= '1' && c <= '9') {
        ++pos_;
        while (is_digit(peek())) ++pos_;
    } else {
        if (c != kEof) ++pos_;
        return std::unexpected(error_current("invalid number"));
    }
    if (peek() == '.') {
        ++pos_;
        if (!is_digit(peek())) return std::unexpected(error_next("invalid number"));
        while (is_digit(peek())) ++pos_;
    }
    if (peek() == 'e' || peek() == 'E') {
        ++pos_;
        if (peek() == '+' || peek() == '-') ++pos_;
        c = peek();
        if (c != kEof) ++pos_;
        if (!is_digit(c)) return std::unexpected(error_current("invalid number"));
        while (is_digit(peek())) ++pos_;
    }
    return {};
}

// ---- strings ----

Status Reader::parse_escape() {
    // At the byte after the backslash.
    if (pos_ >= size_) return std::unexpected(error_current("EOF while parsing a string"));
    char c = data_[pos_++];
    switch (c) {
        case '"': scratch_ += '"'; return {};
        case '\\': scratch_ += '\\'; return {};
        case '/': scratch_ += '/'; return {};
        case 'b': scratch_ += '\b'; return {};
        case 'f': scratch_ += '\f'; return {};
        case 'n': scratch_ += '\n'; return {};
        case 'r': scratch_ += '\r'; return {};
        case 't': scratch_ += '\t'; return {};
        case 'u': break;
        default: return std::unexpected(error_current("invalid escape"));
    }
    auto hex4 = [this]() -> Result<std::uint32_t> {
        if (size_ - pos_ < 4) {
            pos_ = size_;
            return std::unexpected(error_current("EOF while parsing a string"));
        }
        std::uint32_t v = 0;
        bool ok = true;
        for (int k = 0; k < 4; ++k) {
            int h = hex_value(data_[pos_ + static_cast<std::size_t>(k)]);
            ok = ok && h >= 0;
            v = (v << 4) | static_cast<std::uint32_t>(h < 0 ? 0 : h);
        }
        pos_ += 4;
        if (!ok) return std::unexpected(error_current("invalid escape"));
        return v;
    };
    auto unit = hex4();
    if (!unit) return std::unexpected(std::move(unit.error()));
    std::uint32_t cp = *unit;
    if (cp >= 0xDC00 && cp <= 0xDFFF) return std::unexpected(error_current("lone leading surrogate in hex escape"));
    if (cp >= 0xD800 && cp <= 0xDBFF) {
        if (pos_ >= size_) return std::unexpected(error_current("EOF while parsing a string"));
        if (data_[pos_++] != '\\') return std::unexpected(error_current("unexpected end of hex escape"));
        if (pos_ >= size_) return std::unexpected(error_current("EOF while parsing a string"));
        if (data_[pos_++] != 'u') return std::unexpected(error_current("unexpected end of hex escape"));
        auto trail = hex4();
        if (!trail) return std::unexpected(std::move(trail.error()));
        if (*trail < 0xDC00 || *trail > 0xDFFF) {
            return std::unexpected(error_current("lone leading surrogate in hex escape"));
        }
        cp = 0x10000 + ((cp - 0xD800) << 10) + (*trail - 0xDC00);
    }
    append_utf8(scratch_, cp);
    return {};
}

Result<std::string_view> Reader::parse_string_general() {
    std::size_t run = pos_;
    bool escaped = false;
    for (;;) {
        pos_ = scan_string(data_, pos_, size_);
        if (pos_ >= size_) return std::unexpected(error_current("EOF while parsing a string"));
        char c = data_[pos_];
        if (c == '"') {
            std::string_view tail(data_ + run, pos_ - run);
            ++pos_;
            if (!escaped) return tail;
            scratch_.append(tail);
            return std::string_view(scratch_);
        }
        ++pos_;
        if (c != '\\') return std::unexpected(error_current("control character (\\u0000-\\u001F) found while parsing a string"));
        if (!escaped) {
            scratch_.clear();
            escaped = true;
        }
        scratch_.append(data_ + run, pos_ - 1 - run);
        if (auto s = parse_escape(); !s) return std::unexpected(std::move(s.error()));
        run = pos_;
    }
}

Status Reader::skip_string() {
    // Validated like a read string; the decoded text goes to scratch and is dropped, the
    // bracket stack lives at the front of scratch so it is kept.
    const std::size_t keep = scratch_.size();
    for (;;) {
        pos_ = scan_string(data_, pos_, size_);
        if (pos_ >= size_) return std::unexpected(error_current("EOF while parsing a string"));
        char c = data_[pos_++];
        if (c == '"') {
            scratch_.resize(keep);
            return {};
        }
        if (c != '\\') return std::unexpected(error_current("control character (\\u0000-\\u001F) found while parsing a string"));
        if (auto s = parse_escape(); !s) return s;
    }
}

// ---- containers ----

// The container steps keep their error texts in cold helpers, so that the common path
// is a short function without a frame to build.

Error Reader::error_next_cold(const char* message) const { return error_next(message); }

Result<bool> Reader::seq_has_next_general(bool& first) {
    int c = peek_ws();
    if (c == ']') return false;
    if (c == kEof) return std::unexpected(error_next_cold("EOF while parsing a list"));
    if (first) {
        first = false;
        return true;
    }
    if (c != ',') return std::unexpected(error_next_cold("expected `,` or `]`"));
    ++pos_;
    c = peek_ws();
    if (c == ']') return std::unexpected(error_next_cold("trailing comma"));
    if (c == kEof) return std::unexpected(error_next_cold("EOF while parsing a value"));
    return true;
}

Result<bool> Reader::map_next_key(bool& first, std::string_view& key) {
    int c = peek_ws();
    if (c == '}') return false;
    if (c == ',' && !first) {
        ++pos_;
        c = peek_ws();
        if (c != '"') return std::unexpected(map_key_error(c, false, true));
    } else if (c == '"' && first) {
        first = false;
    } else {
        return std::unexpected(map_key_error(c, first, false));
    }
    ++pos_;
    // The common key is written straight to `key`, not through a returned view.
    std::size_t end = scan_string(data_, pos_, size_);
    if (end < size_ && data_[end] == '"') [[likely]] {
        key = std::string_view(data_ + pos_, end - pos_);
        pos_ = end + 1;
        return true;
    }
    return map_key_escaped(key);
}

Result<bool> Reader::map_key_escaped(std::string_view& key) {
    auto s = parse_string_general();
    if (!s) return std::unexpected(std::move(s.error()));
    key = *s;
    return true;
}

// At `c`, which is neither the end of the object nor a key where one may stand.
Error Reader::map_key_error(int c, bool first, bool after_comma) const {
    if (after_comma) {
        if (c == '}') return error_next("trailing comma");
        if (c == kEof) return error_next("EOF while parsing a value");
        return error_next("key must be a string");
    }
    if (c == kEof) return error_next("EOF while parsing an object");
    if (!first) return error_next("expected `,` or `}`");
    return error_next("key must be a string");
}

Status Reader::parse_colon() {
    int c = peek_ws();
    if (c == ':') {
        ++pos_;
        return {};
    }
    return std::unexpected(error_next_cold(c == kEof ? "EOF while parsing an object" : "expected `:`"));
}

Status Reader::end_seq() {
    int c = peek_ws();
    if (c == ']') {
        ++pos_;
        return {};
    }
    return std::unexpected(end_error(c, ']'));
}

Status Reader::end_map() {
    int c = peek_ws();
    if (c == '}') {
        ++pos_;
        return {};
    }
    return std::unexpected(end_error(c, '}'));
}

// At `c` where the closing bracket `close` should stand.
Error Reader::end_error(int c, char close) {
    if (c == kEof) return error_next(close == ']' ? "EOF while parsing a list" : "EOF while parsing an object");
    if (c == ',') {
        if (close == '}') return error_next("trailing comma");
        ++pos_;
        if (peek_ws() == ']') return error_next("trailing comma");
    }
    return error_next("trailing characters");
}

void Reader::end_after_error(char close) {
    int c = peek_ws();
    if (c == close) {
        ++pos_;
    } else if (c == ',' && close == ']') {
        // An array's end check steps over a comma before it looks for more.
        ++pos_;
        peek_ws();
    }
}

// ---- skipping ----

Status Reader::skip_value() {
    // Open brackets are kept on a stack at the end of scratch, so skipped values nest
    // without limit and without recursion.
    const std::size_t base = scratch_.size();
    auto fail = [&](Error e) -> Status {
        scratch_.resize(base);
        return std::unexpected(std::move(e));
    };
    for (;;) {
        // A value.
        int c = peek_ws();
        bool opened = false;
        switch (c) {
            case kEof: return fail(error_next("EOF while parsing a value"));
            case 'n': ++pos_; if (auto s = parse_ident("ull"); !s) return fail(std::move(s.error())); break;
            case 't': ++pos_; if (auto s = parse_ident("rue"); !s) return fail(std::move(s.error())); break;
            case 'f': ++pos_; if (auto s = parse_ident("alse"); !s) return fail(std::move(s.error())); break;
            case '"': ++pos_; if (auto s = skip_string(); !s) return fail(std::move(s.error())); break;
            case '[':
            case '{':
                if (speculative_ && scratch_.size() - base + 1 >= budget_) {
                    return fail(error_next("recursion limit exceeded"));
                }
                ++pos_;
                scratch_ += static_cast<char>(c);
                opened = true;
                break;
            default:
                if (c == '-' || is_digit(c)) {
                    // A buffered number must also be in range.
                    if (speculative_) {
                        if (auto n = parse_number(); !n) return fail(std::move(n.error()));
                    } else if (auto s = skip_number(); !s) {
                        return fail(std::move(s.error()));
                    }
                    break;
                }
                return fail(error_next("expected value"));
        }
        // Close what ends here, until a separator or a fresh container needs a value.
        bool accept_comma = !opened;
        for (;;) {
            if (scratch_.size() == base) return {};
            char frame = scratch_.back();
            c = peek_ws();
            if (c == kEof) {
                return fail(error_next(frame == '[' ? "EOF while parsing a list" : "EOF while parsing an object"));
            }
            if ((c == ']' && frame == '[') || (c == '}' && frame == '{')) {
                ++pos_;
                scratch_.pop_back();
                accept_comma = true;
                continue;
            }
            if (accept_comma) {
                if (c != ',') {
                    return fail(error_next(frame == '[' ? "expected `,` or `]`" : "expected `,` or `}`"));
                }
                ++pos_;
            }
            break;
        }
        if (scratch_.back() == '{') {
            c = peek_ws();
            if (c == kEof) return fail(error_next("EOF while parsing an object"));
            if (c != '"') return fail(error_next("key must be a string"));
            ++pos_;
            if (auto s = skip_string(); !s) return fail(std::move(s.error()));
            if (auto s = parse_colon(); !s) return fail(std::move(s.error()));
        }
    }
}

Status Reader::end_document() {
    if (peek_ws() != kEof) return std::unexpected(error_next("trailing characters"));
    return {};
}

}  // namespace tavrik::json
