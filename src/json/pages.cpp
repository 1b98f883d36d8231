#include "json/pages.hpp"

#include <cstring>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define TAVRIK_PAGES_FROM_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TAVRIK_PAGES_FROM_HEAP 1
#endif
#endif
#if !defined(TAVRIK_PAGES_FROM_HEAP) && !defined(__unix__) && !defined(__APPLE__)
#define TAVRIK_PAGES_FROM_HEAP 1
#endif

#if !defined(TAVRIK_PAGES_FROM_HEAP)
#include <sys/mman.h>
#endif

namespace tavrik::json {

namespace {

[[maybe_unused]] bool mapped([[maybe_unused]] std::size_t bytes) {
#if defined(TAVRIK_PAGES_FROM_HEAP)
    return false;
#else
    return bytes >= kPagesFrom;
#endif
}

}  // namespace

void* allocate_buffer(std::size_t bytes) {
#if !defined(TAVRIK_PAGES_FROM_HEAP)
    if (mapped(bytes)) {
        void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
        return p;
    }
#endif
    return ::operator new(bytes);
}

void free_buffer(void* p, [[maybe_unused]] std::size_t bytes) noexcept {
    if (p == nullptr) return;
#if !defined(TAVRIK_PAGES_FROM_HEAP)
    if (mapped(bytes)) {
        munmap(p, bytes);
        return;
    }
#endif
    ::operator delete(p);
}

void* grow_buffer(void* p, std::size_t old_bytes, std::size_t bytes, std::size_t used) {
#if defined(__linux__) && !defined(TAVRIK_PAGES_FROM_HEAP)
    if (p != nullptr && mapped(old_bytes) && mapped(bytes)) {
        void* moved = mremap(p, old_bytes, bytes, MREMAP_MAYMOVE);
        if (moved == MAP_FAILED) throw std::bad_alloc();
        return moved;
    }
#endif
    void* fresh = allocate_buffer(bytes);
    if (used != 0) std::memcpy(fresh, p, used);
    free_buffer(p, old_bytes);
    return fresh;
}

bool shrink_buffer([[maybe_unused]] void* p, [[maybe_unused]] std::size_t old_bytes,
                   [[maybe_unused]] std::size_t bytes) noexcept {
#if !defined(TAVRIK_PAGES_FROM_HEAP)
    if (p != nullptr && mapped(old_bytes) && mapped(bytes) && bytes < old_bytes) {
        return munmap(static_cast<char*>(p) + bytes, old_bytes - bytes) == 0;
    }
#endif
    return false;
}

}  // namespace tavrik::json
