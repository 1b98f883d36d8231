// Columns laid out as Arrow arrays, owned by shared buffers so that an exported array,
// a NumPy view and the table itself can each keep the bytes alive on their own.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tavrik::arrow {

// Bytes that arrays point into; freed with the last copy of `owner`.
struct Buffer {
    std::shared_ptr<const void> owner;
    const void* data = nullptr;
    std::size_t bytes = 0;

    explicit operator bool() const { return data != nullptr; }

    // Takes a contiguous container over without copying its elements.
    template <class Container>
    static Buffer adopt(Container&& container) {
        auto held = std::make_shared<std::remove_cvref_t<Container>>(std::forward<Container>(container));
        const void* data = held->data();
        const std::size_t bytes = held->size() * sizeof(*held->data());
        return Buffer{std::move(held), data, bytes};
    }
};

enum class Type : std::uint8_t {
    Float64,
    UInt64,
    UInt32,
    LargeUtf8,  // 64-bit offsets: a column's text is not bounded by 2 GiB
    Struct,
};

// The format string of the C data interface, and a word for people.
std::string_view format_of(Type type);
std::string_view type_name(Type type);

struct Column {
    std::string name;
    Type type = Type::Float64;
    std::int64_t length = 0;
    std::int64_t null_count = 0;
    Buffer validity;  // bit i (least significant first) set when row i holds a value; empty without nulls
    Buffer values;    // the numbers, or a text column's length + 1 offsets
    Buffer data;      // a text column's UTF-8 bytes
    std::vector<Column> children;  // a struct column's fields
};

struct Table {
    std::vector<Column> columns;
    std::int64_t rows = 0;
};

// Which rows hold a value; the bitmap is made only once a null arrives.
class Validity {
public:
    void push(bool valid) {
        if (!valid && bits_.empty()) {
            bits_.reserve(std::max<std::size_t>(expected_bytes_, static_cast<std::size_t>(length_ + 8) / 8));
            bits_.assign(static_cast<std::size_t>(length_ + 8) / 8, 0xff);
        }
        if (!bits_.empty()) {
            if ((length_ & 7) == 0 && static_cast<std::size_t>(length_ / 8) >= bits_.size()) bits_.push_back(0);
            const auto bit = static_cast<std::uint8_t>(1u << (length_ & 7));
            if (valid) bits_[length_ / 8] |= bit;
            else bits_[length_ / 8] &= static_cast<std::uint8_t>(~bit);
        }
        nulls_ += !valid;
        ++length_;
    }
    std::int64_t nulls() const { return nulls_; }
    // The bitmap, once made, is made with room for `rows`.
    void reserve(std::size_t rows) {
        expected_bytes_ = (rows + 7) / 8;
        if (!bits_.empty()) bits_.reserve(expected_bytes_);
    }
    std::int64_t length() const { return length_; }
    // Sets the column's validity and null count.
    void finish(Column& column) && {
        column.null_count = nulls_;
        if (nulls_ > 0) column.validity = Buffer::adopt(std::move(bits_));
    }

private:
    std::vector<std::uint8_t> bits_;
    std::size_t expected_bytes_ = 0;
    std::int64_t length_ = 0;
    std::int64_t nulls_ = 0;
};

// One column of any flat type, filled row by row.
class ColumnBuilder {
public:
    ColumnBuilder(std::string name, Type type) : name_(std::move(name)), type_(type) {}

    Type type() const { return type_; }
    const std::string& name() const { return name_; }
    std::int64_t length() const { return validity_.length(); }

    void f64(double v) {
        f64_.push_back(v);
        validity_.push(true);
    }
    void u64(std::uint64_t v) {
        u64_.push_back(v);
        validity_.push(true);
    }
    void u32(std::uint32_t v) {
        u32_.push_back(v);
        validity_.push(true);
    }
    void text(std::string_view v) {
        bytes_.append(v);
        offsets_.push_back(static_cast<std::int64_t>(bytes_.size()));
        validity_.push(true);
    }
    void null();
    // Room for `rows` rows of numbers, so that a column of known length is allocated once.
    void reserve(std::size_t rows);

    Column finish() &&;

private:
    std::string name_;
    Type type_;
    std::vector<double> f64_;
    std::vector<std::uint64_t> u64_;
    std::vector<std::uint32_t> u32_;
    std::vector<std::int64_t> offsets_{0};
    std::string bytes_;
    Validity validity_;
};

}  // namespace tavrik::arrow
