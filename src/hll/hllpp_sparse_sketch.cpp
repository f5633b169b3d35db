#include "hll/hllpp_sparse_sketch.hpp"

#include <algorithm>
#include <bit>
#include <string>

#include "common/error.hpp"
#include "common/memory.hpp"
#include "encoding/encoding.hpp"
#include "hash/hash.hpp"
#include "hll/hllpp_estimator.hpp"

namespace quillo::hll {

namespace {

constexpr std::string_view kDecodeName = "HllPlusPlusSparseSketch";
// An entry is at least a one-byte varint index and a value byte.
constexpr std::size_t kMinEntryBytes = 2;
constexpr unsigned kValueBits = 8;
constexpr std::uint32_t kValueMask = 0xFF;
constexpr std::uint32_t kEmptySlot = 0;
constexpr std::size_t kFirstTableSize = 16;
// The table doubles once more than three quarters of its slots are taken.
constexpr std::size_t kLoadNumerator = 3;
constexpr std::size_t kLoadDenominator = 4;
// The largest value an update writes: the leading-zero count is capped at 63.
constexpr std::uint8_t kMaxRegisterValue = hllpp::kMaxRho + 1;
constexpr std::uint64_t kGoldenRatio64 = 0x9E3779B97F4A7C15ULL;

std::uint32_t entry_of(std::uint32_t index, std::uint8_t value) { return (index << kValueBits) | value; }
std::uint32_t index_of(std::uint32_t entry) { return entry >> kValueBits; }
std::uint8_t value_of(std::uint32_t entry) { return static_cast<std::uint8_t>(entry & kValueMask); }

bool valid_precision(std::uint64_t p) { return p >= hllpp::kMinPrecision && p <= hllpp::kMaxPrecision; }

}  // namespace

HllPlusPlusSparseSketch HllPlusPlusSparseSketch::create(std::uint8_t lg_k) {
    if (!valid_precision(lg_k)) fail("lg_k must be in 4..=18, got " + std::to_string(lg_k));
    return HllPlusPlusSparseSketch(lg_k);
}

// Indices are hash bits, so their low bits alone would spread ordinary streams;
// the multiplicative spread also scatters indices that share their low bits.
std::size_t HllPlusPlusSparseSketch::home(std::uint32_t index, unsigned shift) {
    return static_cast<std::size_t>((index * kGoldenRatio64) >> shift);
}

void HllPlusPlusSparseSketch::set_entry(std::uint32_t index, std::uint8_t value, Keep keep) {
    if (slots_.empty()) grow();
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t slot = home(index, home_shift_);; slot = (slot + 1) & mask) {
        const std::uint32_t entry = slots_[slot];
        if (entry == kEmptySlot) {
            slots_[slot] = entry_of(index, value);
            if (++entry_count_ * kLoadDenominator > slots_.size() * kLoadNumerator) grow();
            return;
        }
        if (index_of(entry) == index) {
            if (keep == Keep::last || value_of(entry) < value) slots_[slot] = entry_of(index, value);
            return;
        }
    }
}

void HllPlusPlusSparseSketch::grow() {
    std::vector<std::uint32_t> old = std::move(slots_);
    slots_.assign(old.empty() ? kFirstTableSize : 2 * old.size(), kEmptySlot);
    home_shift_ = 64 - static_cast<unsigned>(std::countr_zero(slots_.size()));
    const std::size_t mask = slots_.size() - 1;
    for (std::uint32_t entry : old) {
        if (entry == kEmptySlot) continue;
        std::size_t slot = home(index_of(entry), home_shift_);
        while (slots_[slot] != kEmptySlot) slot = (slot + 1) & mask;
        slots_[slot] = entry;
    }
}

void HllPlusPlusSparseSketch::update(std::string_view item) { update_hash(hash::item_hash(item)); }

void HllPlusPlusSparseSketch::update_hash(std::uint64_t hash) {
    const hllpp::Slot slot = hllpp::slot_of(hash, p_);
    set_entry(static_cast<std::uint32_t>(slot.index), slot.value, Keep::larger);
}

double HllPlusPlusSparseSketch::estimate() const {
    hllpp::RegisterCounts counts;
    for (std::uint32_t entry : slots_) {
        if (entry != kEmptySlot) ++counts.by_value[value_of(entry)];
    }
    counts.zero_registers = static_cast<double>(register_count() - entry_count_);
    return hllpp::estimate(p_, register_count(), counts);
}

void HllPlusPlusSparseSketch::merge(const HllPlusPlusSparseSketch& other) {
    if (other.p_ != p_) fail("cannot merge sparse HLL++ sketches with different precision");
    for (std::uint32_t entry : other.slots_) {
        if (entry != kEmptySlot) set_entry(index_of(entry), value_of(entry), Keep::larger);
    }
}

std::vector<std::uint32_t> HllPlusPlusSparseSketch::sorted_entries() const {
    std::vector<std::uint32_t> entries;
    entries.reserve(entry_count_);
    std::copy_if(slots_.begin(), slots_.end(), std::back_inserter(entries),
                 [](std::uint32_t entry) { return entry != kEmptySlot; });
    // Indices are unique, so entries sort by index.
    std::sort(entries.begin(), entries.end());
    return entries;
}

std::vector<std::uint8_t> HllPlusPlusSparseSketch::to_bytes() const {
    encoding::Writer out;
    out.u8(p_);
    out.u64(register_count());
    out.size(entry_count_);
    for (std::uint32_t entry : sorted_entries()) {
        out.u64(index_of(entry));
        out.u8(value_of(entry));
    }
    return out.take();
}

HllPlusPlusSparseSketch HllPlusPlusSparseSketch::from_bytes(std::span<const std::uint8_t> data) {
    return encoding::decode(kDecodeName, data, [](encoding::Reader& in) {
        const std::uint8_t p = in.u8();
        const std::uint64_t m = in.u64();
        if (!valid_precision(p)) encoding::decode_failed(kDecodeName, "precision outside 4..=18");
        HllPlusPlusSparseSketch sketch(p);
        if (m != sketch.register_count()) encoding::decode_failed(kDecodeName, "register count is not 2^precision");
        const std::size_t count = in.length(kMinEntryBytes);
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint64_t index = in.u64();
            const std::uint8_t value = in.u8();
            if (index >= m) encoding::decode_failed(kDecodeName, "register index beyond the register count");
            if (value == 0 || value > kMaxRegisterValue) {
                encoding::decode_failed(kDecodeName, "register value outside 1..=64");
            }
            // A repeated index keeps its last value, as a map decoder does.
            sketch.set_entry(static_cast<std::uint32_t>(index), value, Keep::last);
        }
        return sketch;
    });
}

std::size_t HllPlusPlusSparseSketch::heap_bytes() const {
    return heap_bytes_of(slots_);
}

}  // namespace quillo::hll
