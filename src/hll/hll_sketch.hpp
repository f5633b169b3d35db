#pragma once
// HyperLogLog with one-byte registers and a running HIP estimate. While only
// updated in stream order it answers from HIP; after a merge it answers from
// the registers.
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "common/confidence.hpp"

namespace quillo::hll {

inline constexpr std::uint8_t kDefaultLgK = 12;
inline constexpr std::uint8_t kMinLgK = 4;
inline constexpr std::uint8_t kMaxLgK = 18;
inline constexpr std::uint8_t kMaxDecodedLgK = 26;

// The classic register estimate: alpha * m^2 / sum(2^-r), with linear counting
// while the raw value is at most kLinearCountingLoad * m and some register
// is still zero.
inline constexpr double kLinearCountingLoad = 2.5;
double register_estimate(std::span<const std::uint8_t> registers);
// The classic formula alone, alpha * m^2 / sum(2^-r).
double raw_register_estimate(std::span<const std::uint8_t> registers);
// Whether register_estimate answers with linear counting for `registers`.
bool register_estimate_is_linear(std::span<const std::uint8_t> registers);

class HllSketch {
public:
    // Bytes owned on the heap, for memory accounting.
    std::size_t heap_bytes() const;

    // No range check: the Python constructor checks 4..=18, other owners
    // choose their own range.
    explicit HllSketch(std::uint8_t lg_k);

    // The constructor with the Python range check and default.
    static HllSketch create(std::uint8_t lg_k);

    void update(std::string_view item);
    void update_hash(std::uint64_t hash);
    // Raises register `index` to `value` if that is larger, keeping the HIP
    // estimate and its accumulators current; `index` must be below 2^lg_k.
    void offer(std::uint64_t index, std::uint8_t value);
    // offer(i, values[i]) for every register i; `values` must hold 2^lg_k
    // entries.
    void offer_all(std::span<const std::uint8_t> values);
    // The running estimate goes on from `hip`: for registers rebuilt from
    // observations whose count was estimated otherwise.
    void restart_hip(double hip) { hip_ = hip; }
    // From now on the estimate comes from the registers.
    void mark_out_of_order() { out_of_order_ = true; }
    double estimate() const;
    // Bounds on the distinct count around estimate() at normal quantile z,
    // from the spread of the estimator it uses.
    CountInterval interval(double z) const;
    // The same at `confidence` (0 < confidence < 1).
    double lower_bound(double confidence) const { return interval(two_sided_z(confidence)).lower; }
    double upper_bound(double confidence) const { return interval(two_sided_z(confidence)).upper; }
    void merge(const HllSketch& other);

    std::vector<std::uint8_t> to_bytes() const;
    static HllSketch from_bytes(std::span<const std::uint8_t> data);

    // A sketch with the given fields taken as they are; `registers` must hold
    // 2^lg_k entries.
    static HllSketch from_fields(std::uint8_t lg_k, std::vector<std::uint8_t> registers, double hip, double kxq0,
                                 double kxq1, bool out_of_order);
    // As from_fields, with kxq0 and kxq1 summed from the registers.
    static HllSketch from_registers(std::uint8_t lg_k, std::vector<std::uint8_t> registers, double hip,
                                    bool out_of_order);

    // Why the running estimate of a decoded sketch could not go on soundly
    // (it would be negative or not finite, or its increments would not be
    // the inverse of the chance of a register change), or empty when it can.
    // Sums that match the registers take their exact values: a sum whose
    // parts were split differently from the registers would go negative on a
    // later update.
    std::string_view settle_running_estimate();

    std::uint8_t lg_k() const { return lg_k_; }
    std::span<const std::uint8_t> registers() const { return registers_; }
    double hip() const { return hip_; }
    double kxq0() const { return kxq0_; }
    double kxq1() const { return kxq1_; }
    bool out_of_order() const { return out_of_order_; }

private:
    std::vector<std::uint8_t> registers_;
    double hip_ = 0.0;
    double kxq0_;
    double kxq1_ = 0.0;
    bool out_of_order_ = false;
    std::uint64_t m_;
    std::uint8_t lg_k_;
};

}  // namespace quillo::hll
