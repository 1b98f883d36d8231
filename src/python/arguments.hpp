// The single argument `json` of every entry point.
#pragma once

#include "python/boundary.hpp"

#include <string_view>

namespace tavrik::python {

// Finds `json` among the call's arguments (METH_FASTCALL | METH_KEYWORDS) and returns the
// UTF-8 text of the str in place: the buffer belongs to the str and stays valid while the
// call lasts.  `function` names the function in the TypeError texts.
Result<std::string_view> json_argument(std::string_view function, PyObject* const* args,
                                       Py_ssize_t nargs, PyObject* kwnames);

}  // namespace tavrik::python
