#pragma once
// The Bloom filter with a saturating one-byte counter per position instead of
// a bit, so that items can also be removed.
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace quillo::bloom {

inline constexpr std::uint8_t kDefaultMaxCount = 255;

class CountingBloomFilter {
public:
    // Bytes owned on the heap, for memory accounting.
    std::size_t heap_bytes() const;

    CountingBloomFilter(std::uint64_t capacity, double error_rate, std::uint8_t max_count);

    void add(std::string_view item);
    // Removes only an item whose every counter is non-zero; returns whether it did.
    bool remove(std::string_view item);
    bool contains(std::string_view item) const;
    std::uint64_t num_counters() const { return num_counters_; }
    std::uint64_t num_hash_functions() const { return num_hash_functions_; }
    std::uint8_t max_count() const { return max_count_; }
    std::span<const std::uint8_t> counters() const { return counters_; }

    std::vector<std::uint8_t> to_bytes() const;
    static CountingBloomFilter from_bytes(std::span<const std::uint8_t> data);

private:
    CountingBloomFilter(std::vector<std::uint8_t> counters, std::uint64_t num_counters,
                        std::uint64_t num_hash_functions, std::uint8_t max_count)
        : counters_(std::move(counters)),
          num_counters_(num_counters),
          num_hash_functions_(num_hash_functions),
          max_count_(max_count) {}

    std::vector<std::uint8_t> counters_;
    std::uint64_t num_counters_;
    std::uint64_t num_hash_functions_;
    std::uint8_t max_count_;
};

}  // namespace quillo::bloom
