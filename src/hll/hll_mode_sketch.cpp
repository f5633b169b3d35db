#include "hll/hll_mode_sketch.hpp"

#include "common/error.hpp"
#include "common/memory.hpp"
#include "hash/hash.hpp"

namespace quillo::hll {

HllSketchMode HllSketchMode::create(std::uint8_t lg_k) {
    if (lg_k < kMinLgK || lg_k > kMaxGadgetLgK) fail("lg_k must be in 4..=21, got " + std::to_string(lg_k));
    return HllSketchMode(lg_k);
}

void HllSketchMode::update(std::string_view item) { gadget_.update_hash(hash::item_hash(item)); }

std::size_t HllSketchMode::heap_bytes() const { return gadget_.heap_bytes(); }

}  // namespace quillo::hll
