#include "python/results.hpp"

#include <cstring>

namespace tavrik::python {

namespace {

// Eight words at a time, stopping at the first block with a high bit: text that is not
// ASCII is told apart early and decoded by the interpreter.
bool is_ascii(std::string_view s) {
    constexpr std::uint64_t highs = 0x8080808080808080ULL;
    std::size_t i = 0;
    for (; i + 64 <= s.size(); i += 64) {
        std::uint64_t w[8];
        std::memcpy(w, s.data() + i, 64);
        if (((w[0] | w[1] | w[2] | w[3] | w[4] | w[5] | w[6] | w[7]) & highs) != 0) return false;
    }
    std::uint64_t high = 0;
    for (; i + 8 <= s.size(); i += 8) {
        std::uint64_t w;
        std::memcpy(&w, s.data() + i, 8);
        high |= w;
    }
    for (; i < s.size(); ++i) high |= static_cast<unsigned char>(s[i]);
    return (high & highs) == 0;
}

}  // namespace

PyObject* make_str(std::string_view text) {
    if (!is_ascii(text)) return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
    if (str != nullptr && !text.empty()) std::memcpy(PyUnicode_DATA(str), text.data(), text.size());
    return str;
}

Outcome new_str(std::string_view text) {
    PyRef str = PyRef::steal(make_str(text));
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
