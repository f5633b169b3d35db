#include "cpc/cpc_sketch.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <string>

#include "common/error.hpp"
#include "common/memory.hpp"
#include "cpc/generated_tables.hpp"
#include "hash/hash.hpp"

namespace quillo::cpc {

namespace {

constexpr unsigned kColumnBits = 6;
constexpr std::uint32_t kColumnMask = 63;
constexpr unsigned kMaxColumn = 63;

// Entry b: the novelty mass of the zero bits of a window byte b.
constexpr std::array<double, 256> make_byte_weights() {
    std::array<double, 256> weights{};
    for (unsigned b = 0; b < 256; ++b) {
        double weight = 0.0;
        double bit_mass = 0.5;
        for (unsigned j = 0; j < 8; ++j, bit_mass /= 2) {
            if (!(b & (1u << j))) weight += bit_mass;
        }
        weights[b] = weight;
    }
    return weights;
}
constexpr std::array<double, 256> kByteWeights = make_byte_weights();

double column_mass(unsigned column) { return std::ldexp(1.0, -static_cast<int>(column + 1)); }

std::uint64_t low_bits(unsigned n) { return (std::uint64_t{1} << n) - 1; }

void check_lg_k(std::uint8_t lg_k) {
    if (lg_k < kMinLgK || lg_k > kMaxLgK) panic("lg_k out of range; got " + std::to_string(lg_k));
}

// Sum of the zero-bit masses of every row, byte position by byte position,
// added from the most significant byte down so small terms are not lost.
double matrix_novelty_mass(const BitMatrix& matrix) {
    std::array<double, 8> byte_sums{};
    for (std::uint64_t row : matrix) {
        for (unsigned j = 0; j < 8; ++j) byte_sums[j] += kByteWeights[(row >> (8 * j)) & 0xFF];
    }
    double total = 0.0;
    for (int j = 7; j >= 0; --j) total += std::ldexp(byte_sums[j], -8 * j);
    return total;
}

constexpr double kLargeCountFactor = 0.7940236163830469;
constexpr double kCubicDivisor = 66.774757;

}  // namespace

const char* flavor_name(Flavor flavor) {
    switch (flavor) {
        case Flavor::empty: return "Empty";
        case Flavor::sparse: return "Sparse";
        case Flavor::hybrid: return "Hybrid";
        case Flavor::pinned: return "Pinned";
        case Flavor::sliding: return "Sliding";
    }
    return "";
}

Flavor flavor_for(std::uint64_t c, std::uint8_t lg_k) {
    const std::uint64_t k = std::uint64_t{1} << lg_k;
    if (c == 0) return Flavor::empty;
    if (32 * c < 3 * k) return Flavor::sparse;
    if (2 * c < k) return Flavor::hybrid;
    if (8 * c < 27 * k) return Flavor::pinned;
    return Flavor::sliding;
}

std::uint8_t offset_for(std::uint64_t c, std::uint8_t lg_k) {
    const std::uint64_t k = std::uint64_t{1} << lg_k;
    if (8 * c < 27 * k) return 0;
    return static_cast<std::uint8_t>(std::min<std::uint64_t>((8 * c - 19 * k) / (8 * k), kMaxWindowOffset));
}

double coupon_count_estimate(std::uint64_t c, std::uint8_t lg_k) {
    check_lg_k(lg_k);
    if (c <= 1) return static_cast<double>(c);
    const double k = std::ldexp(1.0, lg_k);
    const double count = static_cast<double>(c);
    const double limit = lg_k < 14 ? 5.7 : 5.6;
    if (count > limit * k) return kLargeCountFactor * k * std::exp2(count / k);
    const double x = count / (2 * k);
    const double* row = &kCouponCountCoefficients[(lg_k - kMinLgK) * kCoefficientsPerRow];
    double poly = 0.0;
    for (std::size_t d = kCoefficientsPerRow; d-- > 0;) poly = poly * x + row[d];
    const double r = count / k;
    const double result = count * poly * (1.0 + r * r * r / kCubicDivisor);
    return result >= count ? result : count;
}

CpcSketch::CpcSketch(std::uint8_t lg_k) : novelty_mass_(std::ldexp(1.0, lg_k)), lg_k_(lg_k) {}

CpcSketch CpcSketch::create(std::uint8_t lg_k) {
    if (lg_k < kMinLgK || lg_k > kMaxLgK) fail("lg_k must be in 4..=26, got " + std::to_string(lg_k));
    return CpcSketch(lg_k);
}

const PairTable& CpcSketch::table() const {
    if (!table_) panic("surprising value table must be initialised");
    return *table_;
}

PairTable& CpcSketch::live_table() {
    if (!table_) panic("surprising value table must be initialised");
    return *table_;
}

void CpcSketch::update(std::string_view item) {
    const hash::Hash128 h = hash::item_hash128(item);
    const auto column = std::min<unsigned>(std::countl_zero(h.high), kMaxColumn);
    const auto row = static_cast<std::uint32_t>(h.low & (k() - 1));
    update_pair((row << kColumnBits) | column);
}

void CpcSketch::update_pair(std::uint32_t pair) {
    const unsigned column = pair & kColumnMask;
    if (column < first_live_column_) return;
    if (coupon_count_ == 0) table_.emplace(lg_k_);
    if (window_.empty()) {
        if (!live_table().insert(pair)) return;
        record_coupon(column);
        if (32 * std::uint64_t{coupon_count_} >= 3 * k()) promote_to_window();
        return;
    }
    if (column < window_offset_) {
        if (!live_table().remove(pair)) return;
    } else if (column >= window_offset_ + unsigned{kWindowWidth}) {
        if (!live_table().insert(pair)) return;
    } else {
        std::uint8_t& byte = window_[pair >> kColumnBits];
        const auto bit = static_cast<std::uint8_t>(1u << (column - window_offset_));
        if (byte & bit) return;
        byte |= bit;
    }
    record_coupon(column);
    if (window_offset_ < kMaxWindowOffset &&
        8 * std::uint64_t{coupon_count_} >= (27 + 8 * std::uint64_t{window_offset_}) * k()) {
        move_window();
    }
}

void CpcSketch::record_coupon(unsigned column) {
    hip_estimate_ += static_cast<double>(k()) / novelty_mass_;
    ++coupon_count_;
    // A decoded mass may be smaller than its matrix justifies; the floor keeps
    // it from going negative (it never binds for a sketch built by updates).
    novelty_mass_ = std::max(novelty_mass_ - column_mass(column), least_novelty_mass(k(), coupon_count_));
}

void CpcSketch::promote_to_window() {
    window_.assign(k(), 0);
    PairTable late(lg_k_);
    for (std::uint32_t pair : live_table().slots()) {
        if (pair == kEmptySlot) continue;
        const unsigned column = pair & kColumnMask;
        if (column < kWindowWidth) {
            window_[pair >> kColumnBits] |= static_cast<std::uint8_t>(1u << column);
        } else {
            late.insert(pair);
        }
    }
    table_ = std::move(late);
}

void CpcSketch::move_window() {
    const auto offset = static_cast<std::uint8_t>(window_offset_ + 1);
    const BitMatrix matrix = bit_matrix();
    if (offset % kWindowWidth == 0) novelty_mass_ = matrix_novelty_mass(matrix);
    live_table().clear();
    load_matrix(matrix, offset);
}

void CpcSketch::load_matrix(const BitMatrix& matrix, std::uint8_t offset) {
    window_.resize(matrix.size());
    PairTable& table = live_table();
    const std::uint64_t early_default = low_bits(offset);
    const std::uint64_t window_mask = std::uint64_t{0xFF} << offset;
    std::uint64_t all_surprises = 0;
    for (std::size_t row = 0; row < matrix.size(); ++row) {
        const std::uint64_t word = matrix[row];
        window_[row] = static_cast<std::uint8_t>(word >> offset);
        std::uint64_t surprises = (word & ~window_mask) ^ early_default;
        all_surprises |= surprises;
        for (; surprises != 0; surprises &= surprises - 1) {
            table.insert(static_cast<std::uint32_t>(row << kColumnBits) |
                         static_cast<std::uint32_t>(std::countr_zero(surprises)));
        }
    }
    window_offset_ = offset;
    first_live_column_ =
        all_surprises == 0 ? offset : static_cast<std::uint8_t>(std::min<int>(offset, std::countr_zero(all_surprises)));
}

BitMatrix CpcSketch::bit_matrix() const {
    BitMatrix matrix(k(), low_bits(window_offset_));
    if (coupon_count_ == 0) return matrix;
    if (!window_.empty()) {
        for (std::size_t row = 0; row < matrix.size(); ++row) {
            matrix[row] |= std::uint64_t{window_[row]} << window_offset_;
        }
    }
    for (std::uint32_t pair : table().slots()) {
        if (pair != kEmptySlot) matrix[pair >> kColumnBits] ^= std::uint64_t{1} << (pair & kColumnMask);
    }
    return matrix;
}

CpcSketch CpcSketch::from_bit_matrix(std::uint8_t lg_k, const BitMatrix& matrix) {
    CpcSketch result(lg_k);
    std::uint64_t count = 0;
    for (std::uint64_t row : matrix) count += static_cast<std::uint64_t>(std::popcount(row));
    const Flavor flavor = flavor_for(count, lg_k);
    if (flavor != Flavor::hybrid && flavor != Flavor::pinned && flavor != Flavor::sliding) {
        panic(std::string("unexpected flavor of a union bit matrix: ") + flavor_name(flavor));
    }
    result.table_.emplace(lg_k);
    result.load_matrix(matrix, offset_for(count, lg_k));
    result.coupon_count_ = static_cast<std::uint32_t>(count);
    result.hip_estimate_ = 0.0;
    result.merged_ = true;
    return result;
}

double CpcSketch::estimate() const { return merged_ ? coupon_count_estimate(coupon_count_, lg_k_) : hip_estimate_; }

std::size_t CpcSketch::heap_bytes() const { return heap_bytes_of(window_) + heap_bytes_of(table_); }

}  // namespace quillo::cpc
