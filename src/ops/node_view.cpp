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

NodeScan scan_nodes(std::string_view text) {
    // A text that does not end as an object goes to the general reader at once instead
    // of after a walk up to its end.
    if (!model::fast::ends_as_object(text)) return {};
    NodeScan scan;
    NodeEntries& entries = scan.nodes.emplace();
    // A node takes some 60 bytes of text at the least; most take a few hundred (a plan's
    // some 200, which a room for one in 256 bytes had the vector grow for once).
    entries.reserve(text.size() / 128 + 4);
    LocalSink sink(entries, scan.texts);
    model::fast::Walker<LocalSink, false> walker(text, sink);
    if (walker.document<model::Workout>()) return scan;
    if (model::fast::worth_lenient(text, walker.stopped_at())) return scan_nodes_lenient(text);
    scan.nodes.reset();
    scan.fault = model::fast::grammar_fault(text, walker);
    return scan;
}

}  // namespace tavrik::ops
