#pragma once
// A distinct counter that keeps the registers it touched while small (a
// list, then a set of coupons) and becomes an HLL sketch as it grows.
#include <cstdint>
#include <string>
#include <string_view>

#include "common/confidence.hpp"
#include "hll/coupon.hpp"

namespace quillo::hll {

class HllSketchMode {
public:
    // Bytes owned on the heap, for memory accounting.
    std::size_t heap_bytes() const;

    // Checks 4..=21.
    static HllSketchMode create(std::uint8_t lg_k);

    void update(std::string_view item);
    double estimate() const { return gadget_.estimate(); }
    // Bounds on the distinct count at `confidence` (0 < confidence < 1).
    double lower_bound(double confidence) const { return gadget_.interval(two_sided_z(confidence)).lower; }
    double upper_bound(double confidence) const { return gadget_.interval(two_sided_z(confidence)).upper; }
    std::string mode() const { return std::string(gadget_.mode_name()); }
    bool is_out_of_order() const { return gadget_.is_out_of_order(); }
    std::uint64_t memory_usage() const { return gadget_.memory_usage(); }

    const CouponGadget& gadget() const { return gadget_; }

private:
    explicit HllSketchMode(std::uint8_t lg_k) : gadget_(lg_k) {}

    CouponGadget gadget_;
};

}  // namespace quillo::hll
