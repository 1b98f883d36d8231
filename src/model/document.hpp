// Reading a whole workout document from JSON text.
#pragma once

#include <expected>
#include <string_view>

#include "json/error.hpp"
#include "model/workout.hpp"

namespace tavrik::model {

// One Workout followed by nothing but whitespace. The text is read in place: nothing in
// the result refers to it after the call.
std::expected<Workout, json::Error> read_document(std::string_view text);

}  // namespace tavrik::model
