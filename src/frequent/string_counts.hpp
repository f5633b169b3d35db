#pragma once
// A count per string in flat storage: the strings' bytes lie end to end in one
// arena, the entries in one dense array in arrival order, and a power-of-two
// table of entry positions is probed linearly from each string's hash. An
// update hashes its string once and allocates nothing while the table holds
// the expected number of entries; removing entries compacts the array and the
// arena in one pass and rebuilds the table from the stored hashes.
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
    // Sets the string's count, inserting the string when it is new.
    void assign(std::string_view item, std::uint64_t count);
    // The string's count, or null when it is not held.
    const std::uint64_t* find(std::string_view item) const;

    std::uint64_t smallest_count() const;
    // The k-th smallest count, 1 <= k <= size().
    std::uint64_t kth_smallest_count(std::size_t k) const;
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

private:
    struct Entry {
        std::uint64_t hash;
        std::uint64_t count;
        std::size_t begin;  // of the string's bytes in the arena
        std::size_t size;
    };
    // A table slot holds an entry's position + 1; 0 marks a free slot.
    static constexpr std::size_t kFree = 0;

    std::string_view text(const Entry& entry) const { return {arena_.data() + entry.begin, entry.size}; }
    bool holds(const Entry& entry, std::uint64_t hash, std::string_view item) const {
        return entry.hash == hash && entry.size == item.size() &&
               (item.empty() || std::memcmp(arena_.data() + entry.begin, item.data(), item.size()) == 0);
    }
    // The slot that holds `item`, or the free slot where it would go.
    std::size_t slot_of(std::uint64_t hash, std::string_view item) const {
        std::size_t slot = hash & mask_;
        while (slots_[slot] != kFree && !holds(entries_[slots_[slot] - 1], hash, item)) slot = (slot + 1) & mask_;
        return slot;
    }
    void insert(std::size_t slot, std::uint64_t hash, std::string_view item, std::uint64_t count);
    void resize_table(std::size_t entries);
    void rebuild_table();

    std::uint64_t seed_;
    std::vector<Entry> entries_;
    std::vector<std::size_t> slots_;
    std::size_t mask_ = 0;
    std::vector<char> arena_;
};

inline bool StringCounts::add(std::string_view item, std::uint64_t count) {
    const std::uint64_t hash = hash::item_hash(item, seed_);
    const std::size_t slot = slot_of(hash, item);
    if (slots_[slot] != kFree) {
        std::uint64_t& held = entries_[slots_[slot] - 1].count;
        held = saturating_add(held, count);
        return false;
    }
    insert(slot, hash, item, count);
    return true;
}

}  // namespace quillo::frequent
