#include "hll/hllpp_sketch.hpp"

#include <algorithm>
#include <string>

#include "codec/codec.hpp"
#include "common/error.hpp"
#include "common/memory.hpp"
#include "hash/hash.hpp"
#include "hll/hllpp_estimator.hpp"

namespace quillo::hll {

namespace {

// The image's own 8-byte preamble.
constexpr std::uint8_t kPreambleInts = 1;
constexpr std::uint8_t kSerialVersion = 1;
constexpr std::uint8_t kFamily = 7;
constexpr std::uint8_t kTrailingPreambleByte = 1;
constexpr std::size_t kPreambleSize = 8;
constexpr std::size_t kPrecisionOffset = 3;
constexpr std::size_t kFlagsOffset = 5;

bool valid_precision(std::uint8_t p) { return p >= hllpp::kMinPrecision && p <= hllpp::kMaxPrecision; }

std::size_t register_count(std::uint8_t p) { return std::size_t{1} << p; }

}  // namespace

HllPlusPlusSketch::HllPlusPlusSketch(std::uint8_t p, std::vector<std::uint8_t> registers)
    : registers_(std::move(registers)), m_(register_count(p)), p_(p) {
    if (!valid_precision(p)) panic("Precision p must be between 4 and 18");
    if (registers_.size() != m_) panic("Register count must equal 2^p");
}

HllPlusPlusSketch HllPlusPlusSketch::create(std::uint8_t lg_k) {
    if (!valid_precision(lg_k)) fail("lg_k must be in 4..=18, got " + std::to_string(lg_k));
    return HllPlusPlusSketch(lg_k, std::vector<std::uint8_t>(register_count(lg_k), 0));
}

void HllPlusPlusSketch::update(std::string_view item) { update_hash(hash::item_hash(item)); }

void HllPlusPlusSketch::update_hash(std::uint64_t hash) {
    const hllpp::Slot slot = hllpp::slot_of(hash, p_);
    std::uint8_t& value = registers_[slot.index];
    value = std::max(value, slot.value);
}

double HllPlusPlusSketch::estimate() const {
    hllpp::RegisterCounts counts;
    for (std::uint8_t r : registers_) ++counts.by_value[r];
    counts.zero_registers = static_cast<double>(counts.by_value[0]);
    counts.by_value[0] = 0;
    return hllpp::estimate(p_, m_, counts);
}

void HllPlusPlusSketch::merge(const HllPlusPlusSketch& other) {
    if (other.p_ != p_) fail("cannot merge HLL++ sketches with different precision");
    std::transform(registers_.begin(), registers_.end(), other.registers_.begin(), registers_.begin(),
                   [](std::uint8_t a, std::uint8_t b) { return std::max(a, b); });
}

std::vector<std::uint8_t> HllPlusPlusSketch::to_bytes() const {
    std::uint8_t smallest = 0;
    for (std::uint8_t r : registers_) {
        if (r != 0 && (smallest == 0 || r < smallest)) smallest = r;
    }
    const bool empty = smallest == 0;
    codec::Output out;
    out.reserve(kPreambleSize + registers_.size());
    for (std::uint8_t byte :
         {kPreambleInts, kSerialVersion, kFamily, p_, std::uint8_t{0},
          static_cast<std::uint8_t>(empty ? codec::kEmptyFlag : 0), smallest, kTrailingPreambleByte}) {
        out.u8(byte);
    }
    out.bytes(registers_);
    return out.take();
}

HllPlusPlusSketch HllPlusPlusSketch::from_bytes(std::span<const std::uint8_t> data) {
    if (data.size() < kPreambleSize) codec::insufficient_data(kPreambleSize, data.size());
    if (data[0] != kPreambleInts) {
        codec::invalid_preamble("expected preamble_ints=1, found " + std::to_string(data[0]));
    }
    if (data[1] != kSerialVersion) codec::version_mismatch(kSerialVersion, data[1]);
    if (data[2] != kFamily) codec::family_mismatch(kFamily, data[2]);
    const std::uint8_t p = data[kPrecisionOffset];
    if (!valid_precision(p)) {
        codec::corrupt_data("lg_k=" + std::to_string(p) + " out of HLL++ range [4, 18]");
    }
    const std::size_t m = register_count(p);
    if (data[kFlagsOffset] & codec::kEmptyFlag) return HllPlusPlusSketch(p, std::vector<std::uint8_t>(m, 0));
    if (data.size() < kPreambleSize + m) codec::insufficient_data(kPreambleSize + m, data.size());
    auto registers = data.subspan(kPreambleSize, m);
    return HllPlusPlusSketch(p, std::vector<std::uint8_t>(registers.begin(), registers.end()));
}

std::size_t HllPlusPlusSketch::heap_bytes() const { return heap_bytes_of(registers_); }

}  // namespace quillo::hll
