#pragma once
// Tuple sketch: the theta sampling scheme with a double attached to every
// retained hash; the values of all updates with the same item are summed.
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "theta/hash_table.hpp"

namespace quillo::tuple {

class TupleSketch {
public:
    // Bytes owned on the heap, for memory accounting.
    std::size_t heap_bytes() const;

    // `k` is rounded up to a power of two; a k whose table cannot be built
    // fails with a ValueError.
    static TupleSketch create(std::uint64_t k);

    void update(std::string_view item, double value);
    double estimate() const { return theta::sample_estimate(count_, theta_); }
    std::uint64_t num_retained() const { return count_; }
    // Bounds on the distinct count at `confidence` (0 < confidence < 1).
    double lower_bound(double confidence) const;
    double upper_bound(double confidence) const;
    std::uint64_t k() const { return k_; }

    std::vector<std::uint8_t> to_bytes() const;
    static TupleSketch from_bytes(std::span<const std::uint8_t> data);

private:
    TupleSketch(std::uint64_t k, unsigned lg_k, unsigned lg_size, std::uint64_t theta);

    // Places an entry known to be absent into `keys` / `values` of 2^lg slots.
    static void place(theta::ZeroedArray<std::uint64_t>& keys, theta::ZeroedArray<double>& values, unsigned lg,
                      std::uint64_t key, double value);
    void rebuild();
    void grow();
    // Most entries the table holds before it is rebuilt (or, while it is not
    // larger than k, doubled).
    std::uint64_t fill_limit() const;

    std::uint64_t k_;
    std::uint8_t lg_size_;
    std::uint8_t lg_k_;
    theta::ZeroedArray<std::uint64_t> keys_;
    // A slot's value is meaningful exactly when its key is nonzero.
    theta::ZeroedArray<double> values_;
    std::uint64_t count_ = 0;
    std::uint64_t theta_;
};

}  // namespace quillo::tuple
