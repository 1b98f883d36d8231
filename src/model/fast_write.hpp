// Writing a workout text that is already in written form without reading it into a model.
#pragma once

#include <optional>
#include <string_view>

#include "json/error.hpp"
#include "json/writer.hpp"

namespace tavrik::model {

// Writes `text` into `writer` (after what it holds) as write_document would write the
// workout it holds, when the text is already in the written form: the members the writer
// writes, in its order and nothing else, and every scalar as the writer writes it save
// typed doubles, which are rewritten from their tokens, so that only the layout and
// those differ.  False, with the writer as it was, for any other text: the caller then
// reads it into a model and writes that.
bool write_written_form(std::string_view text, json::Writer& writer);
// The same, and when the walk stopped at a fault of the JSON grammar that the general
// reading meets first, `fault` is set to that reading's error.
bool write_written_form(std::string_view text, json::Writer& writer, std::optional<json::Error>& fault);

}  // namespace tavrik::model
