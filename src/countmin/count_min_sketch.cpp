#include "countmin/count_min_sketch.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <iterator>
#include <limits>
#include <numeric>

#include "common/error.hpp"
#include "common/format.hpp"
#include "common/memory.hpp"
#include "common/saturating.hpp"
#include "countmin/rows.hpp"
#include "encoding/encoding.hpp"
#include "hash/hash.hpp"

namespace quillo::countmin {

namespace {

constexpr std::string_view kName = "CountMinSketch";
constexpr double kE = 2.718281828459045;

bool in_open_unit_interval(double x) { return x > 0 && x < 1; }

}  // namespace

CountMinSketch::CountMinSketch(std::uint64_t width, std::uint64_t depth, bool conservative_update)
    : width_(width), depth_(depth), conservative_update_(conservative_update) {
    counters_.assign(cell_count(width, depth), 0);
}

CountMinSketch CountMinSketch::with_error_bounds(double epsilon, double delta, bool conservative_update) {
    if (!in_open_unit_interval(epsilon)) fail("epsilon must be in (0, 1), got " + format_float(epsilon));
    if (!in_open_unit_interval(delta)) fail("delta must be in (0, 1), got " + format_float(delta));
    return CountMinSketch(saturating_u64(std::ceil(kE / epsilon)), saturating_u64(std::ceil(std::log(1 / delta))),
                          conservative_update);
}

std::size_t CountMinSketch::cell_index(std::string_view item, std::uint64_t row) const {
    return row * width_ + column(item, hash::row_seed(hash::kDefaultSeed, row), width_);
}

void CountMinSketch::update(std::string_view item, std::uint64_t count) {
    if (conservative_update_) {
        update_conservatively(item, count);
        return;
    }
    for (std::uint64_t row = 0; row < depth_; ++row) {
        std::uint64_t& cell = counters_[cell_index(item, row)];
        cell = saturating_add(cell, count);
    }
}

// Every cell of the item is raised to at least its estimate plus `count`:
// the new estimate is exactly the old one plus `count`, and no cell grows
// more than plain mode would grow it.
void CountMinSketch::update_conservatively(std::string_view item, std::uint64_t count) {
    RowScratch<std::size_t> cells(depth_);
    std::uint64_t smallest = kMaxU64;
    for (std::uint64_t row = 0; row < depth_; ++row) {
        cells[row] = cell_index(item, row);
        smallest = std::min(smallest, counters_[cells[row]]);
    }
    const std::uint64_t target = saturating_add(smallest, count);
    for (std::uint64_t row = 0; row < depth_; ++row) {
        std::uint64_t& cell = counters_[cells[row]];
        cell = std::max(cell, target);
    }
}

std::uint64_t CountMinSketch::estimate(std::string_view item) const {
    std::uint64_t smallest = kMaxU64;
    for (std::uint64_t row = 0; row < depth_; ++row) smallest = std::min(smallest, counters_[cell_index(item, row)]);
    return smallest;
}

void CountMinSketch::merge(const CountMinSketch& other) {
    if (other.width_ != width_ || other.depth_ != depth_) fail("Sketches must have the same dimensions");
    for (std::size_t i = 0; i < counters_.size(); ++i) counters_[i] = saturating_add(counters_[i], other.counters_[i]);
}

std::uint64_t CountMinSketch::total_count() const {
    std::uint64_t smallest = kMaxU64;
    for (std::uint64_t row = 0; row < depth_; ++row) {
        const auto begin = counters_.begin() + static_cast<std::ptrdiff_t>(row * width_);
        // Row sums wrap like the statistics' sum.
        smallest =
            std::min(smallest, std::accumulate(begin, begin + static_cast<std::ptrdiff_t>(width_), std::uint64_t{0}));
    }
    return smallest;
}

std::vector<std::uint64_t> CountMinSketch::heavy_hitters(std::uint64_t threshold) const {
    std::vector<std::uint64_t> values;
    std::copy_if(counters_.begin(), counters_.end(), std::back_inserter(values),
                 [threshold](std::uint64_t cell) { return cell >= threshold; });
    std::sort(values.begin(), values.end(), std::greater<>());
    values.erase(std::unique(values.begin(), values.end()), values.end());
    return values;
}

void CountMinSketch::clear() { std::fill(counters_.begin(), counters_.end(), 0); }

Stats CountMinSketch::statistics() const {
    std::uint64_t non_zero = 0;
    std::uint64_t sum = 0;
    std::uint64_t largest = 0;
    std::uint64_t smallest = kMaxU64;
    for (std::uint64_t cell : counters_) {
        non_zero += cell != 0;
        sum += cell;
        largest = std::max(largest, cell);
        smallest = std::min(smallest, cell);
    }
    const std::uint64_t cells = counters_.size();
    Stats stats;
    stats.add("width", width_)
        .add("depth", depth_)
        .add("total_cells", cells)
        .add("non_zero_cells", non_zero)
        .add("fill_ratio", static_cast<double>(non_zero) / static_cast<double>(cells))
        .add("total_count", sum)
        .add("max_count", largest)
        .add("min_count", smallest)
        .add("conservative_update", conservative_update_);
    return stats;
}

std::vector<std::uint8_t> CountMinSketch::to_bytes() const {
    encoding::Writer w;
    w.u64(width_);
    w.u64(depth_);
    w.sequence(counters_, [](encoding::Writer& out, std::uint64_t cell) { out.u64(cell); });
    w.boolean(conservative_update_);
    return w.take();
}

CountMinSketch CountMinSketch::from_bytes(std::span<const std::uint8_t> data) {
    CountMinSketch sketch = encoding::decode(kName, data, [](encoding::Reader& r) {
        const std::uint64_t width = r.u64();
        const std::uint64_t depth = r.u64();
        auto counters = r.sequence<std::uint64_t>(1, [](encoding::Reader& in) { return in.u64(); });
        const bool conservative_update = r.boolean();
        return CountMinSketch(width, depth, std::move(counters), conservative_update);
    });
    check_decoded_shape(kName, sketch.width_, sketch.depth_, sketch.counters_.size());
    return sketch;
}

std::size_t CountMinSketch::heap_bytes() const { return heap_bytes_of(counters_); }

}  // namespace quillo::countmin
