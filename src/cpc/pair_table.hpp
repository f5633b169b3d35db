#pragma once
// Open-addressing set of 32-bit pairs (row << 6 | column). The home slot is the
// pair's top bits, so a table walked in slot order is nearly sorted; deletion
// re-places the rest of the probe run so lookups never stop early.
#include <cstdint>
#include <span>
#include <vector>

namespace quillo::cpc {

inline constexpr std::uint32_t kEmptySlot = 0xFFFFFFFF;

class PairTable {
public:
    // Bytes owned on the heap, for memory accounting.
    std::size_t heap_bytes() const;

    // A new table: four empty slots.
    explicit PairTable(std::uint8_t lg_k);

    // Returns true when the pair was not present and has been stored.
    bool insert(std::uint32_t pair);
    // Returns true when the pair was present and has been removed.
    bool remove(std::uint32_t pair);
    void clear();

    std::uint32_t count() const { return item_count_; }
    std::uint8_t lg_size() const { return lg_size_; }
    std::span<const std::uint32_t> slots() const { return slots_; }
    std::vector<std::uint32_t> sorted_pairs() const;

private:
    std::size_t home(std::uint32_t pair) const;
    // The slot holding the pair, or the empty slot where its probe run ends.
    std::size_t find(std::uint32_t pair) const;
    void place(std::uint32_t pair);
    void rebuild(std::uint8_t new_lg_size);

    std::vector<std::uint32_t> slots_;
    std::uint32_t item_count_ = 0;
    std::uint8_t lg_size_;
    std::uint8_t num_valid_bits_;
};

}  // namespace quillo::cpc
