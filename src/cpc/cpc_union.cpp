#include <bit>
#include <cmath>
#include <string>
#include <variant>

#include "common/error.hpp"
#include "cpc/cpc_sketch.hpp"

namespace quillo::cpc {

namespace {

constexpr double kGoldenRatioFraction = 0.6180339887498949;
constexpr unsigned kColumnBits = 6;
constexpr std::uint32_t kColumnMask = 63;

bool is_sparse_or_empty(Flavor flavor) { return flavor == Flavor::empty || flavor == Flavor::sparse; }

[[noreturn]] void unreachable(const std::string& what, Flavor flavor) {
    panic("internal error: entered unreachable code: " + what + flavor_name(flavor));
}

// Feeds every pair of `table` to `sketch`, rows folded to the sketch's lg_k,
// in golden-ratio stride order so the target table fills evenly.
void walk_table(const PairTable& table, CpcSketch& sketch) {
    if (sketch.lg_k() > kMaxLgK) panic("assertion failed: sketch.lg_k() <= 26");
    const auto slots = table.slots();
    const std::size_t n = slots.size();
    std::size_t stride = static_cast<std::size_t>(static_cast<double>(n) * kGoldenRatioFraction);
    if (stride < 2) panic("assertion failed: stride >= 2");
    stride |= 1;
    if (stride < 3 || stride >= n) panic("assertion failed: (stride >= 3) && (stride < num_slots)");
    const std::uint32_t row_mask = (std::uint32_t{1} << sketch.lg_k()) - 1;
    std::size_t slot = 0;
    for (std::size_t i = 0; i < n; ++i, slot = (slot + stride) % n) {
        const std::uint32_t pair = slots[slot];
        if (pair == kEmptySlot) continue;
        sketch.update_pair((((pair >> kColumnBits) & row_mask) << kColumnBits) | (pair & kColumnMask));
    }
}

void or_pairs(const PairTable& table, BitMatrix& matrix) {
    const std::size_t row_mask = matrix.size() - 1;
    for (std::uint32_t pair : table.slots()) {
        if (pair != kEmptySlot) matrix[(pair >> kColumnBits) & row_mask] |= std::uint64_t{1} << (pair & kColumnMask);
    }
}

void or_rows(const BitMatrix& source, BitMatrix& matrix) {
    const std::size_t row_mask = matrix.size() - 1;
    for (std::size_t row = 0; row < source.size(); ++row) matrix[row & row_mask] |= source[row];
}

// The union of the sketches added so far: a sketch while every operand was
// Empty or Sparse, a full bit matrix from then on.
class UnionAccumulator {
public:
    explicit UnionAccumulator(std::uint8_t lg_k) : lg_k_(lg_k), state_(CpcSketch(lg_k)) {}

    void add(const CpcSketch& source) {
        const Flavor flavor = source.flavor();
        if (flavor == Flavor::empty) return;
        if (source.lg_k() < lg_k_) reduce(source.lg_k());
        if (flavor == Flavor::sparse) {
            add_sparse(source);
            return;
        }
        if (auto* sketch = std::get_if<CpcSketch>(&state_)) {
            if (!is_sparse_or_empty(sketch->flavor())) {
                unreachable("unexpected flavor in union accumulator: ", sketch->flavor());
            }
            switch_to_matrix();
        }
        BitMatrix& matrix = std::get<BitMatrix>(state_);
        if (flavor == Flavor::sliding) {
            or_rows(source.bit_matrix(), matrix);
            return;
        }
        const std::size_t row_mask = matrix.size() - 1;
        const auto window = source.window();
        for (std::size_t row = 0; row < window.size(); ++row) {
            matrix[row & row_mask] |= std::uint64_t{window[row]} << source.window_offset();
        }
        or_pairs(source.table(), matrix);
    }

    CpcSketch result() const {
        if (const auto* matrix = std::get_if<BitMatrix>(&state_)) return CpcSketch::from_bit_matrix(lg_k_, *matrix);
        const CpcSketch& sketch = std::get<CpcSketch>(state_);
        if (sketch.coupon_count() == 0) return CpcSketch(lg_k_);
        if (sketch.flavor() != Flavor::sparse) unreachable("unexpected flavor of union result: ", sketch.flavor());
        CpcSketch result = sketch;
        result.mark_merged();
        return result;
    }

private:
    void add_sparse(const CpcSketch& source) {
        if (auto* matrix = std::get_if<BitMatrix>(&state_)) {
            or_pairs(source.table(), *matrix);
            return;
        }
        CpcSketch& sketch = std::get<CpcSketch>(state_);
        const Flavor old = sketch.flavor();
        if (!is_sparse_or_empty(old)) unreachable("unexpected old flavor in union accumulator: ", old);
        if (old == Flavor::empty && source.lg_k() == lg_k_) {
            sketch = source;
            return;
        }
        walk_table(source.table(), sketch);
        if (!is_sparse_or_empty(sketch.flavor())) switch_to_matrix();
    }

    void switch_to_matrix() { state_ = std::get<CpcSketch>(state_).bit_matrix(); }

    void reduce(std::uint8_t lg_k) {
        if (auto* matrix = std::get_if<BitMatrix>(&state_)) {
            if (lg_k > lg_k_) panic("assertion failed: dst_lg_k <= src_lg_k");
            BitMatrix smaller(std::size_t{1} << lg_k, 0);
            or_rows(*matrix, smaller);
            state_ = std::move(smaller);
        } else {
            const CpcSketch old = std::get<CpcSketch>(state_);
            CpcSketch fresh(lg_k);
            if (old.coupon_count() != 0) walk_table(old.table(), fresh);
            state_ = std::move(fresh);
            if (!is_sparse_or_empty(std::get<CpcSketch>(state_).flavor())) switch_to_matrix();
        }
        lg_k_ = lg_k;
    }

    std::uint8_t lg_k_;
    std::variant<CpcSketch, BitMatrix> state_;
};

}  // namespace

void CpcSketch::merge(const CpcSketch& other) {
    if (lg_k_ < kMinLgK || lg_k_ > kMaxLgK) panic("lg_k out of range; got " + std::to_string(lg_k_));
    UnionAccumulator accumulator(lg_k_);
    accumulator.add(*this);
    accumulator.add(other);
    *this = accumulator.result();
}

}  // namespace quillo::cpc
