// Read errors: a message and, once known, the line and column it refers to.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tavrik::json {

struct Error {
    std::string message;
    std::size_t line = 0;  // 1-based; 0 while the error has no position yet
    std::size_t column = 0;

    bool has_position() const { return line != 0; }
    // "{message} at line {line} column {column}", or the message alone without a position.
    std::string display() const;
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
