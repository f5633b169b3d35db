#pragma once
// What the row-based frequency sketches share: the shape check, a per-call
// scratch with one slot per row, and the decoded-shape check.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "hash/hash.hpp"

namespace quillo::countmin {

// Fails with the constructors' message when a dimension is 0; returns the
// cell count (a product that does not fit is an allocation failure).
std::size_t cell_count(std::uint64_t width, std::uint64_t depth);

// Refuses a decoded image whose cells do not form `depth` rows of `width`.
void check_decoded_shape(std::string_view name, std::uint64_t width, std::uint64_t depth, std::size_t cells);

// The column of an item in the row hashed with `seed`.
inline std::uint64_t column(std::string_view item, std::uint64_t seed, std::uint64_t width) {
    return hash::item_hash(item, seed) % width;
}

// One value per row; on the stack for the usual depths, on the heap beyond,
// so that no depth is too deep.
template <class T>
class RowScratch {
public:
    explicit RowScratch(std::uint64_t depth) {
        if (depth > kStackRows) {
            heap_.resize(depth);
            data_ = heap_.data();
        }
    }
    RowScratch(const RowScratch&) = delete;
    RowScratch& operator=(const RowScratch&) = delete;

    T& operator[](std::size_t row) { return data_[row]; }
    T* begin() { return data_; }

private:
    static constexpr std::size_t kStackRows = 64;
    std::array<T, kStackRows> stack_;
    std::vector<T> heap_;
    T* data_ = stack_.data();
};

}  // namespace quillo::countmin
