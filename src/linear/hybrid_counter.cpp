#include "linear/hybrid_counter.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "common/error.hpp"
#include "common/memory.hpp"
#include "common/saturating.hpp"
#include "encoding/encoding.hpp"
#include "hash/hash.hpp"

namespace quillo::linear {

namespace {

constexpr const char* kName = "HybridCounter";
constexpr const char* kLinearMode = "Linear Counter";
constexpr const char* kHllMode = "HyperLogLog";
constexpr const char* kEmptyMode = "Empty";

// with_range: the bitmap gets a tenth of the expected range within these
// bounds, and switches at a tenth of its size.
constexpr std::uint64_t kRangeShare = 10;
constexpr std::uint64_t kMinRangeBits = 1024;
constexpr std::uint64_t kMaxRangeBits = 16384;
constexpr std::uint64_t kThresholdShare = 10;
constexpr std::uint64_t kSmallRange = 1000;
constexpr std::uint64_t kMediumRange = 10000;
constexpr std::uint8_t kSmallRangeLgK = 10;
constexpr std::uint8_t kMediumRangeLgK = 12;
constexpr std::uint8_t kLargeRangeLgK = 14;

// A switch creates a sketch of 2^lg_k registers.
constexpr std::uint8_t kMinLgK = 4;
constexpr std::uint8_t kMaxLgK = 21;

bool lg_k_in_range(std::uint8_t lg_k) { return lg_k >= kMinLgK && lg_k <= kMaxLgK; }

std::string lg_k_out_of_range(std::uint8_t lg_k) { return "lg_k must be in 4..=21, got " + std::to_string(lg_k); }

std::uint64_t registers_for(std::uint8_t lg_k) { return std::uint64_t{1} << lg_k; }

using Image = std::optional<std::span<const std::uint8_t>>;

Image read_image(encoding::Reader& r) {
    if (!r.option()) return std::nullopt;
    return r.raw_bytes(r.length(1));
}

template <class Part>
std::optional<std::vector<std::uint8_t>> image_of(const std::optional<Part>& part) {
    if (!part) return std::nullopt;
    return part->to_bytes();
}

void write_image(encoding::Writer& w, const std::vector<std::uint8_t>& image) {
    w.size(image.size());
    w.raw_bytes(image);
}

}  // namespace

HybridCounter::HybridCounter(std::uint64_t linear_bits, std::uint8_t lg_k, std::uint64_t transition_threshold)
    : transition_threshold_(transition_threshold), lg_k_(lg_k) {
    if (linear_bits == 0) fail("linear_bits must be greater than 0");
    if (!lg_k_in_range(lg_k)) fail(lg_k_out_of_range(lg_k));
    linear_.emplace(linear_bits);
    hll_.emplace(lg_k);
}

HybridCounter::HybridCounter(std::optional<LinearCounter> linear, std::optional<hll::HllSketch> hll,
                             std::uint64_t transition_threshold, std::uint8_t lg_k)
    : linear_(std::move(linear)), hll_(std::move(hll)), transition_threshold_(transition_threshold), lg_k_(lg_k) {}

HybridCounter HybridCounter::with_range(std::uint64_t max_expected_cardinality) {
    const std::uint64_t linear_bits = std::clamp(max_expected_cardinality / kRangeShare, kMinRangeBits, kMaxRangeBits);
    const std::uint8_t lg_k = max_expected_cardinality < kSmallRange    ? kSmallRangeLgK
                              : max_expected_cardinality < kMediumRange ? kMediumRangeLgK
                                                                        : kLargeRangeLgK;
    return HybridCounter(linear_bits, lg_k, linear_bits / kThresholdShare);
}

void HybridCounter::update(std::string_view item) {
    const std::uint64_t hash = hash::item_hash(item);
    if (hll_) hll_->update_hash(hash);
    if (!linear_) return;
    linear_->update_hash(hash);
    if (should_switch()) switch_to_hll(hash);
}

bool HybridCounter::should_switch() const {
    const double estimate = linear_->estimate();
    return linear_->transition_due(estimate) || saturating_u64(estimate) > transition_threshold_;
}

void HybridCounter::switch_to_hll(std::uint64_t hash) {
    // Only images without the HyperLogLog part get here without one; their
    // count so far cannot be carried over.
    if (!hll_) {
        hll_.emplace(lg_k_);
        hll_->update_hash(hash);
    }
    linear_.reset();
}

double HybridCounter::estimate() const {
    if (linear_) return linear_->estimate();
    if (hll_) return hll_->estimate();
    return 0.0;
}

std::string HybridCounter::mode() const { return linear_ ? kLinearMode : kHllMode; }

Stats HybridCounter::statistics() const {
    Stats stats;
    if (linear_) {
        const std::uint64_t hll_memory = hll_ ? registers_for(lg_k_) : 0;
        stats.add("mode", kLinearMode)
            .add("estimated_cardinality", linear_->estimate())
            .add("memory_usage", linear_->memory_usage() + hll_memory)
            .add("transition_threshold", transition_threshold_)
            .add("fill_ratio", linear_->fill_ratio())
            .add("bits_set", linear_->bits_set());
    } else if (hll_) {
        stats.add("mode", kHllMode)
            .add("estimated_cardinality", hll_->estimate())
            .add("memory_usage", registers_for(lg_k_))
            .add("transition_threshold", transition_threshold_);
    } else {
        stats.add("mode", kEmptyMode)
            .add("estimated_cardinality", 0.0)
            .add("memory_usage", std::uint64_t{0})
            .add("transition_threshold", transition_threshold_);
    }
    return stats;
}

std::vector<std::uint8_t> HybridCounter::to_bytes() const {
    encoding::Writer writer;
    writer.option(image_of(linear_), write_image);
    writer.option(image_of(hll_), write_image);
    writer.u64(transition_threshold_);
    writer.u8(lg_k_);
    return writer.take();
}

HybridCounter HybridCounter::from_bytes(std::span<const std::uint8_t> data) {
    struct Record {
        Image linear;
        Image hll;
        std::uint64_t transition_threshold;
        std::uint8_t lg_k;
    };
    const Record record = encoding::decode(kName, data, [](encoding::Reader& r) {
        Record out;
        out.linear = read_image(r);
        out.hll = read_image(r);
        out.transition_threshold = r.u64();
        out.lg_k = r.u8();
        return out;
    });
    if (!lg_k_in_range(record.lg_k)) encoding::decode_failed(kName, lg_k_out_of_range(record.lg_k).c_str());
    std::optional<LinearCounter> linear;
    if (record.linear) linear = LinearCounter::from_bytes(*record.linear);
    std::optional<hll::HllSketch> hll;
    if (record.hll) hll = hll::HllSketch::from_bytes(*record.hll);
    return HybridCounter(std::move(linear), std::move(hll), record.transition_threshold, record.lg_k);
}

std::size_t HybridCounter::heap_bytes() const { return heap_bytes_of(linear_) + heap_bytes_of(hll_); }

}  // namespace quillo::linear
