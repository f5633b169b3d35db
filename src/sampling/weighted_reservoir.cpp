#include "sampling/weighted_reservoir.hpp"

#include <algorithm>
#include <cmath>

#include "codec/codec.hpp"
#include "common/error.hpp"
#include "common/memory.hpp"
#include "encoding/encoding.hpp"
#include "sampling/random.hpp"

namespace quillo::sampling {

namespace {

constexpr const char* kName = "WeightedReservoirSampler";
// Length byte of the item, then the weight and the key.
constexpr std::size_t kMinEntryBytes = 1 + 2 * sizeof(double);

[[noreturn]] void corrupt(const char* reason) { codec::corrupt_data(std::string(kName) + " decode failed: " + reason); }

// Sample order: largest key first, earlier arrival first among equal keys.
bool sorts_before(const WeightedEntry& a, const WeightedEntry& b) {
    return a.key > b.key || (a.key == b.key && a.arrival < b.arrival);
}

bool sorts_before_at(const WeightedEntry* a, const WeightedEntry* b) { return sorts_before(*a, *b); }

}  // namespace

void WeightedReservoirSampler::keep_best() {
    const auto last = entries_.begin() + static_cast<std::ptrdiff_t>(capacity_ - 1);
    std::nth_element(entries_.begin(), last, entries_.begin() + static_cast<std::ptrdiff_t>(used_), sorts_before);
    used_ = capacity_;
    bar_ = last->key;
}

void WeightedReservoirSampler::push(std::string_view item, double weight, double key) {
    if (used_ == entries_.size()) {
        entries_.push_back({std::string(item), weight, key, arrivals_++});
    } else {
        WeightedEntry& reused = entries_[used_];
        reused.item.assign(item);
        reused.weight = weight;
        reused.key = key;
        reused.arrival = arrivals_++;
    }
    ++used_;
}

void WeightedReservoirSampler::add_weighted(std::string_view item, double weight) {
    if (std::isnan(weight)) fail("weight must not be NaN");
    if (weight <= 0.0) return;
    total_weight_ += weight;
    const double key = std::pow(thread_rng().unit_float(), 1.0 / weight);
    if (!full()) {
        push(item, weight, key);
        if (full()) keep_best();
        return;
    }
    // A newcomer sorts after every entry of equal key, so it belongs to the
    // sample exactly when its key beats the last sample entry's; the bar is
    // never above that key, so the pool misses no member of the sample.
    if (capacity_ == 0 || !(key > bar_)) return;
    push(item, weight, key);
    if (used_ - capacity_ > capacity_ / 2) keep_best();
}

void WeightedReservoirSampler::clear() {
    entries_.clear();
    used_ = 0;
    total_weight_ = 0.0;
    arrivals_ = 0;
}

std::vector<const WeightedEntry*> WeightedReservoirSampler::in_order() const {
    std::vector<const WeightedEntry*> order;
    order.reserve(used_);
    for (std::size_t i = 0; i < used_; ++i) order.push_back(&entries_[i]);
    if (!full()) return order;
    const auto end = order.begin() + static_cast<std::ptrdiff_t>(capacity_);
    std::nth_element(order.begin(), end, order.end(), sorts_before_at);
    order.erase(end, order.end());
    std::sort(order.begin(), order.end(), sorts_before_at);
    return order;
}

std::vector<std::string> WeightedReservoirSampler::sample() const {
    std::vector<std::string> items;
    items.reserve(used_);
    for (const WeightedEntry* e : in_order()) items.push_back(e->item);
    return items;
}

std::vector<std::pair<std::string, double>> WeightedReservoirSampler::sample_with_weights() const {
    std::vector<std::pair<std::string, double>> items;
    items.reserve(used_);
    for (const WeightedEntry* e : in_order()) items.emplace_back(e->item, e->weight);
    return items;
}

std::vector<std::uint8_t> WeightedReservoirSampler::to_bytes() const {
    encoding::Writer w;
    w.sequence(in_order(), [](encoding::Writer& out, const WeightedEntry* e) {
        out.string(e->item);
        out.f64(e->weight);
        out.f64(e->key);
    });
    w.u64(capacity_);
    w.f64(total_weight_);
    return w.take();
}

// A sample never outgrows its capacity, holds only positive weights with keys
// in [0, 1], is ordered by key once full, and its total covers each weight.
void WeightedReservoirSampler::check_decoded() const {
    if (entries_.size() > capacity_) corrupt("more entries than the capacity");
    for (const WeightedEntry& e : entries_) {
        if (!(e.weight > 0.0)) corrupt("weights must be positive");
        if (!(e.key >= 0.0 && e.key <= 1.0)) corrupt("keys must lie in [0, 1]");
        if (!(total_weight_ >= e.weight)) corrupt("total weight below a sampled weight");
    }
    if (!(total_weight_ >= 0.0)) corrupt("total weight must not be negative");
    const auto by_key = [](const WeightedEntry& a, const WeightedEntry& b) { return a.key > b.key; };
    if (full() && !std::is_sorted(entries_.begin(), entries_.end(), by_key)) corrupt("full sample not ordered by key");
}

WeightedReservoirSampler WeightedReservoirSampler::from_bytes(std::span<const std::uint8_t> data) {
    WeightedReservoirSampler sampler = encoding::decode(kName, data, [](encoding::Reader& r) {
        std::uint64_t arrivals = 0;
        // A full sample is stored in sample order, so its place is its arrival rank.
        auto entries = r.sequence<WeightedEntry>(kMinEntryBytes, [&arrivals](encoding::Reader& in) {
            WeightedEntry e;
            e.item = in.string();
            e.weight = in.f64();
            e.key = in.f64();
            e.arrival = arrivals++;
            return e;
        });
        WeightedReservoirSampler s(r.u64());
        s.entries_ = std::move(entries);
        s.used_ = s.entries_.size();
        s.total_weight_ = r.f64();
        s.arrivals_ = arrivals;
        return s;
    });
    sampler.check_decoded();
    if (sampler.full() && sampler.capacity_ > 0) sampler.bar_ = sampler.entries_.back().key;
    return sampler;
}

std::size_t WeightedReservoirSampler::heap_bytes() const {
    return heap_bytes_of(entries_, [](const WeightedEntry& entry) { return heap_bytes_of(entry.item); });
}

}  // namespace quillo::sampling
