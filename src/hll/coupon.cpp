#include "hll/coupon.hpp"

#include <cmath>
#include <string>
#include <utility>

#include "codec/codec.hpp"
#include "common/error.hpp"
#include "common/memory.hpp"

namespace quillo::hll {

namespace {

constexpr int kMaxLeadingZeros = 62;
constexpr std::size_t kListCapacity = 8;
// A list reaching this many coupons is promoted.
constexpr std::size_t kListLimit = 8;
// Below this precision a full list goes straight to HLL registers.
constexpr std::uint8_t kMinSetLgK = 8;
constexpr std::uint8_t kInitialSetLgSize = 5;
// The set gives way to registers once its table reaches 2^(lg_k - 3) words.
constexpr int kSetToHllGap = 3;

// Bytes reported by memory_usage: the owning object, then each mode's header.
constexpr std::uint64_t kObjectBytes = 72;
constexpr std::uint64_t kListHeaderBytes = 24;
constexpr std::uint64_t kSetHeaderBytes = 40;
constexpr std::uint64_t kHllHeaderBytes = 64;

// The number of distinct items that most likely leave `slots` of the m
// registers occupied: E[slots] = m (1 - (1 - 1/m)^n) ~ m (1 - e^(-n/m)),
// inverted. Counting the slots themselves would miss every collision.
double distinct_items_for(std::size_t slots, std::uint8_t lg_k) {
    const double m = std::ldexp(1.0, lg_k);
    return -m * std::log1p(-static_cast<double>(slots) / m);
}

[[noreturn]] void corrupt(std::string_view name, std::string_view reason) {
    codec::corrupt_data(std::string(name) + " decode failed: " + std::string(reason));
}

// A decoded coupon must be one that coupon_of could have made at `lg_k`.
void check_coupon(Coupon c, std::uint8_t lg_k, std::string_view name) {
    if (coupon_value(c) == 0) corrupt(name, "coupon with value 0");
    if (coupon_slot(c) >> lg_k != 0) corrupt(name, "coupon slot beyond 2^lg_k");
}

}  // namespace

std::vector<std::uint8_t> coarsen_registers(std::span<const std::uint8_t> registers, std::uint8_t drop) {
    std::vector<std::uint8_t> coarse(registers.size() >> drop, 0);
    for (std::uint32_t i = 0; i < registers.size(); ++i) {
        if (registers[i] == 0) continue;
        const Observation o = coarsen(i, registers[i], drop);
        coarse[o.slot] = std::max(coarse[o.slot], o.value);
    }
    return coarse;
}

Coupon coupon_of(std::uint64_t hash, std::uint8_t lg_k) {
    const auto slot = static_cast<std::uint32_t>(hash >> (64 - lg_k));
    const int zeros = std::min(std::countl_zero(hash << lg_k), kMaxLeadingZeros);
    return make_coupon(slot, static_cast<std::uint8_t>(zeros + 1));
}

// ---------------------------------------------------------------- set

CouponSet::CouponSet() : words_(std::size_t{1} << kInitialSetLgSize, 0), lg_size_(kInitialSetLgSize) {}

void CouponSet::insert(Coupon c) {
    if (!place(c)) return;
    ++count_;
    if (count_ >= count_that_grows(lg_size_)) grow();
}

bool CouponSet::place(Coupon c) {
    const std::size_t mask = words_.size() - 1;
    std::size_t i = c & mask;
    const std::size_t stride = step(c);
    for (;;) {
        Coupon& word = words_[i];
        if (word == 0) {
            word = c;
            return true;
        }
        if (coupon_slot(word) == coupon_slot(c)) {
            if (coupon_value(c) > coupon_value(word)) word = c;
            return false;
        }
        i = (i + stride) & mask;
    }
}

std::size_t CouponSet::drop_stored(std::span<Coupon> coupons) const {
    const std::size_t mask = words_.size() - 1;
    std::size_t kept = 0;
    for (Coupon c : coupons) {
        coupons[kept] = c;
        kept += words_[c & mask] != c;
    }
    return kept;
}

void CouponSet::grow() {
    std::vector<Coupon> old = std::move(words_);
    ++lg_size_;
    words_.assign(old.size() * 2, 0);
    count_ = 0;
    for (Coupon w : old) {
        if (w != 0) count_ += place(w);
    }
}

// ---------------------------------------------------------------- gadget

CouponGadget::CouponGadget(std::uint8_t lg_k) : lg_k_(lg_k) { std::get<CouponList>(payload_).reserve(kListCapacity); }

void CouponGadget::add_coupon(Coupon c) {
    if (auto* list = std::get_if<CouponList>(&payload_)) {
        add_to_list(*list, c);
    } else if (auto* set = std::get_if<CouponSet>(&payload_)) {
        add_to_set(*set, c);
    } else {
        std::get<HllSketch>(payload_).offer(coupon_slot(c), coupon_value(c));
    }
}

void CouponGadget::add_to_list(CouponList& list, Coupon c) {
    for (Coupon& entry : list) {
        if (coupon_slot(entry) == coupon_slot(c)) {
            if (coupon_value(c) > coupon_value(entry)) entry = c;
            return;
        }
    }
    list.push_back(c);
    if (list.size() >= kListLimit) promote_list(list);
}

void CouponGadget::add_to_set(CouponSet& set, Coupon c) {
    set.insert(c);
    if (set_is_full(set)) promote_to_hll();
}

bool CouponGadget::set_is_full(const CouponSet& set) const { return set.lg_size() + kSetToHllGap >= lg_k_; }

double CouponGadget::promotion_estimate(std::uint8_t lg_k) {
    // A full list, or the set growing into its last size, gives way.
    const int last_lg_size = lg_k - kSetToHllGap;
    const std::size_t slots = lg_k < kMinSetLgK || last_lg_size <= kInitialSetLgSize
                                  ? kListLimit
                                  : CouponSet::count_that_grows(static_cast<std::uint8_t>(last_lg_size - 1));
    return distinct_items_for(slots, lg_k);
}

void CouponGadget::promote_list(const CouponList& list) {
    if (lg_k_ < kMinSetLgK) {
        promote_to_hll();
        return;
    }
    CouponSet set;
    for (Coupon c : list) set.insert(c);
    const bool full = set_is_full(set);
    payload_ = std::move(set);  // `list` is gone from here on
    if (full) promote_to_hll();
}

void CouponGadget::promote_to_hll() {
    // Replayed, each coupon would add about one to the running total, and
    // the items the list or set lost to shared registers would stay lost;
    // the running total starts from the estimate that counts them instead.
    const double carried = estimate();
    HllSketch hll(lg_k_);
    for_each_coupon([&](Coupon c) { hll.offer(coupon_slot(c), coupon_value(c)); });
    hll.restart_hip(carried);
    payload_ = std::move(hll);
}

void CouponGadget::merge(const CouponGadget& source) {
    if (source.lg_k_ < lg_k_) reduce_to(source.lg_k_);
    const auto drop = static_cast<std::uint8_t>(source.lg_k_ - lg_k_);
    const auto* source_hll = std::get_if<HllSketch>(&source.payload_);
    if (source_hll == nullptr) {
        source.for_each_chunk([&](std::span<Coupon> chunk) { add_chunk(chunk, drop); });
        return;
    }
    if (mode() != GadgetMode::hll) promote_to_hll();
    fold_registers(*source_hll, drop);
}

void CouponGadget::add_chunk(std::span<Coupon> chunk, std::uint8_t drop) {
    if (drop != 0) {
        for (Coupon& c : chunk) c = coarsen(c, drop);
    }
    std::size_t n = chunk.size();
    // Most coupons of a source already in the union sit in their first probe
    // word; skipping those without a branch per coupon saves a mispredicted
    // probe loop each.
    if (const auto* set = std::get_if<CouponSet>(&payload_)) n = set->drop_stored(chunk);
    for (std::size_t i = 0; i < n; ++i) add_coupon(chunk[i]);
}

void CouponGadget::fold_registers(const HllSketch& source, std::uint8_t drop) {
    auto& hll = std::get<HllSketch>(payload_);
    hll.mark_out_of_order();
    if (drop == 0) {
        hll.offer_all(source.registers());
    } else {
        hll.offer_all(coarsen_registers(source.registers(), drop));
    }
}

void CouponGadget::reduce_to(std::uint8_t lg_k) {
    const auto drop = static_cast<std::uint8_t>(lg_k_ - lg_k);
    if (const auto* hll = std::get_if<HllSketch>(&payload_)) {
        payload_ =
            HllSketch::from_registers(lg_k, coarsen_registers(hll->registers(), drop), hll->hip(), hll->out_of_order());
        lg_k_ = lg_k;
        return;
    }
    CouponGadget reduced(lg_k);
    for_each_coupon([&](Coupon c) { reduced.add_coupon(coarsen(c, drop)); });
    *this = std::move(reduced);
}

double CouponGadget::estimate() const {
    if (const auto* list = std::get_if<CouponList>(&payload_)) return distinct_items_for(list->size(), lg_k_);
    if (const auto* set = std::get_if<CouponSet>(&payload_)) return distinct_items_for(set->count(), lg_k_);
    return std::get<HllSketch>(payload_).estimate();
}

std::string_view CouponGadget::mode_name() const {
    switch (mode()) {
        case GadgetMode::list: return "LIST";
        case GadgetMode::set: return "SET";
        case GadgetMode::hll: break;
    }
    return "HLL";
}

bool CouponGadget::is_out_of_order() const {
    const auto* hll = std::get_if<HllSketch>(&payload_);
    return hll != nullptr && hll->out_of_order();
}

std::uint64_t CouponGadget::memory_usage() const {
    if (mode() == GadgetMode::list) return kObjectBytes + sizeof(Coupon) * kListCapacity + kListHeaderBytes;
    if (const auto* set = std::get_if<CouponSet>(&payload_)) {
        return kObjectBytes + sizeof(Coupon) * (std::uint64_t{1} << set->lg_size()) + kSetHeaderBytes;
    }
    return kObjectBytes + (std::uint64_t{1} << lg_k_) + kHllHeaderBytes;
}

// ---------------------------------------------------------------- image

void CouponGadget::write(encoding::Writer& w) const {
    w.u8(lg_k_);
    w.variant(static_cast<std::uint32_t>(payload_.index()));
    if (const auto* list = std::get_if<CouponList>(&payload_)) {
        w.sequence(*list, [](encoding::Writer& out, Coupon c) { out.u32(c); });
    } else if (const auto* set = std::get_if<CouponSet>(&payload_)) {
        w.size(set->count());
        for_each_coupon([&](Coupon c) { w.u32(c); });
    } else {
        const auto& hll = std::get<HllSketch>(payload_);
        w.u8(hll.lg_k());
        w.size(hll.registers().size());
        w.raw_bytes(hll.registers());
        w.f64(hll.hip());
        w.f64(hll.kxq0());
        w.f64(hll.kxq1());
        w.boolean(hll.out_of_order());
    }
}

CouponGadget CouponGadget::read(encoding::Reader& r, std::string_view name) {
    const std::uint8_t lg_k = r.u8();
    if (lg_k < kMinLgK || lg_k > kMaxGadgetLgK) {
        fail("lg_k must be between 4 and 21, got " + std::to_string(lg_k));
    }
    CouponGadget gadget(lg_k);
    const auto read_coupon = [&](encoding::Reader& in) {
        const Coupon c = in.u32();
        check_coupon(c, lg_k, name);
        return c;
    };
    switch (r.variant()) {
        case 0: {
            auto coupons = r.sequence<Coupon>(1, read_coupon);
            // Lists are promoted when they fill, and hold one coupon per slot.
            if (coupons.size() >= kListLimit) corrupt(name, "coupon list too long");
            for (std::size_t i = 0; i < coupons.size(); ++i) {
                for (std::size_t j = 0; j < i; ++j) {
                    if (coupon_slot(coupons[i]) == coupon_slot(coupons[j])) corrupt(name, "repeated coupon slot");
                }
            }
            std::get<CouponList>(gadget.payload_) = std::move(coupons);
            break;
        }
        case 1: {
            CouponSet set;
            const std::size_t n = r.length(1);
            for (std::size_t i = 0; i < n; ++i) set.insert(read_coupon(r));
            // A set that fills its table gives way to registers, and precisions
            // of 8 or less never use a set.
            if (gadget.set_is_full(set)) corrupt(name, "coupon set too large for lg_k");
            gadget.payload_ = std::move(set);
            break;
        }
        case 2: {
            if (r.u8() != lg_k) corrupt(name, "HLL lg_k differs from the gadget's");
            const std::size_t m = std::size_t{1} << lg_k;
            if (r.length(1) != m) corrupt(name, "register count is not 2^lg_k");
            const auto registers = r.raw_bytes(m);
            const double hip = r.f64();
            const double kxq0 = r.f64();
            const double kxq1 = r.f64();
            const bool out_of_order = r.boolean();
            auto hll = HllSketch::from_fields(lg_k, std::vector<std::uint8_t>(registers.begin(), registers.end()), hip,
                                              kxq0, kxq1, out_of_order);
            if (const std::string_view fault = hll.settle_running_estimate(); !fault.empty()) corrupt(name, fault);
            gadget.payload_ = std::move(hll);
            break;
        }
        default: encoding::Reader::reject();
    }
    return gadget;
}

std::size_t CouponSet::heap_bytes() const { return heap_bytes_of(words_); }

std::size_t CouponGadget::heap_bytes() const { return heap_bytes_of(payload_); }

}  // namespace quillo::hll
