#include "ops/validate.hpp"

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

// A node's id outlives the tree in the error.
std::string owned(const model::Text& id) { return std::string(id.data(), id.size()); }

// "Set", ..., or Custom("name") with the name quoted and escaped.
std::string kind_display(const NodeKind& kind) {
    if (const auto* custom = std::get_if<NodeKind::Custom>(&kind.v)) {
        std::string s = "Custom(";
        json::append_debug_quoted(s, custom->value);
        s += ')';
        return s;
    }
    return std::string(model::Describe<NodeKind>::variants[kind.v.index()]);
}

// Whether the payload variant is the one the kind requires.
bool kind_matches_payload(const Node& node) {
    const auto& payload = node.payload.v;
    return std::visit(
        [&](const auto& kind) {
            using K = std::decay_t<decltype(kind)>;
            if constexpr (std::is_same_v<K, NodeKind::Set>) return std::holds_alternative<NodePayload::Leaf>(payload);
            else if constexpr (std::is_same_v<K, NodeKind::Exercise>) return std::holds_alternative<NodePayload::Exercise>(payload);
            else if constexpr (std::is_same_v<K, NodeKind::Block>) return std::holds_alternative<NodePayload::Block>(payload);
            else if constexpr (std::is_same_v<K, NodeKind::Custom>) return std::holds_alternative<NodePayload::Custom>(payload);
            else return std::holds_alternative<NodePayload::Temporal>(payload);
        },
        node.kind.v);
}

// Pre-order: the node's own checks, then each child's subtree in order.  The depth is
// bounded by the reader's nesting limit.
void validate_node(const Node& node, std::vector<ValidationError>& errors, std::vector<const Node*>* nodes) {
    // Cold: errors are few, and nobody asks for their nodes on the module's own path.
    auto at = [&](const Node& n) {
        if (nodes != nullptr) nodes->push_back(&n);
    };
    if (!kind_matches_payload(node)) {
        errors.push_back({owned(node.id), "NodeKind " + kind_display(node.kind) + " does not match payload variant"});
        at(node);
    }
    if (const auto* leaf = std::get_if<NodePayload::Leaf>(&node.payload.v)) {
        if (leaf->measures.empty()) {
            errors.push_back({owned(node.id), "Set node must have at least one measure"});
            at(node);
        }
    } else if (std::holds_alternative<NodePayload::Block>(node.payload.v)) {
        if (node.children.empty()) {
            errors.push_back({owned(node.id), "Block node must have at least one child"});
            at(node);
        }
        for (const Node& child : node.children) {
            if (std::holds_alternative<NodeKind::Set>(child.kind.v)) {
                errors.push_back({owned(child.id), "Set should not be a direct child of Block (wrap in Exercise)"});
                at(child);
            }
        }
    } else if (std::holds_alternative<NodePayload::Exercise>(node.payload.v)) {
        for (const Node& child : node.children) {
            if (std::holds_alternative<NodeKind::Block>(child.kind.v) ||
                std::holds_alternative<NodeKind::Session>(child.kind.v)) {
                errors.push_back({owned(child.id), kind_display(child.kind) + " should not be a child of Exercise"});
                at(child);
            }
        }
    }
    for (const Node& child : node.children) validate_node(child, errors, nodes);
}

}  // namespace

std::string ValidationError::display() const { return node_id + ": " + message; }

std::vector<ValidationError> validate(const model::Workout& workout, std::vector<const model::Node*>* nodes) {
    std::vector<ValidationError> errors;
    validate_node(workout.root, errors, nodes);
    return errors;
}

}  // namespace tavrik::ops
