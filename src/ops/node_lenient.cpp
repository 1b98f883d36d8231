#include <optional>
#include <string_view>

#include "model/fast_read.hpp"
#include "ops/entry_sink.hpp"
#include "ops/node_view.hpp"

namespace tavrik::ops {

namespace {
// A sink of this file alone, for the same inlining as scan_nodes()'s walk.
struct LenientSink : EntrySink {
    using EntrySink::EntrySink;
};
}  // namespace

// Apart from scan_nodes(), whose walk the lenient one would otherwise slow down: the
// compiler inlines less into a unit that holds both.
NodeScan scan_nodes_lenient(std::string_view text) {
    NodeScan scan;
    NodeEntries& entries = scan.nodes.emplace();
    entries.reserve(text.size() / 256 + 4);
    LenientSink sink(entries, scan.texts);
    model::fast::Walker<LenientSink, true> walker(text, sink);
    if (walker.document<model::Workout>()) return scan;
    scan.nodes.reset();
    scan.fault = model::fast::grammar_fault(text, walker);
    return scan;
}

}  // namespace tavrik::ops
