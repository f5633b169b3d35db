#include "aod/aod_sketch.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <string>

#include "codec/codec.hpp"
#include "common/error.hpp"
#include "common/memory.hpp"
#include "encoding/encoding.hpp"
#include "hash/hash.hpp"

namespace quillo::aod {

namespace {

// An entry's map key (a varint) and its array length (a varint).
constexpr std::size_t kMinEntryBytes = 2;
constexpr std::size_t kValueBytes = 8;

double fraction(std::uint64_t h) { return static_cast<double>(h) * 0x1p-64; }

// Normal quantiles for the supported confidence steps.
double z_score(double confidence) {
    if (confidence >= 0.99) return 2.576;
    if (confidence >= 0.95) return 1.96;
    if (confidence >= 0.9) return 1.645;
    return 1.0;
}

// The estimate counts the retained entries below theta, so a trim keeps one
// beside the entry at theta: a sample cut to that single entry could only
// estimate 0.
constexpr std::uint64_t kMinKept = 2;

// floor(3/4 of capacity), but at least kMinKept entries, without overflow.
std::uint64_t trim_target(std::uint64_t capacity) {
    return std::max(kMinKept, capacity - capacity / 4 - (capacity % 4 != 0));
}

[[noreturn]] void refuse(const std::string& reason) { codec::corrupt_data("AOD decode failed: " + reason); }

}  // namespace

AodSketch AodSketch::create(std::uint64_t capacity, std::uint64_t num_values) {
    if (capacity == 0) fail("capacity must be greater than 0");
    if (num_values == 0) fail("num_values must be greater than 0");
    if (num_values > kMaxNumValues) fail("num_values must be at most " + std::to_string(kMaxNumValues));
    return AodSketch(capacity, num_values);
}

void AodSketch::update(std::string_view key, const std::vector<double>& values) {
    if (values.size() != num_values_) {
        fail("Expected " + std::to_string(num_values_) + " values, got " + std::to_string(values.size()));
    }
    const std::uint64_t h = hash::item_hash128(key).high;
    if (fraction(h) > theta_) return;
    entries_.insert_or_assign(h, values);
    is_empty_ = false;
    if (entries_.size() > capacity_) trim();
}

// theta drops to the fraction of the hash at the target size; entries that
// share that fraction stay. Only called with more entries than the target.
void AodSketch::trim() {
    const auto last_kept = std::next(entries_.begin(), static_cast<std::ptrdiff_t>(trim_target(capacity_) - 1));
    theta_ = fraction(last_kept->first);
    const auto first_cut = std::find_if(std::next(last_kept), entries_.end(),
                                        [this](const auto& entry) { return fraction(entry.first) > theta_; });
    entries_.erase(first_cut, entries_.end());
}

void AodSketch::union_with(const AodSketch& other) {
    if (other.num_values_ != num_values_) fail("Cannot union sketches with different number of values");
    const double theta = std::min(theta_, other.theta_);
    for (const auto& [h, values] : other.entries_) {
        if (fraction(h) <= theta) entries_.insert_or_assign(h, values);
    }
    if (theta < theta_) {
        std::erase_if(entries_, [theta](const auto& entry) { return fraction(entry.first) > theta; });
    }
    theta_ = theta;
    is_empty_ = entries_.empty();
    if (entries_.size() > capacity_) trim();
}

void AodSketch::clear() {
    entries_.clear();
    theta_ = 1.0;
    is_empty_ = true;
}

// theta is the fraction of a retained entry (the last one a trim kept, or
// the other sketch's in a union), so the entries strictly below it are the
// sample: with theta the c-th smallest of n fractions, (c - 1) / theta is
// unbiased for n.
double AodSketch::estimate() const {
    if (is_empty_) return 0.0;
    const auto n = static_cast<double>(entries_.size());
    if (theta_ >= 1.0) return n;
    // A lone entry at theta has nothing below it (theta may then be 0).
    return n > 1.0 ? (n - 1.0) / theta_ : 0.0;
}

double AodSketch::spread(double confidence) const {
    const double e = estimate();
    // Nothing below theta: no spread either (and no 0 / 0 at theta 0).
    if (e == 0.0) return 0.0;
    return z_score(confidence) * std::sqrt((1.0 - theta_) * e / theta_);
}

double AodSketch::upper_bound(double confidence) const {
    if (is_empty_) return 0.0;
    if (theta_ >= 1.0) return static_cast<double>(entries_.size());
    return estimate() + spread(confidence);
}

double AodSketch::lower_bound(double confidence) const {
    if (is_empty_) return 0.0;
    if (theta_ >= 1.0) return static_cast<double>(entries_.size());
    return std::max(estimate() - spread(confidence), 0.0);
}

std::vector<double> AodSketch::column_sums() const {
    std::vector<double> sums(num_values_, 0.0);
    for (const auto& [h, values] : entries_) {
        for (std::size_t i = 0; i < sums.size(); ++i) sums[i] += values[i];
    }
    return sums;
}

// The mean over the retained entries: they are a uniform sample of the
// distinct keys, so their mean estimates the mean over all of them.
std::vector<double> AodSketch::column_means() const {
    std::vector<double> means = column_sums();
    if (entries_.empty()) return means;
    const auto n = static_cast<double>(entries_.size());
    for (double& mean : means) mean /= n;
    return means;
}

Stats AodSketch::statistics() const {
    const std::uint64_t entry_bytes = 8 * num_values_ + 8;
    Stats stats;
    stats.add("capacity", capacity_)
        .add("num_values", num_values_)
        .add("theta", theta_)
        .add("is_empty", is_empty_)
        .add("current_size", std::uint64_t{entries_.size()})
        .add("estimated_cardinality", estimate())
        .add("memory_usage", std::uint64_t{entries_.size()} * entry_bytes);
    return stats;
}

std::vector<std::pair<std::uint64_t, std::vector<double>>> AodSketch::get_entries() const {
    return {entries_.begin(), entries_.end()};
}

std::vector<std::uint8_t> AodSketch::to_bytes() const {
    encoding::Writer out;
    out.u64(capacity_);
    out.u64(num_values_);
    out.f64(theta_);
    out.sequence(entries_, [](encoding::Writer& w, const auto& entry) {
        w.u64(entry.first);
        w.sequence(entry.second, [](encoding::Writer& ww, double v) { ww.f64(v); });
    });
    out.boolean(is_empty_);
    return out.take();
}

AodSketch AodSketch::from_bytes(std::span<const std::uint8_t> data) {
    return encoding::decode("AOD", data, [](encoding::Reader& r) {
        const std::uint64_t capacity = r.u64();
        const std::uint64_t num_values = r.u64();
        AodSketch sketch(capacity, num_values);
        sketch.theta_ = r.f64();
        if (capacity == 0) refuse("capacity is 0");
        if (num_values == 0 || num_values > kMaxNumValues) refuse("num_values=" + std::to_string(num_values));
        if (!(sketch.theta_ >= 0.0 && sketch.theta_ <= 1.0)) refuse("theta is outside [0, 1]");
        const std::size_t count = r.length(kMinEntryBytes);
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint64_t h = r.u64();
            // Every entry a sketch keeps lies at or below theta; one above it
            // could make the estimate divide by a theta near 0.
            if (fraction(h) > sketch.theta_) refuse("an entry lies above theta");
            if (r.length(kValueBytes) != num_values) refuse("an entry does not hold num_values values");
            std::vector<double> values(num_values);
            for (double& v : values) v = r.f64();
            sketch.entries_.insert_or_assign(h, std::move(values));
        }
        sketch.is_empty_ = r.boolean();
        if (sketch.is_empty_ != sketch.entries_.empty()) refuse("is_empty disagrees with the entries");
        return sketch;
    });
}

std::size_t AodSketch::heap_bytes() const { return heap_bytes_of(entries_); }

}  // namespace quillo::aod
