#include "model/document.hpp"

#include "json/reader.hpp"
#include "json/source.hpp"
#include "model/read.hpp"

namespace tavrik::model {

std::expected<Workout, json::Error> read_document(std::string_view text, ReadOptions options) {
    json::Reader reader(text);
    json::TextSource source(reader, options.direct_reads, options.keep_samples);
    Workout workout;
    if (auto s = read_into(source, workout); !s) return std::unexpected(reader.fix(std::move(s.error())));
    if (auto s = reader.end_document(); !s) return std::unexpected(std::move(s.error()));
    return workout;
}

}  // namespace tavrik::model
