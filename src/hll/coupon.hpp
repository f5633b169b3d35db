#pragma once
// The coupon gadget behind HllSketchMode and HllUnion: a list of coupons (one
// per occupied register), then an open-addressing set of them, then HLL
// registers. Small counts stay cheap and close to exact (only the items that
// share a register are estimated); large ones cost 2^lg_k bytes.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

#include "encoding/encoding.hpp"
#include "hll/hll_sketch.hpp"

namespace quillo::hll {

// A register observation packed into 32 bits: the slot (register index) in
// the low 26 bits and the value (1 + leading zeros, 1..=63) in the top 6.
using Coupon = std::uint32_t;

inline constexpr std::uint32_t kSlotMask = 0x3ffffff;
inline constexpr unsigned kValueShift = 26;
inline constexpr std::uint8_t kMaxCouponValue = 63;
// Precisions of a gadget; the smallest is HllSketch's kMinLgK.
inline constexpr std::uint8_t kMaxGadgetLgK = 21;

inline std::uint32_t coupon_slot(Coupon c) { return c & kSlotMask; }
inline std::uint8_t coupon_value(Coupon c) { return static_cast<std::uint8_t>(c >> kValueShift); }
inline Coupon make_coupon(std::uint32_t slot, std::uint8_t value) {
    return slot | (static_cast<std::uint32_t>(value) << kValueShift);
}

Coupon coupon_of(std::uint64_t hash, std::uint8_t lg_k);

// What a register observation (slot, value) made at precision s says at the
// coarser precision s - `drop`: exactly the slot and value the same item
// gives there.
struct Observation {
    std::uint32_t slot;
    std::uint8_t value;
};
inline Observation coarsen(std::uint32_t slot, std::uint8_t value, std::uint8_t drop) {
    if (drop == 0) return {slot, value};
    // The dropped slot bits become the leading bits of the coarser rank.
    const std::uint32_t low = slot & ((std::uint32_t{1} << drop) - 1);
    const int rank =
        low != 0 ? drop - static_cast<int>(std::bit_width(low)) + 1 : std::min(drop + value, int{kMaxCouponValue});
    return {slot >> drop, static_cast<std::uint8_t>(rank)};
}
inline Coupon coarsen(Coupon c, std::uint8_t drop) {
    const Observation o = coarsen(coupon_slot(c), coupon_value(c), drop);
    return make_coupon(o.slot, o.value);
}

// The registers of precision s seen at precision s - `drop`: each coarse
// register is the largest coarsened value of its non-zero fine registers.
std::vector<std::uint8_t> coarsen_registers(std::span<const std::uint8_t> registers, std::uint8_t drop);

// Open addressing over 2^lg_size words (0 = empty), at most one coupon per
// slot, grown by doubling once more than three quarters are occupied.
class CouponSet {
public:
    // Bytes owned on the heap, for memory accounting.
    std::size_t heap_bytes() const;

    CouponSet();

    void insert(Coupon c);
    // Moves to the front of `coupons`, in order, those not found unchanged in
    // their first probe word, and returns how many they are. The others are
    // stored already: inserting them again would change nothing.
    std::size_t drop_stored(std::span<Coupon> coupons) const;
    std::uint8_t lg_size() const { return lg_size_; }
    std::size_t count() const { return count_; }
    // The count that grows a table of 2^lg_size words.
    static std::size_t count_that_grows(std::uint8_t lg_size) { return (std::size_t{3} << lg_size) / 4 + 1; }

    static constexpr std::size_t kChunk = 64;

    // Occupied words in table order, handed to `f` as spans of at most kChunk
    // coupons that `f` may modify. They are gathered without a branch per
    // word: whether a word is empty is unpredictable.
    template <class F>
    void for_each_chunk(F f) const {
        Coupon chunk[kChunk];
        for (std::size_t start = 0; start < words_.size(); start += kChunk) {
            const std::size_t end = std::min(start + kChunk, words_.size());
            std::size_t n = 0;
            for (std::size_t i = start; i < end; ++i) {
                chunk[n] = words_[i];
                n += words_[i] != 0;
            }
            f(std::span<Coupon>(chunk, n));
        }
    }

private:
    // The probe step of `c`; it comes from the slot bits alone, so every
    // coupon of one slot follows the same probe path and the slot is stored
    // once.
    std::size_t step(Coupon c) const { return (coupon_slot(c) >> lg_size_) | 1; }
    // Stores `c` or raises its slot's value; true when a word was newly used.
    bool place(Coupon c);
    void grow();

    std::vector<Coupon> words_;
    std::size_t count_ = 0;
    std::uint8_t lg_size_;
};

enum class GadgetMode : std::uint8_t { list = 0, set = 1, hll = 2 };

class CouponGadget {
public:
    // Bytes owned on the heap, for memory accounting.
    std::size_t heap_bytes() const;

    explicit CouponGadget(std::uint8_t lg_k);

    void update_hash(std::uint64_t hash) { add_coupon(coupon_of(hash, lg_k_)); }
    void add_coupon(Coupon c);
    // Folds another gadget in, at the coarser of the two precisions: this
    // gadget is first reduced when the source is coarser, and the source's
    // coupons or registers are coarsened when it is finer.
    void merge(const CouponGadget& source);

    // List and set: the distinct count that the occupied registers imply.
    // HLL: the running (HIP) estimate, or the register estimate once out of
    // order.
    double estimate() const;
    // Bounds on the distinct count around estimate() at normal quantile z.
    CountInterval interval(double z) const;
    GadgetMode mode() const { return static_cast<GadgetMode>(payload_.index()); }
    std::string_view mode_name() const;
    bool is_out_of_order() const;
    std::uint64_t memory_usage() const;
    std::uint8_t lg_k() const { return lg_k_; }

    // lg_k, mode and payload in the general encoding.
    void write(encoding::Writer& w) const;
    // The inverse of write; `name` labels corrupt-data failures.
    static CouponGadget read(encoding::Reader& r, std::string_view name);

private:
    using CouponList = std::vector<Coupon>;

    void add_to_list(CouponList& list, Coupon c);
    void add_to_set(CouponSet& set, Coupon c);
    void promote_list(const CouponList& list);
    void promote_to_hll();
    // Re-expresses the whole gadget at the coarser precision `lg_k`.
    void reduce_to(std::uint8_t lg_k);
    void fold_registers(const HllSketch& source, std::uint8_t drop);
    bool set_is_full(const CouponSet& set) const;
    // The estimate the running total restarts from when registers take over
    // from a list or set filled in order.
    static double promotion_estimate(std::uint8_t lg_k);

    void add_chunk(std::span<Coupon> chunk, std::uint8_t drop);

    // The coupons in list order or set table order, as spans of at most
    // CouponSet::kChunk coupons that `f` may modify.
    template <class F>
    void for_each_chunk(F f) const {
        if (const auto* set = std::get_if<CouponSet>(&payload_)) {
            set->for_each_chunk(f);
        } else if (const auto* list = std::get_if<CouponList>(&payload_)) {
            Coupon chunk[CouponSet::kChunk];
            for (std::size_t start = 0; start < list->size(); start += CouponSet::kChunk) {
                const std::size_t n = std::min(CouponSet::kChunk, list->size() - start);
                std::copy_n(list->begin() + static_cast<std::ptrdiff_t>(start), n, chunk);
                f(std::span<Coupon>(chunk, n));
            }
        }
    }

    template <class F>
    void for_each_coupon(F f) const {
        for_each_chunk([&](std::span<Coupon> chunk) {
            for (Coupon c : chunk) f(c);
        });
    }

    std::variant<CouponList, CouponSet, HllSketch> payload_;
    std::uint8_t lg_k_;
};

}  // namespace quillo::hll
