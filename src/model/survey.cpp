#include "model/survey.hpp"

#include <string>
#include <type_traits>
#include <utility>

#include "json/number.hpp"
#include "json/reader.hpp"
#include "json/source.hpp"
#include "model/document.hpp"
#include "model/forms.hpp"

namespace tavrik::model {

namespace {

// ---- the text as a flat list of tokens with their byte ranges ----

struct Tok {
    enum class Kind : std::uint8_t { Null, Bool, Number, String, Array, Object };
    Kind kind;
    std::size_t count = 0;  // elements or members of a container
    std::size_t end = 0;    // index one past this value's subtree
    std::size_t begin = 0;  // first byte
    std::size_t stop = 0;   // one past the last byte
};

bool is_ws(char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }

// Tokens of a text that the reader has accepted, so only its shape is followed here; any
// surprise gives up rather than guess.  Iterative: skipped members may nest without limit.
bool tokenize(std::string_view s, std::vector<Tok>& toks) {
    const std::size_t n = s.size();
    std::size_t i = 0;
    std::vector<std::size_t> open;
    auto ws = [&] {
        while (i < n && is_ws(s[i])) ++i;
    };
    auto string_end = [&](std::size_t from) -> std::size_t {  // from: the opening quote
        for (std::size_t j = from + 1; j < n; ++j) {
            if (s[j] == '\\') ++j;
            else if (s[j] == '"') return j + 1;
        }
        return 0;
    };
    auto scalar = [&](Tok::Kind kind, std::size_t stop) {
        toks.push_back({kind, 0, toks.size() + 1, i, stop});
        i = stop;
    };
    auto key = [&]() -> bool {
        ws();
        if (i >= n || s[i] != '"') return false;
        std::size_t stop = string_end(i);
        if (stop == 0) return false;
        scalar(Tok::Kind::String, stop);
        ws();
        if (i >= n || s[i] != ':') return false;
        ++i;
        return true;
    };
    for (;;) {
        ws();
        if (i >= n) return false;
        const char c = s[i];
        if (c == '{' || c == '[') {
            const bool object = c == '{';
            open.push_back(toks.size());
            toks.push_back({object ? Tok::Kind::Object : Tok::Kind::Array, 0, 0, i, 0});
            ++i;
            ws();
            if (i >= n) return false;
            if (s[i] != (object ? '}' : ']')) {
                if (object && !key()) return false;
                continue;
            }
            // An empty container closes below like any other.
        } else if (c == '"') {
            std::size_t stop = string_end(i);
            if (stop == 0) return false;
            scalar(Tok::Kind::String, stop);
        } else if (c == 't' || c == 'f' || c == 'n') {
            const std::size_t len = c == 'f' ? 5 : 4;
            if (n - i < len) return false;
            scalar(c == 'n' ? Tok::Kind::Null : Tok::Kind::Bool, i + len);
        } else {
            std::size_t j = i;
            while (j < n && (std::string_view("+-.eE0123456789").find(s[j]) != std::string_view::npos)) ++j;
            if (j == i) return false;
            scalar(Tok::Kind::Number, j);
        }
        // A value is complete (a scalar, or a container opened empty): close what it ends.
        bool closing = toks.back().kind == Tok::Kind::Object || toks.back().kind == Tok::Kind::Array;
        closing = closing && toks.back().stop == 0;
        for (;;) {
            if (closing) {
                Tok& top = toks[open.back()];
                ++i;
                top.stop = i;
                top.end = toks.size();
                open.pop_back();
                closing = false;
            }
            if (open.empty()) return true;
            Tok& top = toks[open.back()];
            ++top.count;
            ws();
            if (i >= n) return false;
            if (s[i] == ',') {
                ++i;
                if (top.kind == Tok::Kind::Object && !key()) return false;
                break;
            }
            if (s[i] != (top.kind == Tok::Kind::Object ? '}' : ']')) return false;
            closing = true;
        }
    }
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}


// The decoded text of a string token, as the reader compares names.
std::string decode(std::string_view s, const Tok& tok) {
    std::string out;
    const std::size_t last = tok.stop - 1;
    for (std::size_t j = tok.begin + 1; j < last; ++j) {
        if (s[j] != '\\') {
            out += s[j];
            continue;
        }
        const char e = s[++j];
        switch (e) {
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                auto hex4 = [&](std::size_t at) {
                    std::uint32_t v = 0;
                    for (std::size_t k = 0; k < 4 && at + k < last; ++k) v = v * 16 + static_cast<std::uint32_t>(hex_value(s[at + k]));
                    return v;
                };
                std::uint32_t cp = hex4(j + 1);
                j += 4;
                if (cp >= 0xD800 && cp < 0xDC00 && j + 6 < last + 1 && s[j + 1] == '\\' && s[j + 2] == 'u') {
                    const std::uint32_t low = hex4(j + 3);
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    j += 6;
                }
                json::append_utf8(out, cp);
                break;
            }
            default: out += e; break;  // quote, backslash, slash
        }
    }
    return out;
}

void append_segment(std::string& pointer, std::string_view segment) {
    pointer += '/';
    for (char c : segment) {
        if (c == '~') pointer += "~0";
        else if (c == '/') pointer += "~1";
        else pointer += c;
    }
}

// A decimal number as significant digits without leading or trailing zeros and the
// power of ten of the last one; zero has no digits.
struct Decimal {
    std::string digits;
    long long exponent = 0;
    bool operator==(const Decimal&) const = default;
};

Decimal decimal_of(std::string_view text) {
    Decimal d;
    std::size_t j = 0;
    if (j < text.size() && text[j] == '-') ++j;
    long long fraction = 0;
    bool in_fraction = false;
    for (; j < text.size(); ++j) {
        const char c = text[j];
        if (c == '.') {
            in_fraction = true;
        } else if (c >= '0' && c <= '9') {
            if (!(d.digits.empty() && c == '0')) d.digits += c;
            if (in_fraction) ++fraction;
        } else {
            break;
        }
    }
    long long e = 0;
    if (j < text.size() && (text[j] == 'e' || text[j] == 'E')) {
        ++j;
        bool negative = false;
        if (j < text.size() && (text[j] == '+' || text[j] == '-')) negative = text[j++] == '-';
        for (; j < text.size(); ++j) {
            e = e * 10 + (text[j] - '0');
            if (e > 1'000'000'000) break;  // far beyond any double; the comparison fails anyway
        }
        if (negative) e = -e;
    }
    std::size_t kept = d.digits.size();
    while (kept > 0 && d.digits[kept - 1] == '0') --kept;
    d.exponent = e - fraction + static_cast<long long>(d.digits.size() - kept);
    d.digits.resize(kept);
    if (d.digits.empty()) d.exponent = 0;
    return d;
}

template <class T>
using Bare = std::remove_cvref_t<T>;

class Walker {
public:
    Walker(std::string_view text, const std::vector<Tok>& toks, Survey& out) : s_(text), t_(toks), out_(out) {}

    template <class T>
    void walk(std::size_t i) {
        using namespace detail;
        if constexpr (std::is_same_v<T, Text> || std::is_same_v<T, double> || std::is_same_v<T, std::uint32_t> ||
                      std::is_same_v<T, std::uint64_t>) {
            place(i);
        } else if constexpr (std::is_same_v<T, JsonValue>) {
            walk_any(i);
        } else if constexpr (IsOptional<T>::value) {
            if (t_[i].kind != Tok::Kind::Null) walk<typename T::value_type>(i);
        } else if constexpr (IsVector<T>::value) {
            using E = typename T::value_type;
            place(i);
            if (t_[i].kind != Tok::Kind::Array) return;
            if constexpr (std::is_same_v<E, double> || std::is_same_v<E, std::optional<Position>>) {
                auto& offsets = out_.samples[nf_];
                offsets.reserve(t_[i].count);
                for (std::size_t c = i + 1; c < t_[i].end; c = t_[c].end) offsets.push_back(t_[c].begin);
            } else {
                std::size_t k = 0;
                for (std::size_t c = i + 1; c < t_[i].end; c = t_[c].end, ++k) {
                    const std::string index = std::to_string(k);
                    auto mark = push(index, index);
                    walk<E>(c);
                    pop(mark);
                }
            }
        } else if constexpr (IsSortedMap<T>::value) {
            place(i);
            walk_map<typename Bare<decltype(std::declval<T&>().entries)>::value_type::second_type>(i, false);
        } else {
            using D = Describe<T>;
            place(i);
            if constexpr (std::is_same_v<T, Node>) out_.nodes.push_back({t_[i].begin, in_});
            if constexpr (D::style == Style::Record) {
                walk_record<T>(i, 0, {});
            } else if constexpr (D::style == Style::Adjacent) {
                walk_adjacent<T>(i);
            } else if constexpr (D::style == Style::Internal) {
                walk_internal<T>(i);
            } else if constexpr (D::style == Style::External) {
                walk_external<T>(i);
            }
        }
    }

private:
    struct Mark {
        std::size_t in;
        std::size_t nf;
    };
    Mark push(std::string_view in_segment, std::string_view nf_segment) {
        Mark m{in_.size(), nf_.size()};
        append_segment(in_, in_segment);
        append_segment(nf_, nf_segment);
        return m;
    }
    void pop(Mark m) {
        in_.resize(m.in);
        nf_.resize(m.nf);
    }
    void place(std::size_t i) { out_.places.try_emplace(nf_, Place{t_[i].begin, in_}); }
    std::string text_of(std::size_t i) const { return decode(s_, t_[i]); }

    // A member that the normal form leaves out: its key token `key`, its value after it.
    void lose(Loss::Kind kind, std::size_t key, std::string name, std::vector<std::string_view> known = {}) {
        Mark m = push(name, name);
        out_.losses.push_back(
            {kind, {t_[key].begin, in_}, std::move(name), std::move(known), t_[key + 1].begin, t_[key + 1].stop});
        pop(m);
    }

    void walk_any(std::size_t i) {
        place(i);
        const Tok& tok = t_[i];
        if (tok.kind == Tok::Kind::Number) {
            check_number(i);
        } else if (tok.kind == Tok::Kind::Array) {
            std::size_t k = 0;
            for (std::size_t c = i + 1; c < tok.end; c = t_[c].end, ++k) {
                const std::string index = std::to_string(k);
                auto mark = push(index, index);
                walk_any(c);
                pop(mark);
            }
        } else if (tok.kind == Tok::Kind::Object) {
            walk_map<JsonValue>(i, false);
        }
    }

    // A number the normal form would write differently in value: an integer beyond 64
    // bits (kept as a double), or a decimal with more digits than a double holds.
    void check_number(std::size_t i) {
        const std::string_view literal = s_.substr(t_[i].begin, t_[i].stop - t_[i].begin);
        json::Reader reader(literal);
        auto number = reader.parse_number();
        if (!number) return;
        const bool integer = literal.find_first_of(".eE") == std::string_view::npos;
        bool kept = true;
        if (number->kind == json::Number::Kind::Double) {
            if (integer && decimal_of(literal).digits.empty()) kept = true;  // -0
            else kept = !integer && double_keeps_literal(literal, number->d);
        }
        if (!kept) out_.losses.push_back({Loss::Kind::Number, {t_[i].begin, in_}, std::string(literal), {}, t_[i].begin, t_[i].stop});
    }

    // Members of a map; `skip_tag` leaves out "type" (a custom payload's tag).  Of a key
    // given more than once only the last member is kept.
    template <class V>
    void walk_map(std::size_t i, bool skip_tag) {
        if (t_[i].kind != Tok::Kind::Object) return;
        std::vector<std::pair<std::string, std::size_t>> members;
        std::unordered_map<std::string, std::size_t> last;
        for (std::size_t k = i + 1; k < t_[i].end; k = t_[k + 1].end) {
            std::string name = text_of(k);
            if (skip_tag && name == kTagKey) continue;
            last[name] = k;
            members.emplace_back(std::move(name), k);
        }
        for (auto& [name, k] : members) {
            if (last[name] != k) {
                lose(Loss::Kind::RepeatedKey, k, name);
                continue;
            }
            auto mark = push(name, name);
            if constexpr (std::is_same_v<V, JsonValue>) walk_any(k + 1);
            else walk<V>(k + 1);
            pop(mark);
        }
    }

    template <class T, std::size_t... I>
    void walk_field(std::size_t index, std::size_t value, std::index_sequence<I...>) {
        using D = Describe<T>;
        ((index == I ? walk<Bare<decltype(std::declval<T&>().*(std::get<I>(D::fields).member))>>(value) : void()), ...);
    }

    // A record's members (from `first_member` of an object) or elements (from element
    // `first_element` of an array).  `extra` names one more member the object takes.
    template <class T>
    void walk_record(std::size_t i, std::size_t first_element, std::string_view extra) {
        using D = Describe<T>;
        constexpr std::size_t n = field_count<D>();
        static constexpr auto names = field_names<D>();
        const Tok& tok = t_[i];
        if (tok.kind == Tok::Kind::Object) {
            for (std::size_t k = i + 1; k < tok.end; k = t_[k + 1].end) {
                std::string name = text_of(k);
                if (!extra.empty() && name == extra) continue;
                const std::size_t index = json::find_name(names.data(), n, name);
                if (index == n) {
                    std::vector<std::string_view> known(names.begin(), names.end());
                    lose(Loss::Kind::UnknownMember, k, std::move(name), std::move(known));
                    continue;
                }
                auto mark = push(name, names[index]);
                walk_field<T>(index, k + 1, std::make_index_sequence<n>{});
                pop(mark);
            }
        } else if (tok.kind == Tok::Kind::Array) {
            std::size_t position = 0;
            for (std::size_t c = i + 1; c < tok.end; c = t_[c].end, ++position) {
                if (position < first_element) continue;
                const std::size_t index = position - first_element;
                if (index >= n) break;
                auto mark = push(std::to_string(position), names[index]);
                walk_field<T>(index, c, std::make_index_sequence<n>{});
                pop(mark);
            }
        }
    }

    // The variant a tag names: "Name", or {"Name": null}; the count of variants if none.
    template <class D>
    std::size_t tag_of(std::size_t i) const {
        const Tok& tok = t_[i];
        std::size_t name = i;
        if (tok.kind == Tok::Kind::Object && tok.count == 1) name = i + 1;
        else if (tok.kind != Tok::Kind::String) return D::variants.size();
        return json::find_name(D::variants.data(), D::variants.size(), text_of(name));
    }

    template <class E>
    void walk_variant(std::size_t variant, std::size_t content) {
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            ((variant == I ? walk_alternative<std::variant_alternative_t<I, decltype(E::v)>>(content) : void()), ...);
        }(std::make_index_sequence<std::variant_size_v<decltype(E::v)>>{});
    }
    template <class A>
    void walk_alternative(std::size_t content) {
        if constexpr (UnitAlternative<A>) {
            (void)content;
        } else if constexpr (NewtypeAlternative<A>) {
            walk<decltype(A::value)>(content);
        } else {
            walk<A>(content);
        }
    }

    template <class E>
    void walk_adjacent(std::size_t i) {
        using D = Describe<E>;
        const Tok& tok = t_[i];
        std::size_t tag = 0, content = 0;
        if (tok.kind == Tok::Kind::Object) {
            for (std::size_t k = i + 1; k < tok.end; k = t_[k + 1].end) {
                std::string name = text_of(k);
                if (name == kTagKey) {
                    if (tag == 0) tag = k + 1;
                } else if (name == D::content_key) {
                    if (content == 0) content = k + 1;
                } else {
                    lose(Loss::Kind::UnknownMember, k, std::move(name), {kTagKey, D::content_key});
                }
            }
            if (tag == 0) return;
            const std::size_t variant = tag_of<D>(tag);
            if (content == 0 || variant >= D::variants.size()) return;
            auto mark = push(D::content_key, D::content_key);
            walk_variant<E>(variant, content);
            pop(mark);
        } else if (tok.kind == Tok::Kind::Array && tok.count == 2) {
            tag = i + 1;
            content = t_[tag].end;
            const std::size_t variant = tag_of<D>(tag);
            if (t_[tag].kind != Tok::Kind::String || variant >= D::variants.size()) return;
            auto mark = push("1", D::content_key);
            walk_variant<E>(variant, content);
            pop(mark);
        }
    }

    template <class E>
    void walk_internal(std::size_t i) {
        using D = Describe<E>;
        const Tok& tok = t_[i];
        std::size_t variant = D::variants.size();
        if (tok.kind == Tok::Kind::Object) {
            for (std::size_t k = i + 1; k < tok.end; k = t_[k + 1].end) {
                if (text_of(k) == kTagKey) {
                    variant = tag_of<D>(k + 1);
                    break;
                }
            }
        } else if (tok.kind == Tok::Kind::Array && tok.count >= 1 && t_[i + 1].kind == Tok::Kind::String) {
            variant = tag_of<D>(i + 1);
        }
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            ((variant == I ? walk_internal_alternative<std::variant_alternative_t<I, decltype(E::v)>>(i) : void()), ...);
        }(std::make_index_sequence<std::variant_size_v<decltype(E::v)>>{});
    }
    template <class A>
    void walk_internal_alternative(std::size_t i) {
        using DA = Describe<A>;
        if constexpr (DA::style == Style::Flatten) {
            walk_map<JsonValue>(i, true);
        } else {
            walk_record<A>(i, 1, kTagKey);
        }
    }

    template <class E>
    void walk_external(std::size_t i) {
        using D = Describe<E>;
        const Tok& tok = t_[i];
        if (tok.kind != Tok::Kind::Object || tok.count != 1) return;
        const std::size_t variant = tag_of<D>(i);
        if (variant >= D::variants.size()) return;
        const std::string name = text_of(i + 1);
        auto mark = push(name, name);
        walk_variant<E>(variant, i + 2);
        pop(mark);
    }

    std::string_view s_;
    const std::vector<Tok>& t_;
    Survey& out_;
    std::string in_;  // pointer in the input
    std::string nf_;  // pointer in the normal form
};

}  // namespace

bool double_keeps_literal(std::string_view literal, double value) {
    std::string written;
    json::append_double(written, value < 0 ? -value : value);
    if (written == "inf" || written == "NaN") return false;
    return decimal_of(literal) == decimal_of(written);
}

Survey survey_document(std::string_view text) {
    Survey survey;
    std::vector<Tok> toks;
    if (!tokenize(text, toks) || toks.empty()) return survey;
    Walker walker(text, toks, survey);
    walker.walk<Workout>(0);
    survey.complete = true;
    return survey;
}

std::expected<Observed, json::Error> observe_document(std::string_view text, ReadOptions options) {
    auto workout = read_document(text, options);
    if (!workout) return std::unexpected(std::move(workout.error()));
    return Observed{std::move(*workout), survey_document(text)};
}

}  // namespace tavrik::model
