#include "model/arena.hpp"

#include <algorithm>
#include <new>

namespace tavrik::model {

namespace {

// What a thread keeps between calls: enough for the trees of most documents, and with
// to_json's kept buffer at most 4 MiB.
constexpr std::size_t kSpareBytes = std::size_t{2} << 20;

}  // namespace

thread_local Arena* Arena::current_ = nullptr;
thread_local Arena::Spares Arena::spares_;

Arena::Spares::~Spares() {
    while (blocks != nullptr) {
        Block* previous = blocks->previous;
        unpoison(blocks, blocks->size);
        json::free_buffer(blocks, blocks->size);
        blocks = previous;
    }
}

Arena::Arena() { poison(first_, sizeof first_); }

Arena::~Arena() {
    // The first block is on the caller's stack, which must be clean when it is reused.
    unpoison(first_, sizeof first_);
    Spares& spares = spares_;
    while (blocks_ != nullptr) {
        Block* previous = blocks_->previous;
        if (spares.bytes + blocks_->size <= kSpareBytes) {
            blocks_->previous = spares.blocks;
            spares.blocks = blocks_;
            spares.bytes += blocks_->size;
        } else {
            unpoison(blocks_, blocks_->size);
            json::free_buffer(blocks_, blocks_->size);
        }
        blocks_ = previous;
    }
}

void* Arena::allocate_in_new_block(std::size_t bytes) {
    // Blocks double up to a megabyte, so a large tree takes few of them and a small one
    // wastes little.
    const std::size_t header = rounded(sizeof(Block));
    const std::size_t need = header + rounded(bytes) + kRedzone;
    next_block_ = std::min<std::size_t>(next_block_ * 2, std::size_t{1} << 20);
    // A spare block that is large enough, else a new one.
    Spares& spares = spares_;
    Block* block = nullptr;
    for (Block** link = &spares.blocks; *link != nullptr; link = &(*link)->previous) {
        if ((*link)->size >= need) {
            block = *link;
            *link = block->previous;
            spares.bytes -= block->size;
            break;
        }
    }
    if (block == nullptr) {
        const std::size_t size = std::max(next_block_ / 2, need);
        block = static_cast<Block*>(json::allocate_buffer(size));
        block->size = size;
    }
    const std::size_t size = block->size;
    block->previous = blocks_;
    blocks_ = block;
    cur_ = reinterpret_cast<char*>(block) + header;
    end_ = reinterpret_cast<char*>(block) + size;
    poison(cur_, size - header);
    return allocate(bytes);
}

}  // namespace tavrik::model
