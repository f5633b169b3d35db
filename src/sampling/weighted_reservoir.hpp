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
    // Among equal keys the earlier arrival sorts first.
    std::uint64_t arrival;
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
    bool full() const { return used_ >= capacity_; }
    void push(std::string_view item, double weight, double key);
    // Keeps the `capacity_` entries that sort first and notes the last of them.
    void keep_best();
    // The entries in sample order: arrival order while filling, then by key
    // (largest first, earlier arrival first among equal keys).
    std::vector<const WeightedEntry*> in_order() const;
    void check_decoded() const;

    // The sample is the `capacity_` entries that sort first among all items
    // offered. While filling, the entries in arrival order; once full, a pool
    // holding those and up to half as many others that were offered when the
    // bar stood lower. The pool is cut back to the sample when it is full, so
    // an accepted item costs O(1) amortised. Entries past `used_` are cut
    // ones whose string buffers the next items reuse.
    std::vector<WeightedEntry> entries_;
    std::size_t used_ = 0;
    std::uint64_t capacity_;
    double total_weight_ = 0.0;
    // Once full: the key of the last sample entry as the pool was last cut;
    // a newcomer enters the pool when its key is larger.
    double bar_ = 0.0;
    std::uint64_t arrivals_ = 0;
};

}  // namespace quillo::sampling
