// Structural validation of a workout tree.
#pragma once

#include <string>
#include <vector>

#include "model/workout.hpp"
#include "ops/node_view.hpp"

namespace tavrik::ops {

struct ValidationError {
    std::string node_id;
    std::string message;
    // "{node_id}: {message}"
    std::string display() const;
};

// Depth-first, pre-order; an empty list means the tree is sound.  With `nodes`, the node
// each error is reported for is added to it, one per error, for callers that place them.
std::vector<ValidationError> validate(const model::Workout& workout,
                                      std::vector<const model::Node*>* nodes = nullptr);
// The same over the entries of a walked text.
std::vector<ValidationError> validate(const NodeEntries& nodes);

}  // namespace tavrik::ops
