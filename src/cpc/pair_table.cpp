#include "cpc/pair_table.hpp"

#include <algorithm>
#include <string>

#include "common/error.hpp"
#include "common/memory.hpp"

namespace quillo::cpc {

namespace {

constexpr std::uint8_t kInitialLgSize = 2;
constexpr std::uint8_t kMaxLgSize = 26;
constexpr std::uint8_t kMaxValidBits = 32;
constexpr std::uint8_t kColumnBits = 6;

void check_shape(std::uint8_t lg_size, std::uint8_t num_valid_bits) {
    if (lg_size < kInitialLgSize || lg_size > kMaxLgSize) {
        panic("lg_size must be in [2, 26], got " + std::to_string(lg_size));
    }
    if (num_valid_bits < lg_size + 1 || num_valid_bits > kMaxValidBits) {
        panic("num_valid_bits must be in [lg_size + 1, 32], got " + std::to_string(num_valid_bits) +
              " where lg_size = " + std::to_string(lg_size));
    }
}

}  // namespace

PairTable::PairTable(std::uint8_t lg_k)
    : slots_(std::size_t{1} << kInitialLgSize, kEmptySlot),
      lg_size_(kInitialLgSize),
      num_valid_bits_(static_cast<std::uint8_t>(lg_k + kColumnBits)) {
    check_shape(lg_size_, num_valid_bits_);
}

std::size_t PairTable::home(std::uint32_t pair) const { return pair >> (num_valid_bits_ - lg_size_); }

std::size_t PairTable::find(std::uint32_t pair) const {
    const std::size_t mask = slots_.size() - 1;
    const std::size_t start = home(pair);
    if (start > mask) {
        panic("probe = " + std::to_string(start) + ", mask = " + std::to_string(mask));
    }
    std::size_t probe = start;
    do {
        const std::uint32_t held = slots_[probe];
        if (held == kEmptySlot || held == pair) return probe;
        probe = (probe + 1) & mask;
    } while (probe != start);
    panic("no empty slot found for item " + std::to_string(pair) + " at index " + std::to_string(start));
}

void PairTable::place(std::uint32_t pair) {
    const std::size_t slot = find(pair);
    if (slots_[slot] == pair) {
        panic("item " + std::to_string(pair) + " already present in table");
    }
    slots_[slot] = pair;
}

bool PairTable::insert(std::uint32_t pair) {
    const std::size_t slot = find(pair);
    if (slots_[slot] == pair) return false;
    slots_[slot] = pair;
    ++item_count_;
    while (4 * std::uint64_t{item_count_} > 3 * std::uint64_t{slots_.size()}) {
        rebuild(static_cast<std::uint8_t>(lg_size_ + 1));
    }
    return true;
}

bool PairTable::remove(std::uint32_t pair) {
    const std::size_t slot = find(pair);
    if (slots_[slot] == kEmptySlot) return false;
    if (item_count_ == 0) panic("no items to delete");
    slots_[slot] = kEmptySlot;
    --item_count_;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t probe = (slot + 1) & mask; slots_[probe] != kEmptySlot; probe = (probe + 1) & mask) {
        const std::uint32_t moved = slots_[probe];
        slots_[probe] = kEmptySlot;
        place(moved);
    }
    while (lg_size_ > kInitialLgSize && 4 * std::uint64_t{item_count_} < slots_.size()) {
        rebuild(static_cast<std::uint8_t>(lg_size_ - 1));
    }
    return true;
}

void PairTable::clear() {
    std::fill(slots_.begin(), slots_.end(), kEmptySlot);
    item_count_ = 0;
}

void PairTable::rebuild(std::uint8_t new_lg_size) {
    check_shape(new_lg_size, num_valid_bits_);
    const std::size_t new_size = std::size_t{1} << new_lg_size;
    if (new_size <= item_count_) {
        panic("new table size (" + std::to_string(new_size) + ") must be larger than number of items " +
              std::to_string(item_count_));
    }
    std::vector<std::uint32_t> old(new_size, kEmptySlot);
    old.swap(slots_);
    lg_size_ = new_lg_size;
    for (std::uint32_t pair : old) {
        if (pair != kEmptySlot) place(pair);
    }
}

std::vector<std::uint32_t> PairTable::sorted_pairs() const {
    std::vector<std::uint32_t> pairs;
    pairs.reserve(item_count_);
    for (std::uint32_t pair : slots_) {
        if (pair != kEmptySlot) pairs.push_back(pair);
    }
    std::sort(pairs.begin(), pairs.end());
    return pairs;
}

std::size_t PairTable::heap_bytes() const { return heap_bytes_of(slots_); }

}  // namespace quillo::cpc
