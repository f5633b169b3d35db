#pragma once
// A t-digest object: the digest engine plus an exact count and exact
// extremes, which answer ranks 0 and 1.
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "common/stats.hpp"
#include "encoding/encoding.hpp"
#include "tdigest/digest.hpp"

namespace quillo::tdigest {

class TDigest {
public:
    // Bytes owned on the heap, for memory accounting.
    std::size_t heap_bytes() const;

    explicit TDigest(std::uint64_t compression);

    static TDigest create(std::optional<std::uint64_t> compression);
    static TDigest with_accuracy(double target_error);

    void add(double value);
    void add_batch(const std::vector<double>& values);
    void merge(const TDigest& other);
    void clear();

    std::optional<double> quantile(double q) const;
    std::vector<std::optional<double>> quantiles(std::span<const double> qs) const;
    double rank(double value) const;
    std::vector<double> ranks(std::span<const double> values) const;
    std::vector<double> cdf(std::span<const double> split_points) const;
    std::vector<double> pmf(std::span<const double> split_points) const;
    std::optional<double> trimmed_mean(double lower_quantile, double upper_quantile) const;
    std::optional<double> median() const { return estimate(0.5); }
    std::optional<double> p25() const { return estimate(0.25); }
    std::optional<double> p75() const { return estimate(0.75); }
    std::optional<double> p90() const { return estimate(0.9); }
    std::optional<double> p95() const { return estimate(0.95); }
    std::optional<double> p99() const { return estimate(0.99); }
    std::optional<double> p999() const { return estimate(0.999); }
    std::optional<double> min() const { return min_value_; }
    std::optional<double> max() const { return max_value_; }
    std::uint64_t count() const { return count_; }
    bool is_empty() const { return count_ == 0; }
    std::uint64_t compression() const { return compression_; }
    // A size formula from the compression, not a measurement.
    std::uint64_t memory_usage() const;
    Stats statistics() const;

    std::vector<std::uint8_t> to_bytes() const;
    static TDigest from_bytes(std::span<const std::uint8_t> data);

    void write(encoding::Writer& w) const;
    static TDigest read(encoding::Reader& r);
    // Refuses a decoded state that no sequence of calls builds, with the
    // corrupt-data error of the class `name`.
    void check_decoded(std::string_view name) const;

private:
    // The engine estimate without the shortcut to the exact extremes.
    std::optional<double> estimate(double q) const;
    std::optional<double> rank_shortcut(double value) const;
    void count_more(std::uint64_t n);
    void take_min(double value);
    void take_max(double value);

    Digest digest_;
    std::uint64_t count_ = 0;
    std::optional<double> min_value_;
    std::optional<double> max_value_;
    std::uint64_t compression_;
};

}  // namespace quillo::tdigest
