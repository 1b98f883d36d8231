#include "python/arguments.hpp"

#include <string>

namespace tavrik::python {

namespace {

constexpr std::string_view parameter = "json";

std::string call_text(std::string_view function, std::string_view rest) {
    std::string text(function);
    text += "() ";
    text += rest;
    return text;
}

// The value given for `json`, borrowed from the call; the first rule broken decides.
Result<PyObject*> find_json(std::string_view function, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    if (nargs > 1) {
        return fail(PyExc_TypeError, call_text(function, "takes 1 positional arguments but " +
                                                             std::to_string(nargs) + " were given"));
    }
    PyObject* json = nargs == 1 ? args[0] : nullptr;
    const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < keywords; ++i) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, i);
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(name, &size);
        if (data == nullptr) {
            PyErr_Clear();  // a name without UTF-8 form matches nothing
        } else if (std::string_view(data, static_cast<std::size_t>(size)) == parameter) {
            if (json != nullptr) {
                return fail(PyExc_TypeError,
                            call_text(function, "got multiple values for argument 'json'"));
            }
            json = args[nargs + i];
            continue;
        }
        return fail(PyExc_TypeError, call_text(function, "got an unexpected keyword argument '" +
                                                             message_text(name) + "'"));
    }
    if (json == nullptr) {
        return fail(PyExc_TypeError,
                    call_text(function, "missing 1 required positional argument: 'json'"));
    }
    return json;
}

Result<std::string_view> text_in_place(PyObject* value) {
    if (!PyUnicode_CheckExact(value) && !PyType_IsSubtype(Py_TYPE(value), &PyUnicode_Type)) {
        return fail(PyExc_TypeError,
                    "'" + type_name(value) + "' object cannot be converted to 'PyString'");
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value, &size);
    if (data == nullptr) {
        return std::unexpected(BoundaryError::fetch());  // UnicodeEncodeError: lone surrogate
    }
    return std::string_view(data, static_cast<std::size_t>(size));
}

// A TypeError (exactly that class) met while extracting the argument names the argument
// and keeps its cause; any other error passes unchanged.
BoundaryError name_the_argument(BoundaryError error) {
    if (error.type() != PyExc_TypeError) {
        return error;
    }
    std::string message = "argument 'json': " + error.text();
    PyRef cause = error.cause();
    if (!cause) {
        return BoundaryError::deferred(PyExc_TypeError, std::move(message));
    }
    PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(
        message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!text) {
        return BoundaryError::api_call_failed();
    }
    PyRef replacement = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, text.get()));
    if (!replacement) {
        return BoundaryError::fetch();
    }
    PyException_SetCause(replacement.get(), cause.release());
    return BoundaryError::raised(std::move(replacement));
}

}  // namespace

Result<std::string_view> json_argument(std::string_view function, PyObject* const* args,
                                       Py_ssize_t nargs, PyObject* kwnames) {
    Result<PyObject*> json = find_json(function, args, nargs, kwnames);
    if (!json) {
        return std::unexpected(std::move(json.error()));
    }
    Result<std::string_view> text = text_in_place(*json);
    if (!text) {
        return std::unexpected(name_the_argument(std::move(text.error())));
    }
    return text;
}

}  // namespace tavrik::python
