// Conversion of a workout into Python objects (dicts, lists, str, int, float, bool,
// None), following the same description of each type as the JSON writer.
#pragma once

#include "model/workout.hpp"
#include "python/boundary.hpp"

namespace tavrik::python {

// A new dict, or: RuntimeError "pythonize error: ..." when the interpreter refuses a dict
// entry; MemoryError when memory runs out; a fault when it cannot create an object
// otherwise.  Nothing partial survives a failure.
Outcome convert_workout(const model::Workout& workout);

// Drops the cached names of the format once the runtime that made them has ended.
void forget_field_names();

}  // namespace tavrik::python
