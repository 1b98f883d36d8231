// Large buffers taken from the system and given back to it when freed.
//
// The C library keeps memory that a thread freed for that thread's later allocations, and
// after a large block is freed it serves the next ones from that kept memory: a thread that
// once read a large document would hold its peak for good.  Buffers from kPagesFrom bytes
// up are therefore mapped and unmapped directly.  Under AddressSanitizer they come from
// the heap as usual, so that overruns are still caught.
#pragma once

#include <cstddef>

namespace tavrik::json {

inline constexpr std::size_t kPagesFrom = std::size_t{128} << 10;

// `bytes` of room, suitably aligned for any type; throws std::bad_alloc when there is none.
void* allocate_buffer(std::size_t bytes);
// Frees a buffer of allocate_buffer, given the size it was asked for.
void free_buffer(void* p, std::size_t bytes) noexcept;
// A buffer of `bytes` holding the first `used` bytes of `p` (`old_bytes` large), which is
// freed; large buffers grow in place where the system can move their pages.
void* grow_buffer(void* p, std::size_t old_bytes, std::size_t bytes, std::size_t used);
// Gives the pages of a mapped buffer past its first `bytes` (a multiple of the page size)
// back to the system and keeps the rest where it is, resident.  False, with nothing
// changed, for a buffer that is not mapped.
bool shrink_buffer(void* p, std::size_t old_bytes, std::size_t bytes) noexcept;

}  // namespace tavrik::json
