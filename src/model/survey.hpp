// Where a read document keeps what: the places of its values and what its normal form
// would leave out.
//
// A survey runs only over a text that read_document has accepted, after it, and walks the
// text again along the same descriptions (forms.hpp) that the typed reader follows.  So
// the reader itself carries nothing extra, and a read that nobody surveys costs nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "json/error.hpp"
#include "model/document.hpp"
#include "model/workout.hpp"

namespace tavrik::model {

// A value in the input: the byte offset of its first byte and its JSON Pointer there.
struct Place {
    std::size_t offset = 0;
    std::string pointer;
};

struct Loss {
    enum class Kind : std::uint8_t {
        UnknownMember,  // a member no field takes: the writer leaves it out
        RepeatedKey,    // an earlier member of a map whose key comes again: the later wins
        Number,         // a number in a free-form value that the written form changes
    };
    Kind kind;
    Place place;          // the member's key, the earlier key, or the number
    std::string name;     // the member name, the key, or the number as written
    std::vector<std::string_view> known;  // the names the object does take (unknown members)
    std::size_t value_begin = 0;  // the member's value, as bytes of the input
    std::size_t value_end = 0;
};

struct Survey {
    // Each node in pre-order (which is document order).
    std::vector<Place> nodes;
    // Every value of the model by its pointer in the normal form, except the elements of
    // recorded sample lists, which are in `samples` as offsets by the list's pointer.
    std::unordered_map<std::string, Place> places;
    std::unordered_map<std::string, std::vector<std::size_t>> samples;
    std::vector<Loss> losses;  // in document order
    // False only if the text did not have the shape its read found (a fault).
    bool complete = false;
};

// The survey of a text that read_document accepts.
Survey survey_document(std::string_view text);

// read_document, with the same success or the same error, and the survey of what it read.
// The workout lives in the caller's arena scope, as read_document's does.
struct Observed {
    Workout workout;
    Survey survey;
};
std::expected<Observed, json::Error> observe_document(std::string_view text, ReadOptions options = {});

// Whether the written form of the double `value` gives back the decimal number that the
// literal `literal` (JSON number grammar) states, digit for digit.
bool double_keeps_literal(std::string_view literal, double value);

}  // namespace tavrik::model
