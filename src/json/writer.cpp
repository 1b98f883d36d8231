#include "json/writer.hpp"

#include <charconv>
#include <cmath>

#include "json/number.hpp"
#include "json/pages.hpp"
#include "json/reader.hpp"

namespace tavrik::json {

void Writer::grow(std::size_t n) {
    const std::size_t size = static_cast<std::size_t>(cursor_ - begin_);
    std::size_t capacity = 2 * this->capacity();
    if (capacity < size + n) capacity = size + n;
    if (capacity < 256) capacity = 256;
    char* fresh = static_cast<char*>(grow_buffer(begin_, this->capacity(), capacity, size));
    begin_ = fresh;
    cursor_ = fresh + size;
    end_ = fresh + capacity;
}

bool Writer::clear_down_to(std::size_t capacity) {
    clear();
    if (this->capacity() <= capacity) return true;
    if (!shrink_buffer(begin_, this->capacity(), capacity)) return false;
    end_ = begin_ + capacity;
    return true;
}

void Writer::u64(std::uint64_t v) {
    scalar_start();
    char* p = room(20);
    cursor_ = std::to_chars(p, p + 20, v).ptr;
}

void Writer::i64(std::int64_t v) {
    scalar_start();
    char* p = room(20);
    cursor_ = std::to_chars(p, p + 20, v).ptr;
}

void Writer::f64(double d) {
    scalar_start();
    if (!std::isfinite(d)) {
        std::memcpy(room(4), "null", 4);
        cursor_ += 4;
        return;
    }
    static_assert(kSlack >= kDoubleRoom);
    cursor_ = write_double(room(0), d);
}

void Writer::write_string(std::string_view s) {
    static constexpr char hex[] = "0123456789abcdef";
    shape_.add(s.data(), s.size());
    *room(1) = '"';
    ++cursor_;
    // Runs that need no escape (no quote, backslash or control byte) are copied whole.
    std::size_t run = 0;
    for (;;) {
        const std::size_t i = scan_string(s.data(), run, s.size());
        std::memcpy(room(i - run), s.data() + run, i - run);
        cursor_ += i - run;
        if (i == s.size()) break;
        const auto c = static_cast<unsigned char>(s[i]);
        run = i + 1;
        char* p = room(6);
        *p++ = '\\';
        switch (c) {
            case '"': *p++ = '"'; break;
            case '\\': *p++ = '\\'; break;
            case '\b': *p++ = 'b'; break;
            case '\t': *p++ = 't'; break;
            case '\n': *p++ = 'n'; break;
            case '\f': *p++ = 'f'; break;
            case '\r': *p++ = 'r'; break;
            default:
                std::memcpy(p, "u00", 3);
                p[3] = hex[c >> 4];
                p[4] = hex[c & 0xF];
                p += 5;
        }
        cursor_ = p;
    }
    *room(1) = '"';
    ++cursor_;
}

}  // namespace tavrik::json
