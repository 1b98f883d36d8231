// The JSON text writer: one growing buffer, two-space indentation, no final line feed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tavrik::json {

class Writer {
public:
    explicit Writer(std::size_t capacity = 0) { out_.reserve(capacity < 128 ? 128 : capacity); }

    void begin_object() { open('{'); }
    void end_object() { close('}'); }
    void begin_array(std::size_t) { open('['); }
    void end_array() { close(']'); }
    // A member name of the format: plain letters and underscores, nothing to escape.
    void field(std::string_view name) {
        separate();
        out_ += '"';
        out_ += name;
        out_ += "\": ";
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
        out_ += has_value_ ? ",\n" : "\n";
        indent();
        has_value_ = true;
    }
    void newline() {
        out_ += '\n';
        indent();
    }
    void indent() { out_.append(2 * level_, ' '); }
    void write_string(std::string_view s);

    std::string out_;
    std::size_t level_ = 0;
    bool has_value_ = false;
    bool pending_key_ = false;
};

}  // namespace tavrik::json
