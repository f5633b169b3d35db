#pragma once
// A set of positions 0..size-1: insert, erase, and find the position of
// rank r (in increasing order), each in O(log size). One bit per position,
// and a Fenwick tree over the counts of the 64-bit words, which stays small
// enough to sit in the cache.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quillo::varopt {

class PositionCounts {
public:
    // `size` positions; position i is in the set when i < used and member(i).
    template <class Member>
    void assign(std::size_t size, std::size_t used, Member member) {
        words_.assign((size + kWordBits - 1) / kWordBits, 0);
        for (std::size_t i = 0; i < used; ++i) {
            if (member(i)) words_[i / kWordBits] |= bit(i);
        }
        build();
    }

    bool contains(std::size_t position) const { return (words_[position / kWordBits] & bit(position)) != 0; }
    void insert(std::size_t position) { change(position, 1); }
    void erase(std::size_t position) { change(position, -1); }

    // The position of 0-based rank r; r < total().
    std::size_t find(std::uint64_t rank) const;

    std::uint64_t total() const { return total_; }

    std::size_t heap_bytes() const;

private:
    static constexpr std::size_t kWordBits = 64;
    static std::uint64_t bit(std::size_t position) { return std::uint64_t{1} << (position % kWordBits); }

    void build();
    void change(std::size_t position, std::int64_t delta);

    std::vector<std::uint64_t> words_;
    std::vector<std::uint64_t> tree_;  // 1-based partial sums of the words' counts
    std::size_t top_bit_ = 0;
    std::uint64_t total_ = 0;
};

}  // namespace quillo::varopt
