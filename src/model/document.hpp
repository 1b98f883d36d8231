// Reading a whole workout document from JSON text.
#pragma once

#include <expected>
#include <string_view>

#include "json/error.hpp"
#include "model/workout.hpp"

namespace tavrik::model {

struct ReadOptions {
    // false takes only the general paths, for checking the fast ones.
    bool direct_reads = true;
    // false checks the recorded samples (timestamps and channel values) as strictly but
    // leaves their lists empty, for callers that never look at them: the samples are
    // most of a recording and would otherwise be its largest allocations.
    bool keep_samples = true;
};

// One Workout followed by nothing but whitespace. The text is read in place: nothing in
// the result refers to it after the call.  Every option gives the same success or the
// same error.
std::expected<Workout, json::Error> read_document(std::string_view text, ReadOptions options = {});

}  // namespace tavrik::model
