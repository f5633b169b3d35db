#pragma once
// The query side of the compactor-stack sketches. A sorted view holds the
// retained values with running weights; a sketch builds it on the first query
// after a change, so a query costs a binary search instead of a sort. Answers
// are those of the plain walk over the stably sorted values: the same sort,
// the same sums in the same order, and searches that stop where the walk
// would.
#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/error.hpp"

namespace quillo::quantiles {

struct Weighted {
    double value;
    std::uint64_t weight;
};

class SortedView {
public:
    // `for_each_run(fn)` calls fn(weight, values) once per level, lowest first.
    template <class ForEachRun>
    static SortedView of(ForEachRun for_each_run);

    bool empty() const { return values_.empty(); }

    // The first value, in ascending order, at which the running weight
    // reaches q times the total weight; null when no value does. (A pointer
    // rather than an optional, which would come back through memory.)
    const double* quantile(double q) const;

    // quantile(q) for each q, into `out` (as long as `qs`). The searches of
    // a batch do not depend on one another, so they overlap in the processor.
    void quantiles(std::span<const double> qs, std::span<const double*> out) const;

    // Total weight of the values not greater than x (NaN values count),
    // summed as an unsigned integer like the total.
    std::uint64_t weight_up_to(double x) const;

    // weight_up_to(x) over the total, or 0.0 when the total is 0.
    double rank(double x) const;

    // rank(x) for each x, into `out` (as long as `xs`).
    void ranks(std::span<const double> xs, std::span<double> out) const;

    std::uint64_t total() const { return total_; }

    std::size_t heap_bytes() const;

private:
    explicit SortedView(std::vector<Weighted> pairs);
    void index_buckets();
    std::size_t bucket_floor(double q) const;
    void index_value_buckets();
    double value_threshold(std::size_t bucket) const;
    std::size_t value_bucket_floor(double x) const;
    std::span<const double> rank_keys() const { return has_nan_ ? non_nan_values_ : values_; }

    // Values in quantile order (stably sorted by float less-than, in which a
    // NaN compares equal to everything) and the running weight after each.
    std::vector<double> values_;
    std::vector<double> running_;
    // Where the targets of ranks j / B begin, B + 1 entries for B values:
    // a single query starts its search there.
    std::vector<std::size_t> bucket_start_;
    // Rank order: the values other than NaN ascending, with the weight
    // before each position (one more entry than values). Without NaN the
    // quantile order is already ascending and serves both.
    bool has_nan_ = false;
    std::vector<double> non_nan_values_;
    std::vector<std::uint64_t> weight_before_;
    // Where the keys above evenly spaced values begin (empty when the finite
    // keys do not span a range): a single rank starts its search there.
    double value_low_ = 0.0;
    double value_width_ = 0.0;
    std::vector<std::size_t> value_bucket_start_;
    std::uint64_t nan_weight_ = 0;
    std::uint64_t total_ = 0;
};

template <class ForEachRun>
SortedView SortedView::of(ForEachRun for_each_run) {
    std::size_t count = 0;
    for_each_run([&](std::uint64_t, std::span<const double> values) { count += values.size(); });
    std::vector<Weighted> pairs;
    pairs.reserve(count);
    for_each_run([&](std::uint64_t weight, std::span<const double> values) {
        for (double v : values) pairs.push_back({v, weight});
    });
    return SortedView(std::move(pairs));
}

// Split points of a CDF or PMF: strictly increasing, no NaN.
void check_split_points(std::span<const double> split_points);

// The queries of a compactor stack: the exact extremes answer ranks 0 and 1,
// the sorted view (fetched only when needed) everything in between.
template <class GetView>
class StackQueries {
public:
    StackQueries(std::uint64_t n, std::optional<double> min_value, std::optional<double> max_value, GetView view)
        : n_(n), min_value_(min_value), max_value_(max_value), view_(view) {}

    std::optional<double> quantile(double rank) const {
        check_rank(rank);
        if (n_ == 0) return std::nullopt;
        if (rank == 0.0) return min_value_;
        if (rank == 1.0) return max_value_;
        const SortedView& view = view_();
        if (view.empty()) return min_value_;
        const double* value = view.quantile(rank);
        return value ? std::optional<double>(*value) : max_value_;
    }

    double rank(double x) const { return n_ == 0 ? 0.0 : view_().rank(x); }

    std::vector<std::optional<double>> quantiles(std::span<const double> ranks) const {
        for (double r : ranks) check_rank(r);
        std::vector<std::optional<double>> out(ranks.size());
        if (n_ == 0) return out;
        const SortedView& view = view_();
        std::array<const double*, kChunk> found;
        for (std::size_t first = 0; first < ranks.size(); first += kChunk) {
            const std::span<const double> chunk = ranks.subspan(first, std::min(kChunk, ranks.size() - first));
            view.quantiles(chunk, std::span(found).first(chunk.size()));
            for (std::size_t i = 0; i < chunk.size(); ++i) settle(out[first + i], view, chunk[i], found[i]);
        }
        return out;
    }

    std::vector<double> ranks(std::span<const double> values) const {
        std::vector<double> out(values.size(), 0.0);
        if (n_ != 0) view_().ranks(values, out);
        return out;
    }

    // The rank at each split point, then 1.0; nothing for an empty sketch.
    std::vector<double> cdf(std::span<const double> split_points) const {
        check_split_points(split_points);
        if (n_ == 0) return {};
        std::vector<double> out(split_points.size() + 1, 1.0);
        view_().ranks(split_points, std::span(out).first(split_points.size()));
        return out;
    }

    // The share of the weight below or at the first split point, between
    // each pair of neighbours (above the left, at or below the right), and
    // above the last; nothing for an empty sketch.
    std::vector<double> pmf(std::span<const double> split_points) const {
        check_split_points(split_points);
        if (n_ == 0) return {};
        const SortedView& view = view_();
        const std::uint64_t total = view.total();
        std::vector<double> out;
        out.reserve(split_points.size() + 1);
        std::uint64_t before = 0;
        for (double x : split_points) {
            const std::uint64_t up_to = view.weight_up_to(x);
            out.push_back(share(up_to - before, total));
            before = up_to;
        }
        // Without weight (only after a counter wrapped) the CDF still ends at 1.0.
        out.push_back(total == 0 ? 1.0 : share(total - before, total));
        return out;
    }

private:
    // Queries a batch holds on the stack at a time.
    static constexpr std::size_t kChunk = 128;

    static void check_rank(double rank) {
        if (!(rank >= 0.0 && rank <= 1.0)) panic("Rank must be between 0.0 and 1.0");
    }

    static double share(std::uint64_t weight, std::uint64_t total) {
        return total == 0 ? 0.0 : static_cast<double>(weight) / static_cast<double>(total);
    }

    // Sets `out` to quantile(rank), the view's search having found `found`.
    // Written in place: an optional built apart and copied in would be read
    // back from a partly written stack slot, which costs more than the search.
    void settle(std::optional<double>& out, const SortedView& view, double rank, const double* found) const {
        if (rank == 0.0) {
            out = min_value_;
        } else if (rank == 1.0) {
            out = max_value_;
        } else if (view.empty()) {
            out = min_value_;
        } else if (found != nullptr) {
            out.emplace(*found);
        } else {
            out = max_value_;
        }
    }

    std::uint64_t n_;
    std::optional<double> min_value_;
    std::optional<double> max_value_;
    GetView view_;
};

}  // namespace quillo::quantiles
