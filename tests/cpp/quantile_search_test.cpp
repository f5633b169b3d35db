// Checks that the sorted view of the compactor sketches answers exactly as
// the plain walk it replaces, a stable sort and a linear walk per query
// (NaN values, repeated values and huge weights included), and that a KLL
// sketch queried by several threads at once after each change gives its
// serial answers. Prints "N passed, M failed" and exits non-zero
// on any failure.
#include <algorithm>
#include <barrier>
#include <bit>
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "quantiles/kll_sketch.hpp"
#include "quantiles/sorted_view.hpp"

namespace {

using quillo::quantiles::SortedView;
using quillo::quantiles::Weighted;

int passed = 0;
int failed = 0;

void check(bool ok, const std::string& what) {
    if (ok) {
        ++passed;
    } else if (++failed <= 20) {
        std::printf("FAILED: %s\n", what.c_str());
    }
}

// Equal as answers: the same bits, so NaN equals NaN and 0.0 differs from -0.0.
bool same(std::optional<double> a, std::optional<double> b) {
    if (!a || !b) return a.has_value() == b.has_value();
    return std::bit_cast<std::uint64_t>(*a) == std::bit_cast<std::uint64_t>(*b);
}

std::optional<double> found(const double* value) { return value ? std::optional<double>(*value) : std::nullopt; }

using Levels = std::vector<std::vector<double>>;

std::vector<Weighted> pairs_of(const Levels& levels, unsigned first_shift) {
    std::vector<Weighted> pairs;
    for (std::size_t i = 0; i < levels.size(); ++i) {
        for (double v : levels[i]) pairs.push_back({v, std::uint64_t{1} << (first_shift + i)});
    }
    return pairs;
}

// The walk that queries used before the view: sort every time, then scan.
std::optional<double> walk_quantile(std::vector<Weighted> pairs, double q) {
    std::stable_sort(pairs.begin(), pairs.end(),
                     [](const Weighted& a, const Weighted& b) { return a.value < b.value; });
    std::uint64_t total = 0;
    for (const Weighted& p : pairs) total += p.weight;
    const double target = q * static_cast<double>(total);
    double running = 0.0;
    for (const Weighted& p : pairs) {
        running += static_cast<double>(p.weight);
        if (running >= target) return p.value;
    }
    return std::nullopt;
}

double walk_rank(const std::vector<Weighted>& pairs, double x) {
    std::uint64_t total = 0;
    std::uint64_t below = 0;
    for (const Weighted& p : pairs) {
        total += p.weight;
        if (!(p.value > x)) below += p.weight;
    }
    return total == 0 ? 0.0 : static_cast<double>(below) / static_cast<double>(total);
}

double pick_value(std::mt19937_64& rng, const std::vector<double>& pool) {
    return pool[std::uniform_int_distribution<std::size_t>(0, pool.size() - 1)(rng)];
}

// Values drawn from a small pool (repeats), with NaN, infinities and signed zeros.
std::vector<double> value_pool(std::mt19937_64& rng, bool with_nan) {
    std::vector<double> pool = {
        0.0, -0.0, 1.0, -1.0, std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()};
    std::uniform_real_distribution<double> uniform(-100.0, 100.0);
    for (int i = 0; i < 40; ++i) pool.push_back(uniform(rng));
    if (with_nan) pool.push_back(std::numeric_limits<double>::quiet_NaN());
    return pool;
}

void sorted_view_matches_the_walk() {
    std::mt19937_64 rng(17);
    for (int round = 0; round < 150; ++round) {
        const bool with_nan = round % 3 == 0;
        const auto pool = value_pool(rng, with_nan);
        Levels levels(std::uniform_int_distribution<int>(1, 8)(rng));
        for (auto& level : levels) {
            level.resize(std::uniform_int_distribution<int>(0, 60)(rng));
            for (double& v : level) v = pick_value(rng, pool);
        }
        // Weights near 2^63 make the double running sums round.
        const unsigned shift = round % 5 == 4 ? 55 : 0;
        const auto pairs = pairs_of(levels, shift);
        const SortedView view = SortedView::of([&](auto fn) {
            for (std::size_t i = 0; i < levels.size(); ++i) {
                fn(std::uint64_t{1} << (shift + i), std::span<const double>(levels[i]));
            }
        });
        check(view.empty() == pairs.empty(), "empty view");
        std::vector<double> ranks;
        for (int i = 0; i <= 200; ++i) ranks.push_back(i / 200.0);
        std::vector<double> shuffled = ranks;
        std::shuffle(shuffled.begin(), shuffled.end(), rng);
        for (const auto* order : {&ranks, &shuffled}) {
            std::vector<const double*> batch(order->size());
            view.quantiles(*order, batch);
            for (std::size_t i = 0; i < order->size(); ++i) {
                const double q = (*order)[i];
                const auto expected = walk_quantile(pairs, q);
                check(same(found(view.quantile(q)), expected), "quantile " + std::to_string(q));
                check(same(found(batch[i]), expected), "batch quantile " + std::to_string(q));
            }
        }
        std::vector<double> points = pool;
        points.push_back(std::nextafter(1.0, 2.0));
        std::sort(points.begin(), points.end());  // NaN sorts anywhere
        std::vector<double> batch(points.size());
        view.ranks(points, batch);
        for (std::size_t i = 0; i < points.size(); ++i) {
            const double expected = walk_rank(pairs, points[i]);
            check(same(view.rank(points[i]), expected), "rank " + std::to_string(points[i]));
            check(same(batch[i], expected), "batch rank " + std::to_string(points[i]));
        }
    }
}

// Several threads query a sketch whose view is not built yet; each must see
// the answers of a serial query.
void concurrent_first_queries() {
    constexpr int kThreads = 6;
    std::mt19937_64 rng(3);
    quillo::kll::KllSketch sketch(16);
    for (int round = 0; round < 100; ++round) {
        for (int i = 0; i < 37; ++i) sketch.update(std::uniform_real_distribution<double>(0.0, 1.0)(rng));
        const quillo::kll::KllSketch reference = sketch;  // a copy builds a view of its own
        std::vector<double> ranks;
        for (int i = 1; i < 50; ++i) ranks.push_back(i / 50.0);
        const auto expected = reference.quantiles(ranks);
        const auto expected_ranks = reference.ranks(ranks);
        std::barrier start(kThreads);
        std::vector<int> agree(kThreads, 0);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                start.arrive_and_wait();
                agree[t] = sketch.quantiles(ranks) == expected && sketch.ranks(ranks) == expected_ranks;
            });
        }
        for (auto& thread : threads) thread.join();
        check(std::count(agree.begin(), agree.end(), 1) == kThreads, "concurrent round " + std::to_string(round));
    }
}

}  // namespace

int main() {
    sorted_view_matches_the_walk();
    concurrent_first_queries();
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
