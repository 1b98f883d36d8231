// The functions of tavrik_workout._native, one table per capability; module.cpp joins them.
#pragma once

#include "python/py_ref.hpp"

#include <span>

namespace tavrik::python::native {

// What a read keeps and where, for the companion package's checks (report.cpp).
std::span<const PyMethodDef> report_methods();

}  // namespace tavrik::python::native
