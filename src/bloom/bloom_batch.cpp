// Blocks of items for the Bloom filter: the positions of every item of a
// block are computed first and their words prefetched, so the block's cache
// misses overlap instead of following one another. The bits set and the
// answers are those of `add` and `contains` item by item.
#include <array>

#include "bloom/bloom_filter.hpp"
#include "bloom/probe.hpp"

namespace quillo::bloom {

namespace {

constexpr unsigned kWordBits = 64;
// Blocks with more positions than this go item by item.
constexpr std::size_t kMaxBlockPositions = 1024;

// The positions of every item of a block, item after item.
class BlockPositions {
public:
    BlockPositions(std::span<const std::string_view> items, std::uint64_t k, std::uint64_t m,
                   const std::uint64_t* words)
        : k_(k) {
        const Reduction modulo(m);
        std::size_t n = 0;
        for (std::string_view item : items) {
            Probe(item).for_each_sum(k, [&](std::uint64_t h) {
                const std::uint64_t position = modulo.of(h);
                __builtin_prefetch(words + position / kWordBits);
                positions_[n++] = position;
            });
        }
    }

    std::span<const std::uint64_t> of_item(std::size_t i) const { return {positions_.data() + i * k_, k_}; }

private:
    std::uint64_t k_;
    std::array<std::uint64_t, kMaxBlockPositions> positions_;
};

bool fits(std::span<const std::string_view> items, std::uint64_t k) {
    return k > 0 && k <= kMaxBlockPositions / std::max<std::size_t>(items.size(), 1);
}

std::uint64_t bit_of(std::uint64_t position) { return std::uint64_t{1} << (position % kWordBits); }

}  // namespace

void BloomFilter::add_block(std::span<const std::string_view> items) {
    if (!fits(items, num_hash_functions_) || num_bits_ == 0) {
        for (std::string_view item : items) add(item);
        return;
    }
    const BlockPositions positions(items, num_hash_functions_, num_bits_, bits_.data());
    for (std::size_t i = 0; i < items.size(); ++i) {
        for (std::uint64_t position : positions.of_item(i)) bits_[position / kWordBits] |= bit_of(position);
    }
}

void BloomFilter::contains_block(std::span<const std::string_view> items, std::span<bool> found) const {
    if (!fits(items, num_hash_functions_) || num_bits_ == 0) {
        for (std::size_t i = 0; i < items.size(); ++i) found[i] = contains(items[i]);
        return;
    }
    const BlockPositions positions(items, num_hash_functions_, num_bits_, bits_.data());
    for (std::size_t i = 0; i < items.size(); ++i) {
        bool all = true;
        for (std::uint64_t position : positions.of_item(i)) {
            if ((bits_[position / kWordBits] & bit_of(position)) == 0) {
                all = false;
                break;
            }
        }
        found[i] = all;
    }
}

}  // namespace quillo::bloom
