// Reading a whole workout document from JSON text.
#pragma once

#include <expected>
#include <string_view>

#include "json/error.hpp"
#include "model/workout.hpp"

namespace tavrik::model {

// One Workout followed by nothing but whitespace. The text is read in place: nothing in
// the result refers to it after the call.
// `direct_reads` false takes only the general paths, for checking the fast ones.
std::expected<Workout, json::Error> read_document(std::string_view text, bool direct_reads = true);

}  // namespace tavrik::model
