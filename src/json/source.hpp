// Sources of typed reading: the JSON text itself, or a buffered value.
//
// Typed readers are written once as templates over a source.  Both sources offer the
// same operations; they differ only where reading a buffered value is meant to differ
// from reading text (tags by index, unit tags given as {}, leftover elements reported as
// a length, no positions).  Text errors receive their position when they leave the
// innermost value read that contains them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "json/error.hpp"
#include "json/reader.hpp"
#include "json/value.hpp"

namespace tavrik::json {

// Marks a record read that has no array form.
struct NoSeq {};

// Looks a name up in a variant list; `count` when absent.
inline std::size_t find_name(const std::string_view* names, std::size_t count, std::string_view name) {
    for (std::size_t i = 0; i < count; ++i)
        if (names[i] == name) return i;
    return count;
}

class BufSource;
class BufSeq;
class BufMap;

// ============================================================================ text

class TextSource {
public:
    // Without direct reads, every fast path is left out and only the general path is
    // taken (to check that both agree).
    explicit TextSource(Reader& reader, bool direct_reads = true, bool keep_samples = true)
        : r_(reader), tape_(keep_samples), direct_(direct_reads), keep_samples_(keep_samples) {}

    Reader& reader() { return r_; }
    bool direct_reads() const { return direct_; }
    // Whether lists of recorded samples are kept, or only checked.
    bool keep_samples() const { return keep_samples_; }
    Error fix(Error e) const { return r_.fix(std::move(e)); }

    // The wrong kind for the field at the cursor: a scalar is read whole so the message
    // can show it (its own errors win); an array or object is not entered.
    Error invalid_type_here(std::string_view expected);

    // A string, handed to `convert` while it is valid.
    template <class F>
    auto read_string(std::string_view expected, F&& convert) -> decltype(convert(std::string_view{})) {
        int c = r_.peek_ws();
        if (c == kEof) return std::unexpected(r_.error_next("EOF while parsing a value"));
        if (c != '"') return std::unexpected(invalid_type_here(expected));
        r_.bump();
        auto s = r_.parse_string();
        if (!s) return std::unexpected(std::move(s.error()));
        auto out = convert(*s);
        if (!out) return std::unexpected(fix(std::move(out.error())));
        return out;
    }

    template <class F>
    auto read_number(std::string_view expected, F&& convert) -> decltype(convert(Number{})) {
        int c = r_.peek_ws();
        if (c == kEof) return std::unexpected(r_.error_next("EOF while parsing a value"));
        if (c != '-' && (c < '0' || c > '9')) return std::unexpected(invalid_type_here(expected));
        auto n = r_.parse_number();
        if (!n) return std::unexpected(std::move(n.error()));
        auto out = convert(*n);
        if (!out) return std::unexpected(fix(std::move(out.error())));
        return out;
    }

    // Consumes a null standing for an absent optional value.
    Result<bool> take_null() {
        if (r_.peek_ws() != 'n') return false;
        r_.bump();
        if (auto s = r_.parse_ident("ull"); !s) return std::unexpected(std::move(s.error()));
        return true;
    }

    // The content of a unit alternative given by name: null only.
    Status read_unit(std::string_view expected) {
        int c = r_.peek_ws();
        if (c == kEof) return std::unexpected(r_.error_next("EOF while parsing a value"));
        if (c != 'n') return std::unexpected(invalid_type_here(expected));
        r_.bump();
        return r_.parse_ident("ull");
    }

    // Any value, shown to a visitor with null(), boolean(), number(), string(), array(seq)
    // and object(map), all returning the same Result type.
    template <class V>
    auto read_any(V& visitor) -> decltype(visitor.null());

    // A record: an object, or an array of the fields in order (unless seq_fn is NoSeq).
    template <class MapF, class SeqF>
    auto read_struct(std::string_view expected, MapF&& map_fn, SeqF&& seq_fn);
    template <class F>
    auto read_seq(std::string_view expected, F&& seq_fn);
    template <class F>
    auto read_map(std::string_view expected, F&& map_fn);

    // An enumeration given by name alone: "Name", or {"Name": content}.  content(index,
    // source*) reads the content; the pointer is null for the bare name.
    template <class F>
    auto read_enum(const std::string_view* names, std::size_t count, F&& content);

    // A variant given by its name in a string.
    Result<std::size_t> read_identifier(const std::string_view* names, std::size_t count);

    // The whole value at the cursor, buffered on the tape.
    Result<BufSource> buffer();

    // A list of plain numbers (recorded samples) read in one loop and appended to `out`,
    // which is first given room for as many as the list before it had; false, with
    // nothing consumed or kept, for anything else.
    template <class Vec>
    bool read_number_list(Vec& out);

    // How many samples a list read next probably has: as many as the last list of numbers
    // (a recording's channels share their timestamps' length), but never more than the
    // rest of the text could hold at `min_bytes` per element.  Zero without such a list.
    std::size_t samples_hint(std::size_t min_bytes) const {
        const std::size_t room = static_cast<std::size_t>(r_.limit() - r_.cursor()) / min_bytes + 1;
        return last_list_size_ < room ? last_list_size_ : room;
    }

    // Building a buffered object or array from members read one by one.
    std::uint32_t open_buffered(Slot::Kind kind) { return tape_.push(Slot{.kind = kind}); }
    void buffer_key(std::string_view key) { tape_.push(Slot{.kind = Slot::Kind::String, .text = keep(key)}); }
    void close_buffered(std::uint32_t index, std::uint32_t count) { tape_.close(index, count); }
    const Tape& tape() const { return tape_; }

    // Frees what was buffered after it once it goes out of scope.
    class TapeScope {
    public:
        explicit TapeScope(Tape& tape) : tape_(tape), mark_(tape.mark()) {}
        ~TapeScope() { tape_.cut(mark_); }
        TapeScope(const TapeScope&) = delete;
        TapeScope& operator=(const TapeScope&) = delete;

    private:
        Tape& tape_;
        Tape::Mark mark_;
    };
    TapeScope keep_tape() { return TapeScope(tape_); }

    // A string the reader handed out, made to outlive the next string read.
    std::string_view keep(std::string_view s) { return r_.in_input(s) ? s : tape_.own(s); }

private:
    template <class F>
    auto in_container(char close, F&& body) -> decltype(body());

    Reader& r_;
    Tape tape_;
    bool direct_;
    bool keep_samples_;
    std::size_t last_list_size_ = 0;
};

// Whether a list given to read_number_list wants the values, or only their count.
template <class Vec>
constexpr bool keeps_values() {
    if constexpr (requires { Vec::keeps_values; }) {
        return Vec::keeps_values;
    } else {
        return true;
    }
}

template <class Vec>
bool TextSource::read_number_list(Vec& out) {
    if (r_.peek_ws() != '[' || !r_.can_enter()) return false;
    const char* start = r_.cursor();
    const std::size_t kept = out.size();
    // "0," is the shortest element.
    out.reserve(kept + samples_hint(2));
    auto give_up = [&] {
        r_.seek(start);
        out.resize(kept);
        return false;
    };
    r_.bump();
    int c = r_.peek_ws();
    while (c != ']') {
        Number n;
        const char* end = c == kEof ? nullptr : scan_plain_number<keeps_values<Vec>()>(r_.cursor(), r_.limit(), n);
        if (end == nullptr) return give_up();
        r_.seek(end);
        if constexpr (keeps_values<Vec>()) {
            out.push_back(n.as_double());
        } else {
            out.push_back(0.0);
        }
        c = r_.peek_ws();
        if (c == ',') {
            r_.bump();
            c = r_.peek_ws();
            if (c == ']') c = kEof;  // a trailing comma: the general reader words it
        } else if (c != ']') {
            return give_up();
        }
    }
    r_.bump();
    last_list_size_ = out.size() - kept;
    return true;
}

class TextSeq {
public:
    explicit TextSeq(TextSource& s) : s_(s) {}
    Result<bool> has_next() { return s_.reader().seq_has_next(first_); }
    TextSource& element() { return s_; }

private:
    TextSource& s_;
    bool first_ = true;
};

class TextMap {
public:
    explicit TextMap(TextSource& s) : s_(s) {}
    // The next member's name (valid until the next string is read), or none at the end.
    Result<std::optional<std::string_view>> next_key() {
        std::string_view key;
        auto more = s_.reader().map_next_key(first_, key);
        if (!more) return std::unexpected(std::move(more.error()));
        if (!*more) return std::nullopt;
        return key;
    }
    Result<TextSource*> value() {
        if (auto s = s_.reader().parse_colon(); !s) return std::unexpected(std::move(s.error()));
        return &s_;
    }
    Status skip_value() {
        if (auto s = s_.reader().parse_colon(); !s) return s;
        return s_.reader().skip_value();
    }

private:
    TextSource& s_;
    bool first_ = true;
};

// ============================================================================ buffered

class BufSource {
public:
    BufSource(const Tape& tape, std::uint32_t index) : tape_(tape), index_(index) {}

    Slot slot() const { return tape_[index_]; }
    Error fix(Error e) const { return e; }
    // Whether lists of recorded samples are kept, or only checked.
    bool keep_samples() const { return tape_.keep_samples(); }

    template <class F>
    auto read_string(std::string_view expected, F&& convert) -> decltype(convert(std::string_view{})) {
        if (slot().kind == Slot::Kind::String) return convert(slot().text);
        return std::unexpected(invalid_type(unexpected(slot()), expected));
    }
    template <class F>
    auto read_number(std::string_view expected, F&& convert) -> decltype(convert(Number{})) {
        if (slot().kind == Slot::Kind::Number) return convert(slot().number);
        return std::unexpected(invalid_type(unexpected(slot()), expected));
    }
    Result<bool> take_null() const { return slot().kind == Slot::Kind::Null; }
    // A unit given inside a one-member object may also be written {}.
    Status read_unit(std::string_view expected) const {
        if (slot().kind == Slot::Kind::Null) return {};
        if (slot().kind == Slot::Kind::Object && slot().count == 0) return {};
        return std::unexpected(invalid_type(unexpected(slot()), expected));
    }
    template <class V>
    auto read_any(V& visitor) const -> decltype(visitor.null());
    template <class MapF, class SeqF>
    auto read_struct(std::string_view expected, MapF&& map_fn, SeqF&& seq_fn) const;
    template <class F>
    auto read_seq(std::string_view expected, F&& seq_fn) const;
    template <class F>
    auto read_map(std::string_view expected, F&& map_fn) const;
    template <class F>
    auto read_enum(const std::string_view* names, std::size_t count, F&& content) const;
    // By name, or by its index in the variant order.
    Result<std::size_t> read_identifier(const std::string_view* names, std::size_t count) const;
    // Already buffered.
    Result<BufSource> buffer() const { return *this; }
    struct NoScope {};
    NoScope keep_tape() const { return {}; }

private:
    const Tape& tape_;
    std::uint32_t index_;
};

class BufSeq {
public:
    BufSeq(const Tape& tape, std::uint32_t index) : tape_(tape), next_(index + 1), count_(tape[index].count) {}
    Result<bool> has_next() const { return taken_ < count_; }
    BufSource element() {
        BufSource element(tape_, next_);
        next_ = tape_[next_].end;
        ++taken_;
        return element;
    }
    // Elements left over once a record or tagged value is complete.
    Status finish() const {
        if (taken_ == count_) return {};
        std::string expected = std::to_string(taken_);
        expected += taken_ == 1 ? " element in sequence" : " elements in sequence";
        return std::unexpected(invalid_length(count_, expected));
    }

private:
    const Tape& tape_;
    std::uint32_t next_;
    std::uint32_t count_;
    std::uint32_t taken_ = 0;
};

class BufMap {
public:
    BufMap(const Tape& tape, std::uint32_t index) : tape_(tape), next_(index + 1), count_(tape[index].count) {}
    Result<std::optional<std::string_view>> next_key() {
        if (taken_ == count_) return std::nullopt;
        std::uint32_t key = next_;
        value_ = key + 1;
        next_ = tape_[value_].end;
        ++taken_;
        return tape_[key].text;
    }
    Result<BufSource> value() const { return BufSource(tape_, value_); }
    Status skip_value() const { return {}; }

private:
    const Tape& tape_;
    std::uint32_t next_;
    std::uint32_t value_ = 0;
    std::uint32_t count_;
    std::uint32_t taken_ = 0;
};

// Access to a source pointer or value alike.
inline TextSource& deref(TextSource* s) { return *s; }
inline BufSource& deref(BufSource& s) { return s; }

// ============================================================================ text templates

template <class F>
auto TextSource::in_container(char close, F&& body) -> decltype(body()) {
    // The opening bracket is at the cursor.
    if (auto s = r_.enter(); !s) return std::unexpected(std::move(s.error()));
    r_.bump();
    auto out = body();
    r_.leave();
    if (out) {
        auto end = close == ']' ? r_.end_seq() : r_.end_map();
        if (!end) return std::unexpected(std::move(end.error()));
        return out;
    }
    r_.end_after_error(close);
    return std::unexpected(fix(std::move(out.error())));
}

template <class V>
auto TextSource::read_any(V& visitor) -> decltype(visitor.null()) {
    using R = decltype(visitor.null());
    int c = r_.peek_ws();
    R out = [&]() -> R {
        switch (c) {
            case kEof: return std::unexpected(r_.error_next("EOF while parsing a value"));
            case 'n':
                r_.bump();
                if (auto s = r_.parse_ident("ull"); !s) return std::unexpected(std::move(s.error()));
                return visitor.null();
            case 't':
                r_.bump();
                if (auto s = r_.parse_ident("rue"); !s) return std::unexpected(std::move(s.error()));
                return visitor.boolean(true);
            case 'f':
                r_.bump();
                if (auto s = r_.parse_ident("alse"); !s) return std::unexpected(std::move(s.error()));
                return visitor.boolean(false);
            case '"': {
                r_.bump();
                auto s = r_.parse_string();
                if (!s) return std::unexpected(std::move(s.error()));
                return visitor.string(*s);
            }
            case '[':
                return in_container(']', [&]() -> R {
                    TextSeq seq(*this);
                    return visitor.array(seq);
                });
            case '{':
                return in_container('}', [&]() -> R {
                    TextMap map(*this);
                    return visitor.object(map);
                });
            default:
                if (c == '-' || (c >= '0' && c <= '9')) {
                    auto n = r_.parse_number();
                    if (!n) return std::unexpected(std::move(n.error()));
                    return visitor.number(*n);
                }
                return std::unexpected(r_.error_next("expected value"));
        }
    }();
    if (!out) return std::unexpected(fix(std::move(out.error())));
    return out;
}

template <class MapF, class SeqF>
auto TextSource::read_struct(std::string_view expected, MapF&& map_fn, SeqF&& seq_fn) {
    using R = decltype(map_fn(std::declval<TextMap&>()));
    int c = r_.peek_ws();
    if (c == kEof) return R(std::unexpected(r_.error_next("EOF while parsing a value")));
    if (c == '{') {
        return in_container('}', [&]() -> R {
            TextMap map(*this);
            return map_fn(map);
        });
    }
    if (c == '[') {
        return in_container(']', [&]() -> R {
            if constexpr (std::is_same_v<std::decay_t<SeqF>, NoSeq>) {
                return std::unexpected(invalid_type("sequence", expected));
            } else {
                TextSeq seq(*this);
                return seq_fn(seq);
            }
        });
    }
    return R(std::unexpected(invalid_type_here(expected)));
}

template <class F>
auto TextSource::read_seq(std::string_view expected, F&& seq_fn) {
    using R = decltype(seq_fn(std::declval<TextSeq&>()));
    int c = r_.peek_ws();
    if (c == kEof) return R(std::unexpected(r_.error_next("EOF while parsing a value")));
    if (c != '[') return R(std::unexpected(invalid_type_here(expected)));
    return in_container(']', [&]() -> R {
        TextSeq seq(*this);
        return seq_fn(seq);
    });
}

template <class F>
auto TextSource::read_map(std::string_view expected, F&& map_fn) {
    using R = decltype(map_fn(std::declval<TextMap&>()));
    int c = r_.peek_ws();
    if (c == kEof) return R(std::unexpected(r_.error_next("EOF while parsing a value")));
    if (c != '{') return R(std::unexpected(invalid_type_here(expected)));
    return in_container('}', [&]() -> R {
        TextMap map(*this);
        return map_fn(map);
    });
}

template <class F>
auto TextSource::read_enum(const std::string_view* names, std::size_t count, F&& content) {
    using R = decltype(content(std::size_t{}, static_cast<TextSource*>(nullptr)));
    int c = r_.peek_ws();
    if (c == '"') {
        auto index = read_identifier(names, count);
        if (!index) return R(std::unexpected(std::move(index.error())));
        return content(*index, static_cast<TextSource*>(nullptr));
    }
    if (c == kEof) return R(std::unexpected(r_.error_next("EOF while parsing a value")));
    if (c != '{') return R(std::unexpected(r_.error_next("expected value")));
    if (auto s = r_.enter(); !s) return R(std::unexpected(std::move(s.error())));
    r_.bump();
    R out = [&]() -> R {
        auto index = read_identifier(names, count);
        if (!index) return std::unexpected(std::move(index.error()));
        if (auto s = r_.parse_colon(); !s) return std::unexpected(std::move(s.error()));
        return content(*index, this);
    }();
    r_.leave();
    if (!out) return out;
    // Exactly one member.
    int after = r_.peek_ws();
    if (after == '}') {
        r_.bump();
        return out;
    }
    if (after == kEof) return R(std::unexpected(r_.error_current("EOF while parsing an object")));
    return R(std::unexpected(r_.error_current("expected value")));
}

// ============================================================================ buffered templates

template <class V>
auto BufSource::read_any(V& visitor) const -> decltype(visitor.null()) {
    const Slot& v = slot();
    switch (v.kind) {
        case Slot::Kind::Null: return visitor.null();
        case Slot::Kind::Bool: return visitor.boolean(v.boolean);
        case Slot::Kind::Number: return visitor.number(v.number);
        case Slot::Kind::String: return visitor.string(v.text);
        case Slot::Kind::Array: {
            BufSeq seq(tape_, index_);
            return visitor.array(seq);
        }
        case Slot::Kind::Object: break;
    }
    BufMap map(tape_, index_);
    return visitor.object(map);
}

template <class MapF, class SeqF>
auto BufSource::read_struct(std::string_view expected, MapF&& map_fn, SeqF&& seq_fn) const {
    using R = decltype(map_fn(std::declval<BufMap&>()));
    switch (slot().kind) {
        case Slot::Kind::Object: {
            BufMap map(tape_, index_);
            return map_fn(map);
        }
        case Slot::Kind::Array:
            if constexpr (std::is_same_v<std::decay_t<SeqF>, NoSeq>) {
                return R(std::unexpected(invalid_type("sequence", expected)));
            } else {
                BufSeq seq(tape_, index_);
                R out = seq_fn(seq);
                if (!out) return out;
                if (auto f = seq.finish(); !f) return R(std::unexpected(std::move(f.error())));
                return out;
            }
        default: break;
    }
    return R(std::unexpected(invalid_type(unexpected(slot()), expected)));
}

template <class F>
auto BufSource::read_seq(std::string_view expected, F&& seq_fn) const {
    using R = decltype(seq_fn(std::declval<BufSeq&>()));
    if (slot().kind != Slot::Kind::Array) return R(std::unexpected(invalid_type(unexpected(slot()), expected)));
    BufSeq seq(tape_, index_);
    return seq_fn(seq);
}

template <class F>
auto BufSource::read_map(std::string_view expected, F&& map_fn) const {
    using R = decltype(map_fn(std::declval<BufMap&>()));
    if (slot().kind != Slot::Kind::Object) return R(std::unexpected(invalid_type(unexpected(slot()), expected)));
    BufMap map(tape_, index_);
    return map_fn(map);
}

template <class F>
auto BufSource::read_enum(const std::string_view* names, std::size_t count, F&& content) const {
    using R = decltype(content(std::size_t{}, static_cast<BufSource*>(nullptr)));
    auto lookup = [&](std::string_view name) -> Result<std::size_t> {
        std::size_t i = find_name(names, count, name);
        if (i == count) return std::unexpected(unknown_variant(name, names, count));
        return i;
    };
    const Slot& v = slot();
    if (v.kind == Slot::Kind::String) {
        auto index = lookup(v.text);
        if (!index) return R(std::unexpected(std::move(index.error())));
        return content(*index, static_cast<BufSource*>(nullptr));
    }
    if (v.kind == Slot::Kind::Object) {
        if (v.count != 1) return R(std::unexpected(invalid_value("map", "map with a single key")));
        auto index = lookup(tape_[index_ + 1].text);
        if (!index) return R(std::unexpected(std::move(index.error())));
        BufSource inner(tape_, index_ + 2);
        return content(*index, &inner);
    }
    return R(std::unexpected(invalid_type(unexpected(v), "string or map")));
}

}  // namespace tavrik::json
