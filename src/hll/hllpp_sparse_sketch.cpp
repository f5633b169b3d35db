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
// Tables smaller than this (64 KiB) mostly stay in cache: updates go straight in.
constexpr std::size_t kQueueFromSlots = 16384;
// How much a small table grows at a time (a large one doubles).
constexpr std::size_t kQuadrupling = 4;
// The table grows once more than three quarters of its slots are taken.
constexpr std::size_t kLoadNumerator = 3;
constexpr std::size_t kLoadDenominator = 4;
// The largest value an update writes: the leading-zero count is capped at 63.
constexpr std::uint8_t kMaxRegisterValue = hllpp::kMaxRho + 1;
constexpr std::uint64_t kGoldenRatio64 = 0x9E3779B97F4A7C15ULL;

std::uint32_t entry_of(std::uint32_t index, std::uint8_t value) { return (index << kValueBits) | value; }
std::uint32_t index_of(std::uint32_t entry) { return entry >> kValueBits; }
std::uint8_t value_of(std::uint32_t entry) { return static_cast<std::uint8_t>(entry & kValueMask); }

// Sorts the entries and keeps one per index, the one with the largest value;
// returns the end of the kept entries. Sorted entries put an index's values
// side by side, the largest last.
template <class Iterator>
Iterator keep_largest_per_index(Iterator first, Iterator last) {
    std::sort(first, last);
    Iterator kept = first;
    for (Iterator it = first; it != last; ++it) {
        const bool larger_follows = it + 1 != last && index_of(*(it + 1)) == index_of(*it);
        if (!larger_follows) *kept++ = *it;
    }
    return kept;
}

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

std::size_t HllPlusPlusSparseSketch::slot_for(std::uint32_t index) const {
    const std::size_t mask = slots_.size() - 1;
    std::size_t slot = home(index, home_shift_);
    while (slots_[slot] != kEmptySlot && index_of(slots_[slot]) != index) slot = (slot + 1) & mask;
    return slot;
}

std::uint32_t HllPlusPlusSparseSketch::table_entry(std::uint32_t index) const {
    return slots_.empty() ? kEmptySlot : slots_[slot_for(index)];
}

// An empty slot holds 0 and an entry of the same index compares by its value,
// so the larger of the two is what the register keeps either way. Inline in
// the queue's loop too, where a call per entry costs more than the probe.
[[gnu::always_inline]] inline void HllPlusPlusSparseSketch::raise_entry(std::uint32_t entry) {
    if (slots_.empty()) grow();
    std::uint32_t& slot = slots_[slot_for(index_of(entry))];
    const std::uint32_t found = slot;
    slot = std::max(found, entry);
    entry_count_ += found == kEmptySlot;
    if (entry_count_ > growth_limit_) grow();
}

void HllPlusPlusSparseSketch::replace_entry(std::uint32_t entry) {
    if (slots_.empty()) grow();
    std::uint32_t& slot = slots_[slot_for(index_of(entry))];
    entry_count_ += slot == kEmptySlot;
    slot = entry;
    if (entry_count_ > growth_limit_) grow();
}

void HllPlusPlusSparseSketch::apply_queue() {
    for (std::size_t i = 0; i < queued_; ++i) raise_entry(queue_[i]);
    queued_ = 0;
}

// A small table quadruples while that keeps it within half the dense form's
// bytes: fewer, larger steps move fewer entries. Past that it doubles, so it
// stays smaller than the dense form while fewer than about a tenth of the
// registers are set.
std::size_t HllPlusPlusSparseSketch::next_table_size(std::size_t slots) const {
    if (slots == 0) return kFirstTableSize;
    const std::size_t quadrupled = kQuadrupling * slots;
    return quadrupled * sizeof(std::uint32_t) <= register_count() / 2 ? quadrupled : 2 * slots;
}

// The entries are gathered first without a branch per slot: a branch that
// skipped the empty slots would be mispredicted wherever one falls by chance.
void HllPlusPlusSparseSketch::grow() {
    std::vector<std::uint32_t> old = std::move(slots_);
    std::size_t gathered = 0;
    for (std::size_t slot = 0; slot < old.size(); ++slot) {
        old[gathered] = old[slot];
        gathered += old[slot] != kEmptySlot;
    }
    slots_.assign(next_table_size(old.size()), kEmptySlot);
    home_shift_ = 64 - static_cast<unsigned>(std::countr_zero(slots_.size()));
    growth_limit_ = slots_.size() * kLoadNumerator / kLoadDenominator;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = 0; i < gathered; ++i) {
        const std::uint32_t entry = old[i];
        std::size_t slot = home(index_of(entry), home_shift_);
        while (slots_[slot] != kEmptySlot) slot = (slot + 1) & mask;
        slots_[slot] = entry;
    }
}

void HllPlusPlusSparseSketch::update(std::string_view item) { update_hash(hash::item_hash(item)); }

// A probe right after the hash would wait for its slot's cache line and then,
// as often as not, for a mispredicted branch on what the slot holds; queued,
// the line arrives while the caller goes on.
void HllPlusPlusSparseSketch::update_hash(std::uint64_t hash) {
    const hllpp::Slot slot = hllpp::slot_of(hash, p_);
    const auto index = static_cast<std::uint32_t>(slot.index);
    const std::uint32_t entry = entry_of(index, slot.value);
    if (slots_.size() < kQueueFromSlots) {
        raise_entry(entry);
        return;
    }
    __builtin_prefetch(slots_.data() + home(index, home_shift_));
    queue_[queued_] = entry;
    if (++queued_ == kQueueLength) apply_queue();
}

double HllPlusPlusSparseSketch::estimate() const {
    hllpp::RegisterCounts counts;
    for (std::uint32_t entry : slots_) {
        if (entry != kEmptySlot) ++counts.by_value[value_of(entry)];
    }
    const std::size_t entries = entry_count_ + count_queued_raises(counts);
    counts.zero_registers = static_cast<double>(register_count() - entries);
    return hllpp::estimate(p_, register_count(), counts);
}

std::size_t HllPlusPlusSparseSketch::count_queued_raises(hllpp::RegisterCounts& counts) const {
    std::array<std::uint32_t, kQueueLength> queued = queue_;
    const auto last = keep_largest_per_index(queued.begin(), queued.begin() + static_cast<std::ptrdiff_t>(queued_));
    std::size_t new_entries = 0;
    for (auto it = queued.begin(); it != last; ++it) {
        const std::uint32_t stored = table_entry(index_of(*it));
        if (stored >= *it) continue;
        if (stored == kEmptySlot) {
            ++new_entries;
        } else {
            --counts.by_value[value_of(stored)];
        }
        ++counts.by_value[value_of(*it)];
    }
    return new_entries;
}

void HllPlusPlusSparseSketch::merge(const HllPlusPlusSparseSketch& other) {
    if (other.p_ != p_) fail("cannot merge sparse HLL++ sketches with different precision");
    for (std::uint32_t entry : other.slots_) {
        if (entry != kEmptySlot) raise_entry(entry);
    }
    for (std::size_t i = 0; i < other.queued_; ++i) raise_entry(other.queue_[i]);
}

std::vector<std::uint32_t> HllPlusPlusSparseSketch::sorted_entries() const {
    std::vector<std::uint32_t> entries;
    entries.reserve(entry_count_ + queued_);
    std::copy_if(slots_.begin(), slots_.end(), std::back_inserter(entries),
                 [](std::uint32_t entry) { return entry != kEmptySlot; });
    entries.insert(entries.end(), queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(queued_));
    entries.erase(keep_largest_per_index(entries.begin(), entries.end()), entries.end());
    return entries;
}

std::vector<std::uint8_t> HllPlusPlusSparseSketch::to_bytes() const {
    encoding::Writer out;
    out.u8(p_);
    out.u64(register_count());
    const std::vector<std::uint32_t> entries = sorted_entries();
    out.size(entries.size());
    for (std::uint32_t entry : entries) {
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
            sketch.replace_entry(entry_of(static_cast<std::uint32_t>(index), value));
        }
        return sketch;
    });
}

std::size_t HllPlusPlusSparseSketch::heap_bytes() const { return heap_bytes_of(slots_); }

}  // namespace quillo::hll
