#include "arrow/export.hpp"

#include <cerrno>
#include <cstdint>
#include <exception>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace tavrik::arrow {

namespace {

// Stands in for a buffer of no bytes: consumers may dereference a buffer pointer of an
// empty array (the one offset of an empty text column, say), so none is left null.
alignas(64) const std::int64_t kEmpty[8] = {};

const void* pointer(const Buffer& buffer) { return buffer.data != nullptr ? buffer.data : kEmpty; }

// ---- schemas ----

struct SchemaData {
    std::string name;
    std::vector<ArrowSchema> children;
    std::vector<ArrowSchema*> child_pointers;
};

void release_schema(ArrowSchema* schema) {
    if (schema == nullptr || schema->release == nullptr) return;
    auto* data = static_cast<SchemaData*>(schema->private_data);
    for (ArrowSchema& child : data->children) {
        if (child.release != nullptr) child.release(&child);
    }
    delete data;
    schema->release = nullptr;
}

// The fields of `data` are filled before `out`, so that a failure leaves `out` as it was
// and what was made is released with `data`.
void fill_schema(ArrowSchema* out, std::string_view name, std::string_view format, std::int64_t flags,
                 const std::vector<Column>& children) {
    auto data = std::make_unique<SchemaData>();
    data->name.assign(name);
    data->children.resize(children.size());
    for (ArrowSchema& child : data->children) child.release = nullptr;
    struct Guard {
        SchemaData* data;
        ~Guard() {
            if (data == nullptr) return;
            for (ArrowSchema& child : data->children) release_schema(&child);
        }
    } guard{data.get()};
    for (std::size_t i = 0; i < children.size(); ++i) {
        const Column& column = children[i];
        fill_schema(&data->children[i], column.name, format_of(column.type), ARROW_FLAG_NULLABLE, column.children);
    }
    data->child_pointers.reserve(children.size());
    for (ArrowSchema& child : data->children) data->child_pointers.push_back(&child);
    guard.data = nullptr;

    out->format = format.data();  // format_of gives static, terminated texts
    out->name = data->name.c_str();
    out->metadata = nullptr;
    out->flags = flags;
    out->n_children = static_cast<std::int64_t>(children.size());
    out->children = data->child_pointers.empty() ? nullptr : data->child_pointers.data();
    out->dictionary = nullptr;
    out->release = release_schema;
    out->private_data = data.release();
}

// ---- arrays ----

struct ArrayData {
    Buffer held[3];
    const void* buffers[3] = {};
    std::vector<ArrowArray> children;
    std::vector<ArrowArray*> child_pointers;
};

void release_array(ArrowArray* array) {
    if (array == nullptr || array->release == nullptr) return;
    auto* data = static_cast<ArrayData*>(array->private_data);
    for (ArrowArray& child : data->children) {
        if (child.release != nullptr) child.release(&child);
    }
    delete data;
    array->release = nullptr;
}

void fill_array(ArrowArray* out, const Column* column, std::int64_t length, const std::vector<Column>& children) {
    auto data = std::make_unique<ArrayData>();
    std::int64_t n_buffers = 1;  // a struct has its validity only
    if (column != nullptr) {
        data->held[0] = column->validity;
        data->buffers[0] = column->validity ? column->validity.data : nullptr;
        if (column->type != Type::Struct) {
            data->held[1] = column->values;
            data->buffers[1] = pointer(column->values);
            n_buffers = 2;
        }
        if (column->type == Type::LargeUtf8) {
            data->held[2] = column->data;
            data->buffers[2] = pointer(column->data);
            n_buffers = 3;
        }
    }
    data->children.resize(children.size());
    for (ArrowArray& child : data->children) child.release = nullptr;
    struct Guard {
        ArrayData* data;
        ~Guard() {
            if (data == nullptr) return;
            for (ArrowArray& child : data->children) release_array(&child);
        }
    } guard{data.get()};
    for (std::size_t i = 0; i < children.size(); ++i) {
        fill_array(&data->children[i], &children[i], children[i].length, children[i].children);
    }
    data->child_pointers.reserve(children.size());
    for (ArrowArray& child : data->children) data->child_pointers.push_back(&child);
    guard.data = nullptr;

    out->length = length;
    out->null_count = column != nullptr ? column->null_count : 0;
    out->offset = 0;
    out->n_buffers = n_buffers;
    out->n_children = static_cast<std::int64_t>(children.size());
    out->buffers = data->buffers;
    out->children = data->child_pointers.empty() ? nullptr : data->child_pointers.data();
    out->dictionary = nullptr;
    out->release = release_array;
    out->private_data = data.release();
}

// ---- the stream ----

struct StreamData {
    std::shared_ptr<const Table> table;
    bool done = false;
    std::string error;
};

int stream_schema(ArrowArrayStream* stream, ArrowSchema* out) {
    auto* data = static_cast<StreamData*>(stream->private_data);
    try {
        export_schema(*data->table, out);
        return 0;
    } catch (const std::exception& e) {
        data->error = e.what();
        return ENOMEM;
    }
}

int stream_next(ArrowArrayStream* stream, ArrowArray* out) {
    auto* data = static_cast<StreamData*>(stream->private_data);
    if (data->done) {
        out->release = nullptr;  // the end of the stream
        return 0;
    }
    try {
        export_array(*data->table, out);
        data->done = true;
        return 0;
    } catch (const std::exception& e) {
        data->error = e.what();
        return ENOMEM;
    }
}

const char* stream_error(ArrowArrayStream* stream) {
    auto* data = static_cast<StreamData*>(stream->private_data);
    return data->error.empty() ? nullptr : data->error.c_str();
}

void release_stream(ArrowArrayStream* stream) {
    if (stream == nullptr || stream->release == nullptr) return;
    delete static_cast<StreamData*>(stream->private_data);
    stream->release = nullptr;
}

}  // namespace

void export_schema(const Table& table, ArrowSchema* out) {
    fill_schema(out, "", format_of(Type::Struct), 0, table.columns);
}

void export_array(const Table& table, ArrowArray* out) { fill_array(out, nullptr, table.rows, table.columns); }

void export_stream(std::shared_ptr<const Table> table, ArrowArrayStream* out) {
    auto data = std::make_unique<StreamData>();
    data->table = std::move(table);
    out->get_schema = stream_schema;
    out->get_next = stream_next;
    out->get_last_error = stream_error;
    out->release = release_stream;
    out->private_data = data.release();
}

}  // namespace tavrik::arrow
