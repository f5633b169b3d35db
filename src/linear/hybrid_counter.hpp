#pragma once
// Distinct counting that starts with a linear counter and switches for good to
// HyperLogLog once the bitmap gets too full. The HyperLogLog part sees every
// item from construction on, so the estimate carries on across the switch
// instead of restarting from the item that triggered it.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/stats.hpp"
#include "hll/hll_sketch.hpp"
#include "linear/linear_counter.hpp"

namespace quillo::linear {

class HybridCounter {
public:
    // Bytes owned on the heap, for memory accounting.
    std::size_t heap_bytes() const;

    HybridCounter(std::uint64_t linear_bits, std::uint8_t lg_k, std::uint64_t transition_threshold);

    static HybridCounter with_range(std::uint64_t max_expected_cardinality);

    void update(std::string_view item);
    double estimate() const;
    // Bounds on the distinct count at `confidence` (0 < confidence < 1).
    double lower_bound(double confidence) const;
    double upper_bound(double confidence) const;
    std::string mode() const;
    std::uint8_t lg_k() const { return lg_k_; }
    std::uint64_t transition_threshold() const { return transition_threshold_; }
    Stats statistics() const;

    std::vector<std::uint8_t> to_bytes() const;
    static HybridCounter from_bytes(std::span<const std::uint8_t> data);

private:
    HybridCounter(std::optional<LinearCounter> linear, std::optional<hll::HllSketch> hll,
                  std::uint64_t transition_threshold, std::uint8_t lg_k);

    bool should_switch() const;
    void switch_to_hll(std::uint64_t hash);

    std::optional<LinearCounter> linear_;
    std::optional<hll::HllSketch> hll_;
    std::uint64_t transition_threshold_;
    std::uint8_t lg_k_;
};

}  // namespace quillo::linear
