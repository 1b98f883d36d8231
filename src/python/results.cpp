#include "python/results.hpp"

namespace tavrik::python {

Outcome new_str(std::string_view text) {
    PyRef str = PyRef::steal(
        PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!str) {
        return std::unexpected(BoundaryError::api_call_failed());
    }
    return str;
}

Outcome new_count(std::uint32_t count) {
    static_assert(sizeof(long) > sizeof(std::uint32_t), "long must hold every count");
    PyRef number = PyRef::steal(PyLong_FromLong(static_cast<long>(count)));
    if (!number) {
        return std::unexpected(BoundaryError::api_call_failed());
    }
    return number;
}

}  // namespace tavrik::python
