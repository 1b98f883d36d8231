// What each part of the native helper module contributes: its functions, and whatever it
// adds to the module object (types, constants) once the module exists.
#pragma once

#include "python/boundary.hpp"

#include <span>

namespace tavrik::python::native {

struct Capability {
    std::span<const PyMethodDef> methods;
    // Called once on the new module; may be null.
    Result<void> (*add_to)(PyObject* module);
};

// One per file; module.cpp lists them.
extern const Capability columns_capability;
extern const Capability report_capability;

// The calling convention of every function here, as PyMethodDef stores it.
using FastCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
inline PyCFunction as_method(FastCall function) {
    // The detour through void(*)() says the cast is meant; METH_FASTCALL | METH_KEYWORDS
    // tells the interpreter the real signature.
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace tavrik::python::native
