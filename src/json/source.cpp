#include "json/source.hpp"

#include <string>

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

}  // namespace tavrik::json
