// The strs of a call's data keys (metadata, summaries, custom members), which repeat
// across a document: the last str made for each short key is kept for the call.
#pragma once

#include "python/py_ref.hpp"
#include "python/results.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tavrik::python {

// A direct-mapped cache on the key's bytes: a key that collides just makes a new str.
class DataKeys {
public:
    static constexpr std::size_t kLongest = 64;

    // The str of `k`, borrowed from the cache, or nullptr with an exception set.  Longer
    // keys are not kept: call only for keys up to kLongest bytes.
    PyObject* get(std::string_view k) {
        Entry& entry = entries_[hash(k) % kSize];
        if (!entry.str || entry.text != k) {
            PyRef text = PyRef::steal(make_str(k));
            if (!text) return nullptr;
            entry.text.assign(k);
            entry.str = std::move(text);
        }
        return entry.str.get();
    }

private:
    struct Entry {
        std::string text;
        PyRef str;
    };
    static std::uint64_t hash(std::string_view k) {
        std::uint64_t h = 14695981039346656037ULL;  // FNV-1a
        for (char c : k) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
        return h;
    }
    static constexpr std::size_t kSize = 64;
    std::array<Entry, kSize> entries_;
};

}  // namespace tavrik::python
