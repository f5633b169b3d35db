#include "tuple/tuple_sketch.hpp"

#include <algorithm>
#include <new>
#include <string>
#include <utility>

#include "codec/codec.hpp"
#include "common/error.hpp"
#include "common/memory.hpp"
#include "encoding/encoding.hpp"
#include "hash/hash.hpp"
#include "theta/sample_bounds.hpp"

namespace quillo::tuple {

using theta::ZeroedArray;

namespace {

constexpr unsigned kMaxLgK = theta::kMaxLgSize - 1;

[[noreturn]] void refuse(const std::string& reason) { codec::corrupt_data("TupleSketch decode failed: " + reason); }

}  // namespace

TupleSketch::TupleSketch(std::uint64_t k, unsigned lg_k, unsigned lg_size, std::uint64_t theta)
    : k_(k),
      lg_size_(static_cast<std::uint8_t>(lg_size)),
      lg_k_(static_cast<std::uint8_t>(lg_k)),
      keys_(lg_size),
      values_(lg_size),
      theta_(theta) {}

TupleSketch TupleSketch::create(std::uint64_t k) {
    const unsigned lg_k = theta::ceil_lg(k);
    if (lg_k > kMaxLgK) fail("k must be at most 2^59, got " + std::to_string(k));
    try {
        return TupleSketch(std::uint64_t{1} << lg_k, lg_k, lg_k + 1, theta::kExactTheta);
    } catch (const std::bad_alloc&) {
        fail("k=" + std::to_string(k) + " needs a table of 2^" + std::to_string(lg_k + 1) +
             " slots, which cannot be allocated");
    }
}

std::uint64_t TupleSketch::fill_limit() const {
    return lg_size_ > lg_k_ ? theta::load_limit(lg_size_) : (std::uint64_t{1} << lg_size_) / 2;
}

void TupleSketch::place(ZeroedArray<std::uint64_t>& keys, ZeroedArray<double>& values, unsigned lg, std::uint64_t key,
                        double value) {
    const std::uint64_t i = theta::probe(keys.data(), lg, key);
    keys[i] = key;
    values[i] = value;
}

void TupleSketch::update(std::string_view item, double value) {
    std::uint64_t h = hash::item_hash128(item).high;
    if (h == 0) h = 1;  // 0 marks an empty slot
    if (h >= theta_) return;
    const std::uint64_t i = theta::probe(keys_.data(), lg_size_, h);
    if (keys_[i] == h) {
        values_[i] += value;
        return;
    }
    keys_[i] = h;
    values_[i] = value + 0.0;  // a negative zero is stored as zero
    if (++count_ <= fill_limit()) return;
    if (lg_size_ > lg_k_) {
        rebuild();
    } else {
        grow();
    }
}

double TupleSketch::lower_bound(double confidence) const {
    return theta::sample_interval(count_, theta_, confidence).lower;
}

double TupleSketch::upper_bound(double confidence) const {
    return theta::sample_interval(count_, theta_, confidence).upper;
}

// Linear in the table size: a selection finds the cut, no sort.
void TupleSketch::rebuild() {
    std::vector<std::pair<std::uint64_t, double>> entries;
    entries.reserve(count_);
    for (std::uint64_t i = 0; i < keys_.size(); ++i) {
        if (keys_[i] != 0) entries.emplace_back(keys_[i], values_[i]);
    }
    const auto cut = entries.begin() + static_cast<std::ptrdiff_t>(k_);
    std::nth_element(entries.begin(), cut, entries.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    theta_ = cut->first;
    ZeroedArray<std::uint64_t> keys(lg_size_);
    ZeroedArray<double> values(lg_size_);
    count_ = 0;
    for (auto it = entries.begin(); it != cut; ++it) {
        if (it->first == 0 || it->first >= theta_) continue;
        place(keys, values, lg_size_, it->first, it->second);
        ++count_;
    }
    keys_ = std::move(keys);
    values_ = std::move(values);
}

void TupleSketch::grow() {
    const unsigned lg = lg_size_ + 1u;
    ZeroedArray<std::uint64_t> keys(lg);
    ZeroedArray<double> values(lg);
    for (std::uint64_t i = 0; i < keys_.size(); ++i) {
        if (keys_[i] != 0) place(keys, values, lg, keys_[i], values_[i]);
    }
    keys_ = std::move(keys);
    values_ = std::move(values);
    lg_size_ = static_cast<std::uint8_t>(lg);
}

std::vector<std::uint8_t> TupleSketch::to_bytes() const {
    encoding::Writer out;
    out.u64(k_);
    out.u8(lg_size_);
    out.u8(lg_k_);
    out.sequence(keys_, [](encoding::Writer& w, std::uint64_t key) { w.u64(key); });
    out.size(values_.size());
    for (std::uint64_t i = 0; i < values_.size(); ++i) {
        const bool present = keys_[i] != 0;
        out.u8(present ? 1 : 0);
        if (present) out.f64(values_[i]);
    }
    out.u64(count_);
    out.u64(theta_);
    return out.take();
}

TupleSketch TupleSketch::from_bytes(std::span<const std::uint8_t> data) {
    return encoding::decode("TupleSketch", data, [](encoding::Reader& r) {
        const std::uint64_t k = r.u64();
        const unsigned lg_size = r.u8();
        const unsigned lg_k = r.u8();
        if (lg_k > kMaxLgK || k != std::uint64_t{1} << lg_k) {
            refuse("k=" + std::to_string(k) + " does not match lg_k=" + std::to_string(lg_k));
        }
        const std::uint64_t slots = r.length(1);
        if (lg_size > theta::kMaxLgSize || slots != std::uint64_t{1} << lg_size) {
            refuse(std::to_string(slots) + " keys for lg_size=" + std::to_string(lg_size));
        }
        TupleSketch sketch(k, lg_k, lg_size, theta::kExactTheta);
        for (std::uint64_t& key : sketch.keys_) key = r.u64();
        if (r.length(1) != slots) refuse("keys and values differ in length");
        std::uint64_t occupied = 0;
        for (std::uint64_t i = 0; i < slots; ++i) {
            const bool present = r.option();
            if (present) sketch.values_[i] = r.f64();
            if (present != (sketch.keys_[i] != 0)) refuse("slot " + std::to_string(i) + " has a key without a value");
            occupied += present;
        }
        sketch.count_ = r.u64();
        sketch.theta_ = r.u64();
        if (sketch.count_ != occupied) {
            refuse("count=" + std::to_string(sketch.count_) + " but " + std::to_string(occupied) +
                   " slots are occupied");
        }
        if (sketch.count_ > sketch.fill_limit()) refuse("the table is filled past its limit");
        if (sketch.theta_ == 0) refuse("theta is 0");
        return sketch;
    });
}

std::size_t TupleSketch::heap_bytes() const { return keys_.heap_bytes() + values_.heap_bytes(); }

}  // namespace quillo::tuple
