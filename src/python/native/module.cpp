// The companion package's helper module tavrik_workout._native: what the command line needs
// from the core beyond the four functions of tavrik_workout_sdk.
#include "python/boundary.hpp"
#include "python/native/methods.hpp"

#include <span>
#include <vector>

namespace tavrik::python::native {

namespace {

// Every capability's functions, then the sentinel; the functions point into it for as long
// as the process lives.
std::vector<PyMethodDef>& method_table() {
    static std::vector<PyMethodDef> table = [] {
        std::vector<PyMethodDef> all;
        for (std::span<const PyMethodDef> part : {report_methods()}) all.insert(all.end(), part.begin(), part.end());
        all.push_back({nullptr, nullptr, 0, nullptr});
        return all;
    }();
    return table;
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tavrik_workout._native",  // m_name
    "Native helpers of the tavrik_workout package, built from the same core as tavrik_workout_sdk.",
    -1,       // m_size: no per-interpreter state, and no sub-interpreters
    nullptr,  // m_methods: set on first import
    nullptr,  // m_slots
    nullptr,  // m_traverse
    nullptr,  // m_clear
    nullptr,  // m_free
};

Outcome create_module() {
    module_def.m_methods = method_table().data();
    PyRef module = PyRef::steal(PyModule_Create(&module_def));
    if (!module) return std::unexpected(BoundaryError::fetch());
    return module;
}

}  // namespace

}  // namespace tavrik::python::native

PyMODINIT_FUNC PyInit__native(void) { return tavrik::python::call_boundary(tavrik::python::native::create_module); }
