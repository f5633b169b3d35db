#pragma once
// Count sketch: `depth` rows of `width` signed counters; each row adds or
// subtracts an update in one cell by a per-row sign hash, and the estimate is
// the median of the signed row readings.
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace quillo::countmin {

class CountSketch {
public:
    // Bytes owned on the heap, for memory accounting.
    std::size_t heap_bytes() const;

    CountSketch(std::uint64_t width, std::uint64_t depth);

    void update(std::string_view item, std::int64_t count);
    std::int64_t estimate(std::string_view item) const;
    std::uint64_t width() const { return width_; }
    std::uint64_t depth() const { return depth_; }

    std::vector<std::uint8_t> to_bytes() const;
    static CountSketch from_bytes(std::span<const std::uint8_t> data);

private:
    CountSketch(std::uint64_t width, std::uint64_t depth, std::vector<std::int64_t> counters)
        : width_(width), depth_(depth), counters_(std::move(counters)) {}

    struct Cell {
        std::size_t index;
        bool negative;
    };
    Cell cell_of(std::string_view item, std::uint64_t row) const;

    std::uint64_t width_;
    std::uint64_t depth_;
    std::vector<std::int64_t> counters_;  // row-major
};

}  // namespace quillo::countmin
