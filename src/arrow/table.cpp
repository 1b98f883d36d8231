#include "arrow/table.hpp"

namespace tavrik::arrow {

std::string_view format_of(Type type) {
    switch (type) {
        case Type::Float64: return "g";
        case Type::UInt64: return "L";
        case Type::UInt32: return "I";
        case Type::LargeUtf8: return "U";
        case Type::Struct: return "+s";
    }
    return "n";
}

std::string_view type_name(Type type) {
    switch (type) {
        case Type::Float64: return "float64";
        case Type::UInt64: return "uint64";
        case Type::UInt32: return "uint32";
        case Type::LargeUtf8: return "string";
        case Type::Struct: return "struct";
    }
    return "null";
}

void ColumnBuilder::null() {
    // A null slot still takes its place in the values: Arrow indexes values by row.
    switch (type_) {
        case Type::Float64: f64_.push_back(0.0); break;
        case Type::UInt64: u64_.push_back(0); break;
        case Type::UInt32: u32_.push_back(0); break;
        case Type::LargeUtf8: offsets_.push_back(static_cast<std::int64_t>(bytes_.size())); break;
        case Type::Struct: break;
    }
    validity_.push(false);
}

void ColumnBuilder::reserve(std::size_t rows) {
    switch (type_) {
        case Type::Float64: f64_.reserve(rows); break;
        case Type::UInt64: u64_.reserve(rows); break;
        case Type::UInt32: u32_.reserve(rows); break;
        case Type::LargeUtf8: offsets_.reserve(rows + 1); break;
        case Type::Struct: break;
    }
    validity_.reserve(rows);
}

Column ColumnBuilder::finish() && {
    Column column;
    column.name = std::move(name_);
    column.type = type_;
    column.length = validity_.length();
    switch (type_) {
        case Type::Float64: column.values = Buffer::adopt(std::move(f64_)); break;
        case Type::UInt64: column.values = Buffer::adopt(std::move(u64_)); break;
        case Type::UInt32: column.values = Buffer::adopt(std::move(u32_)); break;
        case Type::LargeUtf8:
            column.values = Buffer::adopt(std::move(offsets_));
            column.data = Buffer::adopt(std::move(bytes_));
            break;
        case Type::Struct: break;
    }
    std::move(validity_).finish(column);
    return column;
}

}  // namespace tavrik::arrow
