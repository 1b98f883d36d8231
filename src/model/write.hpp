// Writing a workout back as indented JSON text.
#pragma once

#include <string>

#include "model/workout.hpp"

namespace tavrik::model {

std::string write_document(const Workout& workout);

}  // namespace tavrik::model
