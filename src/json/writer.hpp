// The JSON text writer: one growing buffer, two-space indentation, no final line feed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

namespace tavrik::json {

class Writer {
public:
    explicit Writer(std::size_t capacity = 0, std::string buffer = {}) : out_(std::move(buffer)) {
        out_.clear();
        out_.reserve(capacity < 128 ? 128 : capacity);
    }

    void begin_object() { open('{'); }
    void end_object() { close('}'); }
    void begin_array(std::size_t) { open('['); }
    void end_array() { close(']'); }
    // A member name of the format: plain letters and underscores, nothing to escape.  The
    // separator, indentation, name and colon go in as one piece.
    void field(std::string_view name) {
        const std::size_t indent = 2 * level_;
        const bool comma = has_value_;
        put(std::size_t{comma} + 1 + indent + 1 + name.size() + 3, [&](char* p) {
            if (comma) *p++ = ',';
            *p++ = '\n';
            std::memset(p, ' ', indent);
            p += indent;
            *p++ = '"';
            std::memcpy(p, name.data(), name.size());
            std::memcpy(p + name.size(), "\": ", 3);
        });
        has_value_ = true;
        pending_key_ = true;
    }
    void key(std::string_view k) {
        separate();
        write_string(k);
        out_ += ": ";
        pending_key_ = true;
    }

    void null() { scalar_start(); out_ += "null"; }
    void boolean(bool b) { scalar_start(); out_ += b ? "true" : "false"; }
    void u64(std::uint64_t v);
    void i64(std::int64_t v);
    // Shortest round-trip form; null when not finite.
    void f64(double d);
    void string(std::string_view s) { scalar_start(); write_string(s); }

    std::string take() { return std::move(out_); }

private:
    void open(char bracket) {
        scalar_start();
        out_ += bracket;
        ++level_;
        has_value_ = false;
    }
    void close(char bracket) {
        --level_;
        if (has_value_) newline();
        out_ += bracket;
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
        const bool comma = has_value_;
        put(std::size_t{comma} + 1 + indent, [&](char* p) {
            if (comma) *p++ = ',';
            *p++ = '\n';
            std::memset(p, ' ', indent);
        });
        has_value_ = true;
    }
    void newline() {
        const std::size_t indent = 2 * level_;
        put(1 + indent, [&](char* p) {
            *p++ = '\n';
            std::memset(p, ' ', indent);
        });
    }
    // Appends n bytes that `fill` writes over.  (GCC 12's resize_and_overwrite loses the
    // text when it grows the string, so the room is made by an ordinary append.)
    template <class Fill>
    void put(std::size_t n, Fill&& fill) {
        const std::size_t at = out_.size();
        out_.append(n, ' ');
        fill(out_.data() + at);
    }
    void write_string(std::string_view s);

    std::string out_;
    std::size_t level_ = 0;
    bool has_value_ = false;
    bool pending_key_ = false;
};

}  // namespace tavrik::json
