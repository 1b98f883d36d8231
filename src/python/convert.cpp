#include "python/convert.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/emit.hpp"
#include "python/data_keys.hpp"
#include "python/results.hpp"

namespace tavrik::python {

namespace {

// "{type}: {str}" of the pending exception, for a refused dict entry.
std::string refused_entry_text() {
    PyObject* raw = PyErr_GetRaisedException();
    if (raw == nullptr) return "SystemError: attempted to fetch exception but none was set";
    PyRef exception = PyRef::steal(raw);
    std::string text = type_name(exception.get());
    text += ": ";
    PyRef str = PyRef::steal(PyObject_Str(exception.get()));
    Py_ssize_t size = 0;
    const char* data = str ? PyUnicode_AsUTF8AndSize(str.get(), &size) : nullptr;
    if (data == nullptr) {
        PyErr_Clear();
        text += "<exception str() failed>";
    } else {
        text.append(data, static_cast<std::size_t>(size));
    }
    return text;
}

// Open addressing on the address of the static name; the format has a few dozen names.
class FieldNames {
public:
    // Never destroyed: its strs must outlive the interpreter's finalisation.
    static FieldNames& shared() {
        static FieldNames* names = new FieldNames;
        return *names;
    }
    // The runtime that owned the strs has ended: drop them without releasing them.
    void forget() {
        for (PyRef& str : strings_) str.release();
        names_.fill(nullptr);
    }
    PyRef& slot(const char* name) {
        std::size_t i = (reinterpret_cast<std::uintptr_t>(name) >> 3) % kSize;
        while (names_[i] != nullptr && names_[i] != name) i = (i + 1) % kSize;
        names_[i] = name;
        return strings_[i];
    }

private:
    static constexpr std::size_t kSize = 256;
    std::array<const char*, kSize> names_{};
    std::array<PyRef, kSize> strings_;
};

// A sink of the model walk that builds Python objects.  Containers under construction
// are owned by a stack of frames; the first failure is kept and turns every later step
// into nothing, and whatever was built is released with the frames.
class PySink {
public:
    void begin_object() { open(PyDict_New(), false, 0); }
    void begin_array(std::size_t n) { open(PyList_New(static_cast<Py_ssize_t>(n)), true, n); }
    void end_object() { close(); }
    void end_array() { close(); }
    // Keys of the data (metadata, summaries, custom members) repeat across a document, so
    // the last str made for each short key is kept for the rest of the call.
    void key(std::string_view k) {
        if (failed()) return;
        if (k.size() > DataKeys::kLongest) {
            if (PyRef text = new_text(k)) frames_.back().key = std::move(text);
            return;
        }
        PyObject* str = data_keys_.get(k);
        if (str == nullptr) {
            error_ = BoundaryError::api_call_failed();
            return;
        }
        frames_.back().key = PyRef::borrow(str);
    }
    void field(std::string_view name) {
        if (failed()) return;
        PyObject* str = format_name(name);
        if (str == nullptr) {
            error_ = BoundaryError::api_call_failed();
            return;
        }
        frames_.back().key = PyRef::borrow(str);
    }
    void null() { place(PyRef::borrow(Py_None)); }
    void boolean(bool b) { place(PyRef::borrow(b ? Py_True : Py_False)); }
    void u64(std::uint64_t v) { made(PyLong_FromUnsignedLongLong(v)); }
    void i64(std::int64_t v) { made(PyLong_FromLongLong(v)); }
    void f64(double d) { made(PyFloat_FromDouble(d)); }
    // Recorded samples: the list filled in one loop, without a frame per element.
    void f64_list(const std::vector<double>& values) {
        if (failed()) return;
        PyRef list = adopt(PyList_New(static_cast<Py_ssize_t>(values.size())));
        if (!list) return;
        for (std::size_t i = 0; i < values.size(); ++i) {
            PyObject* number = PyFloat_FromDouble(values[i]);
            if (number == nullptr) {
                error_ = BoundaryError::api_call_failed();
                return;
            }
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), number);
        }
        place(std::move(list));
    }
    void string(std::string_view s) {
        if (failed()) return;
        if (PyRef text = new_text(s)) place(std::move(text));
    }

    Outcome finish() {
        if (error_) return std::unexpected(std::move(*error_));
        if (!result_ || !frames_.empty()) return std::unexpected(BoundaryError::fault("incomplete conversion"));
        return std::move(result_);
    }

private:
    struct Frame {
        PyRef container;
        bool is_list;
        std::size_t size;
        std::size_t next = 0;
        PyRef key;
    };

    bool failed() const { return error_.has_value(); }

    PyRef new_text(std::string_view s) {
        PyRef text = PyRef::steal(make_str(s));
        if (!text) error_ = BoundaryError::api_call_failed();
        return text;
    }

    // Takes a newly created object; empty after a failure, the creation's included.
    PyRef adopt(PyObject* object) {
        PyRef owned = PyRef::steal(object);
        if (failed()) return PyRef();
        if (!owned) error_ = BoundaryError::api_call_failed();
        return owned;
    }

    void made(PyObject* object) {
        if (PyRef owned = adopt(object)) place(std::move(owned));
    }

    void open(PyObject* container, bool is_list, std::size_t size) {
        if (PyRef owned = adopt(container)) frames_.push_back(Frame{std::move(owned), is_list, size, 0, PyRef()});
    }

    void close() {
        if (failed()) return;
        Frame frame = std::move(frames_.back());
        frames_.pop_back();
        if (frame.is_list && frame.next != frame.size) {
            error_ = BoundaryError::fault("list length does not match its elements");
            return;
        }
        place(std::move(frame.container));
    }

    void place(PyRef object) {
        if (failed()) return;
        if (frames_.empty()) {
            result_ = std::move(object);
            return;
        }
        Frame& top = frames_.back();
        if (top.is_list) {
            if (top.next >= top.size) {
                error_ = BoundaryError::fault("list length does not match its elements");
                return;
            }
            PyList_SET_ITEM(top.container.get(), static_cast<Py_ssize_t>(top.next++), object.release());
            return;
        }
        PyRef key = std::move(top.key);
        if (PyDict_SetItem(top.container.get(), key.get(), object.get()) < 0) {
            // A dict that cannot grow is out of memory, not a refused entry.
            error_ = PyErr_ExceptionMatches(PyExc_MemoryError)
                         ? BoundaryError::fetch()
                         : BoundaryError::deferred(PyExc_RuntimeError, "pythonize error: " + refused_entry_text());
        }
    }

    std::vector<Frame> frames_;
    DataKeys data_keys_;
    PyRef result_;
    std::optional<BoundaryError> error_;
};

}  // namespace

void forget_field_names() { FieldNames::shared().forget(); }

PyObject* format_name(std::string_view name) {
    PyRef& cached = FieldNames::shared().slot(name.data());
    if (!cached) {
        PyObject* made = make_str(name);
        if (made == nullptr) return nullptr;
        PyUnicode_InternInPlace(&made);
        cached = PyRef::steal(made);
    }
    return cached.get();
}

Outcome convert_workout(const model::Workout& workout) {
    // Collections during the build would only ever find the new objects alive, so the
    // collector is paused while it runs and left as it was found on every path.
    const int collector_was_enabled = PyGC_Disable();
    Outcome out = [&] {
        PySink sink;
        model::emit(sink, workout);
        return sink.finish();
    }();
    if (collector_was_enabled) PyGC_Enable();
    return out;
}

}  // namespace tavrik::python
