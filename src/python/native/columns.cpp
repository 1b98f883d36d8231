// The column functions of the native module, and the table object they return: the
// Arrow PyCapsule interface over a column table, and its buffers for NumPy.
#include "python/arguments.hpp"
#include "python/boundary.hpp"
#include "python/native/capability.hpp"
#include "python/results.hpp"

#include "arrow/export.hpp"
#include "arrow/table.hpp"
#include "model/arena.hpp"
#include "model/document.hpp"
#include "model/forms.hpp"
#include "ops/columns.hpp"

#include <array>
#include <memory>
#include <new>
#include <utility>

namespace tavrik::python::native {

namespace {

// Made on import and kept for the life of the process, like the module.
PyTypeObject* table_type = nullptr;
PyTypeObject* bytes_type = nullptr;

// ---- bytes that NumPy can view without a copy ----

struct BytesObject {
    PyObject_HEAD
    arrow::Buffer buffer;
};

void bytes_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<BytesObject*>(self)->buffer.~Buffer();
    type->tp_free(self);
    Py_DECREF(type);
}

// Read-only: the same bytes may be in an Arrow array that promises they never change.
int bytes_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    static const std::int64_t empty = 0;
    const arrow::Buffer& buffer = reinterpret_cast<BytesObject*>(self)->buffer;
    void* data = const_cast<void*>(buffer.data != nullptr ? buffer.data : &empty);
    return PyBuffer_FillInfo(view, self, data, static_cast<Py_ssize_t>(buffer.bytes), 1, flags);
}

PyType_Slot bytes_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(bytes_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(bytes_getbuffer)},
    {Py_tp_doc, const_cast<char*>("Bytes of a column, kept alive while viewed.")},
    {0, nullptr},
};

PyType_Spec bytes_spec = {"tavrik_workout._native.Bytes", sizeof(BytesObject), 0, Py_TPFLAGS_DEFAULT, bytes_slots};

// A memoryview of the buffer; None for a validity bitmap that a column without nulls
// leaves out.  An empty column's values are an empty view.
Outcome view_of(const arrow::Buffer& buffer, bool is_validity = false) {
    if (is_validity && !buffer) return PyRef::borrow(Py_None);
    PyRef owner = PyRef::steal(bytes_type->tp_alloc(bytes_type, 0));
    if (!owner) return std::unexpected(BoundaryError::fetch());
    new (&reinterpret_cast<BytesObject*>(owner.get())->buffer) arrow::Buffer(buffer);
    PyRef view = PyRef::steal(PyMemoryView_FromObject(owner.get()));
    if (!view) return std::unexpected(BoundaryError::fetch());
    return view;
}

// ---- the table ----

struct TableObject {
    PyObject_HEAD
    std::shared_ptr<const arrow::Table> table;
};

const arrow::Table& table_of(PyObject* self) { return *reinterpret_cast<TableObject*>(self)->table; }

void table_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<TableObject*>(self)->table.~shared_ptr();
    type->tp_free(self);
    Py_DECREF(type);
}

Py_ssize_t table_length(PyObject* self) { return static_cast<Py_ssize_t>(table_of(self).rows); }

constexpr char kSchemaCapsule[] = "arrow_schema";
constexpr char kArrayCapsule[] = "arrow_array";
constexpr char kStreamCapsule[] = "arrow_array_stream";

// A capsule whose struct was not taken by a consumer still owns what it points to.
template <class Struct, const char* Name>
void release_capsule(PyObject* capsule) {
    auto* held = static_cast<Struct*>(PyCapsule_GetPointer(capsule, Name));
    if (held == nullptr) {
        PyErr_Clear();
        return;
    }
    if (held->release != nullptr) held->release(held);
    delete held;
}

template <class Struct, const char* Name>
Outcome capsule(std::unique_ptr<Struct> held) {
    PyRef made = PyRef::steal(PyCapsule_New(held.get(), Name, release_capsule<Struct, Name>));
    if (!made) {
        held->release(held.get());
        return std::unexpected(BoundaryError::fetch());
    }
    held.release();
    return made;
}

Outcome schema_capsule(const arrow::Table& table) {
    auto schema = std::make_unique<ArrowSchema>();
    arrow::export_schema(table, schema.get());
    return capsule<ArrowSchema, kSchemaCapsule>(std::move(schema));
}

// The consumer's requested_schema is a hint the protocol lets a producer ignore: the
// columns have one layout.
Result<void> optional_schema_argument(Py_ssize_t nargs, PyObject* kwnames) {
    const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs + keywords > 1) return fail(PyExc_TypeError, "expected at most one argument, requested_schema");
    if (keywords == 1 && PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, 0), "requested_schema") != 0) {
        return fail(PyExc_TypeError, "unexpected keyword argument '" + message_text(PyTuple_GET_ITEM(kwnames, 0)) + "'");
    }
    return {};
}

PyObject* table_schema(PyObject* self, PyObject*) {
    return call_boundary([&]() -> Outcome { return schema_capsule(table_of(self)); });
}

PyObject* table_stream(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&]() -> Outcome {
        if (Result<void> ok = optional_schema_argument(nargs, kwnames); !ok) return std::unexpected(std::move(ok.error()));
        auto stream = std::make_unique<ArrowArrayStream>();
        arrow::export_stream(reinterpret_cast<TableObject*>(self)->table, stream.get());
        return capsule<ArrowArrayStream, kStreamCapsule>(std::move(stream));
    });
}

PyObject* table_array(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&]() -> Outcome {
        if (Result<void> ok = optional_schema_argument(nargs, kwnames); !ok) return std::unexpected(std::move(ok.error()));
        Outcome schema = schema_capsule(table_of(self));
        if (!schema) return schema;
        auto array = std::make_unique<ArrowArray>();
        arrow::export_array(table_of(self), array.get());
        Outcome made = capsule<ArrowArray, kArrayCapsule>(std::move(array));
        if (!made) return made;
        PyRef pair = PyRef::steal(PyTuple_Pack(2, schema->get(), made->get()));
        if (!pair) return std::unexpected(BoundaryError::fetch());
        return pair;
    });
}

// (name, type, length, null_count, validity, values, data, children) with the buffers as
// read-only memoryviews (validity None when the column has no nulls) and children as such tuples.
Outcome column_parts(const arrow::Column& column) {
    PyRef children = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(column.children.size())));
    if (!children) return std::unexpected(BoundaryError::fetch());
    for (std::size_t i = 0; i < column.children.size(); ++i) {
        Outcome child = column_parts(column.children[i]);
        if (!child) return child;
        PyTuple_SET_ITEM(children.get(), static_cast<Py_ssize_t>(i), child->release());
    }
    std::array<Outcome, 7> items{new_str(column.name), new_str(arrow::type_name(column.type)),
                                 PyRef::steal(PyLong_FromLongLong(column.length)),
                                 PyRef::steal(PyLong_FromLongLong(column.null_count)),
                                 view_of(column.validity, true), view_of(column.values), view_of(column.data)};
    PyRef parts = PyRef::steal(PyTuple_New(8));
    if (!parts) return std::unexpected(BoundaryError::fetch());
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (!items[i]) return std::move(items[i]);
        if (!*items[i]) return std::unexpected(BoundaryError::fetch());
        PyTuple_SET_ITEM(parts.get(), static_cast<Py_ssize_t>(i), items[i]->release());
    }
    PyTuple_SET_ITEM(parts.get(), 7, children.release());
    return parts;
}

PyObject* table_columns(PyObject* self, PyObject*) {
    return call_boundary([&]() -> Outcome {
        const arrow::Table& table = table_of(self);
        PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(table.columns.size())));
        if (!list) return std::unexpected(BoundaryError::fetch());
        for (std::size_t i = 0; i < table.columns.size(); ++i) {
            Outcome parts = column_parts(table.columns[i]);
            if (!parts) return parts;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), parts->release());
        }
        return list;
    });
}

PyObject* table_column_names(PyObject* self, void*) {
    return call_boundary([&]() -> Outcome {
        const arrow::Table& table = table_of(self);
        PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(table.columns.size())));
        if (!list) return std::unexpected(BoundaryError::fetch());
        for (std::size_t i = 0; i < table.columns.size(); ++i) {
            Outcome name = new_str(table.columns[i].name);
            if (!name) return name;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), name->release());
        }
        return list;
    });
}

PyMethodDef table_methods[] = {
    {"__arrow_c_schema__", table_schema, METH_NOARGS, "The table's schema as an Arrow PyCapsule."},
    {"__arrow_c_stream__", as_method(table_stream), METH_FASTCALL | METH_KEYWORDS,
     "__arrow_c_stream__($self, /, requested_schema=None)\n--\n\n"
     "The table as an Arrow C stream of one record batch, in a PyCapsule."},
    {"__arrow_c_array__", as_method(table_array), METH_FASTCALL | METH_KEYWORDS,
     "__arrow_c_array__($self, /, requested_schema=None)\n--\n\n"
     "The table as one Arrow record batch: a pair of schema and array PyCapsules."},
    {"columns", table_columns, METH_NOARGS,
     "Each column as (name, type, length, null_count, validity, values, data, children)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef table_getset[] = {
    {"column_names", table_column_names, nullptr, "The columns' names, in order.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot table_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(table_dealloc)},
    {Py_tp_methods, table_methods},
    {Py_tp_getset, table_getset},
    {Py_sq_length, reinterpret_cast<void*>(table_length)},
    {Py_mp_length, reinterpret_cast<void*>(table_length)},
    {Py_tp_doc, const_cast<char*>("Columns read from one workout document, in Arrow layout.")},
    {0, nullptr},
};

PyType_Spec table_spec = {"tavrik_workout._native.Table", sizeof(TableObject), 0, Py_TPFLAGS_DEFAULT, table_slots};

Outcome new_table(arrow::Table&& table) {
    // Made before the object, so that a refused allocation leaves nothing to undo.
    auto shared = std::make_shared<const arrow::Table>(std::move(table));
    PyRef object = PyRef::steal(table_type->tp_alloc(table_type, 0));
    if (!object) return std::unexpected(BoundaryError::fetch());
    new (&reinterpret_cast<TableObject*>(object.get())->table) std::shared_ptr<const arrow::Table>(std::move(shared));
    return object;
}

// ---- the functions ----

// A function named after a member of the format takes the name its description gives it;
// the descriptions' names are literals, so the view is a C string.
template <auto Member>
constexpr const char* function_name() {
    constexpr std::string_view name = model::member_name<Member>();
    static_assert(!name.empty() && name.data()[name.size()] == '\0');
    return name.data();
}

constexpr const char* kStreams = function_name<&model::Workout::streams>();
constexpr const char* kLaps = function_name<&model::Workout::laps>();

// Reads the document as the module's functions do (the same reader, errors and
// messages), then makes the table from the workout.
template <class Make>
Outcome read_then(std::string_view function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  bool keep_samples, Make&& make) {
    Result<std::string_view> text = json_argument(function, args, nargs, kwnames);
    if (!text) return std::unexpected(std::move(text.error()));
    // The tree lives in this arena and is gone before it; the table's buffers do not
    // come from it.
    model::Arena arena;
    model::Arena::Scope scope(arena);
    auto workout = model::read_document(*text, {.keep_samples = keep_samples});
    if (!workout) return fail(PyExc_ValueError, "parse error: " + workout.error().display());
    return make(*workout);
}

PyObject* streams(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&]() -> Outcome {
        // streams(json, pad): the companion package passes both by position.
        bool pad = false;
        if (nargs == 2) {
            const int truth = PyObject_IsTrue(args[1]);
            if (truth < 0) return std::unexpected(BoundaryError::fetch());
            pad = truth == 1;
            nargs = 1;
        }
        const ops::Ragged ragged = pad ? ops::Ragged::Pad : ops::Ragged::Error;
        auto made = [](std::expected<arrow::Table, std::string>&& table) -> Outcome {
            if (!table) return fail(PyExc_ValueError, std::move(table.error()));
            return new_table(std::move(*table));
        };
        // The samples go from the text into the columns when the walk takes the text;
        // otherwise the general reader reads it (and words any error).
        Result<std::string_view> text = json_argument(kStreams, args, nargs, kwnames);
        if (!text) return std::unexpected(std::move(text.error()));
        if (auto walked = ops::walk_stream_columns(*text, ragged)) return made(std::move(*walked));
        return read_then(kStreams, args, nargs, kwnames, true,
                         [&](model::Workout& workout) { return made(ops::stream_columns(workout, ragged)); });
    });
}

PyObject* laps(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&]() -> Outcome {
        Result<std::string_view> text = json_argument(kLaps, args, nargs, kwnames);
        if (!text) return std::unexpected(std::move(text.error()));
        if (auto walked = ops::walk_lap_columns(*text)) return new_table(std::move(*walked));
        return read_then(kLaps, args, nargs, kwnames, false,
                         [](model::Workout& workout) { return new_table(ops::lap_columns(workout)); });
    });
}

PyObject* sets(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&]() -> Outcome {
        Result<std::string_view> text = json_argument("sets", args, nargs, kwnames);
        if (!text) return std::unexpected(std::move(text.error()));
        if (auto walked = ops::walk_set_columns(*text)) return new_table(std::move(*walked));
        return read_then("sets", args, nargs, kwnames, false,
                         [](model::Workout& workout) { return new_table(ops::set_columns(workout)); });
    });
}

// _walked(table, json): the table that the walk alone reads from the text, None where it
// leaves the text to the general reader.  The tests hold it to the general reading.
PyObject* walked(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&]() -> Outcome {
        if (nargs != 2 || kwnames != nullptr || !PyUnicode_Check(args[0]) || !PyUnicode_Check(args[1])) {
            return fail(PyExc_TypeError, "_walked() takes a table name and a text, both str");
        }
        Py_ssize_t size = 0;
        const char* name = PyUnicode_AsUTF8AndSize(args[0], &size);
        if (name == nullptr) return std::unexpected(BoundaryError::fetch());
        const std::string_view table(name, static_cast<std::size_t>(size));
        const char* bytes = PyUnicode_AsUTF8AndSize(args[1], &size);
        if (bytes == nullptr) return std::unexpected(BoundaryError::fetch());
        const std::string_view text(bytes, static_cast<std::size_t>(size));
        std::optional<arrow::Table> made;
        if (table == kStreams) {
            auto streamed = ops::walk_stream_columns(text, ops::Ragged::Pad);
            if (streamed) made = std::move(**streamed);  // padding leaves nothing to fail
        } else if (table == kLaps) {
            made = ops::walk_lap_columns(text);
        } else if (table == "sets") {
            made = ops::walk_set_columns(text);
        } else {
            return fail(PyExc_ValueError, "_walked() takes streams, laps or sets");
        }
        if (!made) return PyRef::borrow(Py_None);
        return new_table(std::move(*made));
    });
}

const PyMethodDef methods[] = {
    {kStreams, as_method(streams), METH_FASTCALL | METH_KEYWORDS,
     "streams(json, pad=False)\n--\n\nThe recorded streams as a Table, one row per timestamp."},
    {kLaps, as_method(laps), METH_FASTCALL | METH_KEYWORDS,
     "laps(json)\n--\n\nThe laps as a Table, one row per lap."},
    {"sets", as_method(sets), METH_FASTCALL | METH_KEYWORDS,
     "sets(json)\n--\n\nThe prescribed sets as a Table, one row per set."},
    {"_walked", as_method(walked), METH_FASTCALL | METH_KEYWORDS,
     "_walked(table, json)\n--\n\nThe table as the walk alone reads it; None where it gives the text up."},
};

Result<void> add_types(PyObject* module) {
    if (table_type == nullptr) {
        table_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &table_spec, nullptr));
        if (table_type == nullptr) return std::unexpected(BoundaryError::fetch());
    }
    if (bytes_type == nullptr) {
        bytes_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &bytes_spec, nullptr));
        if (bytes_type == nullptr) return std::unexpected(BoundaryError::fetch());
    }
    if (PyModule_AddObjectRef(module, "Table", reinterpret_cast<PyObject*>(table_type)) < 0 ||
        PyModule_AddObjectRef(module, "Bytes", reinterpret_cast<PyObject*>(bytes_type)) < 0) {
        return std::unexpected(BoundaryError::fetch());
    }
    return {};
}

}  // namespace

const Capability columns_capability{methods, add_types};

}  // namespace tavrik::python::native
