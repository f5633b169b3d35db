#include "varopt/position_counts.hpp"

#include <bit>

namespace quillo::varopt {

void PositionCounts::build(std::size_t size) {
    // Each node passes its sum up to its parent once: O(size) in all.
    for (std::size_t i = 1; i <= size; ++i) {
        const std::size_t parent = i + (i & (~i + 1));
        if (parent <= size) tree_[parent] += tree_[i];
    }
    top_bit_ = size == 0 ? 0 : std::bit_floor(size);
}

void PositionCounts::add(std::size_t position, std::int64_t delta) {
    total_ += static_cast<std::uint64_t>(delta);
    for (std::size_t i = position + 1; i < tree_.size(); i += i & (~i + 1)) {
        tree_[i] += static_cast<std::uint64_t>(delta);
    }
}

std::size_t PositionCounts::find(std::uint64_t rank) const {
    std::size_t at = 0;
    for (std::size_t step = top_bit_; step > 0; step >>= 1) {
        const std::size_t next = at + step;
        if (next < tree_.size() && tree_[next] <= rank) {
            at = next;
            rank -= tree_[next];
        }
    }
    return at;  // the 1-based node `at + 1` is the position `at`
}

}  // namespace quillo::varopt
