#pragma once
// The most frequent strings of a stream with at most `max_map_size` tracked
// entries. When a new string would exceed the bound, every count is lowered
// by the smallest one and that amount is added to `offset`; a tracked count
// is therefore at most `offset` below the string's true frequency.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "common/stats.hpp"
#include "frequent/string_counts.hpp"

namespace quillo::frequent {

// (item, estimate, lower bound, upper bound)
using Record = std::tuple<std::string, std::uint64_t, std::uint64_t, std::uint64_t>;

class FrequentStringsSketch {
public:
    // Bytes owned on the heap, for memory accounting.
    std::size_t heap_bytes() const;

    explicit FrequentStringsSketch(std::uint64_t max_map_size);

    // A map of ceil(3.5 / error_rate) entries; the confidence is only checked.
    static FrequentStringsSketch with_error_rate(double error_rate, double confidence);

    void update(std::string_view item);
    std::vector<Record> get_frequent_items(std::uint64_t threshold) const;
    std::vector<Record> get_frequent_items_by_fraction(double threshold_fraction) const;
    std::vector<Record> get_top_k(std::uint64_t k) const;
    std::optional<std::uint64_t> get_estimate(std::string_view item) const;
    std::optional<std::pair<std::uint64_t, std::uint64_t>> get_bounds(std::string_view item) const;
    void merge(const FrequentStringsSketch& other);
    void clear();
    bool is_empty() const { return stream_length_ == 0; }
    std::uint64_t get_stream_length() const { return stream_length_; }
    std::uint64_t max_map_size() const { return max_map_size_; }
    Stats statistics() const;

    std::vector<std::uint8_t> to_bytes() const;
    static FrequentStringsSketch from_bytes(std::span<const std::uint8_t> data);

private:
    // Strings of a merged map that this one does not hold, with their counts.
    using Arrivals = std::vector<std::pair<std::string_view, std::uint64_t>>;

    FrequentStringsSketch(std::uint64_t max_map_size, std::size_t reserved);

    void purge();
    void purge_to_bound(Arrivals& arrivals);
    void cut(Arrivals& arrivals, std::uint64_t amount);
    std::uint64_t kth_smallest_count(const Arrivals& arrivals, std::size_t k) const;
    void check_decoded() const;
    Record record(std::string_view item, std::uint64_t count) const;
    std::vector<Record> records_above(std::uint64_t threshold) const;

    std::uint64_t max_map_size_;
    std::uint64_t stream_length_ = 0;
    std::uint64_t offset_ = 0;
    // Keyed by a per-sketch hash seed, so that no fixed set of strings
    // collides in every sketch.
    StringCounts counters_;
};

}  // namespace quillo::frequent
