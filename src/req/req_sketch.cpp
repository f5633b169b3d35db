#include "req/req_sketch.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "codec/codec.hpp"
#include "common/error.hpp"
#include "common/memory.hpp"
#include "encoding/encoding.hpp"
#include "quantiles/compactor_support.hpp"
#include "quantiles/rank_error.hpp"

namespace quillo::req {
namespace {

using quantiles::level_weight;

constexpr std::uint64_t kMinCapacity = 2;
// A compactor's level is the exponent of its values' weight.
constexpr std::uint64_t kLevelLimit = 64;
// Half the 64-bit range: room for more updates than any stream will bring.
constexpr std::uint64_t kMaxRetainedWeight = (std::uint64_t{1} << 63) - 1;
constexpr std::size_t kMinCompactorBytes = 4;
constexpr std::size_t kValueBytes = 8;

void write_value(encoding::Writer& w, double v) { w.f64(v); }
double read_value(encoding::Reader& r) { return r.f64(); }

}  // namespace

ReqSketch::ReqSketch(std::uint64_t k, bool lra_mode) : k_(k), lra_mode_(lra_mode), rng_state_(quantiles::kCoinSeed) {
    if (k < kMinK) panic("k must be at least 4");
    compactors_.push_back({0, {}, k, 0});
    compactors_.back().items.reserve(k);
}

ReqSketch ReqSketch::create(std::uint64_t k, std::optional<std::string_view> mode) {
    if (k < kMinK) fail("k must be at least 4, got " + std::to_string(k));
    const std::string_view text = mode.value_or("HRA");
    if (text != "HRA" && text != "LRA") fail("Unknown mode '" + std::string(text) + "', use 'HRA' or 'LRA'");
    return ReqSketch(k, text == "LRA");
}

// Capacities double with each level. Storage grows with the values that
// arrive rather than being reserved for the whole capacity.
void ReqSketch::add_compactor() {
    const std::uint64_t level = compactors_.size();
    const std::uint64_t capacity = saturating_mul(k_, level_weight(level));
    compactors_.push_back({level, {}, std::max(kMinCapacity, capacity), 0});
}

void ReqSketch::update(double value) {
    view_.reset();
    if (!min_value_ || value < *min_value_) min_value_ = value;
    if (!max_value_ || value > *max_value_) max_value_ = value;
    ++n_;
    compactors_[0].items.push_back(value);
    for (std::size_t h = 0; h < compactors_.size(); ++h) {
        if (compactors_[h].items.size() <= compactors_[h].capacity) return;
        if (h + 1 == compactors_.size()) add_compactor();
        compact(h);
    }
}

// Keeps the protected end of the sorted compactor and promotes every second
// value of the rest, starting at the coin's offset.
void ReqSketch::compact(std::size_t h) {
    ReqCompactor& compactor = compactors_[h];
    std::vector<double>& items = compactor.items;
    quantiles::sort_values(items);
    const std::uint64_t coin = quantiles::flip_coin(rng_state_) ? 1 : 0;
    const std::size_t m = items.size();
    const std::size_t protect = std::min<std::uint64_t>(m / 2, m / (compactor.level + 2));
    const std::size_t first = lra_mode_ ? protect : 0;
    const std::size_t last = lra_mode_ ? m : m - protect;
    std::vector<double>& above = compactors_[h + 1].items;
    for (std::size_t i = first; i < last; ++i) {
        if (((i - first) & 1) == coin) above.push_back(items[i]);
    }
    items.erase(items.begin() + static_cast<std::ptrdiff_t>(first), items.begin() + static_cast<std::ptrdiff_t>(last));
    ++compactor.num_compactions;
}

template <class Fn>
void ReqSketch::for_each_run(Fn fn) const {
    for (const ReqCompactor& c : compactors_) fn(level_weight(c.level), std::span<const double>(c.items));
}

auto ReqSketch::queries() const {
    return quantiles::StackQueries(n_, min_value_, max_value_, [this]() -> const quantiles::SortedView& {
        return view_.get([this] { return quantiles::SortedView::of([this](auto fn) { for_each_run(fn); }); });
    });
}

std::optional<double> ReqSketch::quantile(double rank) const { return queries().quantile(rank); }

double ReqSketch::rank(double value) const { return queries().rank(value); }

// Unlike `cdf`, takes the points in any order and answers an empty sketch
// with zeros.
std::vector<double> ReqSketch::get_cdf(std::span<const double> split_points) const {
    std::vector<double> cdf = ranks(split_points);
    cdf.push_back(n_ == 0 ? 0.0 : 1.0);
    return cdf;
}

std::vector<std::optional<double>> ReqSketch::quantiles(std::span<const double> ranks) const {
    return queries().quantiles(ranks);
}

std::vector<double> ReqSketch::ranks(std::span<const double> values) const { return queries().ranks(values); }

std::vector<double> ReqSketch::cdf(std::span<const double> split_points) const { return queries().cdf(split_points); }

std::vector<double> ReqSketch::pmf(std::span<const double> split_points) const { return queries().pmf(split_points); }

// Levels stay below 64 (the decoder checks), so 4^h is a finite double.
double ReqSketch::rank_spread() const {
    if (n_ == 0) return 0.0;
    double variance = 0.0;
    for (const ReqCompactor& c : compactors_) {
        variance += static_cast<double>(c.num_compactions) * std::ldexp(1.0, 2 * static_cast<int>(c.level));
    }
    return std::sqrt(variance) / static_cast<double>(n_);
}

double ReqSketch::rank_error(double confidence) const {
    const double constant = quantiles::rank_error_constant(quantiles::kReqRankErrorConstants, confidence);
    return std::min(1.0, constant * rank_spread());
}

// Refuses states no sketch reaches: compactor 0 missing (updates append to
// it), a compactor whose level is not its position (its values would weigh
// what another level's do), a capacity below 2 (compactions would cascade
// a value past level 63), or retained weight so close to the 64-bit limit
// that later updates would wrap the totals and give ranks outside [0, 1].
void ReqSketch::check_decoded() const {
    auto refuse = [](const char* why) { codec::corrupt_data(std::string("ReqSketch decode failed: ") + why); };
    if (compactors_.empty()) refuse("no compactors");
    std::uint64_t weight = 0;
    for (std::size_t h = 0; h < compactors_.size(); ++h) {
        const ReqCompactor& c = compactors_[h];
        if (c.level != h) refuse("compactor level differs from its position");
        if (c.level >= kLevelLimit) refuse("compactor level 64 or more");
        if (c.capacity < kMinCapacity) refuse("compactor capacity below 2");
        std::uint64_t level_weight;
        if (__builtin_mul_overflow(static_cast<std::uint64_t>(c.items.size()), quantiles::level_weight(h),
                                   &level_weight) ||
            __builtin_add_overflow(weight, level_weight, &weight) || weight > kMaxRetainedWeight) {
            refuse("retained weight reaches 2^63");
        }
    }
}

std::vector<std::uint8_t> ReqSketch::to_bytes() const {
    encoding::Writer w;
    w.u64(k_);
    w.boolean(lra_mode_);
    w.sequence(compactors_, [](encoding::Writer& out, const ReqCompactor& c) {
        out.u64(c.level);
        out.sequence(c.items, write_value);
        out.u64(c.capacity);
        out.u64(c.num_compactions);
    });
    w.u64(n_);
    w.option(min_value_, write_value);
    w.option(max_value_, write_value);
    w.u64(rng_state_);
    return w.take();
}

ReqSketch ReqSketch::from_bytes(std::span<const std::uint8_t> data) {
    ReqSketch sketch = encoding::decode("ReqSketch", data, [](encoding::Reader& r) {
        ReqSketch s;
        s.k_ = r.u64();
        s.lra_mode_ = r.boolean();
        s.compactors_ = r.sequence<ReqCompactor>(kMinCompactorBytes, [](encoding::Reader& in) {
            ReqCompactor c;
            c.level = in.u64();
            c.items = in.sequence<double>(kValueBytes, read_value);
            c.capacity = in.u64();
            c.num_compactions = in.u64();
            return c;
        });
        s.n_ = r.u64();
        s.min_value_ = r.option<double>(read_value);
        s.max_value_ = r.option<double>(read_value);
        s.rng_state_ = r.u64();
        return s;
    });
    sketch.check_decoded();
    return sketch;
}

std::size_t ReqSketch::heap_bytes() const {
    return heap_bytes_of(compactors_, [](const ReqCompactor& compactor) { return heap_bytes_of(compactor.items); }) +
           view_.heap_bytes();
}

}  // namespace quillo::req
