// The node tree as validation and counting see it: one small entry per node, recorded
// while the text is walked, without building the workout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "json/error.hpp"
#include "model/text_store.hpp"
#include "model/workout.hpp"

namespace tavrik::ops {

// The index of alternative A in the variant V, so that rules name types, not numbers.
template <class V, class A>
constexpr std::size_t index_of() {
    return []<std::size_t... I>(std::index_sequence<I...>) {
        std::size_t index = 0;
        (void)((std::is_same_v<std::variant_alternative_t<I, V>, A> ? (index = I, true) : false) || ...);
        return index;
    }(std::make_index_sequence<std::variant_size_v<V>>{});
}
template <class A>
constexpr std::size_t kind_index = index_of<decltype(model::NodeKind::v), A>();
template <class A>
constexpr std::size_t payload_index = index_of<decltype(model::NodePayload::v), A>();

// One node, in pre-order; its children follow it up to `end`.
struct NodeEntry {
    std::string_view id;           // in the text
    std::string_view custom_kind;  // the name of a Custom kind, in the text
    std::uint32_t end = 0;         // one past the last entry of the subtree
    std::uint8_t kind = 0;         // the NodeKind variant index
    std::uint8_t payload = 0;      // the NodePayload variant index
    bool no_measures = false;      // a Leaf payload with no measures
};

using NodeEntries = std::vector<NodeEntry>;

// What a walk of a workout text found: its nodes, when the text is in its common form; or
// the first error of its general reading, when that is a fault of the JSON grammar where
// the walk stopped; or neither, when the text has to be read the general way.
struct NodeScan {
    std::optional<NodeEntries> nodes;  // pointing into the text, or into `texts`
    std::optional<json::Error> fault;
    model::fast::TextStore texts;  // the ids and custom kinds written with escapes, decoded
};

NodeScan scan_nodes(std::string_view text);
// The same walk taking escaped names and tags not first, for a text that scan_nodes()
// gave up on for them.
NodeScan scan_nodes_lenient(std::string_view text);

}  // namespace tavrik::ops
