// Buffered values: JSON values read whole before they are interpreted, as the tagged
// enumerations need when their tag may come after their content.
//
// Values are laid out flat on a tape, one slot per value in document order, so buffering
// allocates nothing per value.  A container's slot records how many children it has and
// where its subtree ends; an object's members are a key slot (a string) followed by the
// value's subtree, repeated names included.  Strings refer to the input when they had no
// escapes, else to text the tape owns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "json/number.hpp"

namespace tavrik::json {

struct Slot {
    enum class Kind : std::uint8_t { Null, Bool, Number, String, Array, Object };
    Kind kind;
    bool boolean = false;
    std::uint32_t count = 0;  // elements or members of a container
    std::uint32_t end = 0;    // index one past this value's subtree
    Number number{};
    std::string_view text{};
};

// Values are stored in 12 bytes each (a worst case of 6 bytes per byte of text, for an
// array of one-digit numbers) and in chunks that never move, so that the tape does not
// hold an old and a new copy of itself while it grows.
class Tape {
public:
    explicit Tape(bool keep_samples = true) : keep_samples_(keep_samples) {}
    ~Tape();
    Tape(const Tape&) = delete;
    Tape& operator=(const Tape&) = delete;

    // Whether a buffered list of samples is kept when read, or only checked.
    bool keep_samples() const { return keep_samples_; }

    Slot operator[](std::uint32_t i) const { return decode(at(i), i); }
    std::uint32_t size() const { return size_; }

    std::uint32_t push(const Slot& slot) {
        if (size_ == capacity_) add_chunk();
        const std::uint32_t i = size_++;
        at(i) = encode(slot, i + 1);
        return i;
    }
    // Escaped text, kept at a stable address until the tape is cut back.
    std::string_view own(std::string_view s);
    // Closes the container opened at `index` with `count` children.
    void close(std::uint32_t index, std::uint32_t count) {
        Packed& p = at(index);
        p.a = count;
        p.b = size_;
    }

    struct Mark {
        std::uint32_t slots = 0;
        std::size_t text_chunks = 0;
        std::size_t text_used = 0;
        std::size_t long_texts = 0;
    };
    Mark mark() const { return {size_, texts_.size(), text_used_, long_.size()}; }
    // Forgets everything pushed after `m`, and gives back the chunks it no longer needs.
    void cut(Mark m);

private:
    // head: kind in bits 0-2, the number's kind or the boolean in bits 3-4, and for a
    // string its length from bit 5 (or kLongText, the length then kept in `long_`).
    // a, b: a number's bits; a string's address; a container's count and end.
    struct Packed {
        std::uint32_t head;
        std::uint32_t a;
        std::uint32_t b;
    };
    static_assert(sizeof(Packed) == 12);
    static constexpr std::uint32_t kLongText = (std::uint32_t{1} << 27) - 1;
    static constexpr std::uint32_t kFirstChunk = 1024;
    static constexpr std::uint32_t kChunk = 32768;  // 384 KiB

    Packed encode(const Slot& slot, std::uint32_t end);
    Slot decode(const Packed& p, std::uint32_t index) const;
    Packed& at(std::uint32_t i) const {
        if (i < kFirstChunk) return chunks_[0][i];
        i -= kFirstChunk;
        return chunks_[1 + i / kChunk][i % kChunk];
    }
    static std::uint32_t chunk_slots(std::size_t k) { return k == 0 ? kFirstChunk : kChunk; }
    void add_chunk();

    struct Text {
        char* data;
        std::size_t size;
    };
    std::vector<Packed*> chunks_;
    std::uint32_t size_ = 0;
    std::uint32_t capacity_ = 0;
    std::vector<Text> texts_;  // escaped text, in chunks
    std::size_t text_used_ = 0;  // in the last chunk
    std::vector<std::string_view> long_;  // strings too long for a head, by index
    bool keep_samples_;
};

// The word for a buffered value in "invalid type: ..." messages.
std::string unexpected(const Slot& slot);

}  // namespace tavrik::json
