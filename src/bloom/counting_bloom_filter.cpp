#include "bloom/counting_bloom_filter.hpp"

#include <string>

#include "bloom/probe.hpp"
#include "codec/codec.hpp"
#include "common/error.hpp"
#include "common/memory.hpp"
#include "encoding/encoding.hpp"

namespace quillo::bloom {

namespace {

constexpr std::string_view kName = "CountingBloomFilter";

}  // namespace

CountingBloomFilter::CountingBloomFilter(std::uint64_t capacity, double error_rate, std::uint8_t max_count)
    : max_count_(max_count) {
    const Sizing sizing = size_for(capacity, error_rate);
    // A filter whose counters cannot rise would never report an added item.
    if (max_count == 0) fail("max_count must be greater than 0");
    num_counters_ = sizing.positions;
    num_hash_functions_ = sizing.hash_functions;
    counters_.assign(num_counters_, 0);
}

void CountingBloomFilter::add(std::string_view item) {
    Probe(item).all_of(num_hash_functions_, num_counters_, [this](std::uint64_t position) {
        std::uint8_t& counter = counters_[position];
        if (counter < max_count_) ++counter;
        return true;
    });
}

bool CountingBloomFilter::contains(std::string_view item) const {
    return Probe(item).all_of(num_hash_functions_, num_counters_,
                              [this](std::uint64_t position) { return counters_[position] != 0; });
}

bool CountingBloomFilter::remove(std::string_view item) {
    const Probe probe(item);
    const auto is_set = [this](std::uint64_t position) { return counters_[position] != 0; };
    if (!probe.all_of(num_hash_functions_, num_counters_, is_set)) return false;
    // A position that occurs twice among the k is decremented twice while it
    // stays above 0.
    probe.all_of(num_hash_functions_, num_counters_, [this](std::uint64_t position) {
        std::uint8_t& counter = counters_[position];
        if (counter > 0) --counter;
        return true;
    });
    return true;
}

std::vector<std::uint8_t> CountingBloomFilter::to_bytes() const {
    encoding::Writer w;
    w.size(counters_.size());
    w.raw_bytes(counters_);
    w.u64(num_counters_);
    w.u64(num_hash_functions_);
    w.u8(max_count_);
    return w.take();
}

CountingBloomFilter CountingBloomFilter::from_bytes(std::span<const std::uint8_t> data) {
    CountingBloomFilter filter = encoding::decode(kName, data, [](encoding::Reader& r) {
        const auto stored = r.raw_bytes(r.length(1));
        std::vector<std::uint8_t> counters(stored.begin(), stored.end());
        const std::uint64_t num_counters = r.u64();
        const std::uint64_t num_hash_functions = r.u64();
        const std::uint8_t max_count = r.u8();
        return CountingBloomFilter(std::move(counters), num_counters, num_hash_functions, max_count);
    });
    check_decoded_shape(kName, filter.num_counters_, filter.num_hash_functions_);
    const std::string prefix = std::string(kName) + " decode failed: ";
    if (filter.counters_.size() != filter.num_counters_) {
        codec::corrupt_data(prefix + std::to_string(filter.counters_.size()) + " counters for " +
                            std::to_string(filter.num_counters_) + " positions");
    }
    // Counters that may not reach 1 would keep every added item out.
    if (filter.max_count_ == 0) codec::corrupt_data(prefix + "max_count 0 counts nothing");
    return filter;
}

std::size_t CountingBloomFilter::heap_bytes() const { return heap_bytes_of(counters_); }

}  // namespace quillo::bloom
