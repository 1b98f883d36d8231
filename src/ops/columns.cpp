#include "ops/columns.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "json/pages.hpp"
#include "model/describe.hpp"
#include "model/fast_read.hpp"
#include "model/forms.hpp"
#include "model/named.hpp"

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

// A float64 column with nulls, filled from the text.
struct NullableDoubles {
    DoubleBuffer values;
    arrow::Validity validity;

    void value(double v) {
        values.push(v);
        validity.push(true);
    }
    void null() {
        values.push(0.0);
        validity.push(false);
    }
    Column finish(std::string name) && {
        const std::int64_t length = values.length();
        Column column = float_column(std::move(name), std::move(values).release(), length);
        std::move(validity).finish(column);
        return column;
    }
};

struct WalkedChannel {
    std::size_t metric = 0;  // the StreamMetric variant
    std::string_view custom_name;
    bool positions = false;
    std::optional<DoubleBuffer> scalar;
    std::optional<NullableDoubles> lat, lng, altitude;
    arrow::Validity entries;
};

using model::fast::same_member;

// Takes the samples as the walk scans them, straight into column buffers.
class StreamSink : public model::fast::NoSink {
public:
    // A list holds at most one number per two bytes of the text.  The first buffers are
    // sized for that but stay just below the mapped size: the heap serves them again call
    // after call, where fresh pages would fault in one by one.  A longer list moves once
    // to mapped pages, which then grow without a copy.
    explicit StreamSink(std::size_t text_bytes)
        : first_capacity_(std::clamp<std::size_t>(text_bytes / 2 + 1, 16, json::kPagesFrom / sizeof(double) - 1)),
          timestamps_(first_capacity_) {}

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
    void end() {
        if constexpr (std::is_same_v<T, model::Position>) {
            WalkedChannel& channel = channels_.back();
            channel.entries.push(true);
            channel.lat->value(lat_);
            channel.lng->value(lng_);
            altitude_ ? channel.altitude->value(*altitude_) : channel.altitude->null();
        }
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
            for (auto* field : {&channel.lat, &channel.lng, &channel.altitude}) {
                field->emplace(NullableDoubles{DoubleBuffer(first_capacity_), {}});
            }
            in_positions_ = true;
        }
    }
    template <auto Member>
    void list_size(std::size_t) {
        target_ = nullptr;
        if constexpr (same_member<Member, &model::StreamData::Position::value>()) in_positions_ = false;
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
    void null() {
        if constexpr (std::is_same_v<decltype(Member), std::nullptr_t>) {
            if (in_positions_) {
                WalkedChannel& channel = channels_.back();
                channel.entries.push(false);
                channel.lat->null();
                channel.lng->null();
                channel.altitude->null();
            }
        }
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
            children.push_back(std::move(*channel.lat).finish(std::string(fields[0])));
            children.push_back(std::move(*channel.lng).finish(std::string(fields[1])));
            children.push_back(std::move(*channel.altitude).finish(std::string(fields[2])));
            const std::int64_t length = channel.entries.length();
            columns.push_back(struct_column(std::move(name), length, std::move(children), std::move(channel.entries)));
        }
        const std::int64_t length = timestamps_.length();
        return streams_table(float_column(std::string(kTimestamp), std::move(timestamps_).release(), length),
                             std::move(columns), ragged);
    }

private:
    static constexpr std::size_t kCustomMetric = model::alternative_count<model::StreamMetric> - 1;
    static_assert(Describe<model::StreamMetric>::variants[kCustomMetric] == "Custom");

    std::size_t first_capacity_;
    DoubleBuffer timestamps_;
    std::vector<WalkedChannel> channels_;
    DoubleBuffer* target_ = nullptr;  // the sample list being read
    bool in_positions_ = false;
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
    // As for the node walk: escapes the walk gives up on mean the general reader, at once.
    if (!model::fast::escapes_only_in_names(text)) return std::nullopt;
    StreamSink sink(text.size());
    if (!model::fast::walk<model::Workout, true>(text, sink)) return std::nullopt;
    return std::move(sink).table(ragged);
}

Table lap_columns(const model::Workout& workout) {
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
    for (const model::Lap& lap : workout.laps) {
        for (const auto& entry : lap.summary.entries) keys.insert(entry.first);
    }
    const std::size_t first_key = columns.size();
    for (std::string_view key : keys) {
        std::string name(fields[2]);
        name += '.';
        name += key;
        columns.emplace_back(std::move(name), Type::Float64);
    }

    for (const model::Lap& lap : workout.laps) {
        lap.start_index ? columns[0].u64(*lap.start_index) : columns[0].null();
        lap.end_index ? columns[1].u64(*lap.end_index) : columns[1].null();
        columns[2].text(variant_name(lap.trigger));
        if (const auto* custom = std::get_if<model::LapTrigger::Custom>(&lap.trigger.v)) {
            columns[3].text(custom->value);
        } else {
            columns[3].null();
        }
        lap.name ? columns[4].text(*lap.name) : columns[4].null();
        // Both in key order: one merge step per key.
        auto entry = lap.summary.entries.begin();
        std::size_t at = first_key;
        for (std::string_view key : keys) {
            ColumnBuilder& column = columns[at++];
            if (entry != lap.summary.entries.end() && std::string_view(entry->first) == key) {
                column.f64(entry->second);
                ++entry;
            } else {
                column.null();
            }
        }
    }
    return finished(columns, static_cast<std::int64_t>(workout.laps.size()));
}

namespace {

// The kinds whose nearest enclosing node each set row names (NodeKind's variant indices).
constexpr std::size_t kFirstGroupKind = 1;  // Exercise, after Set
constexpr std::size_t kGroupKinds = 7;      // up to Program, before Custom
static_assert(Describe<model::NodeKind>::variants[kFirstGroupKind] == "Exercise");
static_assert(Describe<model::NodeKind>::variants[kFirstGroupKind + kGroupKinds - 1] == "Program");

class SetWalk {
public:
    SetWalk() {
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
        const auto exercise = model::field_names<Describe<model::NodePayload::Exercise>>();
        // The rest column takes its name from the exercise's rest field, by member, not by text.
        static_assert(std::get<2>(Describe<model::NodePayload::Exercise>::fields).member ==
                      &model::NodePayload::Exercise::rest_seconds);
        rest_ = columns_.size();
        columns_.emplace_back(std::string(exercise[2]), Type::Float64);
    }

    void visit(const model::Node& node, std::uint64_t position, const std::optional<double>* rest) {
        if (const auto* leaf = std::get_if<model::NodePayload::Leaf>(&node.payload.v)) row(node, *leaf, position, rest);
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

    Table finish() { return finished(columns_, rows_); }

private:
    void row(const model::Node& node, const model::NodePayload::Leaf& leaf, std::uint64_t position,
             const std::optional<double>* rest) {
        std::size_t at = 0;
        columns_[at++].text(node.id);
        node.name ? columns_[at++].text(*node.name) : columns_[at++].null();
        for (std::size_t k = 0; k < kGroupKinds; ++k) {
            const model::Node* group = nearest_[kFirstGroupKind + k];
            group != nullptr ? columns_[at++].text(group->id) : columns_[at++].null();
            group != nullptr && group->name ? columns_[at++].text(*group->name) : columns_[at++].null();
        }
        columns_[at++].u64(position);
        columns_[at++].u32(static_cast<std::uint32_t>(leaf.measures.size()));
        measures_->row(leaf.measures);
        intensity_->row(leaf.intensity);
        rest != nullptr ? columns_[rest_].f64(**rest) : columns_[rest_].null();
        ++rows_;
    }

    std::vector<ColumnBuilder> columns_;
    std::optional<GroupColumns<model::Measure>> measures_;
    std::optional<ChoiceColumns<model::Intensity>> intensity_;
    std::size_t rest_ = 0;
    std::array<const model::Node*, model::alternative_count<model::NodeKind>> nearest_{};
    std::int64_t rows_ = 0;
};

}  // namespace

Table set_columns(const model::Workout& workout) {
    SetWalk walk;
    walk.visit(workout.root, 0, nullptr);
    return walk.finish();
}

}  // namespace tavrik::ops
