#pragma once
// A weighted sample without replacement: every item gets the random key
// u^(1/weight) and the sample keeps the items with the largest keys.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillo::sampling {

struct WeightedEntry {
    std::string item;
    double weight;
    double key;
    // Arrival rank: among equal keys the earlier entry comes first.
    std::uint64_t rank;
};

class WeightedReservoirSampler {
public:
    explicit WeightedReservoirSampler(std::uint64_t capacity) : capacity_(capacity) {}

    void add_weighted(std::string_view item, double weight);
    void add(std::string_view item) { add_weighted(item, 1.0); }
    void clear();

    std::vector<std::string> sample() const;
    std::vector<std::pair<std::string, double>> sample_with_weights() const;
    double total_weight() const { return total_weight_; }
    std::uint64_t capacity() const { return capacity_; }

    std::vector<std::uint8_t> to_bytes() const;
    static WeightedReservoirSampler from_bytes(std::span<const std::uint8_t> data);

private:
    bool full() const { return entries_.size() >= capacity_; }
    void append(std::string_view item, double weight, double key);
    // The entries in sample order: arrival order while filling, then by key
    // (largest first, earlier arrival first among equal keys).
    std::vector<const WeightedEntry*> in_order() const;
    void check_decoded() const;

    // In arrival order while filling; once full, a heap whose top is the
    // entry that sorts last, the one a larger key replaces.
    std::vector<WeightedEntry> entries_;
    std::uint64_t capacity_;
    double total_weight_ = 0.0;
    std::uint64_t next_rank_ = 0;
};

}  // namespace quillo::sampling
