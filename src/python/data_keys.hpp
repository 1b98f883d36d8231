// The strs of a call's data keys (metadata, summaries, custom members), which repeat
// across a document: the last str made for each short key is kept for the call.
#pragma once

#include "python/py_ref.hpp"
#include "python/results.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace tavrik::python {

// A direct-mapped cache on the key's bytes: a key that collides just makes a new str.
// Its slots are left unmade until used, so that a call with few data keys (a small
// document has a handful) pays for no more than those.
class DataKeys {
public:
    static constexpr std::size_t kLongest = 64;

    DataKeys() = default;
    DataKeys(const DataKeys&) = delete;
    DataKeys& operator=(const DataKeys&) = delete;
    ~DataKeys() {
        for (std::uint64_t used = used_; used != 0; used &= used - 1) {
            Py_DECREF(entries_[std::countr_zero(used)].str);
        }
    }

    // The str of `k`, borrowed from the cache, or nullptr with an exception set.  Longer
    // keys are not kept: call only for keys up to kLongest bytes.
    PyObject* get(std::string_view k) {
        const std::size_t i = hash(k) % kSize;
        Entry& entry = entries_[i];
        const std::uint64_t bit = std::uint64_t{1} << i;
        if ((used_ & bit) != 0 && entry.size == k.size() && std::memcmp(entry.text, k.data(), k.size()) == 0) {
            return entry.str;
        }
        PyObject* text = make_str(k);
        if (text == nullptr) return nullptr;
        if ((used_ & bit) != 0) Py_DECREF(entry.str);
        used_ |= bit;
        entry.str = text;
        entry.size = static_cast<std::uint8_t>(k.size());
        if (!k.empty()) std::memcpy(entry.text, k.data(), k.size());
        return text;
    }

private:
    // Left uninitialised: only the slots marked in used_ hold anything.
    struct Entry {
        PyObject* str;
        std::uint8_t size;
        char text[kLongest];
    };
    static std::uint64_t hash(std::string_view k) {
        std::uint64_t h = 14695981039346656037ULL;  // FNV-1a
        for (char c : k) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
        return h;
    }
    static constexpr std::size_t kSize = 64;
    static_assert(kSize <= 64, "one bit of used_ per slot");
    std::uint64_t used_ = 0;
    Entry entries_[kSize];
};

}  // namespace tavrik::python
