// Number tokens as classified by the reader, and the decimal form of doubles.
#pragma once

#include <cstdint>
#include <string>

namespace tavrik::json {

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

}  // namespace tavrik::json
