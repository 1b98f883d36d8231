// Memory for one read: the tree's small strings and lists come from a bump allocator
// that is released in one step, instead of a malloc and a free for each.
//
// While an Arena::Scope is open on a thread, every Text and List constructed on that
// thread takes its small allocations from the scope's arena; anything constructed
// outside a scope uses the heap as usual.  A container keeps the arena it was made with,
// so whatever was built inside a scope must be destroyed before the scope closes.
// Allocations above kLargeBytes (recorded samples, long lists) always go to the heap, the
// largest straight to the system (json/pages.hpp), and are freed as usual.  Freed small
// pieces are kept by size and serve the next request of that size, so a list that grows
// leaves its old buffers to the lists after it.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <string>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "json/pages.hpp"

#if defined(__SANITIZE_ADDRESS__)
#define TAVRIK_ARENA_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TAVRIK_ARENA_ASAN 1
#endif
#endif
#if defined(TAVRIK_ARENA_ASAN)
#include <sanitizer/asan_interface.h>
#endif

namespace tavrik::model {

class Arena {
public:
    static constexpr std::size_t kLargeBytes = 2048;
    // Every piece is a multiple of this and aligned to it.
    static constexpr std::size_t kGrain = 16;

    Arena();
    ~Arena();
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;

    void* allocate(std::size_t bytes) {
        const std::size_t size = rounded(bytes);
        void*& head = free_[size / kGrain];
        if (head != nullptr) {
            void* p = head;
            unpoison(p, sizeof(void*));
            head = *static_cast<void**>(p);
            unpoison(p, bytes);
            return p;
        }
        if (size + kRedzone > static_cast<std::size_t>(end_ - cur_)) return allocate_in_new_block(bytes);
        void* p = cur_;
        cur_ += size + kRedzone;
        unpoison(p, bytes);
        return p;
    }
    void deallocate(void* p, std::size_t bytes) noexcept {
        const std::size_t size = rounded(bytes);
        void*& head = free_[size / kGrain];
        poison(p, size);
        unpoison(p, sizeof(void*));
        *static_cast<void**>(p) = head;
        poison(p, sizeof(void*));
        head = p;
    }

    // The arena of this thread's innermost open scope, or null.
    static Arena* current() noexcept { return current_; }

    // Makes an arena current for its lifetime; scopes nest.
    class Scope {
    public:
        explicit Scope(Arena& arena) noexcept : previous_(current_) { current_ = &arena; }
        ~Scope() { current_ = previous_; }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        Arena* previous_;
    };

private:
#if defined(TAVRIK_ARENA_ASAN)
    // Under AddressSanitizer what is not handed out stays poisoned, with a gap after each
    // allocation, so that overruns inside the arena are caught as on the heap.
    static constexpr std::size_t kRedzone = 16;
#else
    static constexpr std::size_t kRedzone = 0;
#endif
    struct Block {
        Block* previous;
        std::size_t size;
    };
    static std::size_t rounded(std::size_t bytes) {
        return bytes <= kGrain ? kGrain : (bytes + kGrain - 1) & ~(kGrain - 1);
    }
    static void poison([[maybe_unused]] void* p, [[maybe_unused]] std::size_t n) {
#if defined(TAVRIK_ARENA_ASAN)
        ASAN_POISON_MEMORY_REGION(p, n);
#endif
    }
    static void unpoison([[maybe_unused]] void* p, [[maybe_unused]] std::size_t n) {
#if defined(TAVRIK_ARENA_ASAN)
        ASAN_UNPOISON_MEMORY_REGION(p, n);
#endif
    }
    void* allocate_in_new_block(std::size_t bytes);

    // The initial-exec model keeps each lookup a single thread-pointer-relative load.
    static thread_local Arena* current_ __attribute__((tls_model("initial-exec")));

    // Freed blocks kept for this thread's next arenas, so that each call does not map
    // and fault in fresh pages.
    struct Spares {
        Block* blocks = nullptr;
        std::size_t bytes = 0;
        ~Spares();
    };
    static thread_local Spares spares_;

    void* free_[kLargeBytes / kGrain + 1] = {};  // freed pieces by size / kGrain
    alignas(kGrain) char first_[4096];
    char* cur_ = first_;
    char* end_ = first_ + sizeof first_;
    Block* blocks_ = nullptr;
    std::size_t next_block_ = 16384;
};

// Takes the current arena when the container is made and keeps it.
template <class T>
struct ArenaAllocator {
    using value_type = T;
    using propagate_on_container_copy_assignment = std::true_type;
    using propagate_on_container_move_assignment = std::true_type;
    using propagate_on_container_swap = std::true_type;
    using is_always_equal = std::false_type;

    Arena* arena = Arena::current();

    ArenaAllocator() noexcept = default;
    template <class U>
    ArenaAllocator(const ArenaAllocator<U>& other) noexcept : arena(other.arena) {}

    T* allocate(std::size_t n) {
        static_assert(alignof(T) <= Arena::kGrain);
        if (arena != nullptr && n <= Arena::kLargeBytes / sizeof(T)) return static_cast<T*>(arena->allocate(n * sizeof(T)));
        if (n > std::size_t(-1) / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(json::allocate_buffer(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept {
        if (arena != nullptr && n <= Arena::kLargeBytes / sizeof(T)) {
            arena->deallocate(p, n * sizeof(T));
            return;
        }
        json::free_buffer(p, n * sizeof(T));
    }
    // A copy belongs where it is made, not where its original was.
    ArenaAllocator select_on_container_copy_construction() const noexcept { return ArenaAllocator{}; }

    template <class U>
    bool operator==(const ArenaAllocator<U>& other) const noexcept {
        return arena == other.arena;
    }
};

using Text = std::basic_string<char, std::char_traits<char>, ArenaAllocator<char>>;
template <class T>
using List = std::vector<T, ArenaAllocator<T>>;

}  // namespace tavrik::model
