#include "countmin/count_sketch.hpp"

#include <algorithm>
#include <string>

#include "codec/codec.hpp"
#include "common/memory.hpp"
#include "countmin/rows.hpp"
#include "encoding/encoding.hpp"
#include "hash/hash.hpp"

namespace quillo::countmin {

namespace {

constexpr std::string_view kName = "CountSketch";

// Counters wrap at 64 bits, as unsigned arithmetic does.
std::int64_t wrapping_add(std::int64_t a, std::int64_t b) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}

std::int64_t wrapping_negate(std::int64_t a) { return static_cast<std::int64_t>(0 - static_cast<std::uint64_t>(a)); }

}  // namespace

CountSketch::CountSketch(std::uint64_t width, std::uint64_t depth) : width_(width), depth_(depth) {
    counters_.assign(cell_count(width, depth), 0);
}

// The bucket hash comes before the sign hash.
CountSketch::Cell CountSketch::cell_of(std::string_view item, std::uint64_t row) const {
    const std::size_t index = row * width_ + column(item, hash::row_seed(hash::kDefaultSeed, row), width_);
    const bool negative = hash::item_hash(item, hash::row_seed(hash::kSignBaseSeed, row)) & 1;
    return {index, negative};
}

void CountSketch::update(std::string_view item, std::int64_t count) {
    const std::int64_t negated = wrapping_negate(count);
    for (std::uint64_t row = 0; row < depth_; ++row) {
        const Cell cell = cell_of(item, row);
        counters_[cell.index] = wrapping_add(counters_[cell.index], cell.negative ? negated : count);
    }
}

// The reading at index depth / 2 in ascending order: the median for an odd
// depth, the upper middle one for an even depth.
std::int64_t CountSketch::estimate(std::string_view item) const {
    RowScratch<std::int64_t> readings(depth_);
    for (std::uint64_t row = 0; row < depth_; ++row) {
        const Cell cell = cell_of(item, row);
        readings[row] = cell.negative ? wrapping_negate(counters_[cell.index]) : counters_[cell.index];
    }
    std::int64_t* begin = readings.begin();
    std::int64_t* middle = begin + depth_ / 2;
    std::nth_element(begin, middle, begin + depth_);
    return *middle;
}

std::vector<std::uint8_t> CountSketch::to_bytes() const {
    encoding::Writer w;
    w.u64(width_);
    w.u64(depth_);
    w.size(depth_);
    for (std::uint64_t row = 0; row < depth_; ++row) {
        const auto first = counters_.begin() + static_cast<std::ptrdiff_t>(row * width_);
        w.sequence(std::span(first, width_), [](encoding::Writer& out, std::int64_t c) { out.i64(c); });
    }
    return w.take();
}

CountSketch CountSketch::from_bytes(std::span<const std::uint8_t> data) {
    return encoding::decode(kName, data, [](encoding::Reader& r) {
        const std::uint64_t width = r.u64();
        const std::uint64_t depth = r.u64();
        const std::size_t rows = r.length(1);
        std::vector<std::int64_t> counters;
        for (std::size_t row = 0; row < rows; ++row) {
            const std::size_t length = r.length(1);
            if (length != width) {
                codec::corrupt_data(std::string(kName) + " decode failed: row " + std::to_string(row) + " holds " +
                                    std::to_string(length) + " counters for width " + std::to_string(width));
            }
            for (std::size_t i = 0; i < length; ++i) counters.push_back(r.i64());
        }
        check_decoded_shape(kName, width, depth, counters.size());
        return CountSketch(width, depth, std::move(counters));
    });
}

std::size_t CountSketch::heap_bytes() const { return heap_bytes_of(counters_); }

}  // namespace quillo::countmin
