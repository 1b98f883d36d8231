// Counting the set prescriptions of a workout tree.
#pragma once

#include <cstdint>

#include "model/workout.hpp"
#include "ops/node_view.hpp"

namespace tavrik::ops {

// Nodes whose payload is a leaf prescription, whatever their kind; wraps modulo 2^32.
std::uint32_t count_sets(const model::Workout& workout);
std::uint32_t count_sets(const NodeEntries& nodes);

}  // namespace tavrik::ops
