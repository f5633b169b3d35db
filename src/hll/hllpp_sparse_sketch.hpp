#pragma once
// Sparse HLL++: an ordered map from register index to value holding only the
// registers that are not zero. It never turns dense; it estimates with the
// same estimator as the dense sketch and so agrees with it exactly.
#include <cstdint>
#include <map>
#include <span>
#include <string_view>
#include <vector>

namespace quillo::hll {

class HllPlusPlusSparseSketch {
public:
    // Bytes owned on the heap, for memory accounting.
    std::size_t heap_bytes() const;

    // With the constructor's range check and default.
    static HllPlusPlusSparseSketch create(std::uint8_t lg_k);

    void update(std::string_view item);
    void update_hash(std::uint64_t hash);
    double estimate() const;
    std::uint8_t lg_k() const { return p_; }
    void merge(const HllPlusPlusSparseSketch& other);

    std::vector<std::uint8_t> to_bytes() const;
    // `p` and `m` are taken as stored, unchecked; every operation stays safe
    // on such states, though their estimates mean little.
    static HllPlusPlusSparseSketch from_bytes(std::span<const std::uint8_t> data);

private:
    HllPlusPlusSparseSketch(std::uint8_t p, std::uint64_t m) : p_(p), m_(m) {}

    void raise_entry(std::uint64_t index, std::uint8_t value);

    std::uint8_t p_;
    std::uint64_t m_;
    std::map<std::uint64_t, std::uint8_t> entries_;
};

}  // namespace quillo::hll
