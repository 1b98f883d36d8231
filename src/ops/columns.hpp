// A workout's recorded streams, laps and prescribed sets as column tables.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>

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

// The same table read straight from the text by the walk of its common form, without a
// workout; nothing when the text has to be read the general way (which words any error).
std::optional<std::expected<arrow::Table, std::string>> walk_stream_columns(std::string_view text, Ragged ragged);

// One row per lap: indices, trigger, name, and a column per summary key.
arrow::Table lap_columns(const model::Workout& workout);
// The same table read straight from the text; nothing when the general reader has to read it.
std::optional<arrow::Table> walk_lap_columns(std::string_view text);

// One row per set that count_sets counts, in the same order.
arrow::Table set_columns(const model::Workout& workout);
// The same table read straight from the text; nothing when the general reader has to read it.
std::optional<arrow::Table> walk_set_columns(std::string_view text);

}  // namespace tavrik::ops
