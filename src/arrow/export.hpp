// Handing a Table to Arrow consumers through the C data and stream interfaces.
//
// Every exported struct owns what it points to: its private data holds shared references
// to the table's buffers, so the consumer may release the schema, the array, each child
// and the stream in any order, or move children out and release them later.  Nothing is
// copied; the buffers are freed when the last of the table and its exports lets go.
#pragma once

#include <memory>

#include "arrow/c_data.hpp"
#include "arrow/table.hpp"

namespace tavrik::arrow {

// The table's schema: a struct whose fields are the columns.  May throw std::bad_alloc,
// leaving `out` untouched.
void export_schema(const Table& table, ArrowSchema* out);
// The table as one record batch (a struct array of its columns).
void export_array(const Table& table, ArrowArray* out);
// A stream that yields the table as one record batch, then ends.
void export_stream(std::shared_ptr<const Table> table, ArrowArrayStream* out);

}  // namespace tavrik::arrow
