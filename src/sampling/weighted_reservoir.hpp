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
};

class WeightedReservoirSampler {
public:
    // Bytes owned on the heap, for memory accounting.
    std::size_t heap_bytes() const;

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
    // Entries in arrival order while filling, by key (largest first) once full.
    std::vector<WeightedEntry> entries_;
    std::uint64_t capacity_;
    double total_weight_ = 0.0;
};

}  // namespace quillo::sampling
