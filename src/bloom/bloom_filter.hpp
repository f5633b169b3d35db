#pragma once
// Membership with no false negatives: k bits per item in a packed bit array,
// sized from an expected number of items and a target error rate.
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "common/stats.hpp"

namespace quillo::bloom {

class BloomFilter {
public:
    // Bytes owned on the heap, for memory accounting.
    std::size_t heap_bytes() const;

    BloomFilter(std::uint64_t capacity, double error_rate);

    void add(std::string_view item);
    bool contains(std::string_view item) const;
    // A block of items as `add` and `contains` take them one by one, with the
    // memory of the whole block fetched ahead (bloom_batch.cpp).
    void add_block(std::span<const std::string_view> items);
    void contains_block(std::span<const std::string_view> items, std::span<bool> found) const;
    void clear();
    double false_positive_probability() const;
    Stats statistics() const;
    std::uint64_t num_bits() const { return num_bits_; }
    std::uint64_t num_hash_functions() const { return num_hash_functions_; }

    std::vector<std::uint8_t> to_bytes() const;
    static BloomFilter from_bytes(std::span<const std::uint8_t> data);

private:
    BloomFilter(std::vector<std::uint64_t> bits, std::uint64_t num_bits, std::uint64_t num_hash_functions)
        : bits_(std::move(bits)), num_bits_(num_bits), num_hash_functions_(num_hash_functions) {}

    std::uint64_t bits_set() const;

    std::vector<std::uint64_t> bits_;
    std::uint64_t num_bits_;
    std::uint64_t num_hash_functions_;
};

}  // namespace quillo::bloom
