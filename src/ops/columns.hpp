// A workout's recorded streams, laps and prescribed sets as column tables.
#pragma once

#include <expected>
#include <string>

#include "arrow/table.hpp"
#include "model/workout.hpp"

namespace tavrik::ops {

enum class Ragged : bool {
    Error,  // a channel whose length differs from the timestamps' is an error
    Pad,    // shorter columns get nulls at their end
};

// One row per timestamp: `timestamp`, then a column per channel named after its metric
// (`_2`, `_3`, ... on a repeated name); a position channel is a struct of lat, lng and
// altitude.  The sample lists are moved out of `workout`, not copied.  The error is the
// message of a ragged channel.
std::expected<arrow::Table, std::string> stream_columns(model::Workout& workout, Ragged ragged);

// One row per lap: indices, trigger, name, and a column per summary key.
arrow::Table lap_columns(const model::Workout& workout);

// One row per set that count_sets counts, in the same order.
arrow::Table set_columns(const model::Workout& workout);

}  // namespace tavrik::ops
