// Checks that a double's written text made from its token alone (write_double_of_token)
// is the text the writer makes of the value that the reader reads from that token, and
// that double_token_written says yes only for tokens that already are that text.  Runs over number tokens built to sit at every edge of the
// layout and of the digit counts, and over seeded random ones; prints each disagreement
// and a last line "checked N tokens, M disagreements".
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <string_view>

#include "json/number.hpp"
#include "json/reader.hpp"
#include "json/writer.hpp"

namespace {

long checked = 0;
long disagreements = 0;

void report(const std::string& token, std::string_view what, std::string_view got, std::string_view want) {
    if (++disagreements <= 20) {
        std::printf("%s: %.*s gives %.*s, the writer %.*s\n", token.c_str(), static_cast<int>(what.size()), what.data(),
                    static_cast<int>(got.size()), got.data(), static_cast<int>(want.size()), want.data());
    }
}

// One token, if the reader takes it whole (the only tokens either is given).  Each is
// checked at the end of the text and with more text after it, as the fast check reads
// sixteen bytes at once where it can.
void check(const std::string& token) {
    tavrik::json::Reader reader(token);
    const auto n = reader.parse_number();
    if (!n || reader.peek() != tavrik::json::kEof) return;
    ++checked;
    char want_buffer[tavrik::json::kDoubleRoom];
    const std::string_view want(want_buffer,
                                static_cast<std::size_t>(tavrik::json::write_double(want_buffer, n->as_double()) - want_buffer));
    char got_buffer[tavrik::json::kDoubleRoom];
    const std::string_view got(
        got_buffer, static_cast<std::size_t>(tavrik::json::write_double_of_token(got_buffer, token) - got_buffer));
    if (got != want) report(token, "the token's text", got, want);
    const std::string padded = token + ",                ";
    for (const std::string* text : {&token, &padded}) {
        const char* begin = text->data();
        if (tavrik::json::double_token_written(begin, begin + token.size(), begin + text->size()) &&
            std::string_view(token) != want) {
            report(token, text == &token ? "taken as written, it" : "taken as written before more text, it", token, want);
        }
    }
}

// The token of the digits `digits` with the decimal point after `point` of them (none when
// point is digits.size()) and the exponent `e` (none when absent).
std::string token(bool negative, const std::string& digits, std::size_t point, bool has_e, int e, bool capital = false) {
    std::string t = negative ? "-" : "";
    t += digits.substr(0, point);
    if (point < digits.size()) t += "." + digits.substr(point);
    if (has_e) t += (capital ? "E" : "e") + std::string(e < 0 ? "-" : (e % 2 ? "+" : "")) + std::to_string(e < 0 ? -e : e);
    return t;
}

// Every placement of the point and every small exponent for one string of digits.
void placements(const std::string& digits) {
    for (bool negative : {false, true}) {
        for (std::size_t point = 1; point <= digits.size(); ++point) {
            check(token(negative, digits, point, false, 0));
            for (int e = -24; e <= 24; ++e) check(token(negative, digits, point, true, e, e == 3));
        }
        // Leading zeros of a fraction: 0.0ddd up to 0.000000ddd.
        for (int zeros = 0; zeros <= 7; ++zeros) check(token(negative, "0" + std::string(zeros, '0') + digits, 1, false, 0));
    }
}

}  // namespace

int main() {
    // Zeros in every spelling.
    for (const char* zero : {"0", "0.0", "0.00", "0e0", "0e-7", "0.0e+3", "-0.0", "-0.000", "-0e5", "-0.0E-2"}) check(zero);
    // Edges of the layout: the first and last exponents written plain, with one digit and
    // with many, trailing zeros of the integer part.
    for (const char* digits : {"1", "9", "10", "15", "100", "1000000", "123456789012345", "100000000000000",
                               "999999999999999", "1234567890123456", "9007199254740992", "9007199254740993",
                               "1000000000000000", "10000000000000000", "12345678901234567", "1234567890123456789",
                               "9999999999999999999", "5", "25", "7250", "4503599627370497"}) {
        placements(digits);
    }
    // Near the ends of the range, where the values lose digits or the reader refuses
    // them, and more digits than any double holds.
    for (const char* digits : {"1", "17976931348623157", "22250738585072014", "49", "123456789012345"}) {
        for (int e = 280; e <= 330; ++e) {
            check(token(false, digits, 1, true, e));
            check(token(true, digits, 1, true, -e));
        }
    }
    for (const char* many : {"123456789012345678901234567890", "1.00000000000000000000000000001",
                             "0.000000000000000000000000000012345", "100000000000000000000000000000.0",
                             "9007199254740993.0000000000000000001"}) {
        check(many);
        check(std::string("-") + many);
    }
    // Integers where a double is read: short, with trailing zeros, at 15, 16, 17 and more digits.
    for (std::string digits = "1"; digits.size() <= 19; digits += static_cast<char>('0' + digits.size() % 10)) {
        check(digits);
        check("-" + digits);
        check(digits.substr(0, 1) + std::string(digits.size() - 1, '0'));
    }
    // Every mantissa below 10^4 at every exponent the common path reads, and seeded random
    // tokens of 1 to 19 digits.
    for (int mantissa = 0; mantissa < 10000; ++mantissa) {
        for (int e = -22; e <= 22; ++e) check(std::to_string(mantissa) + "e" + std::to_string(e));
    }
    std::mt19937_64 random(20260610);
    for (int i = 0; i < 400000; ++i) {
        const std::size_t size = 1 + random() % 19;
        std::string digits;
        digits += static_cast<char>('1' + random() % 9);
        while (digits.size() < size) digits += static_cast<char>('0' + random() % 10);
        // Trailing zeros, and a fraction that starts with zeros.
        if (random() % 3 == 0) digits.replace(size - random() % size, std::string::npos, random() % size, '0');
        std::size_t point = 1 + random() % digits.size();
        if (random() % 5 == 0) {
            digits = std::string(1 + random() % 7, '0') + digits;
            point = 1;
        }
        const bool has_e = random() % 3 == 0;
        check(token(random() % 2 == 0, digits, point, has_e, static_cast<int>(random() % 45) - 22));
    }
    // Random doubles in the writer's own form read back as themselves.
    for (int i = 0; i < 200000; ++i) {
        const double d = std::ldexp(static_cast<double>(random() >> 11), static_cast<int>(random() % 120) - 90);
        char buffer[tavrik::json::kDoubleRoom];
        check(std::string(buffer, tavrik::json::write_double(buffer, i % 2 ? -d : d)));
    }
    std::printf("checked %ld tokens, %ld disagreements\n", checked, disagreements);
    return disagreements == 0 ? 0 : 1;
}
