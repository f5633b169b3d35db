#include "hll/hll_union.hpp"

#include <string>

#include "common/error.hpp"
#include "common/memory.hpp"
#include "encoding/encoding.hpp"
#include "hash/hash.hpp"

namespace quillo::hll {

namespace {
constexpr std::string_view kDecodeName = "HllUnion";
}  // namespace

HllUnion HllUnion::create(std::uint8_t lg_max_k) {
    if (lg_max_k < kMinLgK || lg_max_k > kMaxGadgetLgK) {
        fail("lg_max_k must be in 4..=21, got " + std::to_string(lg_max_k));
    }
    return HllUnion(lg_max_k, CouponGadget(lg_max_k));
}

void HllUnion::update(std::string_view item) { gadget_.update_hash(hash::item_hash(item)); }

std::vector<std::uint8_t> HllUnion::to_bytes() const {
    encoding::Writer w;
    w.u8(lg_max_k_);
    gadget_.write(w);
    return w.take();
}

HllUnion HllUnion::from_bytes(std::span<const std::uint8_t> data) {
    return encoding::decode(kDecodeName, data, [](encoding::Reader& r) {
        const std::uint8_t lg_max_k = r.u8();
        return HllUnion(lg_max_k, CouponGadget::read(r, kDecodeName));
    });
}

std::size_t HllUnion::heap_bytes() const { return gadget_.heap_bytes(); }

}  // namespace quillo::hll
