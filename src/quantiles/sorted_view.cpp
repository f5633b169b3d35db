#include "quantiles/sorted_view.hpp"

#include <algorithm>
#include <cmath>

#include "common/memory.hpp"

namespace quillo::quantiles {
namespace {

// Float less-than; with a NaN among the values this is not a strict order,
// and the stable sort's arrangement is whatever its merges produce.
void sort_pairs(std::vector<Weighted>& pairs) {
    std::stable_sort(pairs.begin(), pairs.end(),
                     [](const Weighted& a, const Weighted& b) { return a.value < b.value; });
}

std::vector<std::uint64_t> weights_before(std::span<const Weighted> pairs) {
    std::vector<std::uint64_t> before;
    before.reserve(pairs.size() + 1);
    std::uint64_t sum = 0;
    before.push_back(sum);
    for (const Weighted& p : pairs) before.push_back(sum += p.weight);
    return before;
}

constexpr std::size_t kNearSteps = 8;
constexpr std::size_t kWindow = 4;

// The index of the first element that satisfies `past`, which must hold for
// a suffix of the range. A binary search whose steps compile to conditional
// moves: targets are unpredictable, and mispredicted branches would cost
// more than the comparisons.
template <class Past>
std::size_t first_past(std::span<const double> sorted, Past past) {
    if (sorted.empty()) return 0;
    const double* base = sorted.data();
    std::size_t length = sorted.size();
    while (length > 1) {
        const std::size_t half = length / 2;
        base = past(base[half - 1]) ? base : base + half;
        length -= half;
    }
    return static_cast<std::size_t>(base - sorted.data()) + (past(*base) ? 0 : 1);
}

// first_past when `past` is known to fail before `start`: gallops from there,
// so an answer costs the logarithm of its distance from `start`.
template <class Past>
std::size_t first_past_from(std::span<const double> sorted, std::size_t start, Past past) {
    const std::size_t near_end = std::min(sorted.size(), start + kNearSteps);
    for (std::size_t i = start; i < near_end; ++i) {
        if (past(sorted[i])) return i;
    }
    std::size_t low = near_end;
    for (std::size_t step = 1;; step *= 2) {
        if (step > sorted.size() - low) return low + first_past(sorted.subspan(low), past);
        if (past(sorted[low + step - 1])) return low + first_past(sorted.subspan(low, step), past);
        low += step;
    }
}

// `start`: a bound known from the bucket indexes, 0 when there is none.
// Most answers lie at the start or a step or two after it. The values
// failing `past` in a window of the first few are counted rather than
// scanned: the count is the answer when one of them passes, and adds compile
// without the branches a scan would mispredict, so the searches of a batch
// overlap.
template <class Past>
std::size_t search(std::span<const double> sorted, std::size_t start, Past past) {
    if (start == 0) return first_past(sorted, past);
    if (sorted.size() - start >= kWindow) {
        const double* window = sorted.data() + start;
        const auto failing = static_cast<std::size_t>(!past(window[0])) + static_cast<std::size_t>(!past(window[1])) +
                             static_cast<std::size_t>(!past(window[2])) + static_cast<std::size_t>(!past(window[3]));
        if (failing < kWindow) return start + failing;
        start += kWindow;
    }
    return first_past_from(sorted, start, past);
}

}  // namespace

SortedView::SortedView(std::vector<Weighted> pairs) {
    sort_pairs(pairs);
    values_.reserve(pairs.size());
    running_.reserve(pairs.size());
    // The running weight is a double sum, a total of the unsigned weights
    // (wrapping like any counter): both as the walk over the pairs has them.
    double running = 0.0;
    for (const Weighted& p : pairs) {
        values_.push_back(p.value);
        running_.push_back(running += static_cast<double>(p.weight));
        total_ += p.weight;
        has_nan_ = has_nan_ || std::isnan(p.value);
    }
    index_buckets();
    if (!has_nan_) {
        weight_before_ = weights_before(pairs);
        index_value_buckets();
        return;
    }
    std::vector<Weighted> numbers;
    numbers.reserve(pairs.size());
    for (const Weighted& p : pairs) {
        if (std::isnan(p.value)) {
            nan_weight_ += p.weight;
        } else {
            numbers.push_back(p);
        }
    }
    sort_pairs(numbers);
    non_nan_values_.reserve(numbers.size());
    for (const Weighted& p : numbers) non_nan_values_.push_back(p.value);
    weight_before_ = weights_before(numbers);
    index_value_buckets();
}

// Bucket j starts at the first running weight that reaches j / B of the
// total, B being the number of values, as a target is computed from a rank.
void SortedView::index_buckets() {
    const std::size_t buckets = running_.size();
    if (buckets == 0) return;
    const double total = static_cast<double>(total_);
    bucket_start_.reserve(buckets + 1);
    std::size_t i = 0;
    for (std::size_t j = 0; j <= buckets; ++j) {
        const double threshold = static_cast<double>(j) / static_cast<double>(buckets) * total;
        while (i < buckets && running_[i] < threshold) ++i;
        bucket_start_.push_back(i);
    }
}

// A rank q lies at or above (floor(q B) - 1) / B, even after rounding, and
// products with the total round monotonically: the answer is at or after
// that bucket's start, a few values ahead at most for evenly weighted values.
std::size_t SortedView::bucket_floor(double q) const {
    if (!(q > 0.0) || bucket_start_.size() < 2) return 0;
    const std::size_t buckets = bucket_start_.size() - 1;
    const double scaled = q * static_cast<double>(buckets);
    const std::size_t bucket = scaled >= static_cast<double>(buckets) ? buckets : static_cast<std::size_t>(scaled);
    return bucket_start_[bucket == 0 ? 0 : bucket - 1];
}

// Value bucket j starts at the first key above lo + j w, where the finite
// keys span [lo, lo + B w] for B keys.
void SortedView::index_value_buckets() {
    const std::span<const double> keys = rank_keys();
    const auto finite = [](double v) { return std::isfinite(v); };
    const auto first = std::find_if(keys.begin(), keys.end(), finite);
    const auto last = std::find_if(keys.rbegin(), keys.rend(), finite);
    if (first == keys.end() || !(*last > *first)) return;
    const std::size_t buckets = keys.size();
    value_low_ = *first;
    value_width_ = (*last - *first) / static_cast<double>(buckets);
    if (!(value_width_ > 0.0 && std::isfinite(value_width_))) return;
    value_bucket_start_.reserve(buckets + 1);
    std::size_t i = 0;
    for (std::size_t j = 0; j <= buckets; ++j) {
        const double threshold = value_threshold(j);
        while (i < keys.size() && !(keys[i] > threshold)) ++i;
        value_bucket_start_.push_back(i);
    }
}

double SortedView::value_threshold(std::size_t bucket) const {
    return value_low_ + static_cast<double>(bucket) * value_width_;
}

// Every key before the start of a bucket whose threshold is at or below x
// is at or below x. The bucket found by division is checked against the
// very thresholds the index was built with, so rounding cannot misplace it.
std::size_t SortedView::value_bucket_floor(double x) const {
    if (value_bucket_start_.empty() || !(x >= value_low_)) return 0;
    const std::size_t buckets = value_bucket_start_.size() - 1;
    const double scaled = (x - value_low_) / value_width_;
    std::size_t bucket = scaled >= static_cast<double>(buckets) ? buckets : static_cast<std::size_t>(scaled);
    while (bucket > 0 && value_threshold(bucket) > x) --bucket;
    return value_threshold(bucket) > x ? 0 : value_bucket_start_[bucket];
}

// The running weights never decrease, so the first one that reaches the
// target is where the walk would stop.
const double* SortedView::quantile(double q) const {
    // Every running weight reaches a target of zero, which needs no search
    // (the batches of a sketch ask it for the ranks its minimum answers).
    if (q <= 0.0) return values_.empty() ? nullptr : values_.data();
    const double target = q * static_cast<double>(total_);
    const std::size_t reached =
        search(running_, bucket_floor(q), [target](double running) { return running >= target; });
    return reached == running_.size() ? nullptr : &values_[reached];
}

void SortedView::quantiles(std::span<const double> qs, std::span<const double*> out) const {
    for (std::size_t i = 0; i < qs.size(); ++i) out[i] = quantile(qs[i]);
}

// The values not greater than x are a prefix of the ascending numbers (all
// of them when x is NaN), plus every NaN.
std::uint64_t SortedView::weight_up_to(double x) const {
    const std::size_t end = search(rank_keys(), value_bucket_floor(x), [x](double v) { return v > x; });
    return nan_weight_ + weight_before_[end];
}

double SortedView::rank(double x) const {
    if (total_ == 0) return 0.0;
    return static_cast<double>(weight_up_to(x)) / static_cast<double>(total_);
}

void SortedView::ranks(std::span<const double> xs, std::span<double> out) const {
    for (std::size_t i = 0; i < xs.size(); ++i) out[i] = rank(xs[i]);
}

void check_split_points(std::span<const double> split_points) {
    for (std::size_t i = 0; i < split_points.size(); ++i) {
        if (std::isnan(split_points[i]) || (i > 0 && !(split_points[i - 1] < split_points[i]))) {
            fail("split points must be unique, increasing and not NaN");
        }
    }
}

std::size_t SortedView::heap_bytes() const {
    return heap_bytes_of(values_) + heap_bytes_of(running_) + heap_bytes_of(bucket_start_) +
           heap_bytes_of(non_nan_values_) + heap_bytes_of(weight_before_) + heap_bytes_of(value_bucket_start_);
}

}  // namespace quillo::quantiles
