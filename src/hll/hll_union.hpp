#pragma once
// The union of distinct-count summaries: items and whole HllSketchMode
// objects, of any precision, folded into one coupon gadget.
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "common/confidence.hpp"
#include "hll/coupon.hpp"
#include "hll/hll_mode_sketch.hpp"

namespace quillo::hll {

class HllUnion {
public:
    // Bytes owned on the heap, for memory accounting.
    std::size_t heap_bytes() const;

    // Checks 4..=21.
    static HllUnion create(std::uint8_t lg_max_k);

    void update(std::string_view item);
    // Sources coarser than the union lower its precision to theirs; later
    // updates use the lowered precision.
    void update_with_sketch(const HllSketchMode& sketch) { gadget_.merge(sketch.gadget()); }
    double estimate() const { return gadget_.estimate(); }
    // Bounds on the distinct count at `confidence` (0 < confidence < 1).
    double lower_bound(double confidence) const { return gadget_.interval(two_sided_z(confidence)).lower; }
    double upper_bound(double confidence) const { return gadget_.interval(two_sided_z(confidence)).upper; }
    std::uint8_t lg_max_k() const { return lg_max_k_; }

    std::vector<std::uint8_t> to_bytes() const;
    static HllUnion from_bytes(std::span<const std::uint8_t> data);

private:
    HllUnion(std::uint8_t lg_max_k, CouponGadget gadget) : gadget_(std::move(gadget)), lg_max_k_(lg_max_k) {}

    CouponGadget gadget_;
    std::uint8_t lg_max_k_;
};

}  // namespace quillo::hll
