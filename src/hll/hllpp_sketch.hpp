#pragma once
// Dense HLL++: 2^p one-byte registers, estimated by the shared HLL++
// estimator. Its image has a preamble of its own but reports failures with the
// codec's error kinds.
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace quillo::hll {

class HllPlusPlusSketch {
public:
    // Bytes owned on the heap, for memory accounting.
    std::size_t heap_bytes() const;

    // With the constructor's range check and default.
    static HllPlusPlusSketch create(std::uint8_t lg_k);

    void update(std::string_view item);
    void update_hash(std::uint64_t hash);
    double estimate() const;
    // Bounds on the distinct count at `confidence` (0 < confidence < 1).
    double lower_bound(double confidence) const;
    double upper_bound(double confidence) const;
    std::uint8_t lg_k() const { return p_; }
    void merge(const HllPlusPlusSketch& other);

    std::vector<std::uint8_t> to_bytes() const;
    static HllPlusPlusSketch from_bytes(std::span<const std::uint8_t> data);

    std::span<const std::uint8_t> registers() const { return registers_; }

private:
    HllPlusPlusSketch(std::uint8_t p, std::vector<std::uint8_t> registers);

    std::vector<std::uint8_t> registers_;
    std::uint64_t m_;
    std::uint8_t p_;
};

}  // namespace quillo::hll
