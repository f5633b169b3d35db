#pragma once
// Count-Min: `depth` rows of `width` saturating counters, each row addressed
// by its own seeded item hash. An estimate is the smallest of an item's cells,
// so it never undercounts (until a cell saturates).
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "common/stats.hpp"

namespace quillo::countmin {

class CountMinSketch {
public:
    // Bytes owned on the heap, for memory accounting.
    std::size_t heap_bytes() const;

    CountMinSketch(std::uint64_t width, std::uint64_t depth, bool conservative_update);

    // Width e / epsilon and depth ln(1 / delta), both rounded up.
    static CountMinSketch with_error_bounds(double epsilon, double delta, bool conservative_update);

    void update(std::string_view item, std::uint64_t count);
    void increment(std::string_view item) { update(item, 1); }
    std::uint64_t estimate(std::string_view item) const;
    void merge(const CountMinSketch& other);
    std::uint64_t total_count() const;
    std::vector<std::uint64_t> heavy_hitters(std::uint64_t threshold) const;
    void clear();
    Stats statistics() const;
    std::uint64_t width() const { return width_; }
    std::uint64_t depth() const { return depth_; }
    bool conservative_update() const { return conservative_update_; }

    std::vector<std::uint8_t> to_bytes() const;
    static CountMinSketch from_bytes(std::span<const std::uint8_t> data);

private:
    CountMinSketch(std::uint64_t width, std::uint64_t depth, std::vector<std::uint64_t> counters,
                   bool conservative_update)
        : width_(width), depth_(depth), counters_(std::move(counters)), conservative_update_(conservative_update) {}

    std::size_t cell_index(std::string_view item, std::uint64_t row) const;
    void update_conservatively(std::string_view item, std::uint64_t count);

    std::uint64_t width_;
    std::uint64_t depth_;
    std::vector<std::uint64_t> counters_;  // row-major
    bool conservative_update_;
};

}  // namespace quillo::countmin
