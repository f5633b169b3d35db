#pragma once
// Theta sketch: keeps every item hash below a threshold `theta` in an
// open-addressing table; when the table fills past 15/16 it is cut back to the
// k smallest hashes and theta drops to the next one. Set operations build new
// sketches; the byte image is the compact ordered "SK" image.
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "theta/hash_table.hpp"

namespace quillo::theta {

inline constexpr unsigned kMaxLgK = kMaxLgSize - 1;

class ThetaSketch {
public:
    // Bytes owned on the heap, for memory accounting.
    std::size_t heap_bytes() const;

    // `k` is rounded up to a power of two; a k whose table cannot be built
    // fails with a ValueError.
    static ThetaSketch create(std::uint64_t k);

    // A sketch holding the nonzero values of `hashes` (duplicates dropped,
    // nothing filtered by `theta`) with nominal size `k` rounded up to a power
    // of two and a table large enough for them.
    static ThetaSketch from_hashes(std::span<const std::uint64_t> hashes, std::uint64_t theta, std::uint64_t k);

    void update(std::string_view item);
    void update_hash(std::uint64_t h);
    double estimate() const;
    // Bounds on the distinct count at `confidence` (0 < confidence < 1).
    double lower_bound(double confidence) const;
    double upper_bound(double confidence) const;

    ThetaSketch union_with(const ThetaSketch& other) const;
    ThetaSketch intersect(const ThetaSketch& other) const;
    ThetaSketch difference(const ThetaSketch& other) const;

    std::uint64_t sample_capacity() const { return table_.size(); }
    std::vector<std::uint8_t> to_bytes() const;
    static ThetaSketch from_bytes(std::span<const std::uint8_t> data);

    std::uint64_t k() const { return std::uint64_t{1} << lg_k_; }
    std::uint64_t theta() const { return theta_; }
    std::uint64_t count() const { return count_; }
    // The retained hashes in table order.
    std::vector<std::uint64_t> hashes() const;

private:
    ThetaSketch(unsigned lg_k, unsigned lg_size, std::uint64_t theta);

    void insert_new(std::uint64_t h);
    void rebuild();

    ZeroedArray<std::uint64_t> table_;
    std::uint64_t count_ = 0;
    std::uint64_t theta_;
    std::uint8_t lg_size_;
    std::uint8_t lg_k_;
};

}  // namespace quillo::theta
