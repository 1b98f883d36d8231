#include "json/source.hpp"

#include <string>

namespace tavrik::json {

std::string Value::unexpected() const {
    switch (kind()) {
        case Kind::Null: return "null";
        case Kind::Bool: return std::get<bool>(v) ? "boolean `true`" : "boolean `false`";
        case Kind::Number: return std::get<Number>(v).unexpected();
        case Kind::String: return unexpected_string(std::get<BufString>(v).view());
        case Kind::Array: return "sequence";
        case Kind::Object: break;
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
    if (auto* s = std::get_if<BufString>(&v_.v)) {
        std::size_t i = find_name(names, count, s->view());
        if (i == count) return std::unexpected(unknown_variant(s->view(), names, count));
        return i;
    }
    if (auto* n = std::get_if<Number>(&v_.v); n && n->kind == Number::Kind::Unsigned) {
        if (n->u < count) return static_cast<std::size_t>(n->u);
        std::string expected = "variant index 0 <= i < " + std::to_string(count);
        return std::unexpected(invalid_value(n->unexpected(), expected));
    }
    return std::unexpected(invalid_type(v_.unexpected(), "variant identifier"));
}

namespace {

// Builds the buffered tree; strings that the reader handed out of the input are kept
// as views, escaped ones (in the scratch buffer) are copied.
struct BufferVisitor {
    const Reader& reader;

    BufString text(std::string_view s) const {
        return reader.in_input(s) ? BufString::referenced(s) : BufString::copied(s);
    }
    Result<Value> null() { return Value{std::monostate{}}; }
    Result<Value> boolean(bool b) { return Value{b}; }
    Result<Value> number(Number n) { return Value{n}; }
    Result<Value> string(std::string_view s) { return Value{text(s)}; }
    Result<Value> array(TextSeq& seq) {
        Value::Array items;
        for (;;) {
            auto more = seq.has_next();
            if (!more) return std::unexpected(std::move(more.error()));
            if (!*more) break;
            auto item = seq.element().read_any(*this);
            if (!item) return item;
            items.push_back(std::move(*item));
        }
        return Value{std::move(items)};
    }
    Result<Value> object(TextMap& map) {
        Value::Object members;
        for (;;) {
            auto key = map.next_key();
            if (!key) return std::unexpected(std::move(key.error()));
            if (!*key) break;
            BufString name = text(**key);
            auto src = map.value();
            if (!src) return std::unexpected(std::move(src.error()));
            auto item = (*src)->read_any(*this);
            if (!item) return item;
            members.push_back(Member{std::move(name), std::move(*item)});
        }
        return Value{std::move(members)};
    }
};

}  // namespace

Result<Value> TextSource::buffer() {
    BufferVisitor visitor{r_};
    return read_any(visitor);
}

}  // namespace tavrik::json
