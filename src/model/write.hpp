// Writing a workout back as indented JSON text.
#pragma once

#include <cstddef>
#include <string>

#include "model/workout.hpp"

namespace tavrik::model {

// `capacity` is room to reserve up front (the text it was read from is a good guess), so
// the output grows rarely.
std::string write_document(const Workout& workout, std::size_t capacity = 0);

}  // namespace tavrik::model
