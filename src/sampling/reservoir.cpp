#include "sampling/reservoir.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/memory.hpp"
#include "common/saturating.hpp"
#include "sampling/random.hpp"

namespace quillo::sampling {

namespace {

constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();
// Below this many items seen per slot, searching the skip step by step is
// cheaper than the rejection method.
constexpr double kItemsPerSlotForRejection = 22.0;
// The smallest string image: its length byte.
constexpr std::size_t kMinStringBytes = 1;

// A non-negative float as a count, saturating at the largest one.
std::uint64_t to_count(double x) { return x >= 0x1p64 ? kNever : static_cast<std::uint64_t>(x); }

// In (0, 1]: a logarithm of it is finite.
double open_unit(ThreadRng& rng) { return 1.0 - rng.unit_float(); }

double square(double x) { return x * x; }

// The rejection method for skips when many items have been seen per slot:
// a candidate from a continuous envelope is accepted first by a cheap bound
// and otherwise by the exact skip probability.
std::uint64_t rejection_skip(double seen, double slots, ThreadRng& rng) {
    const double term = seen - slots + 1.0;
    for (;;) {
        const double w = std::exp(-std::log(open_unit(rng)) / slots);
        const double u = open_unit(rng);
        const double x = seen * (w - 1.0);
        const double s = std::floor(x);
        const double lhs = std::exp(std::log(u * square((seen + 1.0) / term) * (term + s) / (seen + x)) / slots);
        const double rhs = (seen + x) / (term + s) * term / seen;
        if (lhs <= rhs) return to_count(s);
        double y = u * (seen + 1.0) / term * (seen + s + 1.0) / (seen + x);
        double numerator = seen + s;
        double denominator = slots < s ? seen : seen - slots + s;
        const auto factors = static_cast<std::uint64_t>(std::min(slots, s));
        for (std::uint64_t i = 0; i < factors; ++i) {
            y = y * numerator / denominator;
            numerator -= 1.0;
            denominator -= 1.0;
        }
        if (std::exp(std::log(y) / slots) <= (seen + x) / seen) return to_count(s);
    }
}

__extension__ using Wide = unsigned __int128;

// Uniform in [0, n) for n below 2^65.
Wide uniform_below(ThreadRng& rng, Wide n) {
    if (n <= kMaxU64) return rng.uniform_index(static_cast<std::uint64_t>(n));
    for (;;) {
        const Wide high = rng.next_u64() & 1;
        const Wide r = (high << 64) | rng.next_u64();
        if (r < n) return r;
    }
}

// Calls take(i) for a uniformly chosen `wanted` of the indices 0..n-1, in
// increasing order.
template <class Take>
void choose_in_order(std::uint64_t n, std::uint64_t wanted, ThreadRng& rng, Take take) {
    for (std::uint64_t i = 0; i < n && wanted > 0; ++i) {
        if (rng.uniform_index(n - i) >= wanted) continue;
        take(i);
        --wanted;
    }
}

}  // namespace

std::uint64_t next_skip(std::uint64_t seen, std::uint64_t slots) {
    if (slots == 0) return kNever;
    ThreadRng& rng = thread_rng();
    const double l = static_cast<double>(slots);
    const double search_end = kItemsPerSlotForRejection * l;
    double t = static_cast<double>(seen);
    if (t >= search_end) return rejection_skip(t, l, rng);
    const double v = open_unit(rng);
    double survival = 1.0;
    std::uint64_t skipped = 0;
    for (; t < search_end; ++skipped) {
        t += 1.0;
        survival *= (t - l) / t;
        if (!(survival > v)) return skipped;
    }
    // The skip is at least `skipped`; the rest is distributed as a fresh skip
    // after item t.
    return saturating_add(skipped, rejection_skip(t, l, rng));
}

// ---------------------------------------------------------------- shared fields

bool Reservoir::count_and_fill(std::string_view item) {
    const bool room = holds_everything() && items_.size() < capacity_;
    items_seen_ = saturating_add(items_seen_, 1);
    if (room) items_.emplace_back(item);
    return room;
}

void Reservoir::take_union(const Reservoir& other) {
    ThreadRng& rng = thread_rng();
    const Wide total = Wide{items_seen_} + other.items_seen_;
    // A side that dropped items can give at most its reservoir.
    Wide size = std::min<Wide>(capacity_, total);
    if (!holds_everything()) size = std::min<Wide>(size, items_.size());
    if (!other.holds_everything()) size = std::min<Wide>(size, other.items_.size());
    // How many of the union's sample come from this side: hypergeometric.
    std::uint64_t mine = 0;
    Wide mine_left = items_seen_;
    Wide left = total;
    for (Wide i = 0; i < size; ++i, --left) {
        if (uniform_below(rng, left) >= mine_left) continue;
        ++mine;
        --mine_left;
    }
    std::vector<std::string> merged;
    merged.reserve(static_cast<std::size_t>(size));
    choose_in_order(items_.size(), mine, rng, [&](std::uint64_t i) { merged.push_back(std::move(items_[i])); });
    choose_in_order(other.items_.size(), static_cast<std::uint64_t>(size) - mine, rng,
                    [&](std::uint64_t i) { merged.push_back(other.items_[i]); });
    items_ = std::move(merged);
    items_seen_ = static_cast<std::uint64_t>(std::min<Wide>(total, kMaxU64));
}

void Reservoir::reset() {
    items_.clear();
    items_seen_ = 0;
}

void Reservoir::write_fields(encoding::Writer& w) const {
    w.sequence(items_, [](encoding::Writer& out, const std::string& s) { out.string(s); });
    w.u64(capacity_);
    w.u64(items_seen_);
}

void Reservoir::read_fields(encoding::Reader& r) {
    items_ = r.sequence<std::string>(kMinStringBytes, [](encoding::Reader& in) { return in.string(); });
    capacity_ = r.u64();
    items_seen_ = r.u64();
    if (items_.size() > capacity_) throw encoding::DecodeFailure{"sample larger than the capacity"};
    if (items_seen_ < items_.size()) throw encoding::DecodeFailure{"fewer items seen than sampled"};
}

// ---------------------------------------------------------------- sampler R

void ReservoirSamplerR::add(std::string_view item) {
    if (count_and_fill(item)) return;
    const std::uint64_t j = thread_rng().uniform_index(items_seen_);
    if (j < items_.size()) items_[j] = item;
}

// A reservoir that holds its whole stream is that stream, offered item by item.
void ReservoirSamplerR::merge(const ReservoirSamplerR& other) {
    if (!other.holds_everything()) {
        take_union(other);
        return;
    }
    for (const std::string& item : other.items_) add(item);
}

std::vector<std::uint8_t> ReservoirSamplerR::to_bytes() const {
    encoding::Writer w;
    write_fields(w);
    return w.take();
}

ReservoirSamplerR ReservoirSamplerR::from_bytes(std::span<const std::uint8_t> data) {
    return encoding::decode("ReservoirSamplerR", data, [](encoding::Reader& r) {
        ReservoirSamplerR sampler(0);
        sampler.read_fields(r);
        return sampler;
    });
}

// ---------------------------------------------------------------- sampler A

ReservoirSamplerA::ReservoirSamplerA(std::uint64_t capacity) : Reservoir(capacity) { reset_skip(); }

void ReservoirSamplerA::reset_skip() { skip_ = capacity_ == 0 ? kNever : 0; }

void ReservoirSamplerA::add(std::string_view item) {
    if (count_and_fill(item)) {
        if (is_full()) skip_ = next_skip(items_seen_, capacity_);
        return;
    }
    if (skip_ > 0) {
        --skip_;
        return;
    }
    // An empty full reservoir (capacity 0, or a union with a side that kept
    // nothing) has no entry to replace.
    if (items_.empty()) return;
    items_[thread_rng().uniform_index(items_.size())] = item;
    skip_ = next_skip(items_seen_, items_.size());
}

// A reservoir that holds its whole stream is that stream, offered item by
// item; otherwise the skip is drawn afresh for the union's count.
void ReservoirSamplerA::merge(const ReservoirSamplerA& other) {
    if (!other.holds_everything()) {
        take_union(other);
        skip_ = next_skip(items_seen_, items_.size());
        return;
    }
    for (const std::string& item : other.items_) add(item);
}

void ReservoirSamplerA::clear() {
    reset();
    reset_skip();
}

void ReservoirSamplerA::write(encoding::Writer& w) const {
    write_fields(w);
    w.u64(skip_);
}

ReservoirSamplerA ReservoirSamplerA::read(encoding::Reader& r) {
    ReservoirSamplerA sampler(0);
    sampler.read_fields(r);
    sampler.skip_ = r.u64();
    return sampler;
}

std::vector<std::uint8_t> ReservoirSamplerA::to_bytes() const {
    encoding::Writer w;
    write(w);
    return w.take();
}

ReservoirSamplerA ReservoirSamplerA::from_bytes(std::span<const std::uint8_t> data) {
    return encoding::decode("ReservoirSamplerA", data, [](encoding::Reader& r) { return read(r); });
}

std::size_t Reservoir::heap_bytes() const { return heap_bytes_of(items_); }

}  // namespace quillo::sampling
