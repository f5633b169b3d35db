#include "frequent/string_counts.hpp"

#include <algorithm>
#include <bit>

#include "common/memory.hpp"

namespace quillo::frequent {

namespace {

// At most 5 entries per 8 slots, so that a probe for an absent string ends
// after a few slots; a map of 2^n entries and the one that overflows it still
// fits in 2^(n+1) slots.
constexpr std::size_t kLoadNumerator = 5;
constexpr std::size_t kLoadDenominator = 8;
constexpr std::size_t kMinSlots = 8;

bool fits(std::size_t entries, std::size_t slots) { return entries * kLoadDenominator <= slots * kLoadNumerator; }

std::size_t slots_for(std::size_t entries) {
    std::size_t slots = kMinSlots;
    while (!fits(entries, slots)) slots *= 2;
    return slots;
}

}  // namespace

StringCounts::StringCounts(std::size_t expected_entries, std::uint64_t seed) : seed_(seed) {
    entries_.reserve(expected_entries);
    resize_table(expected_entries);
}

void StringCounts::reserve(std::size_t entries) {
    entries_.reserve(entries);
    if (!fits(entries, slots_.size())) resize_table(entries);
}

void StringCounts::insert(std::size_t slot, std::uint64_t hash, std::string_view item, std::uint64_t count) {
    if (!fits(entries_.size() + 1, slots_.size())) {
        resize_table(entries_.size() + 1);
        slot = slot_of(hash, item);
    }
    entries_.push_back({hash, count, arena_.size(), item.size()});
    arena_.insert(arena_.end(), item.begin(), item.end());
    slots_[slot] = slot_for(hash, entries_.size() - 1);
}

bool StringCounts::add_if_held(std::string_view item, std::uint64_t count) {
    const std::size_t slot = slot_of(hash::item_hash(item, seed_), item);
    if (slots_[slot] == kFree) return false;
    std::uint64_t& held = count_in(slot);
    held = saturating_add(held, count);
    return true;
}

void StringCounts::assign(std::string_view item, std::uint64_t count) {
    const std::uint64_t hash = hash::item_hash(item, seed_);
    const std::size_t slot = slot_of(hash, item);
    if (slots_[slot] == kFree) {
        insert(slot, hash, item, count);
    } else {
        count_in(slot) = count;
    }
}

const std::uint64_t* StringCounts::find(std::string_view item) const {
    const std::size_t slot = slot_of(hash::item_hash(item, seed_), item);
    return slots_[slot] == kFree ? nullptr : &entries_[position_in(slots_[slot])].count;
}

std::uint64_t StringCounts::smallest_count() const {
    std::uint64_t smallest = kMaxU64;
    for (const Entry& entry : entries_) smallest = std::min(smallest, entry.count);
    return smallest;
}

std::uint64_t StringCounts::total_count() const {
    std::uint64_t total = 0;
    for (const Entry& entry : entries_) total = saturating_add(total, entry.count);
    return total;
}

// Entries and their bytes only move towards the front, in arrival order.
void StringCounts::cut(std::uint64_t amount) {
    std::size_t kept = 0;
    std::size_t arena_end = 0;
    for (const Entry& entry : entries_) {
        if (entry.count <= amount) continue;
        if (entry.size > 0) std::memmove(arena_.data() + arena_end, arena_.data() + entry.begin, entry.size);
        entries_[kept++] = {entry.hash, entry.count - amount, arena_end, entry.size};
        arena_end += entry.size;
    }
    entries_.resize(kept);
    arena_.resize(arena_end);
    rebuild_table();
}

void StringCounts::clear() {
    entries_.clear();
    arena_.clear();
    rebuild_table();
}

void StringCounts::resize_table(std::size_t entries) {
    slots_.resize(slots_for(entries));
    mask_ = slots_.size() - 1;
    rebuild_table();
}

void StringCounts::rebuild_table() {
    std::fill(slots_.begin(), slots_.end(), kFree);
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        std::size_t slot = entries_[i].hash & mask_;
        while (slots_[slot] != kFree) slot = (slot + 1) & mask_;
        slots_[slot] = slot_for(entries_[i].hash, i);
    }
}

std::size_t StringCounts::heap_bytes() const {
    return heap_bytes_of(entries_) + heap_bytes_of(slots_) + heap_bytes_of(arena_);
}

}  // namespace quillo::frequent
