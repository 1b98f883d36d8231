// Writing a workout text that is already in written form without reading it into a model.
#pragma once

#include <string_view>

#include "json/writer.hpp"

namespace tavrik::model {

// Writes `text` into `writer` (after what it holds) as write_document would write the
// workout it holds, when the text is already in the written form: the members the writer
// writes, in its order and nothing else, and every scalar as the writer writes it save
// typed doubles, which are rewritten from their tokens, so that only the layout and
// those differ.  False, with the writer as it was, for any other text: the caller then
// reads it into a model and writes that.
bool write_written_form(std::string_view text, json::Writer& writer);

}  // namespace tavrik::model
