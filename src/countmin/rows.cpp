#include "countmin/rows.hpp"

#include <new>
#include <string>

#include "codec/codec.hpp"
#include "common/error.hpp"

namespace quillo::countmin {

std::size_t cell_count(std::uint64_t width, std::uint64_t depth) {
    if (width == 0 || depth == 0) fail("width and depth must both be greater than 0");
    std::uint64_t cells;
    if (__builtin_mul_overflow(width, depth, &cells)) throw std::bad_alloc();
    return cells;
}

void check_decoded_shape(std::string_view name, std::uint64_t width, std::uint64_t depth, std::size_t cells) {
    if (width != 0 && depth != 0 && cells % width == 0 && cells / width == depth) return;
    codec::corrupt_data(std::string(name) + " decode failed: " + std::to_string(cells) + " cells for width " +
                        std::to_string(width) + " and depth " + std::to_string(depth));
}

}  // namespace quillo::countmin
