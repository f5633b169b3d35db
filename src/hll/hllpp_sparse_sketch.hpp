#pragma once
// Sparse HLL++: only the registers that are not zero, kept as entries
// (index << 8 | value) in an open-addressing table. It never turns dense; it
// estimates with the same estimator as the dense sketch and so agrees with it
// exactly, and its image lists the entries in ascending index order.
#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "hll/hllpp_estimator.hpp"

namespace quillo::hll {

class HllPlusPlusSparseSketch {
public:
    // Bytes owned on the heap, for memory accounting.
    std::size_t heap_bytes() const;

    // With the constructor's range check and default.
    static HllPlusPlusSparseSketch create(std::uint8_t lg_k);

    void update(std::string_view item);
    void update_hash(std::uint64_t hash);
    double estimate() const;
    // Bounds on the distinct count at `confidence` (0 < confidence < 1).
    double lower_bound(double confidence) const;
    double upper_bound(double confidence) const;
    std::uint8_t lg_k() const { return p_; }
    void merge(const HllPlusPlusSparseSketch& other);

    std::vector<std::uint8_t> to_bytes() const;
    // Refuses precisions the constructor cannot make, a register count other
    // than 2^p, indices beyond it and register values no update can write.
    static HllPlusPlusSparseSketch from_bytes(std::span<const std::uint8_t> data);

private:
    // Updates to a large table wait in a short queue until it is full; each
    // one prefetches its home slot on arrival, so the queue's probes find the
    // table in cache.
    static constexpr std::size_t kQueueLength = 32;

    explicit HllPlusPlusSparseSketch(std::uint8_t p) : p_(p) {}

    std::uint64_t register_count() const { return std::uint64_t{1} << p_; }
    // The home slot of a register index in a table of 2^(64 - shift) slots.
    static std::size_t home(std::uint32_t index, unsigned shift);
    // The slot that holds `index`, or the empty slot where it belongs.
    std::size_t slot_for(std::uint32_t index) const;
    // The table's entry for `index`, or 0.
    std::uint32_t table_entry(std::uint32_t index) const;

    // Updates and merges keep the larger value, decoding the value given last.
    void raise_entry(std::uint32_t entry);
    void replace_entry(std::uint32_t entry);
    void apply_queue();
    // Moves the counts of `counts` (the table's registers) to where the queued
    // updates raise them; returns how many registers they set from zero.
    std::size_t count_queued_raises(hllpp::RegisterCounts& counts) const;
    void grow();
    std::size_t next_table_size(std::size_t slots) const;
    // Every register that is not zero, queued updates included, ascending.
    std::vector<std::uint32_t> sorted_entries() const;

    // Empty slots hold 0, which no entry is: every stored value is at least 1.
    std::vector<std::uint32_t> slots_;
    std::size_t entry_count_ = 0;
    // The table grows once it holds more entries than this.
    std::size_t growth_limit_ = 0;
    unsigned home_shift_ = 0;
    // Entries not yet in the table; readers fold them in without applying them.
    std::array<std::uint32_t, kQueueLength> queue_{};
    std::size_t queued_ = 0;
    std::uint8_t p_;
};

}  // namespace quillo::hll
