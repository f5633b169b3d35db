#include "quantiles/kll_sketch.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "common/error.hpp"
#include "common/memory.hpp"
#include "quantiles/compactor_support.hpp"
#include "quantiles/rank_error.hpp"

namespace quillo::kll {
namespace {

constexpr double kShrink = 0.6666666666666666;
constexpr std::uint64_t kMinCapacity = 2;
constexpr std::uint64_t kMinRoom = 4;
constexpr std::size_t kInitialLevels = 2;
constexpr std::uint64_t kBytesPerSlot = 8;

// Square-and-multiply over the exponent's bits, lowest bit first, so every
// build computes the same capacities to the last bit.
double integer_power(double base, std::uint64_t exponent) {
    double result = 1.0;
    while (true) {
        if (exponent & 1) result *= base;
        exponent >>= 1;
        if (exponent == 0) return result;
        base *= base;
    }
}

// Each capacity is computed from k directly, never from a neighbour.
std::uint64_t level_capacity(std::uint64_t k, std::size_t num_levels, std::size_t level) {
    const double scaled = static_cast<double>(k) * integer_power(kShrink, num_levels - 1 - level);
    return std::max(kMinCapacity, saturating_u64(std::floor(scaled)));
}

double accuracy_factor(double confidence) {
    if (confidence > 0.99) return 2.0;
    if (confidence > 0.95) return 1.5;
    return 1.0;
}

}  // namespace

void KllSketch::Level::reserve(std::size_t size) {
    while (size > room) room = std::max(kMinRoom, saturating_mul(room, 2));
}

void KllSketch::Level::append(double value) {
    reserve(values.size() + 1);
    values.push_back(value);
}

void KllSketch::Level::append_all(std::span<const double> run) {
    reserve(values.size() + run.size());
    values.insert(values.end(), run.begin(), run.end());
}

KllSketch::KllSketch(std::uint64_t k) : k_(k), rng_state_(quantiles::kCoinSeed) {
    if (k < kMinK) panic("k must be at least 8");
    levels_.resize(kInitialLevels);
    recompute_capacities();
    for (std::size_t i = 0; i < kInitialLevels; ++i) levels_[i].room = capacities_[i];
}

KllSketch KllSketch::create(std::optional<std::uint64_t> k) {
    const std::uint64_t value = k.value_or(kDefaultK);
    if (value < kMinK) fail("k must be at least 8, got " + std::to_string(value));
    if (value > kMaxK) fail("k must be at most " + std::to_string(kMaxK) + ", got " + std::to_string(value));
    return KllSketch(value);
}

KllSketch KllSketch::with_accuracy(double epsilon, double confidence) {
    if (!(epsilon > 0.0 && epsilon < 1.0)) panic("Epsilon must be between 0 and 1");
    if (!(confidence > 0.0 && confidence < 1.0)) panic("Confidence must be between 0 and 1");
    const double t = 1.65 / epsilon;
    const std::uint64_t k = saturating_u64(std::ceil(t * t * accuracy_factor(confidence)));
    return create(std::max(k, kMinK));
}

void KllSketch::recompute_capacities() {
    const std::size_t count = levels_.size();
    capacities_.resize(count);
    for (std::size_t i = 0; i < count; ++i) capacities_[i] = level_capacity(k_, count, i);
}

void KllSketch::add_level() {
    levels_.emplace_back();
    recompute_capacities();
    levels_.back().room = capacities_.back();
}

// Ordinary comparisons: a NaN becomes an extreme only when none is present.
void KllSketch::take_min(double value) {
    if (!min_value_ || value < *min_value_) min_value_ = value;
}

void KllSketch::take_max(double value) {
    if (!max_value_ || value > *max_value_) max_value_ = value;
}

void KllSketch::update(double value) {
    view_.reset();
    take_min(value);
    take_max(value);
    ++n_;
    levels_[0].append(value);
    if (levels_[0].values.size() > capacities_[0]) compact();
}

bool KllSketch::over_capacity(std::size_t h) const { return levels_[h].values.size() > capacities_[h]; }

// Sorts level h and moves every second value, from a coin-chosen offset, up
// a level; the others are dropped and the level is left empty.
void KllSketch::compact_level(std::size_t h) {
    if (h + 1 >= levels_.size()) add_level();
    std::vector<double>& values = levels_[h].values;
    quantiles::sort_values(values);
    const std::size_t start = quantiles::flip_coin(rng_state_) ? 1 : 0;
    Level& above = levels_[h + 1];
    for (std::size_t i = start; i < values.size(); i += 2) above.append(values[i]);
    values.clear();
}

// After an update only level 0 has grown, so the pass stops at the first
// level within its capacity.
void KllSketch::compact(std::size_t from) {
    for (std::size_t h = from; h < levels_.size() && over_capacity(h); ++h) compact_level(h);
}

// A merge can overfill any level, even above a level 0 that still fits;
// left alone, such levels would double with every merge of similar sketches.
void KllSketch::compact_every_level() {
    for (std::size_t h = 0; h < levels_.size(); ++h) {
        if (over_capacity(h)) compact_level(h);
    }
}

void KllSketch::merge(const KllSketch& other) {
    view_.reset();
    if (other.min_value_) take_min(*other.min_value_);
    if (other.max_value_) take_max(*other.max_value_);
    n_ += other.n_;
    while (levels_.size() < other.levels_.size()) add_level();
    for (std::size_t i = 0; i < other.levels_.size(); ++i) levels_[i].append_all(other.levels_[i].values);
    compact_every_level();
}

template <class Fn>
void KllSketch::for_each_run(Fn fn) const {
    for (std::size_t i = 0; i < levels_.size(); ++i) {
        fn(quantiles::level_weight(i), std::span<const double>(levels_[i].values));
    }
}

auto KllSketch::queries() const {
    return quantiles::StackQueries(n_, min_value_, max_value_, [this]() -> const quantiles::SortedView& {
        return view_.get([this] { return quantiles::SortedView::of([this](auto fn) { for_each_run(fn); }); });
    });
}

std::optional<double> KllSketch::quantile(double rank) const { return queries().quantile(rank); }

double KllSketch::rank(double value) const { return queries().rank(value); }

std::vector<std::optional<double>> KllSketch::quantiles(std::span<const double> ranks) const {
    return queries().quantiles(ranks);
}

std::vector<double> KllSketch::ranks(std::span<const double> values) const { return queries().ranks(values); }

std::vector<double> KllSketch::cdf(std::span<const double> split_points) const { return queries().cdf(split_points); }

std::vector<double> KllSketch::pmf(std::span<const double> split_points) const { return queries().pmf(split_points); }

// Until the first compaction level 0 holds every value and ranks are exact.
// The figure is for this sketch's k: values merged in from a sketch of a
// smaller k carry that sketch's larger error.
double KllSketch::rank_error(double confidence) const {
    const double constant = quantiles::rank_error_constant(quantiles::kKllRankErrorConstants, confidence);
    if (levels_[0].values.size() == n_) return 0.0;
    return std::min(1.0, constant / std::pow(static_cast<double>(k_), quantiles::kKllRankErrorExponent));
}

std::size_t KllSketch::retained() const {
    std::size_t total = 0;
    for (const Level& level : levels_) total += level.values.size();
    return total;
}

Stats KllSketch::statistics() const {
    std::uint64_t slots = 0;
    for (const Level& level : levels_) slots = saturating_add(slots, level.room);
    Stats stats;
    stats.add("k", k_)
        .add("levels", static_cast<std::uint64_t>(levels_.size()))
        .add("total_items", static_cast<std::uint64_t>(retained()))
        .add("total_count", n_)
        .add("memory_usage", saturating_mul(slots, kBytesPerSlot))
        .add("min_value_set", min_value_.has_value())
        .add("max_value_set", max_value_.has_value());
    return stats;
}

std::size_t KllSketch::heap_bytes() const {
    return heap_bytes_of(levels_, [](const Level& level) { return heap_bytes_of(level.values); }) +
           heap_bytes_of(capacities_) + view_.heap_bytes();
}

}  // namespace quillo::kll
