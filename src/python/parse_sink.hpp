// A sink of the fast walk that builds the result of parse_workout while it reads: the same
// values, in the same order, with the same members left out, as the conversion of the
// model builds (model/emit.hpp), all derived from the descriptions.
//
// It is written over a Backend that makes the values, so that it needs no Python: the
// module builds Python objects with it, and the fuzz target builds a plain tree with it
// and compares that with the one the model's emit() gives.  A backend offers
//   Value                      a pointer-like handle, nullptr for a failure
//   none(), boolean(b), u64(u), i64(i), f64(d), str(s)     new values
//   name(s)        the key for a name of the format (static storage), borrowed
//   name_value(s)  the same name as a new value
//   data_key(s)    the key for a key of the data, borrowed for the call
//   dict(n)        a new dict for n entries; set(dict, key, value) takes the value
//   list(items, n) a list that takes the n values
//   empty_list(v), empty_dict(v), release(v)
//
// Anything the sink cannot build exactly as the conversion would (a required member given
// as null, a failed allocation) marks it failed; the caller then drops what was built and
// reads the text the general way.  Every value is owned by one place at a time: the stack
// of values under construction, a container, or the result.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "json/number.hpp"
#include "json/reader.hpp"
#include "model/describe.hpp"
#include "model/fast_read.hpp"
#include "model/forms.hpp"
#include "ops/entry_sink.hpp"
#include "ops/node_view.hpp"

namespace tavrik::python {

namespace build {

using model::ElementOf;
using model::fast::MemberOf;

// The type of the value that member pointer Member holds, without optional<>.
template <auto Member>
using member_value_t = typename model::Unwrapped<typename MemberOf<decltype(Member)>::type>::type;

// What an enumeration's variant holds, as the conversion writes it.
enum class Content : std::uint8_t { Unit, Newtype, Record, Flatten };

struct EnumInfo {
    model::Style style;
    std::string_view content_key;
    const std::string_view* names;
    const Content* contents;
};

template <class E>
struct EnumTable {
    using V = decltype(E::v);
    template <std::size_t I>
    static constexpr Content content() {
        using A = std::variant_alternative_t<I, V>;
        if constexpr (model::UnitAlternative<A>) {
            return Content::Unit;
        } else if constexpr (model::NewtypeAlternative<A>) {
            return Content::Newtype;
        } else if constexpr (model::Describe<A>::style == model::Style::Flatten) {
            return Content::Flatten;
        } else {
            return Content::Record;
        }
    }
    static constexpr auto contents = []<std::size_t... I>(std::index_sequence<I...>) {
        return std::array<Content, sizeof...(I)>{content<I>()...};
    }(std::make_index_sequence<std::variant_size_v<V>>{});
    static constexpr std::string_view content_key() {
        if constexpr (requires { model::Describe<E>::content_key; }) {
            return model::Describe<E>::content_key;
        } else {
            return {};
        }
    }
    static constexpr EnumInfo info{model::Describe<E>::style, content_key(), model::Describe<E>::variants.data(),
                                   contents.data()};
};

// What the closing of a record needs to know of each field.
enum class Absent : std::uint8_t {
    Refused,  // a value of its own in the model: absent or null, the build gives up
    Left,     // an optional: left out
    Empty,    // a list or map: absent means empty, left out
};

struct FieldInfo {
    std::string_view name;
    Absent absent;
    bool omit_empty_list;  // a list that the conversion leaves out when empty
    bool omit_empty_map;   // a map that the conversion leaves out when empty
};

template <class T>
struct RecordTable {
    using D = model::Describe<T>;
    static constexpr std::size_t n = model::field_count<D>();
    template <std::size_t I>
    static constexpr FieldInfo info() {
        using M = model::fast::field_type_of<D, I>;
        constexpr auto presence = std::get<I>(D::fields).presence;
        constexpr bool may_lack = model::detail::IsOptional<M>::value || model::detail::IsVector<M>::value ||
                                  model::detail::IsSortedMap<M>::value;
        return FieldInfo{std::get<I>(D::fields).name,
                         presence == model::Presence::Required || !may_lack ? Absent::Refused
                         : model::detail::IsOptional<M>::value              ? Absent::Left
                                                                            : Absent::Empty,
                         presence != model::Presence::Required && model::detail::IsVector<M>::value,
                         presence != model::Presence::Required && model::detail::IsSortedMap<M>::value};
    }
    static constexpr auto fields = []<std::size_t... I>(std::index_sequence<I...>) {
        return std::array<FieldInfo, sizeof...(I)>{info<I>()...};
    }(std::make_index_sequence<n>{});
};

// The key of the tag in the tagged forms; the conversion writes the same literal.
inline constexpr std::string_view kTypeKey = model::kTagKey;

}  // namespace build

// A stack of plain values (the handles under construction, the order of a map's
// entries): unlike a vector it opens a record's slots with one check of its room, keeps
// its growth out of line so that the walk's many pushes stay small, and starts in room
// of its own, enough for a small document, so that such a call allocates nothing for it.
template <class Value>
class ValueStack {
public:
    ValueStack() = default;
    ValueStack(const ValueStack&) = delete;
    ValueStack& operator=(const ValueStack&) = delete;
    ~ValueStack() {
        if (data_ != own()) std::allocator<Value>().deallocate(data_, capacity_);
    }

    std::size_t size() const { return size_; }
    Value* data() { return data_; }
    Value* begin() { return data_; }
    Value* end() { return data_ + size_; }
    Value& operator[](std::size_t i) { return data_[i]; }

    [[gnu::always_inline]] void push_back(Value v) {
        if (size_ == capacity_) grow(1);
        data_[size_++] = v;
    }
    // n empty slots on top.
    [[gnu::always_inline]] void push_empty(std::size_t n) {
        if (capacity_ - size_ < n) grow(n);
        for (std::size_t i = 0; i < n; ++i) data_[size_ + i] = Value{};
        size_ += n;
    }
    void pop_back() { --size_; }
    // Forgets the entries from n on; they have been handed over or released.
    void truncate(std::size_t n) { size_ = n; }
    void clear() { size_ = 0; }

private:
    static constexpr std::size_t kInline = 128;

    [[gnu::noinline]] void grow(std::size_t more) {
        const std::size_t capacity = std::max(2 * capacity_, size_ + more);
        Value* data = std::allocator<Value>().allocate(capacity);
        std::memcpy(data, data_, size_ * sizeof(Value));
        if (data_ != own()) std::allocator<Value>().deallocate(data_, capacity_);
        data_ = data;
        capacity_ = capacity;
    }

    Value* own() { return reinterpret_cast<Value*>(inline_); }

    // Raw room, so that opening a stack writes nothing to it.
    static_assert(std::is_trivially_copyable_v<Value> && std::is_trivially_destructible_v<Value>);
    alignas(Value) std::byte inline_[kInline * sizeof(Value)];
    Value* data_ = own();
    std::size_t size_ = 0;
    std::size_t capacity_ = kInline;
};

template <class Backend>
class BuildSink : public model::fast::NoSink {
public:
    using Value = typename Backend::Value;
    static constexpr bool kWantsNumbers = true;

    // Strings written with escapes are decoded into `texts`, which has to live as long as
    // the entries (their ids point there).
    BuildSink(Backend& backend, ops::NodeEntries& entries, model::fast::TextStore& texts)
        : b_(backend), entries_(entries, texts), texts_(texts) {}
    ~BuildSink() {
        for (Value v : values_) release(v);
        release(result_);
    }
    BuildSink(const BuildSink&) = delete;
    BuildSink& operator=(const BuildSink&) = delete;

    bool failed() const { return failed_; }
    model::fast::TextStore& texts() { return texts_; }
    // The finished value, handed over; nullptr when the build failed or is unfinished.
    Value take() {
        if (failed_ || depth_ != 0) return nullptr;
        Value v = result_;
        result_ = nullptr;
        return v;
    }

    // ---- records ----

    template <class T>
    void begin() {
        entries_.template begin<T>();
        if (failed_) return;
        open_record(model::field_count<model::Describe<T>>());
    }

    template <class D, std::size_t I>
    void field() {
        if (failed_) return;
        top().slot = static_cast<std::uint8_t>(I);
    }

    template <class T>
    void end() {
        entries_.template end<T>();
        if (failed_) return;
        close_record<T>();
    }

    // ---- enumerations ----

    template <class E>
    void enum_begin() {
        if (failed_) return;
        push_frame(Frame::Enum, false);
        top().info = &build::EnumTable<E>::info;
    }

    template <class E>
    void variant(std::size_t index) {
        entries_.template variant<E>(index);
        if (failed_) return;
        top().tag = static_cast<std::uint8_t>(index);
    }

    template <class E>
    void enum_end() {
        if (failed_) return;
        close_enum<E>();
    }

    // ---- lists and maps ----

    template <auto Member>
    void list_begin() {
        if (failed_) return;
        using L = build::member_value_t<Member>;
        push_frame(Frame::List, std::is_same_v<typename build::ElementOf<L>::type, double>);
    }

    template <auto Member>
    void list_size(std::size_t n) {
        entries_.template list_size<Member>(n);
        if (failed_) return;
        close_list(n);
    }

    template <auto Member>
    void map_begin() {
        if (failed_) return;
        using M = build::member_value_t<Member>;
        push_frame(Frame::Map, std::is_same_v<typename build::ElementOf<M>::type, double>);
    }

    void key(std::string_view k) {
        if (failed_) return;
        keys_.push_back(k);
    }

    template <auto Member>
    void map_end() {
        if (failed_) return;
        const Frame frame = pop();
        Value made = sorted_dict(frame, {});
        keys_.truncate(frame.key_base);
        values_.truncate(frame.base);
        if (made == nullptr) return fail();
        place(made);
    }

    // ---- scalars ----

    template <auto Member>
    void text(std::string_view s) {
        entries_.template text<Member>(s);
        if (failed_) return;
        place_str(s);
    }

    template <auto Member>
    void null() {
        if (failed_) return;
        // A member given as null is left out, as absent; a list entry is None.
        if constexpr (Member == nullptr) place(b_.none());
    }

    template <auto Member>
    void number(std::string_view, const json::Number& n) {
        if (failed_) return;
        if constexpr (Member == nullptr) {
            // The lists and maps of numbers in the format hold doubles.
            // An entry of a list or a map, the bulk of recorded samples: pushed here.
            if (!top().doubles) return fail();
            Value v = b_.f64(n.as_double());
            if (v == nullptr) return fail();
            values_.push_back(v);
        } else {
            using M = build::member_value_t<Member>;
            if constexpr (std::is_same_v<M, double>) {
                place_f64(n.as_double());
            } else {
                static_assert(std::is_unsigned_v<M>);
                place_u64(n.u);
            }
        }
    }

    template <auto Member>
    void free_value(const char* begin, const char* end) {
        if (failed_) return;
        const char* p = begin;
        place(any(p, end));
    }

private:
    struct Frame {
        enum Kind : std::uint8_t { Record, List, Map, Enum };
        Kind kind;
        bool doubles;         // numbers without a member are doubles
        std::uint8_t slot;    // record: the field being read
        std::uint8_t tag;     // enum: the variant
        std::uint8_t placed;  // record: the fields given a value
        std::uint32_t base;
        std::uint32_t key_base;
        const build::EnumInfo* info;
    };

    // One frame per bracket the walk is in, and one for a tag given as a bare string.
    static constexpr std::size_t kFrames = model::fast::kMaxDepth + 8;

    [[gnu::always_inline]] void push_frame(typename Frame::Kind kind, bool doubles) {
        if (depth_ == kFrames) return fail();
        frames_[depth_++] = Frame{kind, doubles, 0, 0, 0, static_cast<std::uint32_t>(values_.size()),
                                  static_cast<std::uint32_t>(keys_.size()), nullptr};
    }
    [[gnu::always_inline]] Frame& top() { return frames_[depth_ - 1]; }
    [[gnu::always_inline]] Frame pop() { return frames_[--depth_]; }

    void release(Value v) {
        if (v != nullptr) b_.release(v);
    }
    Value drop(Value v) {
        release(v);
        return nullptr;
    }

    void fail() { failed_ = true; }
    // Fails and releases the values of the frame that was popped.
    void fail_and_drop(std::size_t base) {
        for (std::size_t i = base; i < values_.size(); ++i) release(values_[i]);
        values_.truncate(base);
        failed_ = true;
    }

    // Puts a new value where the walk is: a record's field, a container's next entry, or
    // the result.
    [[gnu::always_inline]] void place(Value v) {
        if (v == nullptr) return fail();
        if (depth_ == 0) {
            release(result_);
            result_ = v;
            return;
        }
        Frame& at = top();
        if (at.kind == Frame::Record) {
            Value& slot = values_[at.base + at.slot];
            at.placed += slot == nullptr;
            release(slot);
            slot = v;
        } else {
            values_.push_back(v);
        }
    }

    bool set_named(Value dict, std::string_view key_name, Value v) {
        Value key = b_.name(key_name);
        if (key == nullptr) {
            release(v);
            return false;
        }
        return b_.set(dict, key, v);
    }
    bool set_name_value(Value dict, std::string_view key_name, std::string_view value_name) {
        Value v = b_.name_value(value_name);
        return v != nullptr && set_named(dict, key_name, v);
    }

    // A new dict for `size` entries whose first is the tag under the format's key_name.
    Value tagged_dict(std::string_view key_name, std::string_view tag, std::size_t size) {
        if constexpr (requires { b_.tag_dict(key_name, tag, size); }) {
            return b_.tag_dict(key_name, tag, size);
        } else {
            Value dict = b_.dict(size);
            if (dict != nullptr && !set_name_value(dict, key_name, tag)) return drop(dict);
            return dict;
        }
    }

    // The steps that are the same for every type, out of line: the walk calls them from
    // many places, and one copy of each keeps its code small.
    [[gnu::noinline]] void open_record(std::size_t fields) {
        push_frame(Frame::Record, false);
        values_.push_empty(fields);
    }
    [[gnu::noinline]] void close_list(std::size_t n) {
        const Frame frame = pop();
        if (values_.size() - frame.base != n) return fail_and_drop(frame.base);
        Value list = b_.list(values_.data() + frame.base, n);
        values_.truncate(frame.base);
        if (list == nullptr) return fail();
        place(list);
    }
    [[gnu::noinline]] void place_str(std::string_view s) { place(b_.str(s)); }
    [[gnu::noinline]] void place_f64(double d) { place(b_.f64(d)); }
    [[gnu::noinline]] void place_u64(std::uint64_t u) { place(b_.u64(u)); }

    // Closes the tagged value on top, in the form of its enumeration: one copy per
    // enumeration, whose form is then a constant.
    template <class E>
    [[gnu::noinline]] void close_enum() {
        const Frame frame = pop();
        static constexpr const build::EnumInfo& info = build::EnumTable<E>::info;
        constexpr model::Style style = info.style;
        const std::string_view name = info.names[frame.tag];
        const build::Content content = info.contents[frame.tag];
        const std::size_t given = values_.size() - frame.base;
        Value made = nullptr;
        if constexpr (style == model::Style::Adjacent) {
            if (content == build::Content::Unit) {
                if (given != 0) return fail_and_drop(frame.base);
                made = tagged_dict(build::kTypeKey, name, 1);
            } else {
                if (given != 1) return fail_and_drop(frame.base);
                made = tagged_dict(build::kTypeKey, name, 2);
                Value v = values_[frame.base];
                values_.pop_back();
                if (made == nullptr) {
                    release(v);
                } else if (!set_named(made, info.content_key, v)) {
                    made = drop(made);
                }
            }
        } else if constexpr (style == model::Style::External) {
            if (content == build::Content::Unit) {
                if (given != 0) return fail_and_drop(frame.base);
                made = b_.name_value(name);
            } else {
                if (given != 1) return fail_and_drop(frame.base);
                made = b_.dict(1);
                Value v = values_[frame.base];
                values_.pop_back();
                if (made == nullptr) {
                    release(v);
                } else if (!set_named(made, name, v)) {
                    made = drop(made);
                }
            }
        } else {
            if (content == build::Content::Flatten) {
                made = sorted_dict(frame, name);
                keys_.truncate(frame.key_base);
                values_.truncate(frame.base);
            } else {
                // The record built itself with the tag first.
                if (given != 1) return fail_and_drop(frame.base);
                made = values_[frame.base];
                values_.pop_back();
            }
        }
        if (made == nullptr) return fail();
        place(made);
    }

    // Closes the record on top: its dict of the fields given, in declaration order, less
    // what the conversion leaves out (a missing or null optional, an empty list or map).
    // One pass: the dict is sized for the members placed, of which only an empty list or
    // map, rare in a written text, is then left out.  Unrolled per type, so that what a
    // field may lack is a constant and its code is the test of its slot and its insertion.
    template <class T>
    [[gnu::noinline]] void close_record() {
        const Frame frame = pop();
        Value* slots = values_.data() + frame.base;
        // A record that is the variant of an internally tagged value starts with its tag.
        Value dict = depth_ != 0 && top().kind == Frame::Enum && top().info->style == model::Style::Internal
                         ? tagged_dict(build::kTypeKey, top().info->names[top().tag], frame.placed + 1u)
                         : b_.dict(frame.placed);
        if (dict == nullptr) return fail_and_drop(frame.base);
        const bool closed = [&]<std::size_t... I>(std::index_sequence<I...>) {
            return (close_field<T, I>(dict, slots[I]) && ...);
        }(std::make_index_sequence<build::RecordTable<T>::n>{});
        if (!closed) return drop_record(dict, frame.base);
        values_.truncate(frame.base);
        place(dict);
    }
    // Moves field I's value into the record's dict; false when the build gives up.  The
    // slot is emptied first, so that a give-up releases only what the dict does not hold.
    template <class T, std::size_t I>
    [[gnu::always_inline]] bool close_field(Value dict, Value& slot) {
        static constexpr build::FieldInfo f = build::RecordTable<T>::fields[I];
        Value v = slot;
        // A required member given as null, or an absent one that the model would hold as
        // a value of its own.
        if (v == nullptr) return f.absent != build::Absent::Refused;
        slot = nullptr;
        if constexpr (f.omit_empty_list) {
            if (b_.empty_list(v)) return release(v), true;
        }
        if constexpr (f.omit_empty_map) {
            if (b_.empty_dict(v)) return release(v), true;
        }
        Value key = b_.name(f.name);
        if (key == nullptr) return release(v), false;
        return b_.set(dict, key, v);
    }
    [[gnu::cold]] void drop_record(Value dict, std::size_t base) {
        release(dict);
        fail_and_drop(base);
    }

    // A dict of the frame's keys and values sorted by key bytes, the last of a repeated
    // key kept (as a map of the model holds them), after a tag when one is named.
    Value sorted_dict(const Frame& frame, std::string_view tag_name) {
        const std::size_t n = keys_.size() - frame.key_base;
        if (values_.size() - frame.base != n) return drop_all(frame);
        const std::string_view* keys = keys_.data() + frame.key_base;
        Value* values = values_.data() + frame.base;
        order_.clear();
        order_.push_empty(n);
        for (std::size_t i = 0; i < n; ++i) order_[i] = static_cast<std::uint32_t>(i);
        bool ascending = true;
        for (std::size_t i = 1; i < n && ascending; ++i) ascending = keys[i - 1] < keys[i];
        if (!ascending) {
            // Equal keys stay in the order read, so that the last one is kept.
            std::sort(order_.begin(), order_.end(), [&](std::uint32_t a, std::uint32_t b) {
                const int c = keys[a].compare(keys[b]);
                return c < 0 || (c == 0 && a < b);
            });
        }
        std::size_t unique = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (i + 1 < n && keys[order_[i + 1]] == keys[order_[i]]) {
                release(std::exchange(values[order_[i]], nullptr));
                order_[i] = UINT32_MAX;
                continue;
            }
            ++unique;
        }
        const bool tagged = !tag_name.empty();
        Value dict = tagged ? tagged_dict(build::kTypeKey, tag_name, unique + 1) : b_.dict(unique);
        bool ok = dict != nullptr;
        for (std::size_t i = 0; i < n; ++i) {
            if (order_[i] == UINT32_MAX) continue;
            Value v = std::exchange(values[order_[i]], nullptr);
            if (!ok) {
                release(v);
                continue;
            }
            Value key = b_.data_key(keys[order_[i]]);
            if (key == nullptr) {
                release(v);
                ok = false;
                continue;
            }
            ok = b_.set(dict, key, v);
        }
        if (!ok) return drop(dict);
        return dict;
    }
    Value drop_all(const Frame& frame) {
        for (std::size_t i = frame.base; i < values_.size(); ++i) release(std::exchange(values_[i], nullptr));
        return nullptr;
    }

    // ---- free-form values, from a text the walk has checked ----

    static void skip_space(const char*& p, const char* end) {
        while (p < end && (*p == ' ' || *p == '\n' || *p == '\t' || *p == '\r')) ++p;
    }

    // The value at p, which the walk accepted: strings with escapes only as the general
    // reader decodes them, plain numbers.
    Value any(const char*& p, const char* end) {
        skip_space(p, end);
        switch (*p) {
            case 'n': p += 4; return b_.none();
            case 't': p += 4; return b_.boolean(true);
            case 'f': p += 5; return b_.boolean(false);
            case '"': {
                const std::string_view s = string(p, end, false);
                return b_.str(s);
            }
            case '[': {
                ++p;
                const std::size_t base = values_.size();
                skip_space(p, end);
                if (*p == ']') {
                    ++p;
                } else {
                    for (;;) {
                        Value v = any(p, end);
                        if (v == nullptr) return drop_from(base);
                        values_.push_back(v);
                        skip_space(p, end);
                        if (*p++ == ']') break;  // else a comma
                    }
                }
                Value list = b_.list(values_.data() + base, values_.size() - base);
                values_.truncate(base);
                return list;
            }
            case '{': {
                ++p;
                Frame frame{Frame::Map, false, 0, 0, 0, static_cast<std::uint32_t>(values_.size()),
                            static_cast<std::uint32_t>(keys_.size()), nullptr};
                skip_space(p, end);
                if (*p == '}') {
                    ++p;
                } else {
                    for (;;) {
                        skip_space(p, end);
                        keys_.push_back(string(p, end, true));
                        skip_space(p, end);
                        ++p;  // the colon
                        Value v = any(p, end);
                        if (v == nullptr) {
                            keys_.truncate(frame.key_base);
                            return drop_from(frame.base);
                        }
                        values_.push_back(v);
                        skip_space(p, end);
                        if (*p++ == '}') break;
                    }
                }
                Value dict = sorted_dict(frame, {});
                keys_.truncate(frame.key_base);
                values_.truncate(frame.base);
                return dict;
            }
            default: {
                json::Number n;
                const char* stop = json::scan_plain_number<true>(p, end, n);
                if (stop == nullptr) return nullptr;
                p = stop;
                switch (n.kind) {
                    case json::Number::Kind::Unsigned: return b_.u64(n.u);
                    case json::Number::Kind::Signed: return b_.i64(n.i);
                    case json::Number::Kind::Double: break;
                }
                return b_.f64(n.d);
            }
        }
    }
    // The string at p, decoded as the walk decoded it, into the store (kept when `keep`:
    // an object's keys until its dict is made); the walk has checked it, so nothing is
    // refused.
    std::string_view string(const char*& p, const char* end, bool keep) {
        const char* from = p + 1;
        const std::size_t stop = json::scan_string(from, 0, static_cast<std::size_t>(end - from));
        if (from[stop] == '"') [[likely]] {
            p = from + stop + 1;
            return std::string_view(from, stop);
        }
        return escaped(p, end, keep);
    }
    [[gnu::noinline, gnu::cold]] std::string_view escaped(const char*& p, const char* end, bool keep) {
        const auto decoded = model::fast::decode_string(p, p + 1, end, texts_, keep);
        if (!decoded) {
            // Not reached: the walk decoded the same bytes.
            fail();
            p = end;
            return {};
        }
        p = decoded->second;
        return decoded->first;
    }
    Value drop_from(std::size_t base) {
        for (std::size_t i = base; i < values_.size(); ++i) release(values_[i]);
        values_.truncate(base);
        return nullptr;
    }

    Backend& b_;
    ops::EntrySink entries_;
    model::fast::TextStore& texts_;
    Frame frames_[kFrames];
    std::size_t depth_ = 0;
    ValueStack<Value> values_;
    ValueStack<std::string_view> keys_;
    // The order of a map's entries, in room of its own for the maps of a small document.
    ValueStack<std::uint32_t> order_;
    Value result_ = nullptr;
    bool failed_ = false;
};

}  // namespace tavrik::python
