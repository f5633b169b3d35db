// Blocks of items for the Bloom filter: the positions of every item of a
// block are computed first and their words prefetched, so the block's cache
// misses overlap instead of following one another. The bits set and the
// answers are those of `add` and `contains` item by item.
#include <array>

#include "bloom/bloom_filter.hpp"
#include "bloom/probe.hpp"

namespace quillo::bloom {

namespace {

__extension__ using Wide = unsigned __int128;

constexpr unsigned kWordBits = 64;
// Blocks with more positions than this go item by item.
constexpr std::size_t kMaxBlockPositions = 1024;

// x mod d by multiplication: with the 128-bit reciprocal M = floor((2^128 - 1) / d) + 1
// the remainder is exact for every 64-bit x and d.
class Modulo {
public:
    explicit Modulo(std::uint64_t d) : d_(d), m_(~Wide{0} / d + 1) {}

    std::uint64_t of(std::uint64_t x) const {
        const Wide low = m_ * x;
        const Wide bottom = ((low & ~std::uint64_t{0}) * d_) >> 64;
        const Wide top = (low >> 64) * d_;
        return static_cast<std::uint64_t>((bottom + top) >> 64);
    }

private:
    std::uint64_t d_;
    Wide m_;
};

// The positions of every item of a block, item after item.
class BlockPositions {
public:
    BlockPositions(std::span<const std::string_view> items, std::uint64_t k, std::uint64_t m,
                   const std::uint64_t* words)
        : k_(k) {
        const Modulo modulo(m);
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
