#pragma once
// Relative-error quantile sketch: a stack of compactors where a value in
// compactor h stands for 2^h stream values. Each compaction protects a share
// of one end of the sorted compactor ("HRA": the highest values, "LRA": the
// lowest) and promotes every second value of the rest.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quantiles/lazy_view.hpp"
#include "quantiles/sorted_view.hpp"

namespace quillo::req {

inline constexpr std::uint64_t kMinK = 4;

struct ReqCompactor {
    std::uint64_t level;
    std::vector<double> items;
    std::uint64_t capacity;
    std::uint64_t num_compactions = 0;
};

class ReqSketch {
public:
    // Bytes owned on the heap, for memory accounting.
    std::size_t heap_bytes() const;

    ReqSketch(std::uint64_t k, bool lra_mode);

    // The Python constructor: the range check of k, then the mode text.
    static ReqSketch create(std::uint64_t k, std::optional<std::string_view> mode);

    void update(double value);
    std::optional<double> quantile(double rank) const;
    double rank(double value) const;
    std::vector<double> get_cdf(std::span<const double> split_points) const;
    std::vector<std::optional<double>> quantiles(std::span<const double> ranks) const;
    std::vector<double> ranks(std::span<const double> values) const;
    std::vector<double> cdf(std::span<const double> split_points) const;
    std::vector<double> pmf(std::span<const double> split_points) const;
    std::uint64_t count() const { return n_; }
    std::uint64_t k() const { return k_; }
    bool is_empty() const { return n_ == 0; }
    std::string mode() const { return lra_mode_ ? "LRA" : "HRA"; }
    // The scale of the rank error the compactions so far imply: a compaction
    // at level h moves a rank by 2^h or not at all, on either side with equal
    // odds, so sqrt(sum over levels of compactions * 4^h) / n.
    double rank_spread() const;
    // A bound on the absolute error of one rank query (a fraction of n) that
    // holds with the given confidence at any rank; 0 while nothing has been
    // compacted.
    double rank_error(double confidence) const;

    std::vector<std::uint8_t> to_bytes() const;
    static ReqSketch from_bytes(std::span<const std::uint8_t> data);

private:
    ReqSketch() = default;

    void check_decoded() const;
    void add_compactor();
    void compact(std::size_t h);
    template <class Fn>
    void for_each_run(Fn fn) const;
    auto queries() const;

    std::uint64_t k_ = kMinK;
    bool lra_mode_ = false;
    std::vector<ReqCompactor> compactors_;
    std::uint64_t n_ = 0;
    std::optional<double> min_value_;
    std::optional<double> max_value_;
    std::uint64_t rng_state_ = 0;
    // Not part of the state: every mutation resets it.
    quantiles::LazyView<quantiles::SortedView> view_;
};

}  // namespace quillo::req
