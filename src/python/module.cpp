// The extension module tavrik_workout_sdk: its creation and its four functions.
// Python.h (through these) comes before any standard header.
#include "python/arguments.hpp"
#include "python/boundary.hpp"
#include "python/convert.hpp"
#include "python/parse.hpp"
#include "python/results.hpp"
#include "python/surface.hpp"

#include "model/arena.hpp"
#include "model/document.hpp"
#include "model/fast_write.hpp"
#include "model/write.hpp"
#include "ops/count.hpp"
#include "ops/node_view.hpp"
#include "ops/validate.hpp"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <optional>
#include <utility>

namespace tavrik::python {

namespace {

// A text the reading refuses.
Outcome parse_error(const json::Error& error) { return fail(PyExc_ValueError, "parse error: " + error.display()); }

// What each function does with a workout that was read.
using Step = Outcome (*)(const model::Workout& workout, std::string_view text);

Outcome parse_workout_step(const model::Workout& workout, std::string_view) {
    if (auto errors = ops::validate(workout); !errors.empty()) {
        return fail(PyExc_ValueError, "validation errors: " + joined_displays(errors));
    }
    return convert_workout(workout);
}

Outcome validate_workout_step(const model::Workout& workout, std::string_view) {
    return display_list(ops::validate(workout));
}

Outcome count_sets_step(const model::Workout& workout, std::string_view) {
    return new_count(ops::count_sets(workout));
}

// The indented form of a compact text is up to about three times its size (more for a
// deep tree); reserved pages that are never written cost nothing.  Writers are kept
// between calls so that the pages of their buffers stay resident rather than being
// mapped and faulted in afresh each time (a fault costs about what writing the page's
// worth of text does).  A thread keeps its writer whole up to kKeptBytes, else its first
// kKeptOfLarge (a thread that wrote a large document holds the arena's spare blocks
// too); with those a thread keeps at most 4 MiB between calls.  One large writer, cut to
// kSpareBytes, is kept for the whole process besides: calls run one at a time under the
// interpreter lock, so one is enough for large documents whatever thread writes them.
constexpr std::size_t kKeptBytes = std::size_t{2} << 20;
constexpr std::size_t kKeptOfLarge = std::size_t{512} << 10;
constexpr std::size_t kSpareBytes = std::size_t{4} << 20;
std::atomic<json::Writer*> spare_writer{nullptr};

// Gives a writer to the process as its spare; false, with the writer still the caller's,
// when there is one already or the writer cannot be cut to kSpareBytes in place.
bool offer_spare(std::unique_ptr<json::Writer>& writer) {
    if (writer->capacity() <= kKeptBytes || !writer->clear_down_to(kSpareBytes)) return false;
    json::Writer* none = nullptr;
    if (!spare_writer.compare_exchange_strong(none, writer.get())) return false;
    static_cast<void>(writer.release());
    return true;
}

// `write` fills the writer and says whether it did; nothing when it did not.
template <class Write>
std::optional<Outcome> with_kept_writer(std::string_view text, Write&& write) {
    thread_local std::unique_ptr<json::Writer> kept;
    const std::size_t room = 3 * text.size() + 4096;
    std::unique_ptr<json::Writer> writer;
    if (kept == nullptr || kept->capacity() < room) writer.reset(spare_writer.exchange(nullptr));
    if (writer == nullptr) writer = std::move(kept);
    if (writer == nullptr) writer = std::make_unique<json::Writer>();
    writer->clear();
    writer->reserve(room);
    std::optional<Outcome> result;
    if (write(*writer)) result = new_str(writer->view(), writer->shape());
    if (!offer_spare(writer) && kept == nullptr &&
        (writer->capacity() <= kKeptBytes || writer->clear_down_to(kKeptOfLarge))) {
        kept = std::move(writer);
    }
    return result;
}

Outcome to_json_step(const model::Workout& workout, std::string_view text) {
    return *with_kept_writer(text, [&](json::Writer& writer) {
        model::write_document(writer, workout);
        return true;
    });
}

// A text already in written form is written without a model; nothing for any other.
std::optional<Outcome> to_json_text_step(std::string_view text) {
    std::optional<json::Error> fault;
    std::optional<Outcome> written =
        with_kept_writer(text, [&](json::Writer& writer) { return model::write_written_form(text, writer, fault); });
    if (fault) return parse_error(*fault);
    return written;
}

// The same two on the node entries of a text walked in its common form, without a model.
using NodesStep = Outcome (*)(const ops::NodeEntries& nodes);

Outcome validate_nodes_step(const ops::NodeEntries& nodes) { return display_list(ops::validate(nodes)); }

Outcome count_nodes_step(const ops::NodeEntries& nodes) { return new_count(ops::count_sets(nodes)); }

// validate_workout and count_sets never look at recorded samples, so their read only
// checks them.
constexpr bool needs_samples(Step step) { return step == parse_workout_step || step == to_json_step; }

struct Function {
    const char* name;
    const char* doc;
    Step step;
};

// In the order of registration and of __all__; the texts are those of surface.hpp.
constexpr Step steps[] = {parse_workout_step, validate_workout_step, count_sets_step, to_json_step};
static_assert(std::size(steps) == surface::functions.size());
constexpr NodesStep nodes_steps[] = {nullptr, validate_nodes_step, count_nodes_step, nullptr};
static_assert(std::size(nodes_steps) == std::size(steps));
// And those that may answer from the text alone.
using TextStep = std::optional<Outcome> (*)(std::string_view text);
constexpr TextStep text_steps[] = {nullptr, nullptr, nullptr, to_json_text_step};
static_assert(std::size(text_steps) == std::size(steps));

// In a build with the test hooks, TAVRIK_WORKOUT_READER, read once as the module is
// made, lets tests compare the readers: "general" never walks the common form, "fast"
// makes parse_workout, validate_workout and count_sets fail where their walk gives up.  Unset (or anything else), and in
// every other build, both are used as everywhere.
enum class ReaderMode : std::uint8_t { Both, General, Fast };
ReaderMode reader_mode = ReaderMode::Both;

void read_reader_mode() {
#ifdef TAVRIK_TEST_HOOKS
    const char* mode = std::getenv("TAVRIK_WORKOUT_READER");
    const std::string_view value = mode != nullptr ? mode : "";
    reader_mode = value == "general" ? ReaderMode::General : value == "fast" ? ReaderMode::Fast : ReaderMode::Both;
#endif
}

template <std::size_t... I>
constexpr std::array<Function, sizeof...(I)> function_table(std::index_sequence<I...>) {
    return {{{surface::functions[I].name.data(), surface::functions[I].doc, steps[I]}...}};
}
constexpr auto functions = function_table(std::make_index_sequence<std::size(steps)>{});
constexpr std::size_t function_count = std::size(functions);

// Every function: its argument, the read, then its own step.  The workout is released
// before the call returns.
template <std::size_t I>
PyObject* call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return call_boundary([&]() -> Outcome {
        const Function& function = functions[I];
        Result<std::string_view> text = json_argument(function.name, args, nargs, kwnames);
        if (!text) {
            return std::unexpected(std::move(text.error()));
        }
        // The common form needs no model; anything else, errors included, is read the
        // general way from the start.  A fault of the grammar right where the walk stopped
        // is the exception: nothing before it comes first, so no typed reading is needed.
        if constexpr (text_steps[I] != nullptr) {
            if (std::optional<Outcome> answer = text_steps[I](*text)) {
                return std::move(*answer);
            }
        }
        if constexpr (nodes_steps[I] != nullptr) {
            if (reader_mode != ReaderMode::General) {
                ops::NodeScan scan = ops::scan_nodes(*text);
                if (scan.nodes) return nodes_steps[I](*scan.nodes);
                if (scan.fault) return parse_error(*scan.fault);
                if (reader_mode == ReaderMode::Fast) return fail(PyExc_RuntimeError, "the fast read gave up");
            }
        }
        if constexpr (steps[I] == parse_workout_step) {
            if (reader_mode != ReaderMode::General) {
                std::optional<json::Error> fault;
                if (PyRef parsed = parse_fast(*text, fault)) return parsed;
                if (reader_mode == ReaderMode::Fast) return fail(PyExc_RuntimeError, "the fast read gave up");
                if (fault) return parse_error(*fault);
            }
        }
        // The tree lives in this arena and is gone before it is.
        model::Arena arena;
        model::Arena::Scope scope(arena);
        auto workout = model::read_document(*text, {.keep_samples = needs_samples(function.step)});
        if (!workout) {
            return parse_error(workout.error());
        }
        return function.step(*workout, *text);
    });
}

template <std::size_t I>
PyMethodDef method_def() {
    PyObject* (*fastcall)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) = call<I>;
    // The table stores every calling convention as PyCFunction; METH_FASTCALL tells the
    // interpreter the real one.  The detour through void(*)() says the cast is meant.
    return {functions[I].name,
            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fastcall)),
            METH_FASTCALL | METH_KEYWORDS, functions[I].doc};
}

template <std::size_t... I>
std::array<PyMethodDef, sizeof...(I)> method_defs(std::index_sequence<I...>) {
    return {method_def<I>()...};
}

// The function objects point into this table for as long as they live.
std::array<PyMethodDef, function_count> methods =
    method_defs(std::make_index_sequence<function_count>());

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tavrik_workout_sdk",  // m_name
    "",                    // m_doc: __doc__ is '' rather than None
    0,                     // m_size
    nullptr,               // m_methods: added one by one after creation
    nullptr,               // m_slots
    nullptr,               // m_traverse
    nullptr,               // m_clear
    nullptr,               // m_free
};

// One-time state, kept for the life of the runtime.  The module holds Python objects, so
// it belongs to the first interpreter that imports it; that interpreter's id is set once.
std::atomic<std::int64_t> first_interpreter{-1};
PyObject* cached_module = nullptr;
PyObject* name_key = nullptr;
PyObject* all_key = nullptr;

// Runs as the runtime ends (Py_FinalizeEx), after its objects are gone: they are dropped
// without being released, so that a runtime started later in the process makes its own.
void forget_runtime() {
    cached_module = nullptr;
    name_key = nullptr;
    all_key = nullptr;
    forget_panic_class();
    forget_field_names();
    forget_parse_caches();
    first_interpreter.store(-1);
}

Result<PyObject*> interned(PyObject*& slot, const char* text) {
    if (slot == nullptr) {
        slot = PyUnicode_InternFromString(text);
        if (slot == nullptr) {
            return std::unexpected(BoundaryError::fetch());
        }
    }
    return slot;
}

// The module's __all__, made empty when it has none.
Result<PyRef> all_list(PyObject* module) {
    Result<PyObject*> key = interned(all_key, "__all__");
    if (!key) {
        return std::unexpected(std::move(key.error()));
    }
    PyRef all = PyRef::steal(PyObject_GetAttr(module, *key));
    if (all) {
        if (!PyList_Check(all.get())) {
            return fail(PyExc_TypeError,
                        "'" + type_name(all.get()) + "' object cannot be converted to 'PyList'");
        }
        return all;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return std::unexpected(BoundaryError::fetch());
    }
    PyErr_Clear();
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) {
        return std::unexpected(BoundaryError::api_call_failed());
    }
    if (PyObject_SetAttr(module, *key, list.get()) != 0) {
        return std::unexpected(BoundaryError::fetch());
    }
    return list;
}

Result<void> add_function(PyObject* module, PyObject* module_name, PyMethodDef& def) {
    PyRef function = PyRef::steal(PyCMethod_New(&def, module, module_name, nullptr));
    if (!function) {
        return std::unexpected(BoundaryError::fetch());
    }
    Result<PyObject*> key = interned(name_key, "__name__");
    if (!key) {
        return std::unexpected(std::move(key.error()));
    }
    PyRef name = PyRef::steal(PyObject_GetAttr(function.get(), *key));
    if (!name) {
        return std::unexpected(BoundaryError::fetch());
    }
    if (!PyUnicode_Check(name.get())) {
        return fail(PyExc_TypeError,
                    "'" + type_name(name.get()) + "' object cannot be converted to 'PyString'");
    }
    Result<PyRef> all = all_list(module);
    if (!all) {
        return std::unexpected(std::move(all.error()));
    }
    if (PyList_Append(all->get(), name.get()) != 0) {
        PyErr_Clear();
        return std::unexpected(BoundaryError::fault("could not append __name__ to __all__"));
    }
    if (PyObject_SetAttr(module, name.get(), function.get()) != 0) {
        return std::unexpected(BoundaryError::fetch());
    }
    return {};
}

Outcome create_module() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        return std::unexpected(BoundaryError::fetch());
    }
    std::int64_t first = -1;
    if (!first_interpreter.compare_exchange_strong(first, id) && first != id) {
        return fail(PyExc_ImportError,
                    "tavrik_workout_sdk does not support sub-interpreters: it can only be "
                    "imported in the interpreter that imported it first");
    }
    if (cached_module != nullptr) {
        return PyRef::borrow(cached_module);
    }
    read_reader_mode();
    if (make_panic_class() != 0) {
        return std::unexpected(BoundaryError::fetch());
    }
    PyRef module = PyRef::steal(PyModule_Create2(&module_def, 1013));
    if (!module) {
        return std::unexpected(BoundaryError::fetch());
    }
    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module.get()));
    if (!module_name) {
        return std::unexpected(BoundaryError::fetch());
    }
    for (PyMethodDef& def : methods) {
        if (Result<void> added = add_function(module.get(), module_name.get(), def); !added) {
            return std::unexpected(std::move(added.error()));
        }
    }
    if (Py_AtExit(forget_runtime) != 0) {
        return fail(PyExc_ImportError, "tavrik_workout_sdk cannot register its cleanup for the end of the runtime");
    }
    cached_module = Py_NewRef(module.get());
    return module;
}

}  // namespace

}  // namespace tavrik::python

PyMODINIT_FUNC PyInit_tavrik_workout_sdk(void) {
    return tavrik::python::call_boundary(tavrik::python::create_module);
}
