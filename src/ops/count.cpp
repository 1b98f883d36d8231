#include "ops/count.hpp"

#include <variant>

namespace tavrik::ops {

namespace {

void count_node(const model::Node& node, std::uint32_t& count) {
    // The kind is not consulted: a leaf prescription is a set wherever it stands.
    if (std::holds_alternative<model::NodePayload::Leaf>(node.payload.v)) ++count;
    for (const model::Node& child : node.children) count_node(child, count);
}

}  // namespace

std::uint32_t count_sets(const model::Workout& workout) {
    std::uint32_t count = 0;  // unsigned: wraps modulo 2^32
    count_node(workout.root, count);
    return count;
}

std::uint32_t count_sets(const NodeEntries& nodes) {
    constexpr auto leaf = static_cast<std::uint8_t>(payload_index<model::NodePayload::Leaf>);
    std::uint32_t count = 0;
    for (const NodeEntry& node : nodes) count += node.payload == leaf;
    return count;
}

}  // namespace tavrik::ops
