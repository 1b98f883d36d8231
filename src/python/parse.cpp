#include "python/parse.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "model/fast_read.hpp"
#include "ops/node_view.hpp"
#include "ops/validate.hpp"
#include "python/convert.hpp"
#include "python/data_keys.hpp"
#include "python/parse_sink.hpp"
#include "python/results.hpp"

namespace tavrik::python {

namespace {

// The objects of the result, made as the conversion of the model makes them.
class PyBackend {
public:
    using Value = PyObject*;

    PyObject* none() { return Py_NewRef(Py_None); }
    PyObject* boolean(bool b) { return Py_NewRef(b ? Py_True : Py_False); }
    PyObject* u64(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
    PyObject* i64(std::int64_t v) { return PyLong_FromLongLong(v); }
    PyObject* f64(double d) { return PyFloat_FromDouble(d); }
    PyObject* str(std::string_view s) { return make_str(s); }
    // The format's names by the address of their static text, in front of the shared
    // table: a call looks up the same few dozen names many times.
    PyObject* name(std::string_view s) {
        const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(s.data());
        Name& slot = caches_.names[(at * 0x9E3779B97F4A7C15ULL) >> (64 - kNameBits)];
        if (slot.text != s.data() || slot.size != s.size()) {
            PyObject* str = format_name(s);
            if (str == nullptr) return nullptr;
            slot = Name{s.data(), s.size(), str};
        }
        return slot.str;
    }
    PyObject* name_value(std::string_view s) {
        PyObject* str = name(s);
        return str != nullptr ? Py_NewRef(str) : nullptr;
    }
    PyObject* data_key(std::string_view k) {
        if (k.size() <= DataKeys::kLongest) return keys_.get(k);
        PyRef str = PyRef::steal(make_str(k));
        if (!str) return nullptr;
        long_keys_.push_back(std::move(str));
        return long_keys_.back().get();
    }
    // Presized, so that a record's members never make it grow; up to the smallest table's
    // room presizing makes a plain new dict, and asking for one directly skips a call.
    PyObject* dict(std::size_t n) {
        return n <= kSmallDict ? PyDict_New() : _PyDict_NewPresized(static_cast<Py_ssize_t>(n));
    }
    // A new dict for `size` entries that holds the tag first: a copy of a dict kept for
    // that tag, which costs less than a new dict and an insertion into its empty table.
    PyObject* tag_dict(std::string_view key, std::string_view tag, std::size_t size) {
        if (size > kSmallDict) {
            PyObject* dict = this->dict(size);
            PyObject* k = name(key);
            PyObject* v = name(tag);
            if (dict != nullptr && (k == nullptr || v == nullptr || PyDict_SetItem(dict, k, v) != 0)) {
                Py_CLEAR(dict);
            }
            return dict;
        }
        const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(tag.data());
        TagDict& slot = caches_.tags[(at * 0x9E3779B97F4A7C15ULL) >> (64 - kTagBits)];
        if (slot.key != key.data() || slot.tag != tag.data() || slot.tag_size != tag.size()) {
            PyObject* k = name(key);
            PyObject* v = name(tag);
            if (k == nullptr || v == nullptr) return nullptr;
            PyRef made = PyRef::steal(PyDict_New());
            if (!made || PyDict_SetItem(made.get(), k, v) != 0) return nullptr;
            Py_XDECREF(slot.dict);
            slot = TagDict{key.data(), tag.data(), tag.size(), made.release()};
        }
        return PyDict_Copy(slot.dict);
    }
    bool set(PyObject* dict, PyObject* key, PyObject* value) {
        const int status = PyDict_SetItem(dict, key, value);
        Py_DECREF(value);
        return status == 0;
    }
    PyObject* list(PyObject** items, std::size_t n) {
        PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
        if (list == nullptr) {
            for (std::size_t i = 0; i < n; ++i) Py_DECREF(items[i]);
            return nullptr;
        }
        for (std::size_t i = 0; i < n; ++i) PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), items[i]);
        return list;
    }
    bool empty_list(PyObject* v) { return PyList_GET_SIZE(v) == 0; }
    bool empty_dict(PyObject* v) { return PyDict_GET_SIZE(v) == 0; }
    void release(PyObject* v) { Py_DECREF(v); }

    // Forgets the caches that calls share, once the runtime that made their strs has ended.
    static void forget() {
        for (Name& name : shared().names) name = Name{};
        for (TagDict& tag : shared().tags) tag = TagDict{};
    }

private:
    // What the smallest dict holds (two thirds of its eight slots, rounded down).
    static constexpr std::size_t kSmallDict = 5;
    struct Name {
        const char* text = nullptr;
        std::size_t size = 0;
        PyObject* str = nullptr;  // borrowed from the table of format_name()
    };
    // Room for every name of the format with few collisions: a collision costs a lookup
    // in the shared table each time the two names alternate.
    static constexpr unsigned kNameBits = 10;
    static constexpr std::size_t kNames = std::size_t{1} << kNameBits;
    // The names are kept from call to call (the interpreter lock serialises the calls, and
    // nothing in a build runs Python code), so that a call does not set them up again.
    // The data keys' strs are each call's own: they are the user's, and no result shares
    // them with another call's.
    // The dicts that tag_dict() copies, one per tag, owned here (the strs they hold are
    // the shared names): a result never holds one of them, only copies.
    struct TagDict {
        const char* key = nullptr;
        const char* tag = nullptr;
        std::size_t tag_size = 0;
        PyObject* dict = nullptr;
    };
    static constexpr unsigned kTagBits = 8;
    struct Caches {
        Name names[kNames];
        TagDict tags[std::size_t{1} << kTagBits];
    };
    // Never destroyed, like the table of format_name() that its entries point into.
    static Caches& shared() {
        static Caches* caches = new Caches;
        return *caches;
    }
    Caches& caches_ = shared();
    DataKeys keys_;
    std::vector<PyRef> long_keys_;
};

}  // namespace

void forget_parse_caches() { PyBackend::forget(); }

PyRef parse_fast(std::string_view text, std::optional<json::Error>& fault) {
    // A text that does not end as an object is refused by the general reading, which a
    // walk would find out only at its end.
    if (!model::fast::ends_as_object(text)) return PyRef();
    // As in the conversion: a collection during the build would only find new objects.
    const int collector_was_enabled = PyGC_Disable();
    PyObject* result = nullptr;
    // The strict walk is the quicker, and it hands tags not first over to a lenient one
    // itself; escaped names need the lenient walk, and a text with any backslash takes it
    // at once: a strict walk that met one would leave its build to be made again.
    const auto build = [&]<bool Lenient>() {
        ops::NodeEntries entries;
        entries.reserve(text.size() / 256 + 4);
        model::fast::TextStore texts;
        PyBackend backend;
        BuildSink<PyBackend> sink(backend, entries, texts);
        model::fast::Walker<BuildSink<PyBackend>, Lenient> walker(text, sink);
        if (!walker.template document<model::Workout>()) {
            fault = model::fast::grammar_fault(text, walker);
            return;
        }
        if (!sink.failed() && ops::validate(entries).empty()) result = sink.take();
    };
    if (text.find('\\') != std::string_view::npos) {
        build.template operator()<true>();
    } else {
        build.template operator()<false>();
    }
    if (collector_was_enabled) PyGC_Enable();
    if (result == nullptr && PyErr_Occurred()) PyErr_Clear();
    return PyRef::steal(result);
}

}  // namespace tavrik::python
