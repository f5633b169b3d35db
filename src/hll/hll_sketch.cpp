#include "hll/hll_sketch.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <string>
#include <utility>

#include "codec/codec.hpp"
#include "common/error.hpp"
#include "common/memory.hpp"
#include "hash/hash.hpp"
#include "hll/hllpp_estimator.hpp"

namespace quillo::hll {

namespace {

constexpr std::uint8_t kSerialVersion = 1;
constexpr std::uint8_t kMaxRho = 63;
// Registers holding at least this value are summed in kxq1, the rest in kxq0.
constexpr std::uint8_t kKxqSplit = 32;
constexpr std::uint8_t kMinSoundLgK = 4;

// 2^-r for every register value; halving is exact, so the table holds the
// same values as ldexp without its cost on every register change.
constexpr auto kInversePowers = [] {
    std::array<double, 256> powers{};
    double power = 1.0;
    for (double& p : powers) {
        p = power;
        power /= 2;
    }
    return powers;
}();

double inverse_pow2(std::uint8_t r) { return kInversePowers[r]; }

// Sums of 2^-r that the updates keep exactly for the sizes the constructors
// make; decoded sketches beyond them may have drifted by rounding, by far
// less than this fraction.
constexpr double kKxqTolerance = 1e-6;

bool finite_non_negative(double x) { return std::isfinite(x) && x >= 0; }

}  // namespace

double register_estimate(std::span<const std::uint8_t> registers) {
    double sum = 0.0;
    std::uint64_t zeros = 0;
    for (std::uint8_t r : registers) {
        sum += inverse_pow2(r);
        zeros += r == 0;
    }
    const double m = static_cast<double>(registers.size());
    const double raw = hllpp::alpha(registers.size()) * m * m / sum;
    if (raw <= kLinearCountingLoad * m && zeros > 0) return m * std::log(m / static_cast<double>(zeros));
    return raw;
}

double raw_register_estimate(std::span<const std::uint8_t> registers) {
    double sum = 0.0;
    for (std::uint8_t r : registers) sum += inverse_pow2(r);
    const double m = static_cast<double>(registers.size());
    return hllpp::alpha(registers.size()) * m * m / sum;
}

bool register_estimate_is_linear(std::span<const std::uint8_t> registers) {
    const double m = static_cast<double>(registers.size());
    return raw_register_estimate(registers) <= kLinearCountingLoad * m &&
           std::ranges::find(registers, 0) != registers.end();
}

HllSketch::HllSketch(std::uint8_t lg_k)
    : registers_(std::uint64_t{1} << lg_k, 0),
      kxq0_(static_cast<double>(std::uint64_t{1} << lg_k)),
      m_(std::uint64_t{1} << lg_k),
      lg_k_(lg_k) {}

HllSketch HllSketch::create(std::uint8_t lg_k) {
    if (lg_k < kMinLgK || lg_k > kMaxLgK) {
        fail("lg_k must be in 4..=18, got " + std::to_string(lg_k));
    }
    return HllSketch(lg_k);
}

void HllSketch::update(std::string_view item) { update_hash(hash::item_hash(item)); }

void HllSketch::update_hash(std::uint64_t h) {
    const std::uint64_t index = h >> (64 - lg_k_);
    const std::uint64_t w = h << lg_k_;
    const auto rho = static_cast<std::uint8_t>(std::min<int>(std::countl_zero(w), kMaxRho));
    offer(index, static_cast<std::uint8_t>(rho + 1));
}

void HllSketch::offer(std::uint64_t index, std::uint8_t fresh) {
    const std::uint8_t old = registers_[index];
    if (old >= fresh) return;
    registers_[index] = fresh;
    const double total = kxq0_ + kxq1_;
    if (!out_of_order_ && total > 0) hip_ += static_cast<double>(m_) / total;
    (old < kKxqSplit ? kxq0_ : kxq1_) -= inverse_pow2(old);
    (fresh < kKxqSplit ? kxq0_ : kxq1_) += inverse_pow2(fresh);
}

double HllSketch::estimate() const { return out_of_order_ ? register_estimate(registers_) : hip_; }

void HllSketch::merge(const HllSketch& other) {
    if (other.lg_k_ != lg_k_) fail("cannot merge HLL sketches with different precision");
    out_of_order_ = true;
    for (std::size_t i = 0; i < registers_.size(); ++i) {
        registers_[i] = std::max(registers_[i], other.registers_[i]);
    }
}

void HllSketch::offer_all(std::span<const std::uint8_t> values) {
    // Registers usually already hold at least the offered values, so each
    // block is first compared as a whole (a fixed-length loop the compiler
    // vectorises) and only blocks with a larger value go through offer.
    constexpr std::size_t kBlock = 16;
    const std::size_t n = registers_.size();
    std::size_t start = 0;
    for (; start + kBlock <= n; start += kBlock) {
        const std::uint8_t* have = registers_.data() + start;
        const std::uint8_t* offered = values.data() + start;
        std::uint8_t raises = 0;
        for (std::size_t j = 0; j < kBlock; ++j) {
            raises |= static_cast<std::uint8_t>(std::max(have[j], offered[j]) ^ have[j]);
        }
        if (raises == 0) continue;
        for (std::size_t j = start; j < start + kBlock; ++j) {
            if (values[j] > registers_[j]) offer(j, values[j]);
        }
    }
    for (; start < n; ++start) offer(start, values[start]);
}

HllSketch HllSketch::from_fields(std::uint8_t lg_k, std::vector<std::uint8_t> registers, double hip, double kxq0,
                                 double kxq1, bool out_of_order) {
    HllSketch sketch(lg_k);
    sketch.registers_ = std::move(registers);
    sketch.hip_ = hip;
    sketch.kxq0_ = kxq0;
    sketch.kxq1_ = kxq1;
    sketch.out_of_order_ = out_of_order;
    return sketch;
}

HllSketch HllSketch::from_registers(std::uint8_t lg_k, std::vector<std::uint8_t> registers, double hip,
                                    bool out_of_order) {
    double kxq0 = 0.0;
    double kxq1 = 0.0;
    for (std::uint8_t r : registers) (r < kKxqSplit ? kxq0 : kxq1) += inverse_pow2(r);
    return from_fields(lg_k, std::move(registers), hip, kxq0, kxq1, out_of_order);
}

std::string_view HllSketch::settle_running_estimate() {
    // Once out of order the estimate comes from the registers alone.
    if (out_of_order_) return {};
    if (!finite_non_negative(hip_)) return "HIP estimate is negative or not finite";
    if (!finite_non_negative(kxq0_) || !finite_non_negative(kxq1_)) return "kxq sums are negative or not finite";
    double kxq0 = 0.0;
    double kxq1 = 0.0;
    for (std::uint8_t r : registers_) (r < kKxqSplit ? kxq0 : kxq1) += inverse_pow2(r);
    const double registers_sum = kxq0 + kxq1;
    if (std::abs(kxq0_ + kxq1_ - registers_sum) > kKxqTolerance * registers_sum) {
        return "kxq sums do not match the registers";
    }
    kxq0_ = kxq0;
    kxq1_ = kxq1;
    return {};
}

std::vector<std::uint8_t> HllSketch::to_bytes() const {
    const bool empty = std::all_of(registers_.begin(), registers_.end(), [](std::uint8_t r) { return r == 0; });
    std::uint8_t smallest = 0;
    for (std::uint8_t r : registers_) {
        if (r != 0 && (smallest == 0 || r < smallest)) smallest = r;
    }
    codec::Output out;
    out.reserve(registers_.size() + 33);
    codec::write_preamble(out, codec::Family::hll, kSerialVersion, empty ? codec::kEmptyFlag : 0);
    out.u8(lg_k_);
    out.u8(smallest);
    out.u8(0);
    out.bytes(registers_);
    out.f64(hip_);
    out.f64(kxq0_);
    out.f64(kxq1_);
    out.u8(out_of_order_ ? 1 : 0);
    return out.take();
}

HllSketch HllSketch::from_bytes(std::span<const std::uint8_t> data) {
    codec::Cursor cursor(data);
    const codec::Preamble preamble = codec::read_preamble(cursor, codec::Family::hll);
    const std::uint8_t lg_k = cursor.read_u8();
    cursor.skip(2);
    if (lg_k > kMaxDecodedLgK) {
        codec::corrupt_data("lg_k=" + std::to_string(lg_k) + " exceeds maximum of 26");
    }
    // Below 4 the update's index and rank arithmetic has no sound meaning.
    if (lg_k < kMinSoundLgK) {
        codec::corrupt_data("lg_k=" + std::to_string(lg_k) + " is below minimum of 4");
    }
    const std::size_t m = std::size_t{1} << lg_k;
    if (preamble.flags & codec::kEmptyFlag) {
        // An empty image may leave its registers out, but only a size the
        // constructor allows is built from nothing: beyond it the image must
        // carry the registers it claims.
        if (cursor.remaining() >= m) {
            cursor.skip(m);
        } else if (lg_k > kMaxLgK) {
            codec::insufficient_data(m, cursor.remaining());
        }
        cursor.read_f64();
        cursor.read_f64();
        cursor.read_f64();
        cursor.read_u8();
        return HllSketch(lg_k);
    }
    if (cursor.remaining() < m) codec::insufficient_data(m, cursor.remaining());
    HllSketch sketch(lg_k);
    auto registers = cursor.read_bytes(m);
    std::copy(registers.begin(), registers.end(), sketch.registers_.begin());
    sketch.hip_ = cursor.read_f64();
    sketch.kxq0_ = cursor.read_f64();
    sketch.kxq1_ = cursor.read_f64();
    sketch.out_of_order_ = cursor.read_u8() != 0;
    if (const std::string_view fault = sketch.settle_running_estimate(); !fault.empty()) codec::corrupt_data(fault);
    return sketch;
}

std::size_t HllSketch::heap_bytes() const { return heap_bytes_of(registers_); }

}  // namespace quillo::hll
