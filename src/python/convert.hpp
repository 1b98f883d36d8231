// Conversion of a workout into Python objects (dicts, lists, str, int, float, bool,
// None), following the same description of each type as the JSON writer.
#pragma once

#include <string_view>

#include "model/workout.hpp"
#include "python/boundary.hpp"

namespace tavrik::python {

// A new dict, or: RuntimeError "pythonize error: ..." when the interpreter refuses a dict
// entry; MemoryError when memory runs out; a fault when it cannot create an object
// otherwise.  Nothing partial survives a failure.
Outcome convert_workout(const model::Workout& workout);

// The interned str of a name of the format (a field, tag or variant name from the static
// tables of the descriptions), made on first use and kept for the life of the runtime:
// borrowed, or nullptr with an exception set.  Keyed by the address of the name.
PyObject* format_name(std::string_view name);

// Drops the cached names of the format once the runtime that made them has ended.
void forget_field_names();

}  // namespace tavrik::python
