// The JSON text writer: one growing buffer, two-space indentation, no final line feed.
//
// The buffer is written through a raw cursor.  Each piece first makes room for itself
// and kSlack bytes more, so that short pieces (indentation, digits) move in fixed widths
// that may run past their end instead of through a call sized to each.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "json/pages.hpp"

namespace tavrik::json {

// What a UTF-8 text holds beyond its bytes, so that a string of the right width can be
// made for it and filled in one pass: how many of its bytes continue a character, and its
// largest byte, which tells the widest character (below 0x80 only ASCII, up to 0xC3 up to
// U+00FF, up to 0xEF up to U+FFFF, else beyond).
struct Utf8Shape {
    std::size_t continuations = 0;
    unsigned char max_byte = 0;

    // Takes in n more bytes of the text.
    void add(const char* p, std::size_t n) {
        constexpr std::uint64_t highs = 0x8080808080808080ULL;
        std::size_t i = 0;
        for (; i + 8 <= n; i += 8) {
            std::uint64_t w;
            std::memcpy(&w, p + i, 8);
            if ((w & highs) != 0) add_bytes(p + i, 8);
        }
        if (i == n) return;
        // The last bytes in one or two fixed-width loads, which may overlap bytes seen
        // already: those hold no high bit, or were tallied, and add_bytes takes only the rest.
        std::uint64_t w;
        if (n >= 8) {
            std::memcpy(&w, p + n - 8, 8);
        } else if (n >= 4) {
            std::uint32_t a;
            std::uint32_t b;
            std::memcpy(&a, p, 4);
            std::memcpy(&b, p + n - 4, 4);
            w = a | b;
        } else {
            w = 0;
            for (std::size_t k = 0; k < n; ++k) w |= static_cast<unsigned char>(p[k]);
        }
        if ((w & highs) != 0) add_bytes(p + i, n - i);
    }
    // The largest code point the text may hold, as a string of its width takes it.
    std::uint32_t max_char() const {
        if (max_byte < 0x80) return 0x7F;
        if (max_byte <= 0xC3) return 0xFF;
        if (max_byte <= 0xEF) return 0xFFFF;
        return 0x10FFFF;
    }

private:
    void add_bytes(const char* p, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            const auto c = static_cast<unsigned char>(p[i]);
            continuations += (c & 0xC0) == 0x80;
            if (c > max_byte) max_byte = c;
        }
    }
};

// The text f64() writes for the double that the reader reads from the number token
// `token` (which it accepts), written at `out` with kDoubleRoom bytes of room; returns its
// end.  A decimal of at most 15 significant digits in the range of normal doubles reads as
// a double whose shortest round-trip digits are those very digits (no two such decimals
// read as the same double, and none of fewer digits reads as it), so such a token is laid
// out from its own digits, with neither a reading nor a formatting; any other takes both.
char* write_double_of_token(char* out, std::string_view token);

class Writer {
public:
    explicit Writer(std::size_t capacity = 0) { reserve(capacity); }
    ~Writer() { free_buffer(begin_, capacity()); }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    void begin_object() { open('{'); }
    void end_object() { close('}'); }
    void begin_array(std::size_t) { open('['); }
    void end_array() { close(']'); }
    // A member name of the format: plain letters and underscores, nothing to escape.  The
    // separator, indentation, name and colon go in as one piece.
    void field(std::string_view name) {
        const std::size_t indent = 2 * level_;
        char* p = room(2 + indent + name.size() + 3);
        p = line_break(p, indent);
        *p++ = '"';
        for (char c : name) *p++ = c;
        std::memcpy(p, "\": ", 3);
        cursor_ = p + 3;
        pending_key_ = true;
    }
    void key(std::string_view k) {
        separate();
        write_string(k);
        std::memcpy(room(2), ": ", 2);
        cursor_ += 2;
        pending_key_ = true;
    }

    void null() { literal("null"); }
    void boolean(bool b) { literal(b ? std::string_view("true") : std::string_view("false")); }
    void u64(std::uint64_t v);
    void i64(std::int64_t v);
    // Shortest round-trip form; null when not finite.
    void f64(double d);
    void string(std::string_view s) {
        scalar_start();
        write_string(s);
    }
    // A JSON value whose strings hold no escapes and no control bytes and whose other
    // scalars are already as this writer writes them, laid out as this writer lays out
    // values: only the whitespace between its tokens changes.  Save the number tokens
    // that start at `doubles` (ascending, each one that the reader's common path reads):
    // each is written as f64() writes the double read from it.
    void reindent(std::string_view text, std::span<const char* const> doubles = {});

    // The text so far, valid until the writer is written to, cleared or destroyed.
    std::string_view view() const { return {begin_, static_cast<std::size_t>(cursor_ - begin_)}; }
    std::string take() const { return std::string(view()); }
    std::size_t capacity() const { return static_cast<std::size_t>(end_ - begin_); }
    // The shape of the text so far: only strings can hold anything but ASCII, and they
    // are tallied as they are written.
    const Utf8Shape& shape() const { return shape_; }
    // Empties the writer for a new document, keeping its room.
    void clear() {
        cursor_ = begin_;
        level_ = 0;
        has_value_ = false;
        pending_key_ = false;
        shape_ = {};
    }
    void reserve(std::size_t capacity) {
        if (capacity > this->capacity()) grow(capacity - static_cast<std::size_t>(cursor_ - begin_));
    }
    // Empties the writer and lets its room go past `capacity` (a multiple of the page
    // size), keeping the first `capacity` bytes where they are; false when its buffer
    // cannot shrink in place (it is not mapped), and nothing changed.
    bool clear_down_to(std::size_t capacity);

private:
    static constexpr std::size_t kSlack = 64;

    // Room for n bytes at the cursor, and kSlack more.
    char* room(std::size_t n) {
        if (static_cast<std::size_t>(end_ - cursor_) < n + kSlack) grow(n + kSlack);
        return cursor_;
    }
    void grow(std::size_t n);

    void literal(std::string_view text) {
        scalar_start();
        std::memcpy(room(8), text.data(), text.size());
        cursor_ += text.size();
    }
    void open(char bracket) {
        scalar_start();
        *room(1) = bracket;
        ++cursor_;
        ++level_;
        has_value_ = false;
    }
    void close(char bracket) {
        --level_;
        const std::size_t indent = 2 * level_;
        char* p = room(2 + indent);
        if (has_value_) {
            *p++ = '\n';
            p = spaces(p, indent);
        }
        *p++ = bracket;
        cursor_ = p;
        has_value_ = true;
    }
    // A value in an array starts its own line; after a key it follows on the same line.
    void scalar_start() {
        if (pending_key_) {
            pending_key_ = false;
            return;
        }
        if (level_ > 0) separate();
    }
    void separate() {
        const std::size_t indent = 2 * level_;
        cursor_ = line_break(room(2 + indent), indent);
    }
    // A comma when a value came before, a line feed and the indentation.
    char* line_break(char* p, std::size_t indent) {
        *p = ',';
        p += has_value_;
        *p++ = '\n';
        has_value_ = true;
        return spaces(p, indent);
    }
    // n spaces, 32 at a time into the slack (the first 32 whatever n is, so that the
    // shallow levels take no loop): indentation is most of an indented text.
    static char* spaces(char* p, std::size_t n) {
        static constexpr char thirty_two[] = "                                ";
        static_assert(kSlack >= 32);
        std::memcpy(p, thirty_two, 32);
        for (std::size_t i = 32; i < n; i += 32) std::memcpy(p + i, thirty_two, 32);
        return p + n;
    }
    void write_string(std::string_view s);
    // The rest of s from its first byte to escape, at i, and the closing quote.
    [[gnu::noinline]] void write_escaped(std::string_view s, std::size_t i);

    char* begin_ = nullptr;
    char* cursor_ = nullptr;
    char* end_ = nullptr;
    std::size_t level_ = 0;
    bool has_value_ = false;
    bool pending_key_ = false;
    Utf8Shape shape_;
};

}  // namespace tavrik::json
