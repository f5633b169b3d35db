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
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/stats.hpp"
#include "hash/hash.hpp"

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
    // Hashes with a per-map seed, so that no fixed set of strings collides in
    // every sketch; looks up by string_view without a copy.
    struct Hasher {
        using is_transparent = void;
        std::uint64_t seed;
        std::size_t operator()(std::string_view s) const { return hash::item_hash(s, seed); }
    };
    using Map = std::unordered_map<std::string, std::uint64_t, Hasher, std::equal_to<>>;

    FrequentStringsSketch(std::uint64_t max_map_size, std::size_t reserved);

    void purge();
    Record record(const Map::value_type& entry) const;
    std::vector<Record> records_above(std::uint64_t threshold) const;

    std::uint64_t max_map_size_;
    std::uint64_t stream_length_ = 0;
    std::uint64_t offset_ = 0;
    Map counters_;
};

}  // namespace quillo::frequent
