// tavrik_workout._native: the companion package's helpers that need the C++ model itself
// rather than the Python objects of parse_workout.  Each capability file brings its own
// functions; adding one is a file and a line in `capabilities`.
#include "python/native/capability.hpp"

#include <vector>

namespace tavrik::python::native {

namespace {

const Capability* const capabilities[] = {&columns_capability, &report_capability};

// The concatenated table, terminated by a zeroed entry; the function objects point into
// it for as long as they live, so it is made once and never freed.
PyMethodDef* method_table() {
    static std::vector<PyMethodDef>* table = [] {
        auto* methods = new std::vector<PyMethodDef>;
        for (const Capability* capability : capabilities) {
            methods->insert(methods->end(), capability->methods.begin(), capability->methods.end());
        }
        methods->push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
        return methods;
    }();
    return table->data();
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tavrik_workout._native",
    "Native helpers of tavrik_workout, built from the same reader as tavrik_workout_sdk.",
    -1,       // m_size: state lives in the process, as the main module's does
    nullptr,  // m_methods: set on creation
    nullptr, nullptr, nullptr, nullptr,
};

Outcome create_module() {
    module_def.m_methods = method_table();
    PyRef module = PyRef::steal(PyModule_Create(&module_def));
    if (!module) return std::unexpected(BoundaryError::fetch());
    for (const Capability* capability : capabilities) {
        if (capability->add_to == nullptr) continue;
        if (Result<void> added = capability->add_to(module.get()); !added) {
            return std::unexpected(std::move(added.error()));
        }
    }
    return module;
}

}  // namespace

}  // namespace tavrik::python::native

PyMODINIT_FUNC PyInit__native(void) {
    return tavrik::python::call_boundary(tavrik::python::native::create_module);
}
