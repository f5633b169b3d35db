#pragma once
// Counts attached to positions 0..size-1 (a Fenwick tree): add to one
// position, and find the position of the r-th counted one, each in O(log size).
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quillo::varopt {

class PositionCounts {
public:
    // `size` positions; position i starts at 1 when i < used and counted(i),
    // at 0 otherwise.
    template <class Counted>
    void assign(std::size_t size, std::size_t used, Counted counted) {
        tree_.assign(size + 1, 0);
        total_ = 0;
        for (std::size_t i = 0; i < used; ++i) {
            if (!counted(i)) continue;
            tree_[i + 1] = 1;
            ++total_;
        }
        build(size);
    }

    void add(std::size_t position, std::int64_t delta);

    // The position holding the count with 0-based rank r; r < total().
    std::size_t find(std::uint64_t rank) const;

    std::uint64_t total() const { return total_; }

private:
    void build(std::size_t size);

    std::vector<std::uint64_t> tree_;  // 1-based partial sums
    std::size_t top_bit_ = 0;
    std::uint64_t total_ = 0;
};

}  // namespace quillo::varopt
