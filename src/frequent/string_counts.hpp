#pragma once
// A count per string in flat storage: the strings' bytes lie end to end in one
// arena, the entries in one dense array in arrival order, and a power-of-two
// table of entry positions is probed linearly from each string's hash. An
// update hashes its string once and allocates only while the arena or the
// table is still growing to the map's working size; removing entries compacts
// the array and the arena in one pass and rebuilds the table from the stored
// hashes.
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "common/saturating.hpp"
#include "hash/hash.hpp"

namespace quillo::frequent {

class StringCounts {
public:
    // Room for `expected_entries` before the table grows; `seed` keys the hash.
    StringCounts(std::size_t expected_entries, std::uint64_t seed);

    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    // Makes room for `entries` in all, so that adding up to them allocates at most in the arena.
    void reserve(std::size_t entries);

    // Adds `count` to the string's count (saturating), inserting the string
    // first when it is new; returns whether it was new.
    bool add(std::string_view item, std::uint64_t count);
    // Adds `count` to the string's count (saturating) when the string is held;
    // returns whether it was.
    bool add_if_held(std::string_view item, std::uint64_t count);
    // Sets the string's count, inserting the string when it is new.
    void assign(std::string_view item, std::uint64_t count);
    // The string's count, or null when it is not held.
    const std::uint64_t* find(std::string_view item) const;

    // The smallest count; the largest value when the map is empty.
    std::uint64_t smallest_count() const;
    // The sum of all counts, saturating.
    std::uint64_t total_count() const;
    // Drops every entry whose count is at most `amount` and lowers the others by it.
    void cut(std::uint64_t amount);
    void clear();

    // Calls each(string, count) for every entry, in arrival order.
    template <class Each>
    void for_each(Each each) const {
        for (const Entry& entry : entries_) each(text(entry), entry.count);
    }

    std::size_t heap_bytes() const;

private:
    struct Entry {
        std::uint64_t hash;
        std::uint64_t count;
        std::size_t begin;  // of the string's bytes in the arena
        std::size_t size;
    };
    // A table slot holds an entry's position + 1 in its low bits and the top
    // bits of the entry's hash above them, so that a probe passes other
    // strings mostly without reading their entries; 0 marks a free slot.
    // Memory runs out long before 2^40 entries of 32 bytes.
    using Slot = std::uint64_t;
    static constexpr Slot kFree = 0;
    static constexpr unsigned kPositionBits = 40;
    static constexpr Slot kPositionMask = (Slot{1} << kPositionBits) - 1;
    static Slot slot_for(std::uint64_t hash, std::size_t position) { return (hash & ~kPositionMask) | (position + 1); }
    static std::size_t position_in(Slot slot) { return (slot & kPositionMask) - 1; }

    std::string_view text(const Entry& entry) const { return {arena_.data() + entry.begin, entry.size}; }
    bool holds(Slot slot, std::uint64_t hash, std::string_view item) const {
        if ((slot & ~kPositionMask) != (hash & ~kPositionMask)) return false;
        const Entry& entry = entries_[position_in(slot)];
        return entry.hash == hash && entry.size == item.size() &&
               (item.empty() || std::memcmp(arena_.data() + entry.begin, item.data(), item.size()) == 0);
    }
    // The slot that holds `item`, or the free slot where it would go.
    std::size_t slot_of(std::uint64_t hash, std::string_view item) const {
        std::size_t slot = hash & mask_;
        while (slots_[slot] != kFree && !holds(slots_[slot], hash, item)) slot = (slot + 1) & mask_;
        return slot;
    }
    std::uint64_t& count_in(std::size_t slot) { return entries_[position_in(slots_[slot])].count; }
    void insert(std::size_t slot, std::uint64_t hash, std::string_view item, std::uint64_t count);
    void resize_table(std::size_t entries);
    void rebuild_table();

    std::uint64_t seed_;
    std::vector<Entry> entries_;
    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
    std::vector<char> arena_;
};

inline bool StringCounts::add(std::string_view item, std::uint64_t count) {
    const std::uint64_t hash = hash::item_hash(item, seed_);
    const std::size_t slot = slot_of(hash, item);
    if (slots_[slot] != kFree) {
        std::uint64_t& held = count_in(slot);
        held = saturating_add(held, count);
        return false;
    }
    insert(slot, hash, item, count);
    return true;
}

}  // namespace quillo::frequent
