// Columns laid out as Arrow arrays, owned by shared buffers so that an exported array,
// a NumPy view and the table itself can each keep the bytes alive on their own.
#pragma once

#include <algorithm>
#include <bit>
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

// Which rows hold a value, a bit each, gathered a word at a time; the bitmap is kept
// only when a null arrived.
class Validity {
public:
    [[gnu::always_inline]] void push(bool valid) {
        word_ |= std::uint64_t{valid} << (length_ & 63);
        nulls_ += !valid;
        if ((++length_ & 63) == 0) flush();
    }
    std::int64_t nulls() const { return nulls_; }
    // Room for `rows` rows, so that the words are allocated once.
    void reserve(std::size_t rows) { words_.reserve((rows + 63) / 64); }
    std::int64_t length() const { return length_; }
    // Sets the column's validity and null count.
    void finish(Column& column) && {
        column.null_count = nulls_;
        if (nulls_ == 0) return;
        if ((length_ & 63) != 0) flush();
        Buffer bits = Buffer::adopt(std::move(words_));
        bits.bytes = static_cast<std::size_t>(length_ + 7) / 8;  // the bits past the last row are zero
        column.validity = std::move(bits);
    }

private:
    [[gnu::noinline]] void flush() {
        // Arrow numbers the bits of each byte from its least significant one, bytes in order.
        words_.push_back(std::endian::native == std::endian::little ? word_ : std::byteswap(word_));
        word_ = 0;
    }

    std::vector<std::uint64_t> words_;
    std::uint64_t word_ = 0;  // the rows since the last whole word
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
