// The JSON text writer: one growing buffer, two-space indentation, no final line feed.
//
// The buffer is written through a raw cursor.  Each piece first makes room for itself
// and kSlack bytes more, so that short pieces (indentation, digits) move in fixed widths
// that may run past their end instead of through a call sized to each.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "json/pages.hpp"

namespace tavrik::json {

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

    // The text so far, valid until the writer is written to, cleared or destroyed.
    std::string_view view() const { return {begin_, static_cast<std::size_t>(cursor_ - begin_)}; }
    std::string take() const { return std::string(view()); }
    std::size_t capacity() const { return static_cast<std::size_t>(end_ - begin_); }
    // Empties the writer for a new document, keeping its room.
    void clear() {
        cursor_ = begin_;
        level_ = 0;
        has_value_ = false;
        pending_key_ = false;
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
    // n spaces, sixteen at a time into the slack.
    static char* spaces(char* p, std::size_t n) {
        static constexpr char sixteen[] = "                ";
        for (std::size_t i = 0; i < n; i += 16) std::memcpy(p + i, sixteen, 16);
        return p + n;
    }
    void write_string(std::string_view s);

    char* begin_ = nullptr;
    char* cursor_ = nullptr;
    char* end_ = nullptr;
    std::size_t level_ = 0;
    bool has_value_ = false;
    bool pending_key_ = false;
};

}  // namespace tavrik::json
