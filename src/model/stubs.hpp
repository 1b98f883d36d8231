// Python type declarations (TypedDicts and aliases) of the workout's normal form, the
// dict that the conversion builds, from the same descriptions that it walks.
#pragma once

#include <string>

namespace tavrik::model {

// The declarations, one after another, each type before the types it holds; they use
// Literal, NotRequired, TypeAlias and type_check_only from typing and TypedDict from typing_extensions.
std::string workout_type_declarations();

}  // namespace tavrik::model
