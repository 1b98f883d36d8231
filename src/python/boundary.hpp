// The call boundary: the one place where failures become Python exceptions.
//
// Below it every failure travels as a BoundaryError value; nothing is raised in the
// interpreter and no C++ exception is thrown on purpose.  The boundary raises the error,
// turns an exhausted allocator into MemoryError and any other escaping C++ exception into
// PanicException, so that neither an exception nor a fault reaches the interpreter.
#pragma once

#include "python/py_ref.hpp"

#include <exception>
#include <expected>
#include <new>
#include <string>

namespace tavrik::python {

class BoundaryError {
public:
    // The exception pending in the interpreter, taken out of it; SystemError if none is.
    static BoundaryError fetch();
    // An exception instance made elsewhere.
    static BoundaryError raised(PyRef exception) noexcept;
    // `type` called with the single argument `message` when the error is raised.  `type`
    // is a built-in exception class, which lives as long as the interpreter.
    static BoundaryError deferred(PyObject* type, std::string message) noexcept;
    // An internal fault: raised as PanicException with `text`.
    static BoundaryError fault(std::string text) noexcept;
    // Creating a Python object failed: a pending MemoryError is passed on; any other
    // pending exception is printed, then a fault.
    static BoundaryError api_call_failed();

    // The exception class; nullptr for a fault.
    PyObject* type() const noexcept;
    // str() of the exception, as messages embed it.
    std::string text() const;
    // For a fetched or made exception, its __cause__ (empty when it has none).
    PyRef cause() const noexcept;
    bool is_instance() const noexcept { return static_cast<bool>(exception_); }

    // Sets the error as the interpreter's pending exception.
    void raise() && noexcept;

private:
    PyRef exception_;           // a fetched or made instance
    PyObject* type_ = nullptr;  // deferred class; nullptr with no instance means a fault
    std::string message_;
};

template <class T>
using Result = std::expected<T, BoundaryError>;
// What a body gives the boundary: a new reference, or the error to raise.
using Outcome = Result<PyRef>;

inline std::unexpected<BoundaryError> fail(PyObject* type, std::string message) noexcept {
    return std::unexpected(BoundaryError::deferred(type, std::move(message)));
}

// str() of `object` for a message: a str's own text (never its __str__), or str() of any
// other object.  Text that is not valid UTF-8 (lone surrogates) gets U+FFFD for each
// ill-formed byte sequence of its surrogate-passing UTF-8 form.
std::string message_text(PyObject* object);
// The qualified name of `object`'s type, or "<failed to extract type name>".
std::string type_name(PyObject* object);

// Makes the PanicException class if it does not exist yet: 0, or -1 with the exception
// pending.  Done when the module is created.
int make_panic_class() noexcept;
// Drops the class without releasing it, once the runtime that owned it has ended.
void forget_panic_class() noexcept;

namespace detail {

// Counts the boundary calls running on this thread, which all hold the interpreter lock.
class CallMark {
public:
    CallMark() noexcept;
    ~CallMark();
    CallMark(const CallMark&) = delete;
    CallMark& operator=(const CallMark&) = delete;
};

PyObject* raise_error(BoundaryError&& error) noexcept;
PyObject* raise_memory_error() noexcept;
PyObject* raise_fault(const char* text) noexcept;  // nullptr: the generic text

}  // namespace detail

// Runs `body` (returning an Outcome) and hands its object to the interpreter, or raises
// its error and returns nullptr.
template <class Body>
PyObject* call_boundary(Body&& body) noexcept {
    detail::CallMark mark;
    try {
        Outcome outcome = body();
        if (outcome) {
            return outcome->release();
        }
        return detail::raise_error(std::move(outcome.error()));
    } catch (const std::bad_alloc&) {
        return detail::raise_memory_error();
    } catch (const std::exception& e) {
        return detail::raise_fault(e.what());
    } catch (...) {
        return detail::raise_fault(nullptr);
    }
}

}  // namespace tavrik::python
