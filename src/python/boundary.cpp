#include "python/boundary.hpp"
#include "python/surface.hpp"

#include <cstdint>
#include <optional>

namespace tavrik::python {

namespace {

thread_local std::int64_t calls_on_this_thread = 0;

constexpr char generic_fault_text[] = "tavrik_workout_sdk: internal fault";
// Made when the module is created, so that reporting a fault never needs memory that may
// be gone by then; forgotten when the runtime ends.
PyObject* panic_class = nullptr;

}  // namespace

int make_panic_class() noexcept {
    if (panic_class == nullptr) {
        panic_class = PyErr_NewExceptionWithDoc(surface::panic_name, surface::panic_doc, PyExc_BaseException, nullptr);
    }
    return panic_class != nullptr ? 0 : -1;
}

void forget_panic_class() noexcept { panic_class = nullptr; }

namespace {

// Raises `type(message)`.  When the message or the instance cannot be made, the
// interpreter's own exception (normally MemoryError) is left pending instead.
PyObject* raise_with_message(PyObject* type, const char* data, std::size_t size) noexcept {
    // "replace" keeps a stray invalid byte from turning into a UnicodeDecodeError.
    PyRef message = PyRef::steal(
        PyUnicode_DecodeUTF8(data, static_cast<Py_ssize_t>(size), "replace"));
    if (!message) {
        return nullptr;
    }
    PyRef instance = PyRef::steal(PyObject_CallOneArg(type, message.get()));
    if (instance) {
        PyErr_SetRaisedException(instance.release());
    }
    return nullptr;
}

PyObject* raise_panic(const char* data, std::size_t size) noexcept {
    // The class is missing only before the module exists; what failed in making it is
    // raised instead.
    if (make_panic_class() != 0) return nullptr;
    return raise_with_message(panic_class, data, size);
}

// The UTF-8 text of a str; nothing (and no pending exception) when it has none.
std::optional<std::string> utf8_text(PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string(data, static_cast<std::size_t>(size));
}

constexpr char str_failed_text[] = "<str() failed>";

}  // namespace

BoundaryError BoundaryError::fetch() {
    PyObject* pending = PyErr_GetRaisedException();
    if (pending == nullptr) {
        return deferred(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return raised(PyRef::steal(pending));
}

BoundaryError BoundaryError::raised(PyRef exception) noexcept {
    BoundaryError error;
    error.exception_ = std::move(exception);
    return error;
}

BoundaryError BoundaryError::deferred(PyObject* type, std::string message) noexcept {
    BoundaryError error;
    error.type_ = type;
    error.message_ = std::move(message);
    return error;
}

BoundaryError BoundaryError::fault(std::string text) noexcept {
    return deferred(nullptr, std::move(text));
}

BoundaryError BoundaryError::api_call_failed() {
    // Running out of memory is the caller's to handle, not a fault of the module.
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
        return fetch();
    }
    if (PyErr_Occurred() != nullptr) {
        PyErr_Print();
    }
    return fault("Python API call failed");
}

PyObject* BoundaryError::type() const noexcept {
    return exception_ ? reinterpret_cast<PyObject*>(Py_TYPE(exception_.get())) : type_;
}

std::string BoundaryError::text() const {
    return exception_ ? message_text(exception_.get()) : message_;
}

PyRef BoundaryError::cause() const noexcept {
    return exception_ ? PyRef::steal(PyException_GetCause(exception_.get())) : PyRef();
}

void BoundaryError::raise() && noexcept {
    if (exception_) {
        PyErr_SetRaisedException(exception_.release());
    } else if (type_ != nullptr) {
        raise_with_message(type_, message_.data(), message_.size());
    } else {
        raise_panic(message_.data(), message_.size());
    }
}

std::string message_text(PyObject* object) {
    // A str subclass may say something else through __str__, and str() is what is quoted.
    PyRef text = PyUnicode_CheckExact(object) ? PyRef::borrow(object) : PyRef::steal(PyObject_Str(object));
    if (!text) {
        PyErr_Clear();
        return str_failed_text;
    }
    if (auto utf8 = utf8_text(text.get())) {
        return *std::move(utf8);
    }
    // Lone surrogates: encode them as they are, then let the decoder replace each maximal
    // ill-formed subsequence with U+FFFD (three per surrogate).
    PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
    PyRef decoded;
    if (bytes) {
        decoded = PyRef::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()),
                                                    PyBytes_GET_SIZE(bytes.get()), "replace"));
    }
    if (decoded) {
        if (auto utf8 = utf8_text(decoded.get())) {
            return *std::move(utf8);
        }
    }
    PyErr_Clear();
    return str_failed_text;
}

std::string type_name(PyObject* object) {
    PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
    if (name) {
        if (auto utf8 = utf8_text(name.get())) {
            return *std::move(utf8);
        }
    }
    PyErr_Clear();
    return "<failed to extract type name>";
}

namespace detail {

CallMark::CallMark() noexcept { ++calls_on_this_thread; }
CallMark::~CallMark() { --calls_on_this_thread; }

PyObject* raise_error(BoundaryError&& error) noexcept {
    std::move(error).raise();
    return nullptr;
}

PyObject* raise_memory_error() noexcept { return PyErr_NoMemory(); }

PyObject* raise_fault(const char* text) noexcept {
    const char* message = text != nullptr ? text : generic_fault_text;
    return raise_panic(message, std::char_traits<char>::length(message));
}

}  // namespace detail

}  // namespace tavrik::python
