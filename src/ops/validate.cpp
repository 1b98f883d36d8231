#include "ops/validate.hpp"

#include <cstddef>
#include <string_view>
#include <type_traits>
#include <variant>

#include "json/error.hpp"
#include "model/forms.hpp"

namespace tavrik::ops {

using model::Node;
using model::NodeKind;
using model::NodePayload;

namespace {

// The payload variant each kind requires.
constexpr std::size_t required_payload(std::size_t kind) {
    if (kind == kind_index<NodeKind::Set>) return payload_index<NodePayload::Leaf>;
    if (kind == kind_index<NodeKind::Exercise>) return payload_index<NodePayload::Exercise>;
    if (kind == kind_index<NodeKind::Block>) return payload_index<NodePayload::Block>;
    if (kind == kind_index<NodeKind::Custom>) return payload_index<NodePayload::Custom>;
    return payload_index<NodePayload::Temporal>;
}

// "Set", ..., or Custom("name") with the name quoted and escaped.
std::string kind_display(std::size_t kind, std::string_view custom) {
    if (kind == kind_index<NodeKind::Custom>) {
        std::string s = "Custom(";
        json::append_debug_quoted(s, custom);
        s += ')';
        return s;
    }
    return std::string(model::Describe<NodeKind>::variants[kind]);
}

std::string_view view(const model::Text& s) { return {s.data(), s.size()}; }

// The tree of a read workout.
struct ModelView {
    using Ref = const Node*;
    static std::string_view id(Ref n) { return view(n->id); }
    static std::size_t kind(Ref n) { return n->kind.v.index(); }
    static std::string_view custom_kind(Ref n) {
        const auto* custom = std::get_if<NodeKind::Custom>(&n->kind.v);
        return custom != nullptr ? view(custom->value) : std::string_view();
    }
    static std::size_t payload(Ref n) { return n->payload.v.index(); }
    static bool no_measures(Ref n) {
        const auto* leaf = std::get_if<NodePayload::Leaf>(&n->payload.v);
        return leaf != nullptr && leaf->measures.empty();
    }
    static bool childless(Ref n) { return n->children.empty(); }
    template <class F>
    static void each_child(Ref n, F&& f) {
        for (const Node& child : n->children) f(&child);
    }
};

// The node entries of a walked text.
struct EntryView {
    using Ref = const NodeEntry*;
    const NodeEntry* first;
    std::string_view id(Ref n) const { return n->id; }
    std::size_t kind(Ref n) const { return n->kind; }
    std::string_view custom_kind(Ref n) const { return n->custom_kind; }
    std::size_t payload(Ref n) const { return n->payload; }
    bool no_measures(Ref n) const { return n->no_measures; }
    bool childless(Ref n) const { return n->end == index(n) + 1; }
    template <class F>
    void each_child(Ref n, F&& f) const {
        for (std::uint32_t i = index(n) + 1; i < n->end; i = first[i].end) f(first + i);
    }
    std::uint32_t index(Ref n) const { return static_cast<std::uint32_t>(n - first); }
};

// The checks of one node and of its children as its children.
// `placed`, when given, receives the node each error is reported for, one per error.
template <class View>
void check_node(const View& v, typename View::Ref node, std::vector<ValidationError>& errors,
                std::vector<typename View::Ref>* placed) {
    // Cold: errors are few, and nobody asks for their nodes on the module's own path.
    auto report = [&](typename View::Ref at, std::string message) {
        errors.push_back({std::string(v.id(at)), std::move(message)});
        if (placed != nullptr) placed->push_back(at);
    };
    const std::size_t kind = v.kind(node);
    const std::size_t payload = v.payload(node);
    if (payload != required_payload(kind)) {
        report(node, "NodeKind " + kind_display(kind, v.custom_kind(node)) + " does not match payload variant");
    }
    if (payload == payload_index<NodePayload::Leaf>) {
        if (v.no_measures(node)) report(node, "Set node must have at least one measure");
    } else if (payload == payload_index<NodePayload::Block>) {
        if (v.childless(node)) report(node, "Block node must have at least one child");
        v.each_child(node, [&](typename View::Ref child) {
            if (v.kind(child) == kind_index<NodeKind::Set>) {
                report(child, "Set should not be a direct child of Block (wrap in Exercise)");
            }
        });
    } else if (payload == payload_index<NodePayload::Exercise>) {
        v.each_child(node, [&](typename View::Ref child) {
            const std::size_t k = v.kind(child);
            if (k == kind_index<NodeKind::Block> || k == kind_index<NodeKind::Session>) {
                report(child, kind_display(k, v.custom_kind(child)) + " should not be a child of Exercise");
            }
        });
    }
}

// Pre-order: the node's own checks, then each child's subtree in order.  The depth is
// bounded by the reader's nesting limit.
template <class View>
void validate_node(const View& v, typename View::Ref node, std::vector<ValidationError>& errors,
                   std::vector<typename View::Ref>* placed) {
    check_node(v, node, errors, placed);
    v.each_child(node, [&](typename View::Ref child) { validate_node(v, child, errors, placed); });
}

}  // namespace

std::string ValidationError::display() const { return node_id + ": " + message; }

std::vector<ValidationError> validate(const model::Workout& workout, std::vector<const model::Node*>* nodes) {
    std::vector<ValidationError> errors;
    validate_node(ModelView{}, &workout.root, errors, nodes);
    return errors;
}

std::vector<ValidationError> validate(const NodeEntries& nodes) {
    std::vector<ValidationError> errors;
    // The entries are in pre-order already: one pass over them meets the nodes in the
    // order of validate_node(), without its recursion.
    const EntryView view{nodes.data()};
    for (const NodeEntry& node : nodes) {
        check_node(view, &node, errors, static_cast<std::vector<EntryView::Ref>*>(nullptr));
    }
    return errors;
}

}  // namespace tavrik::ops
