#include "hll/hllpp_sparse_sketch.hpp"

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

}  // namespace

HllPlusPlusSparseSketch HllPlusPlusSparseSketch::create(std::uint8_t lg_k) {
    if (lg_k < hllpp::kMinPrecision || lg_k > hllpp::kMaxPrecision) {
        fail("lg_k must be in 4..=18, got " + std::to_string(lg_k));
    }
    return HllPlusPlusSparseSketch(lg_k, std::uint64_t{1} << lg_k);
}

void HllPlusPlusSparseSketch::raise_entry(std::uint64_t index, std::uint8_t value) {
    auto [it, inserted] = entries_.try_emplace(index, value);
    if (!inserted && it->second < value) it->second = value;
}

void HllPlusPlusSparseSketch::update(std::string_view item) { update_hash(hash::item_hash(item)); }

void HllPlusPlusSparseSketch::update_hash(std::uint64_t hash) {
    const hllpp::Slot slot = hllpp::slot_of(hash, p_);
    raise_entry(slot.index, slot.value);
}

double HllPlusPlusSparseSketch::estimate() const {
    hllpp::RegisterCounts counts;
    for (const auto& [index, value] : entries_) ++counts.by_value[value];
    counts.zero_registers = static_cast<double>(m_) - static_cast<double>(entries_.size());
    return hllpp::estimate(p_, m_, counts);
}

void HllPlusPlusSparseSketch::merge(const HllPlusPlusSparseSketch& other) {
    if (other.p_ != p_) fail("cannot merge sparse HLL++ sketches with different precision");
    for (const auto& [index, value] : other.entries_) raise_entry(index, value);
}

std::vector<std::uint8_t> HllPlusPlusSparseSketch::to_bytes() const {
    encoding::Writer out;
    out.u8(p_);
    out.u64(m_);
    out.size(entries_.size());
    for (const auto& [index, value] : entries_) {
        out.u64(index);
        out.u8(value);
    }
    return out.take();
}

HllPlusPlusSparseSketch HllPlusPlusSparseSketch::from_bytes(std::span<const std::uint8_t> data) {
    return encoding::decode(kDecodeName, data, [](encoding::Reader& in) {
        const std::uint8_t p = in.u8();
        const std::uint64_t m = in.u64();
        HllPlusPlusSparseSketch sketch(p, m);
        const std::size_t count = in.length(kMinEntryBytes);
        auto hint = sketch.entries_.end();
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint64_t index = in.u64();
            const std::uint8_t value = in.u8();
            // A repeated index keeps its last value, as a map decoder does.
            hint = std::next(sketch.entries_.insert_or_assign(hint, index, value));
        }
        return sketch;
    });
}

std::size_t HllPlusPlusSparseSketch::heap_bytes() const {
    return heap_bytes_of(entries_);
}

}  // namespace quillo::hll
