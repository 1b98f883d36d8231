// The sink of the fast walk that records node entries; other sinks that build something
// else while they walk keep one to have the entries from the same walk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

#include "model/fast_read.hpp"
#include "ops/node_view.hpp"

namespace tavrik::ops {

// Records the facts of each node that the validator and the counter read.
class EntrySink : public model::fast::NoSink {
public:
    // Node facts hold no number.
    static constexpr bool kWantsNumbers = false;
    // Nor does a position: a plain one is taken as a row, with one check of its form.
    static constexpr bool kTakesNumberRows = true;
    template <class T>
    void number_row(const double*, std::uint32_t) {}

    // Ids and custom kinds written with escapes are decoded into `texts`, which has to
    // live as long as the entries.
    EntrySink(NodeEntries& entries, model::fast::TextStore& texts) : entries_(entries), texts_(texts) {}

    model::fast::TextStore& texts() { return texts_; }

    template <class T>
    void begin() {
        if constexpr (std::is_same_v<T, model::Node>) {
            open_[depth_++] = static_cast<std::uint32_t>(entries_.size());
            current_ = &entries_.emplace_back();
        }
    }
    template <class T>
    void end() {
        if constexpr (std::is_same_v<T, model::Node>) {
            current_->end = static_cast<std::uint32_t>(entries_.size());
            // The parent's entry again, where the children's may have moved it.
            --depth_;
            current_ = depth_ > 0 ? &entries_[open_[depth_ - 1]] : nullptr;
        }
    }
    template <auto Member>
    void text(std::string_view s) {
        if constexpr (model::fast::same_member<Member, &model::Node::id>()) {
            current().id = s;
        } else if constexpr (model::fast::same_member<Member, &model::NodeKind::Custom::value>()) {
            current().custom_kind = s;
        }
    }
    template <class E>
    void variant(std::size_t index) {
        if constexpr (std::is_same_v<E, model::NodeKind>) {
            current().kind = static_cast<std::uint8_t>(index);
        } else if constexpr (std::is_same_v<E, model::NodePayload>) {
            current().payload = static_cast<std::uint8_t>(index);
        }
    }
    template <auto Member>
    void list_size(std::size_t n) {
        if constexpr (model::fast::same_member<Member, &model::NodePayload::Leaf::measures>()) current().no_measures = n == 0;
    }

private:
    NodeEntry& current() { return *current_; }

    NodeEntries& entries_;
    model::fast::TextStore& texts_;
    // Nodes are nested at least two brackets apart, within the walk's depth.
    std::uint32_t open_[model::fast::kMaxDepth / 2 + 1];
    std::size_t depth_ = 0;
    NodeEntry* current_ = nullptr;  // the entry of the innermost open node
};

}  // namespace tavrik::ops
