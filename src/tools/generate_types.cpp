// Writes the JSON Schema of the workout's normal form and the module's type stubs, both
// from the model's descriptions; run by the build.
//
//     generate_types SCHEMA_FILE STUB_FILE
#include <cstdio>
#include <fstream>
#include <string>
#include <string_view>

#include "model/schema.hpp"
#include "model/stubs.hpp"
#include "python/surface.hpp"

namespace {

using namespace tavrik;

// What each function returns, by name.
constexpr std::string_view returns(std::string_view function) {
    if (function == "parse_workout") return "Workout";
    if (function == "validate_workout") return "list[str]";
    if (function == "count_sets") return "int";
    if (function == "to_json") return "str";
    return {};
}

std::string stubs() {
    namespace surface = python::surface;
    std::string text =
        "\"\"\"Read, validate, count and normalise workout JSON documents.\n\n"
        "Generated from the workout model's descriptions by the build; do not edit.\n\"\"\"\n\n"
        "from typing import Literal, NotRequired, TypeAlias, type_check_only\n\n"
        "from typing_extensions import TypedDict\n\n"
        "__all__ = [";
    for (std::size_t i = 0; i < surface::functions.size(); ++i) {
        text += (i ? ", \"" : "\"") + std::string(surface::functions[i].name) + "\"";
    }
    text += "]\n";
    for (const auto& function : surface::functions) {
        text += "\n\ndef " + std::string(function.name) + "(json: str) -> " + std::string(returns(function.name)) +
                ":\n    \"\"\"" + std::string(surface::shown_doc(function)) + "\"\"\"\n";
    }
    // Not an attribute of the module: it is made on the first fault, in a module of its own.
    std::string_view panic_doc = surface::panic_doc;
    std::string indented;
    for (char c : panic_doc) indented += c == '\n' ? std::string("\n    ") : std::string(1, c);
    std::string trimmed;  // no trailing blanks on the empty line
    for (std::size_t i = 0; i < indented.size(); ++i) {
        if (indented.compare(i, 6, "\n    \n") == 0) {
            trimmed += "\n";
            i += 4;
        } else {
            trimmed += indented[i];
        }
    }
    text += "\n\n@type_check_only\nclass PanicException(BaseException):\n    \"\"\"" + trimmed + "\n    \"\"\"\n";
    text += "\n" + model::workout_type_declarations();
    return text;
}

bool write(const char* path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    out.close();
    if (!out) {
        std::fprintf(stderr, "generate_types: cannot write %s\n", path);
        return false;
    }
    return true;
}

}  // namespace

static_assert([] {
    for (const auto& function : tavrik::python::surface::functions) {
        if (returns(function.name).empty()) return false;
    }
    return true;
}(), "every function needs its return type");

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: generate_types SCHEMA_FILE STUB_FILE\n");
        return 2;
    }
    return write(argv[1], model::workout_schema()) && write(argv[2], stubs()) ? 0 : 1;
}
