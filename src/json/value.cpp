#include "json/value.hpp"

#include <algorithm>
#include <cstring>

#include "json/pages.hpp"

namespace tavrik::json {

namespace {

constexpr std::size_t kTextChunk = std::size_t{64} << 10;

}  // namespace

Tape::Packed Tape::encode(const Slot& slot, std::uint32_t end) {
    Packed p{static_cast<std::uint32_t>(slot.kind), 0, 0};
    switch (slot.kind) {
        case Slot::Kind::Null: break;
        case Slot::Kind::Bool: p.head |= std::uint32_t{slot.boolean} << 3; break;
        case Slot::Kind::Number: {
            p.head |= static_cast<std::uint32_t>(slot.number.kind) << 3;
            std::uint64_t bits = 0;
            std::memcpy(&bits, &slot.number.u, sizeof bits);
            p.a = static_cast<std::uint32_t>(bits);
            p.b = static_cast<std::uint32_t>(bits >> 32);
            break;
        }
        case Slot::Kind::String: {
            std::uint64_t address = reinterpret_cast<std::uintptr_t>(slot.text.data());
            if (slot.text.size() < kLongText) {
                p.head |= static_cast<std::uint32_t>(slot.text.size()) << 5;
            } else {
                p.head |= kLongText << 5;
                address = long_.size();
                long_.push_back(slot.text);
            }
            p.a = static_cast<std::uint32_t>(address);
            p.b = static_cast<std::uint32_t>(address >> 32);
            break;
        }
        case Slot::Kind::Array:
        case Slot::Kind::Object:
            p.a = slot.count;
            p.b = end;
            break;
    }
    return p;
}

Slot Tape::decode(const Packed& p, std::uint32_t index) const {
    // A scalar's subtree is itself alone.
    Slot slot{.kind = static_cast<Slot::Kind>(p.head & 7), .end = index + 1};
    const std::uint64_t payload = std::uint64_t{p.a} | std::uint64_t{p.b} << 32;
    switch (slot.kind) {
        case Slot::Kind::Null: break;
        case Slot::Kind::Bool: slot.boolean = (p.head >> 3 & 1) != 0; break;
        case Slot::Kind::Number:
            slot.number.kind = static_cast<Number::Kind>(p.head >> 3 & 3);
            std::memcpy(&slot.number.u, &payload, sizeof payload);
            break;
        case Slot::Kind::String: {
            const std::uint32_t length = p.head >> 5;
            if (length == kLongText) {
                slot.text = long_[payload];
            } else {
                slot.text = std::string_view(reinterpret_cast<const char*>(static_cast<std::uintptr_t>(payload)), length);
            }
            break;
        }
        case Slot::Kind::Array:
        case Slot::Kind::Object:
            slot.count = p.a;
            slot.end = p.b;
            break;
    }
    return slot;
}

void Tape::add_chunk() {
    const std::uint32_t slots = chunk_slots(chunks_.size());
    chunks_.reserve(chunks_.size() + 1);
    chunks_.push_back(static_cast<Packed*>(allocate_buffer(slots * sizeof(Packed))));
    capacity_ += slots;
}

std::string_view Tape::own(std::string_view s) {
    if (texts_.empty() || texts_.back().size - text_used_ < s.size()) {
        const std::size_t size = std::max(kTextChunk, s.size());
        texts_.reserve(texts_.size() + 1);
        texts_.push_back(Text{static_cast<char*>(allocate_buffer(size)), size});
        text_used_ = 0;
    }
    char* at = texts_.back().data + text_used_;
    if (!s.empty()) std::memcpy(at, s.data(), s.size());
    text_used_ += s.size();
    return {at, s.size()};
}

Tape::~Tape() {
    for (std::size_t k = 0; k < chunks_.size(); ++k) free_buffer(chunks_[k], chunk_slots(k) * sizeof(Packed));
    for (const Text& text : texts_) free_buffer(text.data, text.size);
}

void Tape::cut(Mark m) {
    size_ = m.slots;
    // The chunks that hold the kept slots stay, and one more for the next values.
    std::size_t needed = 0;
    for (std::uint32_t room = 0; room < size_; ++needed) room += chunk_slots(needed);
    while (chunks_.size() > needed + 1) {
        capacity_ -= chunk_slots(chunks_.size() - 1);
        free_buffer(chunks_.back(), chunk_slots(chunks_.size() - 1) * sizeof(Packed));
        chunks_.pop_back();
    }
    while (texts_.size() > m.text_chunks) {
        free_buffer(texts_.back().data, texts_.back().size);
        texts_.pop_back();
    }
    text_used_ = m.text_used;
    long_.resize(m.long_texts);
}

}  // namespace tavrik::json
