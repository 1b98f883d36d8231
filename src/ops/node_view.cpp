#include "ops/node_view.hpp"

#include <cstddef>
#include <variant>

#include "model/fast_read.hpp"
#include "ops/entry_sink.hpp"

namespace tavrik::ops {

namespace {

// The walk instantiated for a sink of this file alone: its functions then have internal
// linkage, and the compiler inlines the many that are called from one place only (a
// walk over a shared sink type was a sixth slower for want of that).
struct LocalSink : EntrySink {
    using EntrySink::EntrySink;
};
}  // namespace

std::optional<NodeEntries> scan_nodes(std::string_view text) {
    // The walk gives up on any backslash (escapes are for the general reader), so a text
    // with one goes there at once instead of after a walk up to it.
    if (text.find('\\') != std::string_view::npos) return std::nullopt;
    NodeEntries entries;
    // A node takes some 60 bytes of text at the least; most take a few hundred.
    entries.reserve(text.size() / 256 + 4);
    LocalSink sink(entries);
    if (!model::fast::walk<model::Workout>(text, sink)) return std::nullopt;
    return entries;
}

}  // namespace tavrik::ops
