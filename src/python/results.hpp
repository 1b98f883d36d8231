// New Python objects for the entry points' results.  A refused creation is an internal
// fault, reported after the interpreter's own exception has been printed.
#pragma once

#include "python/boundary.hpp"

#include "json/writer.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace tavrik::python {

// A new str from UTF-8 text (new reference, or null with the exception set).  ASCII text,
// by far the most common, is copied into a str of the right kind without the decoder.
PyObject* make_str(std::string_view text);

Outcome new_str(std::string_view text);
// A new str from UTF-8 text whose shape is known, made at its final width and filled in
// one pass without the interpreter's decoder.
Outcome new_str(std::string_view text, const json::Utf8Shape& shape);
// The count widened without sign: every count of 0 to 4294967295 is a non-negative int.
Outcome new_count(std::uint32_t count);

// A list holding the display text of each error, in order.
template <class Errors>
Outcome display_list(const Errors& errors) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(errors.size())));
    if (!list) {
        return std::unexpected(BoundaryError::api_call_failed());
    }
    Py_ssize_t slot = 0;
    for (const auto& error : errors) {
        Outcome text = new_str(error.display());
        if (!text) {
            return text;
        }
        PyList_SET_ITEM(list.get(), slot++, text->release());
    }
    return list;
}

// The display texts of the errors joined by "; ".
template <class Errors>
std::string joined_displays(const Errors& errors) {
    std::string joined;
    bool first = true;
    for (const auto& error : errors) {
        if (!first) {
            joined += "; ";
        }
        first = false;
        joined += error.display();
    }
    return joined;
}

}  // namespace tavrik::python
