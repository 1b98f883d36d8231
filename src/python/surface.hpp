// What Python sees of the module, in plain text: the functions' names and docstrings and
// the fault class.  Free of Python.h, so that the type-stub generator states the same
// texts as the module.
#pragma once

#include <array>
#include <string_view>

namespace tavrik::python::surface {

struct FunctionText {
    std::string_view name;
    // A text-signature line, "--" and an empty line come first, so that the interpreter
    // shows the signature (json) and only the sentence as __doc__.
    const char* doc;
};

// In the order of registration and of __all__.
inline constexpr std::array<FunctionText, 4> functions{{
    {"parse_workout",
     "parse_workout(json)\n--\n\n"
     "Parse a workout JSON string, validate, and return as Python dict."},
    {"validate_workout",
     "validate_workout(json)\n--\n\n"
     "Validate a workout JSON string. Returns list of error strings."},
    {"count_sets", "count_sets(json)\n--\n\nCount sets in a workout tree."},
    {"to_json",
     "to_json(json)\n--\n\n"
     "Convert a workout JSON string to pretty-printed JSON by a round trip through the typed "
     "model."},
}};

// The text after the signature lines: what __doc__ shows.
constexpr std::string_view shown_doc(const FunctionText& function) {
    std::string_view doc = function.doc;
    return doc.substr(doc.find("\n--\n\n") + 5);
}

inline constexpr char panic_name[] = "tavrik_runtime.PanicException";
inline constexpr char panic_doc[] =
    "Raised when the native code of tavrik_workout_sdk faults.\n\n"
    "It derives from BaseException rather than Exception, so that an ordinary\n"
    "`except Exception` does not catch it: it typically propagates all the way up\n"
    "and ends the interpreter.";

}  // namespace tavrik::python::surface
