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
#include <deque>
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

class Tape {
public:
    const Slot& operator[](std::uint32_t i) const { return slots_[i]; }
    std::uint32_t size() const { return static_cast<std::uint32_t>(slots_.size()); }

    std::uint32_t push(Slot slot) {
        slots_.push_back(slot);
        slots_.back().end = size();
        return size() - 1;
    }
    // Escaped text, kept at a stable address until the tape is cut back.
    std::string_view own(std::string_view s) { return owned_.emplace_back(s); }
    // Closes the container opened at `index` with `count` children.
    void close(std::uint32_t index, std::uint32_t count) {
        slots_[index].count = count;
        slots_[index].end = size();
    }

    struct Mark {
        std::size_t slots;
        std::size_t owned;
    };
    Mark mark() const { return {slots_.size(), owned_.size()}; }
    void cut(Mark m) {
        slots_.resize(m.slots);
        owned_.resize(m.owned);
    }

private:
    std::vector<Slot> slots_;
    std::deque<std::string> owned_;
};

// The word for a buffered value in "invalid type: ..." messages.
std::string unexpected(const Slot& slot);

}  // namespace tavrik::json
