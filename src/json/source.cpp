#include "json/source.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tavrik::json {

std::string unexpected(const Slot& slot) {
    switch (slot.kind) {
        case Slot::Kind::Null: return "null";
        case Slot::Kind::Bool: return slot.boolean ? "boolean `true`" : "boolean `false`";
        case Slot::Kind::Number: return slot.number.unexpected();
        case Slot::Kind::String: return unexpected_string(slot.text);
        case Slot::Kind::Array: return "sequence";
        case Slot::Kind::Object: break;
    }
    return "map";
}

Error TextSource::invalid_type_here(std::string_view expected) {
    std::string unexpected;
    switch (r_.peek_ws()) {
        case 'n':
            r_.bump();
            if (auto s = r_.parse_ident("ull"); !s) return std::move(s.error());
            unexpected = "null";
            break;
        case 't':
            r_.bump();
            if (auto s = r_.parse_ident("rue"); !s) return std::move(s.error());
            unexpected = "boolean `true`";
            break;
        case 'f':
            r_.bump();
            if (auto s = r_.parse_ident("alse"); !s) return std::move(s.error());
            unexpected = "boolean `false`";
            break;
        case '"': {
            r_.bump();
            auto s = r_.parse_string();
            if (!s) return std::move(s.error());
            unexpected = unexpected_string(*s);
            break;
        }
        case '[': unexpected = "sequence"; break;
        case '{': unexpected = "map"; break;
        default: {
            int c = r_.peek();
            if (c != '-' && (c < '0' || c > '9')) return r_.error_next("expected value");
            auto n = r_.parse_number();
            if (!n) return std::move(n.error());
            unexpected = n->unexpected();
        }
    }
    return fix(invalid_type(unexpected, expected));
}

Result<std::size_t> TextSource::read_identifier(const std::string_view* names, std::size_t count) {
    return read_string("variant identifier", [&](std::string_view name) -> Result<std::size_t> {
        std::size_t i = find_name(names, count, name);
        if (i == count) return std::unexpected(unknown_variant(name, names, count));
        return i;
    });
}

Result<std::size_t> BufSource::read_identifier(const std::string_view* names, std::size_t count) const {
    const Slot& v = slot();
    if (v.kind == Slot::Kind::String) {
        std::size_t i = find_name(names, count, v.text);
        if (i == count) return std::unexpected(unknown_variant(v.text, names, count));
        return i;
    }
    if (v.kind == Slot::Kind::Number && v.number.kind == Number::Kind::Unsigned) {
        if (v.number.u < count) return static_cast<std::size_t>(v.number.u);
        std::string expected = "variant index 0 <= i < " + std::to_string(count);
        return std::unexpected(invalid_value(v.number.unexpected(), expected));
    }
    return std::unexpected(invalid_type(unexpected(v), "variant identifier"));
}

namespace {

// Appends a value read from the text to the tape.
struct TapeWriter {
    TextSource& source;
    Tape& tape;

    Status push(Slot slot) {
        tape.push(slot);
        return {};
    }
    Status null() { return push(Slot{.kind = Slot::Kind::Null}); }
    Status boolean(bool b) { return push(Slot{.kind = Slot::Kind::Bool, .boolean = b}); }
    Status number(Number n) { return push(Slot{.kind = Slot::Kind::Number, .number = n}); }
    Status string(std::string_view s) { return push(Slot{.kind = Slot::Kind::String, .text = source.keep(s)}); }
    Status array(TextSeq& seq) {
        std::uint32_t at = tape.push(Slot{.kind = Slot::Kind::Array});
        std::uint32_t count = 0;
        for (;; ++count) {
            auto more = seq.has_next();
            if (!more) return std::unexpected(std::move(more.error()));
            if (!*more) break;
            if (auto s = seq.element().read_any(*this); !s) return s;
        }
        tape.close(at, count);
        return {};
    }
    Status object(TextMap& map) {
        std::uint32_t at = tape.push(Slot{.kind = Slot::Kind::Object});
        std::uint32_t count = 0;
        for (;; ++count) {
            auto key = map.next_key();
            if (!key) return std::unexpected(std::move(key.error()));
            if (!*key) break;
            source.buffer_key(**key);
            auto src = map.value();
            if (!src) return std::unexpected(std::move(src.error()));
            if (auto s = (*src)->read_any(*this); !s) return s;
        }
        tape.close(at, count);
        return {};
    }
};

}  // namespace

Result<BufSource> TextSource::buffer() {
    std::uint32_t at = tape_.size();
    TapeWriter writer{*this, tape_};
    if (auto s = read_any(writer); !s) return std::unexpected(std::move(s.error()));
    return BufSource(tape_, at);
}

// ============================================================================ grammar faults

namespace {

bool is_space(char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }

// The offset of the first byte at or after `at` that is not whitespace.
std::size_t skip_space(std::string_view text, std::size_t at) {
    while (at < text.size() && is_space(text[at])) ++at;
    return at;
}

// Whether the value that begins at `offset` is sound as far as a scalar read whole tells:
// a scalar that the reader takes, or the bracket of an array or object.
bool sound_value_at(std::string_view text, std::size_t offset) {
    Reader r(text);
    r.seek(text.data() + offset);
    const int c = r.peek();
    switch (c) {
        case '[':
        case '{': return true;
        case '"': r.bump(); return r.parse_string().has_value();
        case 't': r.bump(); return r.parse_ident("rue").has_value();
        case 'f': r.bump(); return r.parse_ident("alse").has_value();
        case 'n': r.bump(); return r.parse_ident("ull").has_value();
        default: return (c == '-' || (c >= '0' && c <= '9')) && r.parse_number().has_value();
    }
}

// Reads values in full with the reader's own steps, building nothing, and notes where the
// first fault was decided: the first byte after the whitespace before the step that
// failed (after the comma, when a comma was taken first), which is where a value's token
// begins.  Once the cursor is past the stop with nothing refused, the pass ends.
class GrammarPass {
public:
    GrammarPass(std::string_view text, std::size_t stop, Reader& reader) : text_(text), stop_(stop), r_(reader) {}

    Status value(TextSource& source) {
        const char* before = r_.cursor();
        if (Status s = source.read_any(*this); !s) {
            note_value(before);
            return s;
        }
        return step();
    }
    Status null() { return {}; }
    Status boolean(bool) { return {}; }
    Status number(const Number&) { return {}; }
    Status string(std::string_view) { return {}; }
    Status array(TextSeq& seq) {
        for (bool first = true;; first = false) {
            const char* before = r_.cursor();
            auto more = seq.has_next();
            if (!more) {
                note_separator(before, first);
                return std::unexpected(std::move(more.error()));
            }
            if (!*more) return {};
            if (Status s = step(); !s) return s;
            if (Status s = value(seq.element()); !s) return s;
        }
    }
    Status object(TextMap& map) {
        for (bool first = true;; first = false) {
            const char* before = r_.cursor();
            auto key = map.next_key();
            if (!key) {
                note_separator(before, first);
                return std::unexpected(std::move(key.error()));
            }
            if (!*key) return {};
            if (Status s = step(); !s) return s;
            before = r_.cursor();
            auto source = map.value();
            if (!source) {
                note(skip_space(text_, offset(before)), true);
                return std::unexpected(std::move(source.error()));
            }
            if (Status s = step(); !s) return s;
            if (Status s = value(**source); !s) return s;
        }
    }

    // After the document's value: only whitespace.
    Status end(const char* before) {
        Status s = r_.end_document();
        if (!s) note(skip_space(text_, offset(before)), true);
        return s;
    }

    // Whether the fault was decided at the stop and is worded there as it would be.
    bool decided_at(const Stop& stop) const {
        return noted_ && !passed_ && at_ == stop.offset && (alike_when_skipped_ || !stop.skipped);
    }

private:
    std::size_t offset(const char* p) const { return static_cast<std::size_t>(p - text_.data()); }

    Status step() {
        if (offset(r_.cursor()) <= stop_) return {};
        passed_ = true;
        noted_ = true;
        // Placed, so that no enclosing read looks for its position.
        return std::unexpected(Error("", 1, 0));
    }

    void note(std::size_t at, bool alike) {
        if (noted_) return;
        noted_ = true;
        at_ = at;
        alike_when_skipped_ = alike;
    }

    // A skipped value converts no number and takes no nesting budget.
    void note_value(const char* before) {
        const std::size_t at = skip_space(text_, offset(before));
        const char c = at < text_.size() ? text_[at] : '\0';
        note(at, !(c == '-' || (c >= '0' && c <= '9') || c == '[' || c == '{'));
    }

    // A bracket, a comma, a key or the end where one of them is due.  After a comma a
    // skipped value words a closing bracket and the end of the text otherwise.
    void note_separator(const char* before, bool first) {
        std::size_t at = skip_space(text_, offset(before));
        if (first || at >= text_.size() || text_[at] != ',') {
            note(at, true);
            return;
        }
        at = skip_space(text_, at + 1);
        note(at, at < text_.size() && text_[at] != '}' && text_[at] != ']');
    }

    std::string_view text_;
    std::size_t stop_;
    Reader& r_;
    bool noted_ = false;
    bool passed_ = false;
    bool alike_when_skipped_ = true;
    std::size_t at_ = 0;
};

}  // namespace

std::optional<Error> grammar_fault_at(std::string_view text, const Stop& stop) {
    if (stop.offset > text.size()) return std::nullopt;
    // A value whose first token the reader takes leaves the verdict to the typed reading,
    // and a pass over the text up to it would be in vain.
    if (stop.value && sound_value_at(text, stop.offset)) return std::nullopt;
    Reader reader(text);
    TextSource source(reader);
    GrammarPass pass(text, stop.offset, reader);
    Status s = pass.value(source);
    if (s) s = pass.end(reader.cursor());
    if (s || !pass.decided_at(stop)) return std::nullopt;
    return std::move(s.error());
}

}  // namespace tavrik::json
