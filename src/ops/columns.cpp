#include "ops/columns.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "json/pages.hpp"
#include "json/reader.hpp"
#include "json/source.hpp"
#include "model/arena.hpp"
#include "model/describe.hpp"
#include "model/fast_read.hpp"
#include "model/forms.hpp"
#include "model/named.hpp"
#include "model/read.hpp"

namespace tavrik::ops {

namespace {

using arrow::Buffer;
using arrow::Column;
using arrow::ColumnBuilder;
using arrow::Table;
using arrow::Type;
using model::Describe;

// ---- names ----

// "HeartRate" -> "heart_rate", "RPE" -> "rpe": variant names as column names.
std::string snake(std::string_view name) {
    std::string out;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        const bool upper = c >= 'A' && c <= 'Z';
        if (upper && i > 0 && !(name[i - 1] >= 'A' && name[i - 1] <= 'Z')) out += '_';
        out += upper ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return out;
}

std::string joined(std::string_view prefix, std::string_view name) {
    if (prefix.empty()) return std::string(name);
    std::string out(prefix);
    out += '_';
    out += name;
    return out;
}

// The name itself the first time, then with _2, _3, ... until one is free.
std::string unique_name(std::set<std::string>& taken, std::string name) {
    if (taken.insert(name).second) return name;
    for (std::size_t k = 2;; ++k) {
        std::string candidate = name + "_" + std::to_string(k);
        if (taken.insert(candidate).second) return candidate;
    }
}

template <class E>
std::string variant_name(const E& value) {
    return std::string(Describe<E>::variants[value.v.index()]);
}

// A custom alternative's own name, else the variant's.
template <class E>
std::string own_name(const E& value) {
    if (const auto* custom = std::get_if<typename E::Custom>(&value.v)) return std::string(custom->value);
    return variant_name(value);
}

// ---- free-form values as compact JSON text ----

void append_json_string(std::string& out, std::string_view s) {
    static constexpr char hex[] = "0123456789abcdef";
    out += '"';
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            default:
                if (c < 0x20) {
                    out += "\\u00";
                    out += hex[c >> 4];
                    out += hex[c & 15];
                } else {
                    out += ch;
                }
        }
    }
    out += '"';
}

// Doubles in their shortest round-trip form, with ".0" on whole numbers so that they read
// back as doubles, as the writer puts them.
void append_json(std::string& out, const model::JsonValue& value) {
    std::visit(
        [&](const auto& v) {
            using V = std::decay_t<decltype(v)>;
            char digits[32];
            if constexpr (std::is_same_v<V, std::monostate>) {
                out += "null";
            } else if constexpr (std::is_same_v<V, bool>) {
                out += v ? "true" : "false";
            } else if constexpr (std::is_same_v<V, std::uint64_t> || std::is_same_v<V, std::int64_t>) {
                out.append(digits, std::to_chars(digits, digits + sizeof digits, v).ptr);
            } else if constexpr (std::is_same_v<V, double>) {
                const std::string_view text(digits, std::to_chars(digits, digits + sizeof digits, v).ptr);
                out += text;
                if (text.find_first_of(".en") == std::string_view::npos) out += ".0";
            } else if constexpr (std::is_same_v<V, model::Text>) {
                append_json_string(out, v);
            } else if constexpr (std::is_same_v<V, model::JsonValue::Array>) {
                out += '[';
                for (std::size_t i = 0; i < v.size(); ++i) {
                    if (i > 0) out += ',';
                    append_json(out, v[i]);
                }
                out += ']';
            } else {
                out += '{';
                bool first = true;
                for (const auto& [key, item] : v.entries) {
                    if (!first) out += ',';
                    first = false;
                    append_json_string(out, key);
                    out += ':';
                    append_json(out, item);
                }
                out += '}';
            }
        },
        value.v);
}

// ---- the values of prescriptions, by their types in the descriptions ----

template <class T>
constexpr Type column_type() {
    if constexpr (std::is_same_v<T, double>) return Type::Float64;
    else if constexpr (std::is_same_v<T, std::uint32_t>) return Type::UInt32;
    else return Type::LargeUtf8;  // text, unit names and free-form JSON
}

template <class T>
void push(ColumnBuilder& column, const T& value) {
    if constexpr (std::is_same_v<T, double>) {
        column.f64(value);
    } else if constexpr (std::is_same_v<T, std::uint32_t>) {
        column.u32(value);
    } else if constexpr (std::is_same_v<T, model::Text>) {
        column.text(value);
    } else if constexpr (std::is_same_v<T, model::JsonValue>) {
        std::string text;
        append_json(text, value);
        column.text(text);
    } else {
        static_assert(model::all_units<T>(), "a field of a prescription is a number, a text or a unit");
        column.text(Describe<T>::variants[value.v.index()]);
    }
}

template <class A>
constexpr bool numeric_newtype() {
    if constexpr (model::NewtypeAlternative<A>) return std::is_arithmetic_v<decltype(A::value)>;
    else return false;
}

// A list of which a set may hold one of each variant (measures): a column group per
// variant, from the variant's content; the first item of each variant fills it.
template <class E>
class GroupColumns {
public:
    explicit GroupColumns(std::vector<ColumnBuilder>& columns) : columns_(columns), first_(columns.size()) {
        model::each_alternative<E>([&](auto index) {
            using A = model::alternative<E, index()>;
            const std::string base = snake(Describe<E>::variants[index()]);
            if constexpr (model::NewtypeAlternative<A>) {
                columns_.emplace_back(base, column_type<decltype(A::value)>());
            } else if constexpr (!model::UnitAlternative<A>) {
                model::each_field<Describe<A>>([&](const auto& field, std::size_t) {
                    columns_.emplace_back(joined(base, field.name), column_type<model::field_type<decltype(field)>>());
                });
            }
        });
    }

    void row(const model::List<E>& items) {
        std::size_t next = first_;
        model::each_alternative<E>([&](auto index) {
            using A = model::alternative<E, index()>;
            const A* found = nullptr;
            for (const E& item : items) {
                if (item.v.index() == index()) {
                    found = &std::get<index()>(item.v);
                    break;
                }
            }
            if constexpr (model::NewtypeAlternative<A>) {
                ColumnBuilder& column = columns_[next++];
                found != nullptr ? push(column, found->value) : column.null();
            } else if constexpr (!model::UnitAlternative<A>) {
                model::each_field<Describe<A>>([&](const auto& field, std::size_t) {
                    ColumnBuilder& column = columns_[next++];
                    found != nullptr ? push(column, found->*(field.member)) : column.null();
                });
            }
        });
    }

private:
    std::vector<ColumnBuilder>& columns_;
    std::size_t first_;
};

// A value of which a set holds at most one (its intensity): the variant's name, one
// float64 column for every number-valued variant, and a column per field of the others.
template <class E>
class ChoiceColumns {
public:
    ChoiceColumns(std::vector<ColumnBuilder>& columns, std::string_view prefix)
        : columns_(columns), first_(columns.size()) {
        columns_.emplace_back(std::string(prefix), Type::LargeUtf8);
        columns_.emplace_back(joined(prefix, "value"), Type::Float64);
        model::each_alternative<E>([&](auto index) {
            using A = model::alternative<E, index()>;
            if constexpr (!model::UnitAlternative<A> && !numeric_newtype<A>()) {
                static_assert(!model::NewtypeAlternative<A>, "a choice's newtype content is a number");
                const std::string base = joined(prefix, snake(Describe<E>::variants[index()]));
                model::each_field<Describe<A>>([&](const auto& field, std::size_t) {
                    columns_.emplace_back(joined(base, field.name), column_type<model::field_type<decltype(field)>>());
                });
            }
        });
    }

    void row(const std::optional<E>& value) {
        std::size_t next = first_;
        ColumnBuilder& variant = columns_[next++];
        ColumnBuilder& number = columns_[next++];
        value ? variant.text(Describe<E>::variants[value->v.index()]) : variant.null();
        bool numbered = false;
        model::each_alternative<E>([&](auto index) {
            using A = model::alternative<E, index()>;
            const A* found = value ? std::get_if<index()>(&value->v) : nullptr;
            if constexpr (numeric_newtype<A>()) {
                if (found != nullptr) {
                    number.f64(static_cast<double>(found->value));
                    numbered = true;
                }
            } else if constexpr (!model::UnitAlternative<A>) {
                model::each_field<Describe<A>>([&](const auto& field, std::size_t) {
                    ColumnBuilder& column = columns_[next++];
                    found != nullptr ? push(column, found->*(field.member)) : column.null();
                });
            }
        });
        if (!numbered) number.null();
    }

private:
    std::vector<ColumnBuilder>& columns_;
    std::size_t first_;
};

Table finished(std::vector<ColumnBuilder>& builders, std::int64_t rows) {
    Table table;
    table.rows = rows;
    table.columns.reserve(builders.size());
    for (ColumnBuilder& builder : builders) table.columns.push_back(std::move(builder).finish());
    return table;
}

// ---- streams ----

// Lists above the arena's piece size were taken from the heap and are handed over as they
// are; smaller ones live in the read's arena, which ends with the call, so they are copied.
Buffer take_samples(model::List<double>& list) {
    const bool in_arena = list.get_allocator().arena != nullptr &&
                          list.capacity() <= model::Arena::kLargeBytes / sizeof(double);
    if (in_arena) return Buffer::adopt(std::vector<double>(list.begin(), list.end()));
    return Buffer::adopt(std::move(list));
}

Column float_column(std::string name, Buffer values, std::int64_t length) {
    Column column;
    column.name = std::move(name);
    column.type = Type::Float64;
    column.length = length;
    column.values = std::move(values);
    return column;
}

Column struct_column(std::string name, std::int64_t length, std::vector<Column> children, arrow::Validity validity) {
    Column column;
    column.name = std::move(name);
    column.type = Type::Struct;
    column.length = length;
    column.children = std::move(children);
    std::move(validity).finish(column);
    return column;
}

bool holds_value(const Column& column, std::int64_t row) {
    if (!column.validity) return true;
    const auto* bits = static_cast<const std::uint8_t*>(column.validity.data);
    return (bits[row / 8] >> (row % 8) & 1) != 0;
}

// A float64 or struct column lengthened to `rows` with nulls at its end: a copy of it alone.
Column padded(Column column, std::int64_t rows) {
    if (column.length == rows) return column;
    arrow::Validity validity;
    validity.reserve(static_cast<std::size_t>(rows));
    for (std::int64_t i = 0; i < rows; ++i) validity.push(i < column.length && holds_value(column, i));
    if (column.type == Type::Float64) {
        const auto* first = static_cast<const double*>(column.values.data);
        std::vector<double> values(first, first + column.length);
        values.resize(static_cast<std::size_t>(rows), 0.0);
        column.values = Buffer::adopt(std::move(values));
    }
    for (Column& child : column.children) child = padded(std::move(child), rows);
    column.length = rows;
    column.validity = {};
    std::move(validity).finish(column);
    return column;
}

Column position_column(std::string name, const model::List<std::optional<model::Position>>& entries) {
    const auto fields = model::field_names<Describe<model::Position>>();
    ColumnBuilder lat(std::string(fields[0]), Type::Float64);
    ColumnBuilder lng(std::string(fields[1]), Type::Float64);
    ColumnBuilder altitude(std::string(fields[2]), Type::Float64);
    for (ColumnBuilder* field : {&lat, &lng, &altitude}) field->reserve(entries.size());
    arrow::Validity validity;
    validity.reserve(entries.size());
    for (const auto& entry : entries) {
        validity.push(entry.has_value());
        if (entry) {
            lat.f64(entry->lat);
            lng.f64(entry->lng);
            entry->altitude ? altitude.f64(*entry->altitude) : altitude.null();
        } else {
            lat.null();
            lng.null();
            altitude.null();
        }
    }
    std::vector<Column> children;
    children.push_back(std::move(lat).finish());
    children.push_back(std::move(lng).finish());
    children.push_back(std::move(altitude).finish());
    return struct_column(std::move(name), static_cast<std::int64_t>(entries.size()), std::move(children),
                         std::move(validity));
}

// The table from the timestamps and the channels at their own lengths, each channel named
// by its metric: names made unique, then the lengths checked (a ragged channel fails
// before anything is copied) and, when padding, the shorter columns padded.
std::expected<Table, std::string> streams_table(Column timestamps, std::vector<Column> channels, Ragged ragged) {
    std::set<std::string> taken{timestamps.name};
    std::int64_t rows = timestamps.length;
    for (Column& channel : channels) {
        channel.name = unique_name(taken, std::move(channel.name));
        if (channel.length == timestamps.length) continue;
        if (ragged == Ragged::Error) {
            return std::unexpected("channel `" + channel.name + "` has " + std::to_string(channel.length) +
                                   " samples but there are " + std::to_string(timestamps.length) +
                                   " timestamps (ragged=\"pad\" pads the shorter columns with nulls)");
        }
        rows = std::max(rows, channel.length);
    }
    Table table;
    table.rows = rows;
    table.columns.push_back(padded(std::move(timestamps), rows));
    for (Column& channel : channels) table.columns.push_back(padded(std::move(channel), rows));
    return table;
}

constexpr std::string_view kTimestamp = "timestamp";

// ---- streams straight from the text ----

// Doubles in one buffer that grows by whole pages, moved rather than copied once it is
// large (json/pages.hpp), and becomes a column's values as it is.
class DoubleBuffer {
public:
    explicit DoubleBuffer(std::size_t first_capacity) : first_capacity_(first_capacity) {}
    DoubleBuffer(DoubleBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)),
          first_capacity_(other.first_capacity_) {}
    DoubleBuffer& operator=(DoubleBuffer&&) = delete;
    ~DoubleBuffer() { json::free_buffer(data_, capacity_ * sizeof(double)); }

    [[gnu::always_inline]] void push(double v) {
        if (size_ == capacity_) grow();
        data_[size_++] = v;
    }
    std::int64_t length() const { return static_cast<std::int64_t>(size_); }
    double* data() { return data_; }

    // The room after the doubles held, which the walk fills; kept() takes what it wrote.
    model::fast::SampleRoom room() { return {data_ + size_, data_ + capacity_}; }
    void kept(const model::fast::SampleRoom& room) { size_ = static_cast<std::size_t>(room.at - data_); }
    // More room once `room` is full.
    void more(model::fast::SampleRoom& room) {
        kept(room);
        grow();
        room = this->room();
    }

    Buffer release() && {
        const std::size_t bytes = capacity_ * sizeof(double);
        void* data = std::exchange(data_, nullptr);
        capacity_ = 0;
        // The buffer is freed by the last owner; should making the owner fail, right away.
        std::shared_ptr<const void> owner(data, [bytes](const void* p) { json::free_buffer(const_cast<void*>(p), bytes); });
        return Buffer{std::move(owner), data, std::exchange(size_, 0) * sizeof(double)};
    }

private:
    [[gnu::noinline]] void grow() {
        const std::size_t capacity = capacity_ == 0 ? first_capacity_ : capacity_ * 2;
        data_ = static_cast<double*>(
            json::grow_buffer(data_, capacity_ * sizeof(double), capacity * sizeof(double), size_ * sizeof(double)));
        capacity_ = capacity;
    }

    double* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    std::size_t first_capacity_;
};

// Sets the validity of `column` from its values, the missing ones held as NaN (which no
// sample read from a text can be), and makes those zeros, as a null slot holds.  A word
// of the bitmap at a time, two values a step.
void settle_missing(Column& column, double* values) {
    const auto count = static_cast<std::size_t>(column.length);
    std::vector<std::uint64_t> words((count + 63) / 64);
    std::int64_t held = 0;
    for (std::size_t base = 0; base < count; base += 64) {
        const std::size_t end = std::min(count, base + 64);
        std::uint64_t word = 0;
        std::size_t i = base;
#if defined(__SSE2__)
        for (; i + 2 <= end; i += 2) {
            const __m128d v = _mm_loadu_pd(values + i);
            const __m128d ordered = _mm_cmpord_pd(v, v);
            word |= static_cast<std::uint64_t>(_mm_movemask_pd(ordered)) << (i - base);
            _mm_storeu_pd(values + i, _mm_and_pd(v, ordered));
        }
#endif
        for (; i < end; ++i) {
            const bool ordered = values[i] == values[i];
            word |= std::uint64_t{ordered} << (i - base);
            if (!ordered) values[i] = 0.0;
        }
        held += std::popcount(word);
        // Arrow numbers the bits of each byte from its least significant one, bytes in order.
        words[base / 64] = std::endian::native == std::endian::little ? word : std::byteswap(word);
    }
    column.null_count = column.length - held;
    if (column.null_count == 0) return;
    Buffer bits = Buffer::adopt(std::move(words));
    bits.bytes = (count + 7) / 8;  // the bits past the last row are zero
    column.validity = std::move(bits);
}

constexpr double kMissing = std::numeric_limits<double>::quiet_NaN();

struct WalkedChannel {
    std::size_t metric = 0;  // the StreamMetric variant
    std::string_view custom_name;
    bool positions = false;
    std::optional<DoubleBuffer> scalar;
    // A position's fields grow together, a missing entry or altitude held as NaN until
    // the columns are made: a row costs three stores, its nulls are counted.
    std::optional<DoubleBuffer> lat, lng, altitude;
    std::size_t null_entries = 0;
    std::size_t absent_altitudes = 0;
};

using model::fast::same_member;

// The place of `Member` among the fields of its record's description.
template <auto Member>
constexpr std::size_t field_index() {
    using D = Describe<typename model::fast::MemberOf<decltype(Member)>::owner>;
    return []<std::size_t... I>(std::index_sequence<I...>) {
        std::size_t index = sizeof...(I);
        (void)((same_member<std::get<I>(D::fields).member, Member>() ? (index = I, true) : false) || ...);
        return index;
    }(std::make_index_sequence<model::field_count<D>()>{});
}

// Takes the samples as the walk scans them, straight into column buffers.
class StreamSink : public model::fast::NoSink {
public:
    static constexpr bool kLendsSampleRoom = true;
    static constexpr bool kTakesReals = true;
    static constexpr bool kTakesNumberRows = true;

    // A list holds at most one number per two bytes of the text.  The first buffers are
    // sized for that but stay just below the mapped size: the heap serves them again call
    // after call, where fresh pages would fault in one by one.  A longer list moves once
    // to mapped pages, which then grow without a copy.
    explicit StreamSink(std::size_t text_bytes)
        : first_capacity_(std::clamp<std::size_t>(text_bytes / 2 + 1, 16, json::kPagesFrom / sizeof(double) - 1)),
          timestamps_(first_capacity_) {}

    model::fast::TextStore& texts() { return texts_; }

    template <class T>
    void begin() {
        if constexpr (std::is_same_v<T, model::Stream>) {
            channels_.emplace_back();
        } else if constexpr (std::is_same_v<T, model::Position>) {
            lat_ = lng_ = 0;
            altitude_.reset();
        }
    }
    template <class T>
    [[gnu::always_inline]] void end() {
        if constexpr (std::is_same_v<T, model::Position>) {
            if (!altitude_) ++positions_->absent_altitudes;
            position(lat_, lng_, altitude_ ? *altitude_ : kMissing);
        }
    }
    // A position written plainly, its fields by their places in the description.
    template <class T>
    [[gnu::always_inline]] void number_row(const double* values, std::uint32_t present) {
        static_assert(std::is_same_v<T, model::Position>);
        constexpr std::size_t lat = field_index<&model::Position::lat>();
        constexpr std::size_t lng = field_index<&model::Position::lng>();
        constexpr std::size_t altitude = field_index<&model::Position::altitude>();
        double height = values[altitude];
        if ((present >> altitude & 1) == 0) {
            height = kMissing;
            ++positions_->absent_altitudes;
        }
        position(values[lat], values[lng], height);
    }
    template <auto Member>
    void text(std::string_view s) {
        if constexpr (same_member<Member, &model::StreamMetric::Custom::value>()) channels_.back().custom_name = s;
    }
    template <class E>
    void variant(std::size_t index) {
        if constexpr (std::is_same_v<E, model::StreamMetric>) channels_.back().metric = index;
    }
    template <auto Member>
    void list_begin() {
        if constexpr (same_member<Member, &model::Streams::timestamps>()) {
            target_ = &timestamps_;
        } else if constexpr (same_member<Member, &model::StreamData::Scalar::value>()) {
            target_ = &channels_.back().scalar.emplace(first_capacity_);
        } else if constexpr (same_member<Member, &model::StreamData::Position::value>()) {
            WalkedChannel& channel = channels_.back();
            channel.positions = true;
            channel.lat.emplace(first_capacity_);
            channel.lng.emplace(first_capacity_);
            channel.altitude.emplace(first_capacity_);
            positions_ = &channel;
            lat_room_ = channel.lat->room();
            lng_at_ = lat_room_.at;
            altitude_at_ = lat_room_.at;
        }
    }
    // The samples of the list just begun go straight into its column.
    template <auto Member>
    model::fast::SampleRoom& sample_room() {
        if (target_ == nullptr) target_ = &unused_;
        room_ = target_->room();
        return room_;
    }
    void more_room(model::fast::SampleRoom& room) { target_->more(room); }

    template <auto Member>
    void list_size(std::size_t) {
        if (room_.at != nullptr) {
            target_->kept(room_);
            room_ = {};
        }
        target_ = nullptr;
        if constexpr (same_member<Member, &model::StreamData::Position::value>()) {
            positions_->lat->kept(lat_room_);
            positions_->lng->kept({lng_at_, nullptr});
            positions_->altitude->kept({altitude_at_, nullptr});
            positions_ = nullptr;
        }
    }
    template <auto Member>
    void number(std::string_view, const json::Number& n) {
        if constexpr (std::is_same_v<decltype(Member), std::nullptr_t>) {
            if (target_ != nullptr) target_->push(n.as_double());
        } else if constexpr (same_member<Member, &model::Position::lat>()) {
            lat_ = n.as_double();
        } else if constexpr (same_member<Member, &model::Position::lng>()) {
            lng_ = n.as_double();
        } else if constexpr (same_member<Member, &model::Position::altitude>()) {
            altitude_ = n.as_double();
        }
    }
    template <auto Member>
    void real(double v) {
        if constexpr (same_member<Member, &model::Position::lat>()) {
            lat_ = v;
        } else if constexpr (same_member<Member, &model::Position::lng>()) {
            lng_ = v;
        } else if constexpr (same_member<Member, &model::Position::altitude>()) {
            altitude_ = v;
        }
    }
    template <auto Member>
    void null() {
        if constexpr (std::is_same_v<decltype(Member), std::nullptr_t>) {
            if (positions_ != nullptr) {
                ++positions_->null_entries;
                ++positions_->absent_altitudes;
                position(kMissing, 0.0, kMissing);
            }
        }
    }

    [[gnu::always_inline]] void position(double lat, double lng, double altitude) {
        if (lat_room_.at == lat_room_.limit) [[unlikely]] more_positions();
        *lat_room_.at++ = lat;
        *lng_at_++ = lng;
        *altitude_at_++ = altitude;
    }
    // The three fields have one length and one capacity: they grow together.
    [[gnu::noinline]] void more_positions() {
        positions_->lat->more(lat_room_);
        model::fast::SampleRoom lng{lng_at_, nullptr};
        positions_->lng->more(lng);
        lng_at_ = lng.at;
        model::fast::SampleRoom altitude{altitude_at_, nullptr};
        positions_->altitude->more(altitude);
        altitude_at_ = altitude.at;
    }

    std::expected<Table, std::string> table(Ragged ragged) && {
        std::vector<Column> columns;
        columns.reserve(channels_.size());
        const auto fields = model::field_names<Describe<model::Position>>();
        for (WalkedChannel& channel : channels_) {
            std::string name = channel.metric == kCustomMetric
                                   ? std::string(channel.custom_name)
                                   : std::string(Describe<model::StreamMetric>::variants[channel.metric]);
            if (!channel.positions) {
                const std::int64_t length = channel.scalar->length();
                columns.push_back(float_column(std::move(name), std::move(*channel.scalar).release(), length));
                continue;
            }
            std::vector<Column> children;
            const std::int64_t length = channel.lat->length();
            // Without a missing value a column keeps no bitmap: no pass over it.
            double* const lat = channel.lat->data();
            double* const altitude = channel.altitude->data();
            children.push_back(float_column(std::string(fields[0]), std::move(*channel.lat).release(), length));
            children.push_back(float_column(std::string(fields[1]), std::move(*channel.lng).release(), length));
            children.push_back(float_column(std::string(fields[2]), std::move(*channel.altitude).release(), length));
            if (channel.absent_altitudes != 0) settle_missing(children.back(), altitude);
            Column position = struct_column(std::move(name), length, std::move(children), {});
            if (channel.null_entries != 0) settle_missing(position, lat);
            // A latitude and a longitude are missing exactly where the whole entry is: the
            // entries' bitmap serves them too.
            for (std::size_t field = 0; field < 2; ++field) {
                position.children[field].validity = position.validity;
                position.children[field].null_count = position.null_count;
            }
            columns.push_back(std::move(position));
        }
        const std::int64_t length = timestamps_.length();
        return streams_table(float_column(std::string(kTimestamp), std::move(timestamps_).release(), length),
                             std::move(columns), ragged);
    }

private:
    static constexpr std::size_t kCustomMetric = model::alternative_count<model::StreamMetric> - 1;
    static_assert(Describe<model::StreamMetric>::variants[kCustomMetric] == "Custom");

    std::size_t first_capacity_;
    model::fast::TextStore texts_;  // custom names written with escapes, decoded
    DoubleBuffer timestamps_;
    std::vector<WalkedChannel> channels_;
    DoubleBuffer* target_ = nullptr;  // the sample list being read
    model::fast::SampleRoom room_;     // the room lent for it
    DoubleBuffer unused_{16};          // the samples of a list of doubles that is no column
    // The position list being read and the room of its three fields, which grow together.
    WalkedChannel* positions_ = nullptr;
    model::fast::SampleRoom lat_room_;
    double* lng_at_ = nullptr;
    double* altitude_at_ = nullptr;
    double lat_ = 0;
    double lng_ = 0;
    std::optional<double> altitude_;
};

}  // namespace

std::expected<Table, std::string> stream_columns(model::Workout& workout, Ragged ragged) {
    model::List<double> none;
    model::Streams* streams = workout.streams ? &*workout.streams : nullptr;
    model::List<double>& timestamps = streams != nullptr ? streams->timestamps : none;
    const auto length = [](const auto& list) { return static_cast<std::int64_t>(list.size()); };
    std::vector<Column> channels;
    if (streams != nullptr) {
        for (model::Stream& stream : streams->channels) {
            std::string name = own_name(stream.metric);
            if (auto* scalar = std::get_if<model::StreamData::Scalar>(&stream.data.v)) {
                const std::int64_t count = length(scalar->value);
                channels.push_back(float_column(std::move(name), take_samples(scalar->value), count));
            } else {
                channels.push_back(position_column(std::move(name), std::get<model::StreamData::Position>(stream.data.v).value));
            }
        }
    }
    const std::int64_t count = length(timestamps);
    return streams_table(float_column(std::string(kTimestamp), take_samples(timestamps), count), std::move(channels),
                         ragged);
}

std::optional<std::expected<Table, std::string>> walk_stream_columns(std::string_view text, Ragged ragged) {
    // As for the node walk: a text cut short means the general reader, at once.
    if (!model::fast::ends_as_object(text)) return std::nullopt;
    StreamSink sink(text.size());
    if (!model::fast::walk<model::Workout, true>(text, sink)) return std::nullopt;
    return std::move(sink).table(ragged);
}

namespace {

// ---- laps ----

// One lap as its columns take it, from a workout or from the text.
struct LapRow {
    std::optional<std::uint64_t> start_index;
    std::optional<std::uint64_t> end_index;
    std::size_t trigger = 0;  // the LapTrigger variant
    std::optional<std::string_view> trigger_name;
    std::optional<std::string_view> name;
    std::vector<std::pair<std::string_view, double>> summary;  // in key order, each key once
};

Table lap_table(const std::vector<LapRow>& laps) {
    // start_index, end_index, summary, trigger, name
    const auto fields = model::field_names<Describe<model::Lap>>();
    std::vector<ColumnBuilder> columns;
    columns.emplace_back(std::string(fields[0]), Type::UInt64);
    columns.emplace_back(std::string(fields[1]), Type::UInt64);
    columns.emplace_back(std::string(fields[3]), Type::LargeUtf8);
    columns.emplace_back(joined(fields[3], fields[4]), Type::LargeUtf8);
    columns.emplace_back(std::string(fields[4]), Type::LargeUtf8);

    // The union of the summaries' keys, in the maps' own (byte) order.
    std::set<std::string_view> keys;
    for (const LapRow& lap : laps) {
        for (const auto& entry : lap.summary) keys.insert(entry.first);
    }
    const std::size_t first_key = columns.size();
    for (std::string_view key : keys) {
        std::string name(fields[2]);
        name += '.';
        name += key;
        columns.emplace_back(std::move(name), Type::Float64);
    }

    for (const LapRow& lap : laps) {
        lap.start_index ? columns[0].u64(*lap.start_index) : columns[0].null();
        lap.end_index ? columns[1].u64(*lap.end_index) : columns[1].null();
        columns[2].text(Describe<model::LapTrigger>::variants[lap.trigger]);
        lap.trigger_name ? columns[3].text(*lap.trigger_name) : columns[3].null();
        lap.name ? columns[4].text(*lap.name) : columns[4].null();
        // Both in key order: one merge step per key.
        auto entry = lap.summary.begin();
        std::size_t at = first_key;
        for (std::string_view key : keys) {
            ColumnBuilder& column = columns[at++];
            if (entry != lap.summary.end() && entry->first == key) {
                column.f64(entry->second);
                ++entry;
            } else {
                column.null();
            }
        }
    }
    return finished(columns, static_cast<std::int64_t>(laps.size()));
}

// Takes the laps as the walk meets them.
class LapSink : public model::fast::NoSink {
public:
    model::fast::TextStore& texts() { return texts_; }

    template <class T>
    void begin() {
        if constexpr (std::is_same_v<T, model::Lap>) laps_.emplace_back();
    }
    template <class T>
    void end() {
        if constexpr (std::is_same_v<T, model::Lap>) settle(laps_.back().summary);
    }
    template <auto Member>
    void text(std::string_view s) {
        if constexpr (same_member<Member, &model::Lap::name>()) {
            laps_.back().name = s;
        } else if constexpr (same_member<Member, &model::LapTrigger::Custom::value>()) {
            laps_.back().trigger_name = s;
        }
    }
    template <class E>
    void variant(std::size_t index) {
        if constexpr (std::is_same_v<E, model::LapTrigger>) laps_.back().trigger = index;
    }
    template <auto Member>
    void map_begin() {
        if constexpr (same_member<Member, &model::Lap::summary>()) in_summary_ = true;
    }
    template <auto Member>
    void map_end() {
        if constexpr (same_member<Member, &model::Lap::summary>()) in_summary_ = false;
    }
    void key(std::string_view k) { key_ = k; }
    template <auto Member>
    void number(std::string_view, const json::Number& n) {
        if constexpr (std::is_same_v<decltype(Member), std::nullptr_t>) {
            if (in_summary_) laps_.back().summary.emplace_back(key_, n.as_double());
        } else if constexpr (same_member<Member, &model::Lap::start_index>()) {
            laps_.back().start_index = n.u;
        } else if constexpr (same_member<Member, &model::Lap::end_index>()) {
            laps_.back().end_index = n.u;
        }
    }

    Table table() const { return lap_table(laps_); }

private:
    // As a map is read: in key order, a repeated key keeping its last value.
    static void settle(std::vector<std::pair<std::string_view, double>>& summary) {
        std::stable_sort(summary.begin(), summary.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        std::size_t kept = 0;
        for (std::size_t i = 0; i < summary.size(); ++i) {
            if (i + 1 < summary.size() && summary[i + 1].first == summary[i].first) continue;
            summary[kept++] = summary[i];
        }
        summary.resize(kept);
    }

    model::fast::TextStore texts_;  // names and keys written with escapes, decoded
    std::vector<LapRow> laps_;
    bool in_summary_ = false;
    std::string_view key_;
};

// ---- sets ----

// The kinds whose nearest enclosing node each set row names (NodeKind's variant indices).
constexpr std::size_t kFirstGroupKind = 1;  // Exercise, after Set
constexpr std::size_t kGroupKinds = 7;      // up to Program, before Custom
static_assert(Describe<model::NodeKind>::variants[kFirstGroupKind] == "Exercise");
static_assert(Describe<model::NodeKind>::variants[kFirstGroupKind + kGroupKinds - 1] == "Program");

// What a set row says of a node: its id and name.
struct NodeNames {
    std::string_view id;
    std::optional<std::string_view> name;
};

// The nearest enclosing node of each group kind, where there is one.
using Groups = std::array<std::optional<NodeNames>, kGroupKinds>;

// The columns of the set rows, filled one set at a time.
class SetTable {
public:
    SetTable() {
        const auto node = model::field_names<Describe<model::Node>>();  // id, kind, name, ...
        columns_.emplace_back(std::string(node[0]), Type::LargeUtf8);
        columns_.emplace_back(std::string(node[2]), Type::LargeUtf8);
        for (std::size_t k = 0; k < kGroupKinds; ++k) {
            const std::string kind = snake(Describe<model::NodeKind>::variants[kFirstGroupKind + k]);
            columns_.emplace_back(joined(kind, node[0]), Type::LargeUtf8);
            columns_.emplace_back(joined(kind, node[2]), Type::LargeUtf8);
        }
        columns_.emplace_back("position", Type::UInt64);
        columns_.emplace_back("measure_count", Type::UInt32);
        measures_.emplace(columns_);
        const auto leaf = model::field_names<Describe<model::NodePayload::Leaf>>();  // measures, intensity
        intensity_.emplace(columns_, leaf[1]);
        // The rest column takes its name from the exercise's rest field, by member, not by text.
        rest_ = columns_.size();
        columns_.emplace_back(std::string(model::member_name<&model::NodePayload::Exercise::rest_seconds>()),
                              Type::Float64);
    }

    // `measures` needs to hold only the first measure of each variant; `measure_count` counts them all.
    void row(const NodeNames& set, const Groups& groups, std::uint64_t position, std::size_t measure_count,
             const model::List<model::Measure>& measures, const std::optional<model::Intensity>& intensity,
             std::optional<double> rest) {
        std::size_t at = 0;
        columns_[at++].text(set.id);
        set.name ? columns_[at++].text(*set.name) : columns_[at++].null();
        for (const std::optional<NodeNames>& group : groups) {
            group ? columns_[at++].text(group->id) : columns_[at++].null();
            group && group->name ? columns_[at++].text(*group->name) : columns_[at++].null();
        }
        columns_[at++].u64(position);
        columns_[at++].u32(static_cast<std::uint32_t>(measure_count));
        measures_->row(measures);
        intensity_->row(intensity);
        rest ? columns_[rest_].f64(*rest) : columns_[rest_].null();
        ++rows_;
    }

    Table finish() { return finished(columns_, rows_); }

private:
    std::vector<ColumnBuilder> columns_;
    std::optional<GroupColumns<model::Measure>> measures_;
    std::optional<ChoiceColumns<model::Intensity>> intensity_;
    std::size_t rest_ = 0;
    std::int64_t rows_ = 0;
};

NodeNames names_of(const model::Node& node) {
    NodeNames names{node.id, std::nullopt};
    if (node.name) names.name = *node.name;
    return names;
}

// The set rows of a read workout, depth first.
class SetWalk {
public:
    void visit(const model::Node& node, std::uint64_t position, const std::optional<double>* rest) {
        if (const auto* leaf = std::get_if<model::NodePayload::Leaf>(&node.payload.v)) {
            Groups groups;
            for (std::size_t k = 0; k < kGroupKinds; ++k) {
                if (const model::Node* group = nearest_[kFirstGroupKind + k]) groups[k] = names_of(*group);
            }
            table_.row(names_of(node), groups, position, leaf->measures.size(), leaf->measures, leaf->intensity,
                       rest != nullptr ? **rest : std::optional<double>());
        }
        const std::size_t kind = node.kind.v.index();
        const model::Node* outer = nearest_[kind];
        nearest_[kind] = &node;
        const std::optional<double>* inner_rest = rest;
        std::visit(
            [&](const auto& payload) {
                if constexpr (requires { payload.rest_seconds; }) {
                    if (payload.rest_seconds) inner_rest = &payload.rest_seconds;
                }
            },
            node.payload.v);
        for (std::size_t i = 0; i < node.children.size(); ++i) visit(node.children[i], i, inner_rest);
        nearest_[kind] = outer;
    }

    Table finish() { return table_.finish(); }

private:
    SetTable table_;
    std::array<const model::Node*, model::alternative_count<model::NodeKind>> nearest_{};
};

// Whether A is one of the alternatives of the enumeration E.
template <class A, class E>
constexpr bool alternative_of() {
    return []<std::size_t... I>(std::index_sequence<I...>) {
        return (std::is_same_v<A, model::alternative<E, I>> || ...);
    }(std::make_index_sequence<model::alternative_count<E>>{});
}

template <class T>
constexpr bool unit_enum() {
    if constexpr (requires { &T::v; }) return model::all_units<T>();
    else return false;
}

// Makes alternative `index` of `value`, default-valued.
template <class E>
void make_alternative(E& value, std::size_t index) {
    model::each_alternative<E>([&](auto i) {
        if (i() == index) value.v.template emplace<i()>();
    });
}

template <class D>
struct DescribedType;
template <class T>
struct DescribedType<Describe<T>> {
    using type = T;
};

template <class T>
T number_as(const json::Number& n) {
    if constexpr (std::is_same_v<T, double>) return n.as_double();
    else return static_cast<T>(n.u);  // the walk hands over only unsigned integers in T's range
}

// A free value as the general reader reads it (keys sorted, a repeated key's last value):
// the text is already checked, so the read cannot fail.
model::JsonValue free_value_of(std::string_view text) {
    json::Reader reader(text);
    json::TextSource source(reader);
    model::JsonValue value;
    (void)model::read_into(source, value);
    return value;
}

// Takes the nodes as the walk meets them, and the measures and intensity of the sets.  A
// node's members come in any order (its payload usually after its children), so the rows
// are made at the end, when every node is known.
class SetSink : public model::fast::NoSink {
public:
    model::fast::TextStore& texts() { return texts_; }

    template <class T>
    void begin() {
        if constexpr (std::is_same_v<T, model::Node>) {
            const std::size_t parent = open_.empty() ? kNone : open_.back();
            const std::uint64_t position = parent == kNone ? 0 : nodes_[parent].children++;
            WalkedNode& node = nodes_.emplace_back();
            node.parent = parent;
            node.position = position;
            open_.push_back(nodes_.size() - 1);
        }
    }
    template <class T>
    void end() {
        if constexpr (std::is_same_v<T, model::Node>) open_.pop_back();
    }
    template <class E>
    void enum_end() {
        if constexpr (std::is_same_v<E, model::NodePayload>) {
            in_leaf_ = false;
        } else if constexpr (std::is_same_v<E, model::Measure>) {
            if (!in_leaf_) return;
            WalkedSet& set = sets_.back();
            ++set.measure_count;
            const std::size_t variant = measure_.v.index();
            if ((set.variants & (1u << variant)) == 0) {
                set.variants |= 1u << variant;
                set.measures.push_back(std::move(measure_));
            }
        }
    }
    template <class E>
    void variant(std::size_t index) {
        if constexpr (std::is_same_v<E, model::NodeKind>) {
            nodes_[open_.back()].kind = index;
        } else if constexpr (std::is_same_v<E, model::NodePayload>) {
            if (index == kLeaf) {
                sets_.emplace_back().node = open_.back();
                in_leaf_ = true;
            }
        } else if constexpr (std::is_same_v<E, model::Measure>) {
            if (in_leaf_) make_alternative(measure_, index);
        } else if constexpr (std::is_same_v<E, model::Intensity>) {
            if (in_leaf_) make_alternative(sets_.back().intensity.emplace(), index);
        } else if constexpr (unit_enum<E>()) {
            if (unit_ != nullptr) unit_(measure_, index);
            unit_ = nullptr;
        }
    }
    template <class D, std::size_t I>
    void field() {
        using A = typename DescribedType<D>::type;
        if constexpr (alternative_of<A, model::Measure>() && unit_enum<model::fast::field_type_of<D, I>>()) {
            if (in_leaf_) {
                unit_ = [](model::Measure& measure, std::size_t index) {
                    make_alternative(std::get<A>(measure.v).*(std::get<I>(D::fields).member), index);
                };
            }
        }
    }
    template <auto Member>
    void text(std::string_view s) {
        if constexpr (same_member<Member, &model::Node::id>()) {
            nodes_[open_.back()].names.id = s;
        } else if constexpr (same_member<Member, &model::Node::name>()) {
            nodes_[open_.back()].names.name = s;
        } else if constexpr (!std::is_same_v<decltype(Member), std::nullptr_t>) {
            if (in_leaf_) {
                if (auto* target = prescribed<Member>()) *target = model::Text(s);
            }
        }
    }
    template <auto Member>
    void number(std::string_view, const json::Number& n) {
        if constexpr (!std::is_same_v<decltype(Member), std::nullptr_t>) {
            using Owner = typename model::fast::MemberOf<decltype(Member)>::owner;
            if constexpr (alternative_of<Owner, model::NodePayload>()) {
                if constexpr (requires { &Owner::rest_seconds; }) {
                    if constexpr (same_member<Member, &Owner::rest_seconds>()) {
                        nodes_[open_.back()].rest = n.as_double();
                    }
                }
            } else if (in_leaf_) {
                using T = typename model::Unwrapped<typename model::fast::MemberOf<decltype(Member)>::type>::type;
                if (auto* target = prescribed<Member>()) *target = number_as<T>(n);
            }
        }
    }
    template <auto Member>
    void free_value(const char* b, const char* e) {
        if constexpr (!std::is_same_v<decltype(Member), std::nullptr_t>) {
            if (in_leaf_) {
                if (auto* target = prescribed<Member>()) {
                    *target = free_value_of(std::string_view(b, static_cast<std::size_t>(e - b)));
                }
            }
        }
    }

    Table table() {
        // Pre-order, as count_sets counts: a set's row comes before those of the sets
        // below it, even when its payload was written after its children.
        const auto earlier = [](const WalkedSet& a, const WalkedSet& b) { return a.node < b.node; };
        if (!std::is_sorted(sets_.begin(), sets_.end(), earlier)) std::sort(sets_.begin(), sets_.end(), earlier);
        SetTable table;
        for (const WalkedSet& set : sets_) {
            const WalkedNode& node = nodes_[set.node];
            Groups groups;
            std::optional<double> rest;
            bool rest_found = false;
            for (std::size_t up = node.parent; up != kNone; up = nodes_[up].parent) {
                const WalkedNode& outer = nodes_[up];
                if (outer.kind >= kFirstGroupKind && outer.kind < kFirstGroupKind + kGroupKinds &&
                    !groups[outer.kind - kFirstGroupKind]) {
                    groups[outer.kind - kFirstGroupKind] = outer.names;
                }
                if (!rest_found && outer.rest) {
                    rest = outer.rest;
                    rest_found = true;
                }
            }
            table.row(node.names, groups, node.position, set.measure_count, set.measures, set.intensity, rest);
        }
        return table.finish();
    }

private:
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    static constexpr std::size_t kLeaf = 0;
    static_assert(std::is_same_v<model::alternative<model::NodePayload, kLeaf>, model::NodePayload::Leaf>);

    // The member of the measure or intensity being read that `Member` names; null for a
    // member of anything else.
    template <auto Member>
    auto* prescribed() {
        using Owner = typename model::fast::MemberOf<decltype(Member)>::owner;
        using T = typename model::fast::MemberOf<decltype(Member)>::type;
        if constexpr (alternative_of<Owner, model::Measure>()) {
            return &(std::get<Owner>(measure_.v).*Member);
        } else if constexpr (alternative_of<Owner, model::Intensity>()) {
            auto& intensity = sets_.back().intensity;
            return intensity ? &(std::get<Owner>(intensity->v).*Member) : static_cast<T*>(nullptr);
        } else {
            return static_cast<T*>(nullptr);
        }
    }

    struct WalkedNode {
        std::size_t parent = kNone;
        std::uint64_t position = 0;
        std::size_t kind = 0;  // the NodeKind variant
        NodeNames names;
        std::optional<double> rest;  // the rest its payload states
        std::uint64_t children = 0;  // children begun so far
    };
    struct WalkedSet {
        std::size_t node = 0;
        std::size_t measure_count = 0;
        std::uint32_t variants = 0;          // the measure variants held, a bit each
        model::List<model::Measure> measures;  // the first of each variant
        std::optional<model::Intensity> intensity;
    };

    model::fast::TextStore texts_;  // ids and names written with escapes, decoded
    std::vector<WalkedNode> nodes_;
    std::vector<std::size_t> open_;  // the nodes being read, outermost first
    std::vector<WalkedSet> sets_;
    bool in_leaf_ = false;
    model::Measure measure_;  // the measure being read
    void (*unit_)(model::Measure&, std::size_t) = nullptr;  // where the next unit goes
};

// Whether the walk may read the text; as for the node walk, a text that does not end as
// an object means the general reader, at once.
bool walkable(std::string_view text) { return model::fast::ends_as_object(text); }

}  // namespace

Table lap_columns(const model::Workout& workout) {
    std::vector<LapRow> laps;
    laps.reserve(workout.laps.size());
    for (const model::Lap& lap : workout.laps) {
        LapRow& row = laps.emplace_back();
        row.start_index = lap.start_index;
        row.end_index = lap.end_index;
        row.trigger = lap.trigger.v.index();
        if (const auto* custom = std::get_if<model::LapTrigger::Custom>(&lap.trigger.v)) row.trigger_name = custom->value;
        if (lap.name) row.name = *lap.name;
        for (const auto& [key, value] : lap.summary.entries) row.summary.emplace_back(key, value);
    }
    return lap_table(laps);
}

std::optional<Table> walk_lap_columns(std::string_view text) {
    if (!walkable(text)) return std::nullopt;
    LapSink sink;
    // Lenient at once, as the stream walk: a strict walk would hand tags not first to a
    // lenient one anyway, and two walks per sink double this unit's compile for a few
    // percent of a call.
    if (!model::fast::walk<model::Workout, true>(text, sink)) return std::nullopt;
    return sink.table();
}

Table set_columns(const model::Workout& workout) {
    SetWalk walk;
    walk.visit(workout.root, 0, nullptr);
    return walk.finish();
}

std::optional<Table> walk_set_columns(std::string_view text) {
    if (!walkable(text)) return std::nullopt;
    // The measures and intensities held for the rows live no longer than the call.
    model::Arena arena;
    model::Arena::Scope scope(arena);
    SetSink sink;
    if (!model::fast::walk<model::Workout, true>(text, sink)) return std::nullopt;
    return sink.table();
}

}  // namespace tavrik::ops
