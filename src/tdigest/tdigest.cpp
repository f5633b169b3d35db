#include "tdigest/tdigest.hpp"

#include <algorithm>
#include <cmath>

#include "codec/codec.hpp"
#include "common/error.hpp"
#include "common/memory.hpp"
#include "quantiles/compactor_support.hpp"
#include "quantiles/sorted_view.hpp"
#include "tdigest/batch_sort.hpp"

namespace quillo::tdigest {
namespace {

constexpr double kMinAccuracyCompression = 50.0;
constexpr double kMaxAccuracyCompression = 2000.0;
constexpr double kRankTolerance = 1e-6;
constexpr int kTrimmedMeanSteps = 1000;
constexpr std::uint64_t kBytesPerCentroid = 16;
constexpr std::uint64_t kFixedBytes = 112;
// The most total weight a digest may carry: far past any count of values
// (2^64), and so far from overflow that no sum of values or centroid weights
// carries it to infinity. Adding values cannot cross it (a batch is far
// smaller than its spacing of doubles there), a merge can and is refused.
constexpr double kMaxTotalWeight = 0x1p128;
// The most values a digest counts: adds and merges stop the count there
// rather than wrap it, and the decoder refuses more. No stream reaches it
// (146 years at a billion values a second); only a crafted image comes near.
constexpr std::uint64_t kMaxCount = std::uint64_t{1} << 62;
// How far a centroid's weight may pass the total weight: a fold adds the
// weights in another order than the total.
constexpr double kWeightTolerance = 1e-9;

// A NaN operand yields the other; ties keep the first.
double min_ignoring_nan(double first, double second) {
    if (std::isnan(first)) return second;
    if (std::isnan(second)) return first;
    return second < first ? second : first;
}

double max_ignoring_nan(double first, double second) {
    if (std::isnan(first)) return second;
    if (std::isnan(second)) return first;
    return second > first ? second : first;
}

// The quantile rule of the object: the exact extremes at and beyond ranks 0
// and 1, the engine's estimate in between.
template <class Estimate>
std::optional<double> quantile_by(Estimate estimate, std::uint64_t count, std::optional<double> min_value,
                                  std::optional<double> max_value, double q) {
    if (count == 0) return std::nullopt;
    if (q <= 0.0) return min_value;
    if (q >= 1.0) return max_value;
    return estimate(q);
}

}  // namespace

TDigest::TDigest(std::uint64_t compression) : digest_(compression), compression_(compression) {}

TDigest TDigest::create(std::optional<std::uint64_t> compression) {
    return TDigest(compression.value_or(kDefaultCompression));
}

TDigest TDigest::with_accuracy(double target_error) {
    double compression = 1.0 / (target_error * 4.0);
    if (compression < kMinAccuracyCompression) compression = kMinAccuracyCompression;
    if (compression > kMaxAccuracyCompression) compression = kMaxAccuracyCompression;
    return TDigest(saturating_u64(compression));
}

void TDigest::take_min(double value) {
    if (!min_value_ || value < *min_value_) min_value_ = value;
}

void TDigest::take_max(double value) {
    if (!max_value_ || value > *max_value_) max_value_ = value;
}

void TDigest::count_more(std::uint64_t n) { count_ = n > kMaxCount - count_ ? kMaxCount : count_ + n; }

void TDigest::add(double value) {
    digest_ = merge_values(digest_, std::span<const double>(&value, 1));
    count_more(1);
    take_min(value);
    take_max(value);
}

void TDigest::add_batch(const std::vector<double>& values) {
    if (values.empty()) return;
    if (values.size() > 1 && std::any_of(values.begin(), values.end(), [](double v) { return std::isnan(v); })) {
        panic("cannot sort a batch that holds NaN");
    }
    std::vector<double> sorted = values;
    sort_batch(sorted);
    digest_ = merge_values(digest_, sorted);
    count_more(values.size());
    for (double v : values) {
        take_min(v);
        take_max(v);
    }
}

void TDigest::merge(const TDigest& other) {
    if (other.count_ == 0) return;
    if (digest_.count + other.digest_.count > kMaxTotalWeight) fail("the merged total weight would exceed 2^128");
    const Digest both[] = {digest_, other.digest_};
    digest_ = merge_digest_list(both);
    count_more(other.count_);
    if (other.min_value_)
        min_value_ = min_value_ ? min_ignoring_nan(*min_value_, *other.min_value_) : *other.min_value_;
    if (other.max_value_)
        max_value_ = max_value_ ? max_ignoring_nan(*max_value_, *other.max_value_) : *other.max_value_;
}

void TDigest::clear() {
    digest_ = Digest(compression_);
    count_ = 0;
    min_value_.reset();
    max_value_.reset();
}

std::optional<double> TDigest::estimate(double q) const {
    if (count_ == 0) return std::nullopt;
    return estimate_at(digest_, q);
}

std::optional<double> TDigest::quantile(double q) const {
    return quantile_by([this](double at) { return estimate_at(digest_, at); }, count_, min_value_, max_value_, q);
}

// The ranks that need no estimate: none stored, or a value at or beyond an
// extreme.
std::optional<double> TDigest::rank_shortcut(double value) const {
    if (count_ == 0) return 0.0;
    if (min_value_ && value <= *min_value_) return 0.0;
    if (max_value_ && value >= *max_value_) return 1.0;
    return std::nullopt;
}

// Bisects the rank whose estimate reaches the value.
double TDigest::rank(double value) const {
    if (auto shortcut = rank_shortcut(value)) return *shortcut;
    double lo = 0.0;
    double hi = 1.0;
    while (hi - lo > kRankTolerance) {
        const double mid = (lo + hi) * 0.5;
        if (estimate_at(digest_, mid) < value) {
            lo = mid;
        } else {
            hi = mid;
        }
    }
    return (lo + hi) * 0.5;
}

// quantile() for each rank, appended in place: an optional returned from a
// call per element comes back through a partly written stack slot, which
// would cost more than the estimate.
std::vector<std::optional<double>> TDigest::quantiles(std::span<const double> qs) const {
    std::vector<std::optional<double>> out;
    out.reserve(qs.size());
    if (count_ == 0) {
        out.resize(qs.size());
        return out;
    }
    const DigestSearch search(digest_);
    DigestSearch::Hint hint;
    for (double q : qs) {
        if (q <= 0.0) {
            out.push_back(min_value_);
        } else if (q >= 1.0) {
            out.push_back(max_value_);
        } else {
            out.emplace_back(search.estimate_at(q, hint));
        }
    }
    return out;
}

// rank() for each value: the shortcuts first, then the bisections together.
std::vector<double> TDigest::ranks(std::span<const double> values) const {
    std::vector<double> out(values.size());
    std::vector<std::size_t> pending;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (auto shortcut = rank_shortcut(values[i])) {
            out[i] = *shortcut;
        } else {
            pending.push_back(i);
        }
    }
    if (!pending.empty()) DigestSearch(digest_).bisect_ranks(values, pending, kRankTolerance, out);
    return out;
}

// The rank at each split point, then 1.0; nothing for an empty digest.
std::vector<double> TDigest::cdf(std::span<const double> split_points) const {
    quantiles::check_split_points(split_points);
    if (count_ == 0) return {};
    std::vector<double> out = ranks(split_points);
    out.push_back(1.0);
    return out;
}

// The steps of the CDF: ranks grow with the value, so no step is negative.
std::vector<double> TDigest::pmf(std::span<const double> split_points) const {
    std::vector<double> out = cdf(split_points);
    for (std::size_t i = out.size(); i-- > 1;) out[i] -= out[i - 1];
    return out;
}

std::optional<double> TDigest::trimmed_mean(double lower_quantile, double upper_quantile) const {
    if (lower_quantile >= upper_quantile || count_ == 0) return std::nullopt;
    const double step = (upper_quantile - lower_quantile) / static_cast<double>(kTrimmedMeanSteps);
    double sum = 0.0;
    int present = 0;
    const DigestSearch search(digest_);
    DigestSearch::Hint hint;
    auto estimate = [&](double at) { return search.estimate_at(at, hint); };
    for (int i = 0; i <= kTrimmedMeanSteps; ++i) {
        if (auto v =
                quantile_by(estimate, count_, min_value_, max_value_, lower_quantile + step * static_cast<double>(i))) {
            sum += *v;
            ++present;
        }
    }
    if (present == 0) return std::nullopt;
    return sum / static_cast<double>(present);
}

std::uint64_t TDigest::memory_usage() const {
    return saturating_add(saturating_mul(compression_, kBytesPerCentroid), kFixedBytes);
}

Stats TDigest::statistics() const {
    Stats stats;
    stats.add("count", count_)
        .add("compression", compression_)
        .add("min_value", min_value_)
        .add("max_value", max_value_)
        .add("memory_usage", memory_usage());
    return stats;
}

void TDigest::write(encoding::Writer& w) const {
    digest_.write(w);
    w.u64(count_);
    auto f64 = [](encoding::Writer& out, double v) { out.f64(v); };
    w.option(min_value_, f64);
    w.option(max_value_, f64);
    w.u64(compression_);
}

TDigest TDigest::read(encoding::Reader& r) {
    Digest digest = Digest::read(r);
    const std::uint64_t count = r.u64();
    auto f64 = [](encoding::Reader& in) { return in.f64(); };
    std::optional<double> low = r.option<double>(f64);
    std::optional<double> high = r.option<double>(f64);
    TDigest out(r.u64());
    out.digest_ = std::move(digest);
    out.count_ = count;
    out.min_value_ = low;
    out.max_value_ = high;
    return out;
}

std::vector<std::uint8_t> TDigest::to_bytes() const {
    encoding::Writer w;
    write(w);
    return w.take();
}

TDigest TDigest::from_bytes(std::span<const std::uint8_t> data) {
    TDigest decoded = encoding::decode("TDigest", data, [](encoding::Reader& r) { return read(r); });
    decoded.check_decoded("TDigest");
    return decoded;
}

// Refuses states no digest reaches, on which estimates would divide by a
// zero weight, turn NaN, or stop at other centroids than the walks over an
// ordered digest do: centroids with a weight that is not positive and
// finite, centroids out of order, a total weight that is negative, not
// finite, beyond kMaxTotalWeight or below a centroid's weight, a count
// beyond kMaxCount and a count without centroids.
void TDigest::check_decoded(std::string_view name) const {
    auto refuse = [name](const char* why) { codec::corrupt_data(std::string(name) + " decode failed: " + why); };
    const auto& centroids = digest_.centroids;
    for (const Centroid& c : centroids) {
        if (!(c.weight > 0.0 && std::isfinite(c.weight))) refuse("centroid weight not positive and finite");
    }
    if (!std::is_sorted(centroids.begin(), centroids.end(),
                        [](const Centroid& a, const Centroid& b) { return nan_last_less(a.mean, b.mean); })) {
        refuse("centroids out of order");
    }
    if (!(digest_.count >= 0.0 && std::isfinite(digest_.count))) refuse("total weight negative or not finite");
    if (digest_.count > kMaxTotalWeight) refuse("total weight exceeds 2^128");
    // A fold keeps each centroid within the total weight; one beyond it
    // could overflow in a merge while the total stays in range.
    const double heaviest = digest_.count * (1.0 + kWeightTolerance);
    for (const Centroid& c : centroids) {
        if (c.weight > heaviest) refuse("centroid weight beyond the total weight");
    }
    if (count_ > kMaxCount) refuse("count exceeds 2^62");
    if (count_ > 0 && centroids.empty()) refuse("count without centroids");
}

std::size_t TDigest::heap_bytes() const { return heap_bytes_of(digest_.centroids); }

}  // namespace quillo::tdigest
