#include "tdigest/digest.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace quillo::tdigest {
namespace {

constexpr std::uint64_t kEmptyListLimit = 100;
constexpr std::size_t kCentroidBytes = 16;

// The fraction of the total weight allowed below centroid boundary k.
double scale_limit(std::uint64_t k, std::uint64_t d) {
    const double r = static_cast<double>(k) / static_cast<double>(d);
    if (r < 0.5) return 2.0 * r * r;
    const double rest = 1.0 - r;
    return 1.0 - 2.0 * rest * rest;
}

// The smaller under the NaN-greatest order; the first wins ties.
double nan_last_min(double first, double second) { return nan_last_less(second, first) ? second : first; }

// The larger under the NaN-greatest order; the second wins ties.
double nan_last_max(double first, double second) { return nan_last_less(second, first) ? first : second; }

void sort_centroids(std::vector<Centroid>& centroids) {
    std::stable_sort(centroids.begin(), centroids.end(),
                     [](const Centroid& a, const Centroid& b) { return nan_last_less(a.mean, b.mean); });
}

// Folds an ascending stream of centroids into centroids whose sizes the
// scale function allows. The limits use k = 1, 2, 3, ..., or k = 1, 1, 2, 3,
// ... when the first limit is repeated (merging whole digests).
class Folder {
public:
    Folder(const Digest& shape, double total, std::size_t stream_size, bool repeat_first_limit)
        : result_(shape.size_limit), repeat_first_limit_(repeat_first_limit) {
        result_.count = total;
        result_.centroids.reserve(std::min<std::uint64_t>(shape.size_limit, stream_size) + 1);
    }

    void push(const Centroid& e) {
        if (!started_) {
            current_ = e;
            running_ = e.weight;
            limit_ = next_limit();
            started_ = true;
            return;
        }
        running_ += e.weight;
        if (running_ <= limit_) {
            sums_ += e.mean * e.weight;
            weights_ += e.weight;
            return;
        }
        fold();
        limit_ = next_limit();
        current_ = e;
    }

    Digest finish() {
        fold();
        sort_centroids(result_.centroids);
        return std::move(result_);
    }

    Digest& result() { return result_; }

private:
    double next_limit() {
        const double limit = scale_limit(k_, result_.size_limit) * result_.count;
        if (repeat_first_limit_) {
            repeat_first_limit_ = false;
        } else {
            ++k_;
        }
        return limit;
    }

    void fold() {
        const double t = sums_ + current_.weight * current_.mean;
        current_.weight += weights_;
        current_.mean = t / current_.weight;
        result_.sum += t;
        result_.centroids.push_back(current_);
        sums_ = 0.0;
        weights_ = 0.0;
    }

    Digest result_;
    bool repeat_first_limit_;
    bool started_ = false;
    Centroid current_{};
    double running_ = 0.0;
    double limit_ = 0.0;
    double sums_ = 0.0;
    double weights_ = 0.0;
    std::uint64_t k_ = 1;
};

}  // namespace

bool nan_last_less(double a, double b) { return !std::isnan(a) && (std::isnan(b) || a < b); }

Digest::Digest(std::uint64_t limit)
    : size_limit(limit), max(std::numeric_limits<double>::quiet_NaN()), min(std::numeric_limits<double>::quiet_NaN()) {}

Digest merge_values(const Digest& digest, std::span<const double> sorted) {
    if (sorted.empty()) return digest;
    Folder folder(digest, digest.count + static_cast<double>(sorted.size()), digest.centroids.size() + sorted.size(),
                  false);
    Digest& result = folder.result();
    if (digest.count > 0.0) {
        result.min = nan_last_min(digest.min, sorted.front());
        result.max = nan_last_max(digest.max, sorted.back());
    } else {
        result.min = sorted.front();
        result.max = sorted.back();
    }
    auto existing = digest.centroids.begin();
    auto value = sorted.begin();
    while (existing != digest.centroids.end() || value != sorted.end()) {
        if (value == sorted.end() || (existing != digest.centroids.end() && existing->mean < *value)) {
            folder.push(*existing++);
        } else {
            folder.push({*value++, 1.0});
        }
    }
    return folder.finish();
}

Digest merge_digest_list(std::span<const Digest> digests) {
    std::vector<Centroid> stream;
    double total = 0.0;
    double low = std::numeric_limits<double>::infinity();
    double high = -std::numeric_limits<double>::infinity();
    for (const Digest& d : digests) {
        if (!(d.count > 0.0)) continue;
        total += d.count;
        low = nan_last_min(low, d.min);
        high = nan_last_max(high, d.max);
        stream.insert(stream.end(), d.centroids.begin(), d.centroids.end());
    }
    // Without centroids there is nothing to fold.
    if (stream.empty()) return Digest(kEmptyListLimit);
    sort_centroids(stream);
    Folder folder(digests.front(), total, stream.size(), true);
    for (const Centroid& c : stream) folder.push(c);
    Digest result = folder.finish();
    result.min = low;
    result.max = high;
    return result;
}

namespace {

// Where the walks over the centroids stop: the centroid p and the weight t
// before it (walking up) or remaining with it (walking down).
struct Stop {
    std::size_t p;
    double t;
};

// The value at rank q interpolated between the neighbours of the stop.
double interpolate(const Digest& digest, double rank, Stop stop) {
    const auto& c = digest.centroids;
    const std::size_t p = stop.p;
    const std::size_t last = c.size() - 1;
    double lo = digest.min;
    double hi = digest.max;
    double delta = 0.0;
    if (c.size() > 1) {
        if (p == 0) {
            delta = c[1].mean - c[0].mean;
            hi = c[1].mean;
        } else if (p == last) {
            delta = c[p].mean - c[p - 1].mean;
            lo = c[p - 1].mean;
        } else {
            delta = (c[p + 1].mean - c[p - 1].mean) * 0.5;
            lo = c[p - 1].mean;
            hi = c[p + 1].mean;
        }
    }
    const double value = c[p].mean + ((rank - stop.t) / c[p].weight - 0.5) * delta;
    if (value > hi) return hi;
    if (value < lo) return lo;
    return value;
}

}  // namespace

double estimate_at(const Digest& digest, double q) {
    const auto& c = digest.centroids;
    if (c.empty()) return 0.0;
    const double rank = q * digest.count;
    Stop stop;
    if (q > 0.5) {
        if (q >= 1.0) return digest.max;
        stop = {0, digest.count};
        for (std::size_t i = c.size(); i-- > 0;) {
            stop.t -= c[i].weight;
            if (rank >= stop.t) {
                stop.p = i;
                break;
            }
        }
    } else {
        if (q <= 0.0) return digest.min;
        stop = {c.size() - 1, 0.0};
        for (std::size_t i = 0; i < c.size(); ++i) {
            if (rank < stop.t + c[i].weight) {
                stop = {i, stop.t};
                break;
            }
            stop.t += c[i].weight;
        }
    }
    return interpolate(digest, rank, stop);
}

DigestSearch::DigestSearch(const Digest& digest) : digest_(digest) {
    const auto& c = digest.centroids;
    passed_.reserve(c.size());
    double t = 0.0;
    for (const Centroid& centroid : c) passed_.push_back(t += centroid.weight);
    remaining_.resize(c.size());
    t = digest.count;
    for (std::size_t i = c.size(); i-- > 0;) remaining_[i] = (t -= c[i].weight);
}

namespace {

// The first index of `running` at which `stops` holds, given that it fails
// on a prefix and holds on the rest. The guess and the index after it (where
// ascending ranks go next) are tried before a bisection.
template <class Stops>
std::size_t first_stop(const std::vector<double>& running, std::size_t guess, Stops stops) {
    auto is_first = [&](std::size_t i) {
        return (i == running.size() || stops(running[i])) && (i == 0 || !stops(running[i - 1]));
    };
    if (is_first(guess)) return guess;
    if (guess < running.size() && is_first(guess + 1)) return guess + 1;
    return static_cast<std::size_t>(
        std::partition_point(running.begin(), running.end(), [&stops](double t) { return !stops(t); }) -
        running.begin());
}

}  // namespace

// The upward walk stops at the first centroid whose running weight passes
// the rank, the downward walk after the last whose remainder is at or below
// it; both running sums are ordered, so bisection finds the same centroids.
// A NaN rank stops neither walk, as in estimate_at.
double DigestSearch::estimate_at(double q, Hint& hint) const {
    const auto& c = digest_.centroids;
    if (c.empty()) return 0.0;
    const double rank = q * digest_.count;
    if (q > 0.5) {
        if (q >= 1.0) return digest_.max;
        hint.down = first_stop(remaining_, hint.down, [rank](double t) { return !(rank >= t); });
        const std::size_t p = hint.down == 0 ? 0 : hint.down - 1;
        return interpolate(digest_, rank, {p, remaining_[p]});
    }
    if (q <= 0.0) return digest_.min;
    hint.up = first_stop(passed_, hint.up, [rank](double t) { return rank < t; });
    if (hint.up == c.size()) return interpolate(digest_, rank, {c.size() - 1, passed_.back()});
    return interpolate(digest_, rank, {hint.up, hint.up == 0 ? 0.0 : passed_[hint.up - 1]});
}

void DigestSearch::bisect_ranks(std::span<const double> values, std::span<const std::size_t> positions,
                                double tolerance, std::span<double> out) const {
    constexpr std::size_t kLanes = 4;
    for (std::size_t first = 0; first < positions.size(); first += kLanes) {
        const std::size_t lanes = std::min(kLanes, positions.size() - first);
        double lo[kLanes] = {};
        double hi[kLanes] = {1.0, 1.0, 1.0, 1.0};
        Hint hints[kLanes];
        // Every lane halves the same width, so all of them stop together.
        while (hi[0] - lo[0] > tolerance) {
            for (std::size_t lane = 0; lane < lanes; ++lane) {
                const double mid = (lo[lane] + hi[lane]) * 0.5;
                if (estimate_at(mid, hints[lane]) < values[positions[first + lane]]) {
                    lo[lane] = mid;
                } else {
                    hi[lane] = mid;
                }
            }
        }
        for (std::size_t lane = 0; lane < lanes; ++lane) out[positions[first + lane]] = (lo[lane] + hi[lane]) * 0.5;
    }
}

void Digest::write(encoding::Writer& w) const {
    w.sequence(centroids, [](encoding::Writer& out, const Centroid& c) {
        out.f64(c.mean);
        out.f64(c.weight);
    });
    w.u64(size_limit);
    w.f64(sum);
    w.f64(count);
    w.f64(max);
    w.f64(min);
}

Digest Digest::read(encoding::Reader& r) {
    auto centroids = r.sequence<Centroid>(kCentroidBytes, [](encoding::Reader& in) {
        const double mean = in.f64();
        return Centroid{mean, in.f64()};
    });
    Digest digest(r.u64());
    digest.centroids = std::move(centroids);
    digest.sum = r.f64();
    digest.count = r.f64();
    digest.max = r.f64();
    digest.min = r.f64();
    return digest;
}

}  // namespace quillo::tdigest
