#include "bloom/bloom_filter.hpp"

#include <algorithm>
#include <bit>
#include <string>

#include "bloom/probe.hpp"
#include "codec/codec.hpp"
#include "common/memory.hpp"
#include "encoding/encoding.hpp"

namespace quillo::bloom {

namespace {

constexpr std::string_view kName = "BloomFilter";
constexpr unsigned kWordBits = 64;

std::uint64_t words_for(std::uint64_t num_bits) { return num_bits / kWordBits + (num_bits % kWordBits != 0); }

std::uint64_t bit_of(std::uint64_t position) { return std::uint64_t{1} << (position % kWordBits); }

// Integer power by squaring: k is an integer.
double integer_power(double base, std::uint64_t exponent) {
    double result = 1.0;
    while (exponent != 0) {
        if (exponent & 1) result *= base;
        exponent >>= 1;
        base *= base;
    }
    return result;
}

}  // namespace

BloomFilter::BloomFilter(std::uint64_t capacity, double error_rate) {
    const Sizing sizing = size_for(capacity, error_rate);
    num_bits_ = sizing.positions;
    num_hash_functions_ = sizing.hash_functions;
    bits_.assign(words_for(num_bits_), 0);
}

void BloomFilter::add(std::string_view item) {
    Probe(item).all_of(num_hash_functions_, num_bits_, [this](std::uint64_t position) {
        bits_[position / kWordBits] |= bit_of(position);
        return true;
    });
}

bool BloomFilter::contains(std::string_view item) const {
    return Probe(item).all_of(num_hash_functions_, num_bits_, [this](std::uint64_t position) {
        return (bits_[position / kWordBits] & bit_of(position)) != 0;
    });
}

void BloomFilter::clear() { std::fill(bits_.begin(), bits_.end(), 0); }

std::uint64_t BloomFilter::bits_set() const {
    std::uint64_t count = 0;
    for (std::uint64_t word : bits_) count += static_cast<std::uint64_t>(std::popcount(word));
    return count;
}

// An absent item is reported when all of its k positions are set; with the
// array filled to `fill`, that happens with probability fill^k. (Putting the
// set-bit count in place of the item count in the textbook formula
// 1 - e^(-kn/m) would report about 0.8 for a filter at its capacity.)
double BloomFilter::false_positive_probability() const {
    const double fill = static_cast<double>(bits_set()) / static_cast<double>(num_bits_);
    return integer_power(fill, num_hash_functions_);
}

Stats BloomFilter::statistics() const {
    const std::uint64_t set = bits_set();
    Stats stats;
    stats.add("num_bits", num_bits_)
        .add("num_hash_functions", num_hash_functions_)
        .add("bits_set", set)
        .add("fill_ratio", static_cast<double>(set) / static_cast<double>(num_bits_))
        .add("false_positive_probability", false_positive_probability());
    return stats;
}

std::vector<std::uint8_t> BloomFilter::to_bytes() const {
    encoding::Writer w;
    w.sequence(bits_, [](encoding::Writer& out, std::uint64_t word) { out.u64(word); });
    w.u64(num_bits_);
    w.u64(num_hash_functions_);
    return w.take();
}

BloomFilter BloomFilter::from_bytes(std::span<const std::uint8_t> data) {
    BloomFilter filter = encoding::decode(kName, data, [](encoding::Reader& r) {
        auto bits = r.sequence<std::uint64_t>(1, [](encoding::Reader& in) { return in.u64(); });
        const std::uint64_t num_bits = r.u64();
        const std::uint64_t num_hash_functions = r.u64();
        return BloomFilter(std::move(bits), num_bits, num_hash_functions);
    });
    check_decoded_shape(kName, filter.num_bits_, filter.num_hash_functions_);
    const std::string prefix = std::string(kName) + " decode failed: ";
    if (filter.bits_.size() != words_for(filter.num_bits_)) {
        codec::corrupt_data(prefix + std::to_string(filter.bits_.size()) + " words for " +
                            std::to_string(filter.num_bits_) + " bits");
    }
    const auto tail = static_cast<unsigned>(filter.num_bits_ % kWordBits);
    if (tail != 0 && (filter.bits_.back() >> tail) != 0) codec::corrupt_data(prefix + "bits set beyond num_bits");
    return filter;
}

std::size_t BloomFilter::heap_bytes() const { return heap_bytes_of(bits_); }

}  // namespace quillo::bloom
