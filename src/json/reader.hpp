// The JSON text reader: tokens, positions, strings, numbers, nesting and skipping.
//
// The reader works on the caller's bytes in place.  Strings without escapes come back
// as views into the input; escaped ones as views into one scratch buffer that every
// escaped string reuses, so a returned view is valid until the next string is read.
// Every failure comes back as an Error value; nothing throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "json/error.hpp"
#include "json/number.hpp"

namespace tavrik::json {

template <class T>
using Result = std::expected<T, Error>;
using Status = std::expected<void, Error>;

inline constexpr int kEof = -1;

class Reader {
public:
    explicit Reader(std::string_view input) : data_(input.data()), size_(input.size()) {}

    // ---- cursor ----
    int peek() const { return pos_ < size_ ? static_cast<unsigned char>(data_[pos_]) : kEof; }
    // Skips the four whitespace bytes, then peeks.
    int peek_ws() {
        while (pos_ < size_) {
            char c = data_[pos_];
            if (c != ' ' && c != '\n' && c != '\t' && c != '\r') return static_cast<unsigned char>(c);
            ++pos_;
        }
        return kEof;
    }
    void bump() { ++pos_; }
    // Whether a string handed out lies in the input (rather than in the scratch buffer).
    bool in_input(std::string_view s) const { return s.data() >= data_ && s.data() <= data_ + size_; }

    // ---- errors and positions ----
    // At the last consumed byte.
    Error error_current(std::string message) const;
    // At the next, not yet consumed byte (the last byte at the end of input).
    Error error_next(std::string message) const;
    // Gives a position-less error the current position; positioned errors keep theirs.
    Error fix(Error e) const;

    // ---- nesting budget ----
    // Taken before an opening bracket is consumed.
    Status enter() {
        if (--budget_ == 0) return std::unexpected(error_next("recursion limit exceeded"));
        return {};
    }
    void leave() { ++budget_; }

    // ---- scalars (the first byte already peeked, not consumed unless said) ----
    // After the first letter was consumed: the rest of "true", "false" or "null".
    Status parse_ident(std::string_view rest);
    // At '-' or a digit.
    Result<Number> parse_number();
    // After the opening quote was consumed.
    Result<std::string_view> parse_string();

    // ---- containers ----
    // Array element protocol: true when an element follows (whitespace skipped).
    Result<bool> seq_has_next(bool& first);
    // Object member protocol: true when a key follows; the key is then read.
    Result<bool> map_next_key(bool& first, std::string_view& key);
    Status parse_colon();
    // After a successful array or object body: the closing bracket, or the error for
    // what stands there instead.
    Status end_seq();
    Status end_map();
    // After a failed body: skip what the successful path would have consumed so the
    // error's position lands where the caller expects it.
    void end_after_error(char close);

    // A whole value of any shape, validated but not built, without the nesting budget
    // (while speculating: within it, and with numbers in range, as a buffered value).
    Status skip_value();

    // ---- speculative reads ----
    // A fast path may try a read that the general path redoes from the same spot when it
    // fails.  Meanwhile errors get no computed position (only the failure counts, and
    // positions cost a scan from the start), and skipped values obey the rules of
    // buffered ones, so a speculative read accepts nothing the general path rejects.
    struct Checkpoint {
        std::size_t pos;
        std::uint8_t budget;
        bool speculative;
    };
    Checkpoint speculate() {
        Checkpoint c{pos_, budget_, speculative_};
        speculative_ = true;
        return c;
    }
    // Ends a speculation; a failed one rewinds to where it started.
    void settle(const Checkpoint& c, bool succeeded) {
        if (!succeeded) {
            pos_ = c.pos;
            budget_ = c.budget;
        }
        speculative_ = c.speculative;
    }

    // Document end: only whitespace may follow.
    Status end_document();

private:
    Error at(std::string message, std::size_t offset) const;
    Status parse_escape();
    Status skip_string();
    Status skip_number();

    const char* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
    std::uint8_t budget_ = 128;
    bool speculative_ = false;
    std::string scratch_;  // escaped strings, and the bracket stack while skipping
};

}  // namespace tavrik::json
