// Room for the strings a walk decodes, which outlives the walk where a sink keeps them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <new>
#include <string_view>
#include <utility>

namespace tavrik::model::fast {

// The decoded strings of a walk: a string with escapes is decoded here, and its view lasts
// as long as the store, moves included (the blocks stay where they are).  A sink that
// keeps views of text beyond the walk lends the walk its own (`TextStore& texts()`) and
// keeps it as long as the views; any other walk decodes into one of its own.  Nothing is
// allocated until an escape is met.
class TextStore {
public:
    TextStore() = default;
    TextStore(TextStore&& other) noexcept
        : head_(std::exchange(other.head_, nullptr)), at_(std::exchange(other.at_, nullptr)),
          room_(std::exchange(other.room_, 0)) {}
    TextStore& operator=(TextStore&&) = delete;
    ~TextStore() {
        while (head_ != nullptr) {
            Block* next = head_->next;
            ::operator delete(head_);
            head_ = next;
        }
    }

    // Room for n bytes at the end of the store, kept only by commit().
    char* room(std::size_t n) {
        if (n > room_) grow(n);
        return at_;
    }
    // The first n bytes of the last room(), kept.
    std::string_view commit(std::size_t n) {
        const std::string_view kept(at_, n);
        at_ += n;
        room_ -= n;
        return kept;
    }

private:
    struct Block {
        Block* next;
    };
    static constexpr std::size_t kBlock = 4096;

    [[gnu::noinline, gnu::cold]] void grow(std::size_t n) {
        const std::size_t size = std::max(kBlock, n + sizeof(Block));
        auto* block = static_cast<Block*>(::operator new(size));
        block->next = head_;
        head_ = block;
        at_ = reinterpret_cast<char*>(block + 1);
        room_ = size - sizeof(Block);
    }

    Block* head_ = nullptr;
    char* at_ = nullptr;
    std::size_t room_ = 0;
};

}  // namespace tavrik::model::fast
