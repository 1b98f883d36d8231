// parse_workout on the common form: the Python objects built while the text is walked.
#pragma once

#include "python/py_ref.hpp"

#include <optional>
#include <string_view>

#include "json/error.hpp"

namespace tavrik::python {

// The result of parse_workout for `text`, built in one walk, or an empty PyRef with no
// exception set when the text has to be read the general way: anything the walk gives up
// on, a tree with faults (whose message the general path words) and any failure to make
// an object (the general path meets it again and raises, or succeeds).
// When the walk stopped at a fault of the JSON grammar that the general reading meets
// first, `fault` is set to that reading's error.
PyRef parse_fast(std::string_view text, std::optional<json::Error>& fault);

// Drops the strs that parse_fast keeps between calls once the runtime that made them has
// ended.
void forget_parse_caches();

}  // namespace tavrik::python
