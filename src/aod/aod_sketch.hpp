#pragma once
// Array-of-doubles sketch: a theta sample of string keys, each carrying a
// fixed-length array of doubles. theta is a fraction in (0, 1]; a key is kept
// while its hash, read as a fraction of 2^64, is at most theta. Past
// `capacity` entries the sample is cut to three quarters of it.
#include <cstdint>
#include <map>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "common/stats.hpp"

namespace quillo::aod {

inline constexpr std::uint64_t kDefaultCapacity = 4096;
inline constexpr std::uint64_t kDefaultNumValues = 1;
// Bounds what the column queries allocate for a sketch that holds nothing
// yet, and so what a few bytes of image can make them allocate.
inline constexpr std::uint64_t kMaxNumValues = std::uint64_t{1} << 20;
inline constexpr double kDefaultConfidence = 0.95;

class AodSketch {
public:
    // Bytes owned on the heap, for memory accounting.
    std::size_t heap_bytes() const;

    static AodSketch create(std::uint64_t capacity, std::uint64_t num_values);

    void update(std::string_view key, const std::vector<double>& values);
    void union_with(const AodSketch& other);
    void clear();

    double estimate() const;
    double upper_bound(double confidence) const;
    double lower_bound(double confidence) const;
    double theta() const { return theta_; }
    bool is_empty() const { return is_empty_; }
    std::uint64_t len() const { return entries_.size(); }
    std::uint64_t num_values() const { return num_values_; }
    std::uint64_t capacity() const { return capacity_; }
    std::vector<double> column_sums() const;
    std::vector<double> column_means() const;
    AodSketch compact() const { return *this; }
    Stats statistics() const;
    std::vector<std::pair<std::uint64_t, std::vector<double>>> get_entries() const;

    std::vector<std::uint8_t> to_bytes() const;
    static AodSketch from_bytes(std::span<const std::uint8_t> data);

private:
    AodSketch(std::uint64_t capacity, std::uint64_t num_values) : capacity_(capacity), num_values_(num_values) {}

    // Half the width of the confidence interval around the estimate.
    double spread(double confidence) const;
    void trim();

    std::uint64_t capacity_;
    std::uint64_t num_values_;
    double theta_ = 1.0;
    // Ordered by hash, which makes trimming a walk from the front and gives
    // images that depend only on the retained entries.
    std::map<std::uint64_t, std::vector<double>> entries_;
    bool is_empty_ = true;
};

}  // namespace quillo::aod
