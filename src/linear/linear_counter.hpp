#pragma once
// Linear counting: each item sets one bit of a bitmap chosen by its hash, and
// the number of distinct items follows from the fraction of bits still clear.
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "common/stats.hpp"

namespace quillo::linear {

class LinearCounter {
public:
    // Bytes owned on the heap, for memory accounting.
    std::size_t heap_bytes() const;

    // Rounds `num_bits` up to whole 64-bit words.
    explicit LinearCounter(std::uint64_t num_bits);

    static LinearCounter with_expected_cardinality(std::uint64_t expected_cardinality, double error_rate);

    void update(std::string_view item);
    void update_hash(std::uint64_t hash);
    double estimate() const;
    // Bounds on the distinct count at `confidence` (0 < confidence < 1); a
    // full bitmap bounds it from below only.
    double lower_bound(double confidence) const;
    double upper_bound(double confidence) const;
    double fill_ratio() const;
    bool should_transition_to_hll() const { return transition_due(estimate()); }
    // The transition rule for an estimate the caller has already computed.
    bool transition_due(double estimate) const;
    void merge(const LinearCounter& other);
    void clear();
    Stats statistics() const;

    std::vector<std::uint8_t> to_bytes() const;
    static LinearCounter from_bytes(std::span<const std::uint8_t> data);

    std::uint64_t num_bits() const { return num_bits_; }
    std::uint64_t bits_set() const { return bits_set_; }
    std::uint64_t memory_usage() const;

private:
    LinearCounter(std::vector<std::uint64_t> words, std::uint64_t num_bits, std::uint64_t bits_set);

    std::vector<std::uint64_t> words_;
    std::uint64_t num_bits_;
    std::uint64_t bits_set_ = 0;
};

}  // namespace quillo::linear
