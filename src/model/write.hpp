// Writing a workout back as indented JSON text.
#pragma once

#include <cstddef>
#include <string>

#include "json/writer.hpp"
#include "model/workout.hpp"

namespace tavrik::model {

// `capacity` is room to reserve up front (the text it was read from is a good guess), so
// the output grows rarely.
std::string write_document(const Workout& workout, std::size_t capacity = 0);

// The same text, written into `writer` after what it holds.
void write_document(json::Writer& writer, const Workout& workout);

}  // namespace tavrik::model
