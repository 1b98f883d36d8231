// Number tokens as classified by the reader, and the decimal form of doubles.
#pragma once

#include <cstddef>
#include <cstdint>
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

}  // namespace tavrik::json
