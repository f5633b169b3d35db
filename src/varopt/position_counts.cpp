#include "varopt/position_counts.hpp"

#include "common/memory.hpp"

namespace quillo::varopt {

namespace {

// The position of the set bit of rank r in x; r < popcount(x). Counts the
// bits per byte in parallel, then walks the bytes and the bits of one byte.
unsigned select_bit(std::uint64_t x, std::uint64_t rank) {
    std::uint64_t counts = x - ((x >> 1) & 0x5555555555555555ULL);
    counts = (counts & 0x3333333333333333ULL) + ((counts >> 2) & 0x3333333333333333ULL);
    counts = (counts + (counts >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
    unsigned position = 0;
    for (;; position += 8, counts >>= 8) {
        const std::uint64_t in_byte = counts & 0xFF;
        if (rank < in_byte) break;
        rank -= in_byte;
    }
    for (;; ++position) {
        if (((x >> position) & 1) == 0) continue;
        if (rank == 0) return position;
        --rank;
    }
}

}  // namespace

void PositionCounts::build() {
    const std::size_t n = words_.size();
    tree_.assign(n + 1, 0);
    total_ = 0;
    for (std::size_t w = 0; w < n; ++w) {
        const auto count = static_cast<std::uint64_t>(std::popcount(words_[w]));
        tree_[w + 1] += count;
        total_ += count;
    }
    // Each node passes its sum up to its parent once: O(n) in all.
    for (std::size_t i = 1; i <= n; ++i) {
        const std::size_t parent = i + (i & (~i + 1));
        if (parent <= n) tree_[parent] += tree_[i];
    }
    top_bit_ = n == 0 ? 0 : std::bit_floor(n);
}

void PositionCounts::change(std::size_t position, std::int64_t delta) {
    words_[position / kWordBits] ^= bit(position);
    total_ += static_cast<std::uint64_t>(delta);
    for (std::size_t i = position / kWordBits + 1; i < tree_.size(); i += i & (~i + 1)) {
        tree_[i] += static_cast<std::uint64_t>(delta);
    }
}

std::size_t PositionCounts::find(std::uint64_t rank) const {
    std::size_t word = 0;
    for (std::size_t step = top_bit_; step > 0; step >>= 1) {
        const std::size_t next = word + step;
        if (next < tree_.size() && tree_[next] <= rank) {
            word = next;
            rank -= tree_[next];
        }
    }
    // The 1-based node `word + 1` is the word holding the position.
    return word * kWordBits + select_bit(words_[word], rank);
}

std::size_t PositionCounts::heap_bytes() const { return heap_bytes_of(words_) + heap_bytes_of(tree_); }

}  // namespace quillo::varopt
