#include "json/writer.hpp"

#include <charconv>
#include <cmath>

#include "json/number.hpp"
#include "json/reader.hpp"

namespace tavrik::json {

void Writer::u64(std::uint64_t v) {
    scalar_start();
    char buf[20];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    out_.append(buf, r.ptr);
}

void Writer::i64(std::int64_t v) {
    scalar_start();
    char buf[20];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    out_.append(buf, r.ptr);
}

void Writer::f64(double d) {
    scalar_start();
    if (!std::isfinite(d)) {
        out_ += "null";
        return;
    }
    append_double(out_, d);
}

void Writer::write_string(std::string_view s) {
    static constexpr char hex[] = "0123456789abcdef";
    out_ += '"';
    // Runs that need no escape (no quote, backslash or control byte) are copied whole.
    std::size_t run = 0;
    for (;;) {
        const std::size_t i = scan_string(s.data(), run, s.size());
        out_.append(s.data() + run, i - run);
        if (i == s.size()) break;
        const auto c = static_cast<unsigned char>(s[i]);
        run = i + 1;
        switch (c) {
            case '"': out_ += "\\\""; break;
            case '\\': out_ += "\\\\"; break;
            case '\b': out_ += "\\b"; break;
            case '\t': out_ += "\\t"; break;
            case '\n': out_ += "\\n"; break;
            case '\f': out_ += "\\f"; break;
            case '\r': out_ += "\\r"; break;
            default:
                out_ += "\\u00";
                out_ += hex[c >> 4];
                out_ += hex[c & 0xF];
        }
    }
    out_ += '"';
}

}  // namespace tavrik::json
