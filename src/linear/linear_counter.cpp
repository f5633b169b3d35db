#include "linear/linear_counter.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <new>
#include <numeric>
#include <string>

#include "common/error.hpp"
#include "common/format.hpp"
#include "common/memory.hpp"
#include "common/saturating.hpp"
#include "encoding/encoding.hpp"
#include "hash/hash.hpp"

namespace quillo::linear {

namespace {

constexpr std::uint64_t kWordBits = 64;
constexpr std::uint64_t kBitsPerExpectedItem = 8;
constexpr std::uint64_t kMinSizedBits = 1024;
constexpr double kTransitionEstimateShare = 0.1;
constexpr double kTransitionFillRatio = 0.3;
constexpr const char* kName = "LinearCounter";

std::uint64_t words_for(std::uint64_t num_bits) { return num_bits / kWordBits + (num_bits % kWordBits != 0 ? 1 : 0); }

std::uint64_t popcount(std::span<const std::uint64_t> words) {
    return std::accumulate(words.begin(), words.end(), std::uint64_t{0},
                           [](std::uint64_t sum, std::uint64_t word) { return sum + std::popcount(word); });
}

[[noreturn]] void reject_image(const std::string& reason) { encoding::decode_failed(kName, reason.c_str()); }

}  // namespace

LinearCounter::LinearCounter(std::uint64_t num_bits) {
    if (num_bits == 0) fail("num_bits must be greater than 0");
    const std::uint64_t words = words_for(num_bits);
    // Its bit count would not fit 64 bits; no machine could hold it anyway.
    if (words > kMaxU64 / kWordBits) throw std::bad_alloc();
    words_.assign(words, 0);
    num_bits_ = words * kWordBits;
}

LinearCounter::LinearCounter(std::vector<std::uint64_t> words, std::uint64_t num_bits, std::uint64_t bits_set)
    : words_(std::move(words)), num_bits_(num_bits), bits_set_(bits_set) {}

LinearCounter LinearCounter::with_expected_cardinality(std::uint64_t expected_cardinality, double error_rate) {
    if (expected_cardinality == 0) fail("expected_cardinality must be greater than 0");
    if (!(error_rate > 0.0 && error_rate < 1.0)) {
        fail("error_rate must be in (0, 1), got " + format_float(error_rate));
    }
    const std::uint64_t for_items =
        expected_cardinality > kMaxU64 / kBitsPerExpectedItem ? kMaxU64 : expected_cardinality * kBitsPerExpectedItem;
    const std::uint64_t for_error =
        saturating_u64(static_cast<double>(expected_cardinality) / (error_rate * error_rate));
    return LinearCounter(std::max({for_items, for_error, kMinSizedBits}));
}

void LinearCounter::update(std::string_view item) { update_hash(hash::item_hash(item)); }

void LinearCounter::update_hash(std::uint64_t hash) {
    const std::uint64_t bit = hash % num_bits_;
    std::uint64_t& word = words_[bit / kWordBits];
    const std::uint64_t mask = std::uint64_t{1} << (bit % kWordBits);
    if (word & mask) return;
    word |= mask;
    ++bits_set_;
}

// A full bitmap has no clear bit left to estimate from; it reads as one
// clear bit, num_bits * ln(num_bits), the least the count can be by then. So
// the estimate never falls as bits are set.
double LinearCounter::estimate() const {
    if (bits_set_ == 0) return 0.0;
    const auto n = static_cast<double>(num_bits_);
    const std::uint64_t clear = std::max<std::uint64_t>(num_bits_ - bits_set_, 1);
    return -n * std::log(static_cast<double>(clear) / n);
}

double LinearCounter::fill_ratio() const { return static_cast<double>(bits_set_) / static_cast<double>(num_bits_); }

bool LinearCounter::transition_due(double estimate) const {
    return estimate > kTransitionEstimateShare * static_cast<double>(num_bits_) || fill_ratio() > kTransitionFillRatio;
}

void LinearCounter::merge(const LinearCounter& other) {
    if (other.num_bits_ != num_bits_) fail("Cannot merge counters with different bit array sizes");
    for (std::size_t i = 0; i < words_.size(); ++i) words_[i] |= other.words_[i];
    bits_set_ = popcount(words_);
}

void LinearCounter::clear() {
    std::fill(words_.begin(), words_.end(), 0);
    bits_set_ = 0;
}

std::uint64_t LinearCounter::memory_usage() const { return words_.size() * sizeof(std::uint64_t); }

Stats LinearCounter::statistics() const {
    Stats stats;
    stats.add("num_bits", num_bits_)
        .add("bits_set", bits_set_)
        .add("fill_ratio", fill_ratio())
        .add("estimated_cardinality", estimate())
        .add("should_transition", should_transition_to_hll())
        .add("memory_usage", memory_usage());
    return stats;
}

std::vector<std::uint8_t> LinearCounter::to_bytes() const {
    encoding::Writer writer;
    writer.sequence(words_, [](encoding::Writer& w, std::uint64_t word) { w.u64(word); });
    writer.u64(num_bits_);
    writer.u64(bits_set_);
    return writer.take();
}

LinearCounter LinearCounter::from_bytes(std::span<const std::uint8_t> data) {
    LinearCounter counter = encoding::decode(kName, data, [](encoding::Reader& r) {
        auto words = r.sequence<std::uint64_t>(1, [](encoding::Reader& w) { return w.u64(); });
        const std::uint64_t num_bits = r.u64();
        const std::uint64_t bits_set = r.u64();
        return LinearCounter(std::move(words), num_bits, bits_set);
    });
    // Every update divides by num_bits and indexes the word that holds its
    // bit; a merge ORs word by word.
    if (counter.num_bits_ == 0) reject_image("num_bits is 0");
    if (counter.words_.size() != words_for(counter.num_bits_)) {
        reject_image(std::to_string(counter.words_.size()) + " words do not match " +
                     std::to_string(counter.num_bits_) + " bits");
    }
    // bits_set is what the estimate reads: it must count the bitmap, and
    // bits past num_bits would let a merge count more bits than there are.
    if (counter.num_bits_ % kWordBits != 0 && counter.words_.back() >> (counter.num_bits_ % kWordBits) != 0) {
        reject_image("bits are set past num_bits");
    }
    if (counter.bits_set_ != popcount(counter.words_)) {
        reject_image("bits_set=" + std::to_string(counter.bits_set_) + " but " +
                     std::to_string(popcount(counter.words_)) + " bits are set");
    }
    return counter;
}

std::size_t LinearCounter::heap_bytes() const { return heap_bytes_of(words_); }

}  // namespace quillo::linear
