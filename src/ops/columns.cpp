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

#include "model/describe.hpp"
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

Column sample_column(std::string name, model::List<double>& samples, std::int64_t rows) {
    Column column;
    column.name = std::move(name);
    column.type = Type::Float64;
    column.length = rows;
    const auto count = static_cast<std::int64_t>(samples.size());
    if (count == rows) {
        column.values = take_samples(samples);
        return column;
    }
    // Padded: a copy of this column alone, with nulls after its samples.
    std::vector<double> values(samples.begin(), samples.end());
    values.resize(static_cast<std::size_t>(rows), 0.0);
    arrow::Validity validity;
    validity.reserve(static_cast<std::size_t>(rows));
    for (std::int64_t i = 0; i < rows; ++i) validity.push(i < count);
    column.values = Buffer::adopt(std::move(values));
    std::move(validity).finish(column);
    return column;
}

Column position_column(std::string name, const model::List<std::optional<model::Position>>& entries,
                       std::int64_t rows) {
    const auto fields = model::field_names<Describe<model::Position>>();
    ColumnBuilder lat(std::string(fields[0]), Type::Float64);
    ColumnBuilder lng(std::string(fields[1]), Type::Float64);
    ColumnBuilder altitude(std::string(fields[2]), Type::Float64);
    for (ColumnBuilder* field : {&lat, &lng, &altitude}) field->reserve(static_cast<std::size_t>(rows));
    arrow::Validity validity;
    validity.reserve(static_cast<std::size_t>(rows));
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
    while (validity.length() < rows) {
        validity.push(false);
        lat.null();
        lng.null();
        altitude.null();
    }
    Column column;
    column.name = std::move(name);
    column.type = Type::Struct;
    column.length = rows;
    column.children.push_back(std::move(lat).finish());
    column.children.push_back(std::move(lng).finish());
    column.children.push_back(std::move(altitude).finish());
    std::move(validity).finish(column);
    return column;
}

std::size_t sample_count(const model::StreamData& data) {
    return std::visit([](const auto& samples) { return samples.value.size(); }, data.v);
}

}  // namespace

std::expected<Table, std::string> stream_columns(model::Workout& workout, Ragged ragged) {
    static constexpr std::string_view kTimestamp = "timestamp";
    model::List<double> none;
    model::Streams* streams = workout.streams ? &*workout.streams : nullptr;
    model::List<double>& timestamps = streams != nullptr ? streams->timestamps : none;

    // Names and lengths first: a ragged channel fails before anything is moved.
    std::set<std::string> taken{std::string(kTimestamp)};
    std::vector<std::string> names;
    auto rows = static_cast<std::int64_t>(timestamps.size());
    if (streams != nullptr) {
        for (const model::Stream& stream : streams->channels) {
            names.push_back(unique_name(taken, own_name(stream.metric)));
            const std::size_t count = sample_count(stream.data);
            if (count == timestamps.size()) continue;
            if (ragged == Ragged::Error) {
                return std::unexpected("channel `" + names.back() + "` has " + std::to_string(count) +
                                       " samples but there are " + std::to_string(timestamps.size()) +
                                       " timestamps (ragged=\"pad\" pads the shorter columns with nulls)");
            }
            rows = std::max(rows, static_cast<std::int64_t>(count));
        }
    }

    Table table;
    table.rows = rows;
    table.columns.push_back(sample_column(std::string(kTimestamp), timestamps, rows));
    if (streams == nullptr) return table;
    for (std::size_t i = 0; i < streams->channels.size(); ++i) {
        model::StreamData& data = streams->channels[i].data;
        if (auto* scalar = std::get_if<model::StreamData::Scalar>(&data.v)) {
            table.columns.push_back(sample_column(std::move(names[i]), scalar->value, rows));
        } else {
            const auto& positions = std::get<model::StreamData::Position>(data.v).value;
            table.columns.push_back(position_column(std::move(names[i]), positions, rows));
        }
    }
    return table;
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
