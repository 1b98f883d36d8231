#include "model/stubs.hpp"

#include <cstdint>
#include <string>
#include <string_view>

#include "model/named.hpp"

namespace tavrik::model {

namespace {

using detail::IsOptional;
using detail::IsSortedMap;
using detail::IsVector;

// The Python type of a value of type T.
template <class T>
std::string python_type() {
    if constexpr (std::is_same_v<T, Text>) {
        return "str";
    } else if constexpr (std::is_same_v<T, double>) {
        return "float";
    } else if constexpr (std::is_same_v<T, std::uint32_t> || std::is_same_v<T, std::uint64_t>) {
        return "int";
    } else if constexpr (IsOptional<T>::value) {
        return python_type<typename T::value_type>() + " | None";  // an absent list entry
    } else if constexpr (IsVector<T>::value) {
        return "list[" + python_type<typename T::value_type>() + "]";
    } else if constexpr (IsSortedMap<T>::value) {
        return "dict[str, " + python_type<typename Inner<T>::type>() + "]";
    } else {
        return std::string(Named<T>::name);
    }
}

std::string literal(std::string_view name) { return "Literal[\"" + std::string(name) + "\"]"; }

std::string upper_first(std::string_view word) {
    std::string text(word);
    if (!text.empty() && text[0] >= 'a' && text[0] <= 'z') text[0] = static_cast<char>(text[0] - 'a' + 'A');
    return text;
}

struct Out {
    std::string text;

    void open_class(std::string_view name, std::string_view doc, std::string_view bases = "TypedDict",
                    std::string_view comment = {}) {
        // Only checkers know these classes; the module has none of them.
        text += "\n@type_check_only\nclass " + std::string(name) + "(" + std::string(bases) + "):";
        text += comment.empty() ? "\n" : "  # " + std::string(comment) + "\n";
        text += "    \"\"\"" + std::string(doc) + "\"\"\"\n\n";
    }
    void member(std::string_view name, const std::string& type, Presence presence = Presence::Required) {
        text += "    " + std::string(name) + ": ";
        text += presence == Presence::Required ? type : "NotRequired[" + type + "]";
        text += "\n";
    }
    void alias(std::string_view name, std::string_view doc, const std::string& type) {
        text += "\n" + std::string(name) + ": TypeAlias = " + type + "\n";
        text += "\"\"\"" + std::string(doc) + "\"\"\"\n";
    }
};

template <class A>
void record_members(Out& out) {
    each_field<Describe<A>>([&](const auto& field, std::size_t) {
        out.member(field.name, python_type<written_type<decltype(field)>>(), field.presence);
    });
}

std::string joined(const std::vector<std::string>& types) {
    std::string text;
    for (const auto& type : types) text += (text.empty() ? "" : " | ") + type;
    return text;
}

// One TypedDict per alternative, from declare(out, alternative tag, its name, its class
// name), and the union of them under the enumeration's name.
template <class T, class Declare>
void tagged_union(Out& out, Declare declare) {
    std::vector<std::string> classes;
    each_alternative<T>([&](auto index) {
        const std::string_view name = Describe<T>::variants[index()];
        classes.push_back(std::string(Named<T>::name) + std::string(name));
        declare(std::type_identity<alternative<T, index()>>{}, name, classes.back());
    });
    out.alias(Named<T>::name, std::string(Named<T>::text) + " " + variants_note<T>(), joined(classes));
}

template <class T>
void adjacent(Out& out) {
    using D = Describe<T>;
    tagged_union<T>(out, [&](auto alternative_type, std::string_view name, const std::string& class_name) {
        using A = typename decltype(alternative_type)::type;
        std::string content;
        if constexpr (NewtypeAlternative<A>) {
            content = python_type<decltype(A::value)>();
        } else if constexpr (!UnitAlternative<A>) {
            content = class_name + upper_first(D::content_key);
            out.open_class(content, "The `" + std::string(D::content_key) + "` of `" + std::string(name) +
                                        "`. " + record_note(member_names<Describe<A>>()));
            record_members<A>(out);
        }
        out.open_class(class_name, tag_note(name, content.empty() ? "" : D::content_key));
        out.member(kTagKey, literal(name));
        if (!content.empty()) out.member(D::content_key, content);
    });
}

template <class T>
void internal(Out& out) {
    tagged_union<T>(out, [&](auto alternative_type, std::string_view name, const std::string& class_name) {
        using A = typename decltype(alternative_type)::type;
        if constexpr (Describe<A>::style == Style::Flatten) {
            // extra_items (PEP 728) types the free members beside the tag; mypy does not
            // take the keyword yet and reads the class as an ordinary TypedDict.
            out.open_class(class_name, free_members_note(name), "TypedDict, extra_items=JsonValue",
                           "type: ignore[call-arg]");
            out.member(kTagKey, literal(name));
        } else {
            out.open_class(class_name, record_note(member_names<Describe<A>>(name)));
            out.member(kTagKey, literal(name));
            record_members<A>(out);
        }
    });
}

template <class T>
void external(Out& out) {
    using D = Describe<T>;
    std::string units;
    std::vector<std::string> classes;
    each_alternative<T>([&](auto index) {
        using A = alternative<T, index()>;
        const std::string_view name = D::variants[index()];
        if constexpr (UnitAlternative<A>) {
            units += (units.empty() ? "" : ", ") + ("\"" + std::string(name) + "\"");
        } else {
            const std::string class_name = std::string(Named<T>::name) + std::string(name);
            out.open_class(class_name, external_note(name));
            out.member(name, python_type<decltype(A::value)>());
            classes.push_back(class_name);
        }
    });
    classes.insert(classes.begin(), "Literal[" + units + "]");
    out.alias(Named<T>::name, std::string(Named<T>::text) + " " + variants_note<T>(), joined(classes));
}

template <class T>
void declare(Out& out) {
    if constexpr (std::is_same_v<T, JsonValue>) {
        out.alias(Named<T>::name, Named<T>::text,
                  "None | bool | int | float | str | list[JsonValue] | dict[str, JsonValue]");
    } else {
        using D = Describe<T>;
        if constexpr (D::style == Style::Record) {
            out.open_class(Named<T>::name, std::string(Named<T>::text) + " " + record_note(member_names<D>()));
            record_members<T>(out);
        } else if constexpr (D::style == Style::Adjacent) {
            adjacent<T>(out);
        } else if constexpr (D::style == Style::Internal) {
            internal<T>(out);
        } else {
            external<T>(out);
        }
    }
}

}  // namespace

std::string workout_type_declarations() {
    Out out;
    each_named_type([&](auto type) { declare<typename decltype(type)::type>(out); });
    return out.text;
}

}  // namespace tavrik::model
