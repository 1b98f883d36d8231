// A JSON Schema (draft 2020-12) of the workout's normal form, the form the writer
// produces, from the same descriptions that reading and writing walk.
#pragma once

#include <string>

namespace tavrik::model {

std::string workout_schema();

}  // namespace tavrik::model
