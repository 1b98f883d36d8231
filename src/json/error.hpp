// Read errors: a message and, once known, the line and column it refers to.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace tavrik::json {

// One pointer wide, so that every Result on the hot path stays small: a failure is rare
// and pays one allocation for its text.
class Error {
public:
    explicit Error(std::string message, std::size_t line = 0, std::size_t column = 0)
        : d_(std::make_unique<Detail>(std::move(message), line, column)) {}

    const std::string& message() const { return d_->message; }
    std::size_t line() const { return d_->line; }  // 1-based; 0 while the error has no position yet
    std::size_t column() const { return d_->column; }
    bool has_position() const { return d_->line != 0; }
    std::string take_message() && { return std::move(d_->message); }
    // "{message} at line {line} column {column}", or the message alone without a position.
    std::string display() const;

private:
    struct Detail {
        std::string message;
        std::size_t line;
        std::size_t column;
    };
    std::unique_ptr<Detail> d_;
};

// Words for the offending value in "invalid type: {unexpected}, expected ..." texts.
std::string unexpected_string(std::string_view s);  // string "..." with its escaping
std::string unexpected_double(double d);             // floating point `...`
std::string unexpected_integer(unsigned long long v);
std::string unexpected_integer(long long v);

Error invalid_type(std::string_view unexpected, std::string_view expected);
Error invalid_value(std::string_view unexpected, std::string_view expected);
Error invalid_length(std::size_t n, std::string_view expected);
Error missing_field(std::string_view name);
Error duplicate_field(std::string_view name);
// names: the variant list of the enumeration, in order.
Error unknown_variant(std::string_view name, const std::string_view* names, std::size_t count);

// Escaped display of text inside double quotes, as used by the "string ..." word and by
// the display names of custom kinds.
void append_debug_quoted(std::string& out, std::string_view s);

}  // namespace tavrik::json
