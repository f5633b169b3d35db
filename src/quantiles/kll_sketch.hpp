#pragma once
// KLL quantile sketch: a stack of levels where a value at level i stands for
// 2^i stream values. An overflowing level is sorted and every second value,
// from a coin-chosen offset, moves up a level; the rest are dropped.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/stats.hpp"
#include "quantiles/lazy_view.hpp"
#include "quantiles/sorted_view.hpp"

namespace quillo::kll {

inline constexpr std::uint64_t kDefaultK = 200;
inline constexpr std::uint64_t kMinK = 8;
// The image stores k in 32 bits.
inline constexpr std::uint64_t kMaxK = 0xFFFFFFFFULL;

class KllSketch {
public:
    // Bytes owned on the heap, for memory accounting.
    std::size_t heap_bytes() const;

    explicit KllSketch(std::uint64_t k);

    // The Python constructor: default k and the range checks.
    static KllSketch create(std::optional<std::uint64_t> k);
    static KllSketch with_accuracy(double epsilon, double confidence);

    void update(double value);
    // The state `update` leaves after each value in order (kll_batch.cpp).
    void update_batch(std::span<const double> values);
    void merge(const KllSketch& other);

    std::optional<double> quantile(double rank) const;
    double rank(double value) const;
    std::vector<std::optional<double>> quantiles(std::span<const double> ranks) const;
    std::vector<double> ranks(std::span<const double> values) const;
    std::vector<double> cdf(std::span<const double> split_points) const;
    std::vector<double> pmf(std::span<const double> split_points) const;
    std::uint64_t count() const { return n_; }
    std::uint64_t k() const { return k_; }
    bool is_empty() const { return n_ == 0; }
    std::optional<double> min() const { return min_value_; }
    std::optional<double> max() const { return max_value_; }
    std::optional<double> median() const { return quantile(0.5); }
    std::optional<double> q25() const { return quantile(0.25); }
    std::optional<double> q75() const { return quantile(0.75); }
    std::optional<double> q95() const { return quantile(0.95); }
    std::optional<double> q99() const { return quantile(0.99); }
    Stats statistics() const;
    // A bound on the absolute error of one rank query (a fraction of n) that
    // holds with the given confidence; 0 while nothing has been compacted.
    double rank_error(double confidence) const;

    std::vector<std::uint8_t> to_bytes() const;
    static KllSketch from_bytes(std::span<const std::uint8_t> data);

private:
    // `room` is the level's reservation as the sketch accounts for it in
    // "memory_usage"; storage itself grows with the values actually held, so
    // a large k costs nothing until it is used.
    struct Level {
        std::vector<double> values;
        std::uint64_t room = 0;

        void reserve(std::size_t size);
        void append(double value);
        void append_all(std::span<const double> run);
    };

    void add_level();
    void recompute_capacities();
    bool over_capacity(std::size_t h) const;
    class BottomLevels;
    std::size_t fill_bottom(std::span<const double> values);
    void compact_level(std::size_t h);
    // Compacts from level `from` up while levels are over capacity.
    void compact(std::size_t from = 0);
    void compact_every_level();
    void take_min(double value);
    void take_max(double value);
    std::size_t retained() const;
    template <class Fn>
    void for_each_run(Fn fn) const;
    auto queries() const;

    friend struct KllImage;

    std::optional<double> min_value_;
    std::optional<double> max_value_;
    std::vector<Level> levels_;
    std::vector<std::uint64_t> capacities_;
    std::uint64_t k_;
    std::uint64_t n_ = 0;
    std::uint64_t rng_state_;
    // Not part of the state: every mutation resets it.
    quantiles::LazyView<quantiles::SortedView> view_;
};

}  // namespace quillo::kll
