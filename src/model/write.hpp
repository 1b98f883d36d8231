// Writing a workout back as indented JSON text.
#pragma once

#include <cstddef>
#include <string>

#include "model/workout.hpp"

namespace tavrik::model {

// `capacity` is room to reserve up front (the text it was read from is a good guess), so
// the output grows rarely.  The text is written into `buffer`, whose room is reused.
std::string write_document(const Workout& workout, std::size_t capacity = 0, std::string buffer = {});

}  // namespace tavrik::model
