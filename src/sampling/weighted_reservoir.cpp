#include "sampling/weighted_reservoir.hpp"

#include <algorithm>
#include <cmath>

#include "codec/codec.hpp"
#include "common/error.hpp"
#include "encoding/encoding.hpp"
#include "sampling/random.hpp"

namespace quillo::sampling {

namespace {

constexpr const char* kName = "WeightedReservoirSampler";
// Length byte of the item, then the weight and the key.
constexpr std::size_t kMinEntryBytes = 1 + 2 * sizeof(double);

// Sample order: largest key first, earlier arrival first among equal keys.
bool sorts_before(const WeightedEntry& a, const WeightedEntry& b) {
    return a.key > b.key || (a.key == b.key && a.rank < b.rank);
}

[[noreturn]] void corrupt(const char* reason) { codec::corrupt_data(std::string(kName) + " decode failed: " + reason); }

}  // namespace

void WeightedReservoirSampler::append(std::string_view item, double weight, double key) {
    entries_.push_back({std::string(item), weight, key, next_rank_++});
}

void WeightedReservoirSampler::add_weighted(std::string_view item, double weight) {
    if (std::isnan(weight)) fail("weight must not be NaN");
    if (weight <= 0.0) return;
    total_weight_ += weight;
    const double key = std::pow(thread_rng().unit_float(), 1.0 / weight);
    if (!full()) {
        append(item, weight, key);
        if (full()) std::make_heap(entries_.begin(), entries_.end(), sorts_before);
        return;
    }
    // The last entry in sample order has the smallest key; a newcomer with a
    // larger one takes its place and sorts after every entry of equal key.
    if (entries_.empty() || !(key > entries_.front().key)) return;
    std::pop_heap(entries_.begin(), entries_.end(), sorts_before);
    WeightedEntry& slot = entries_.back();
    slot.item.assign(item);
    slot.weight = weight;
    slot.key = key;
    slot.rank = next_rank_++;
    std::push_heap(entries_.begin(), entries_.end(), sorts_before);
}

void WeightedReservoirSampler::clear() {
    entries_.clear();
    total_weight_ = 0.0;
    next_rank_ = 0;
}

std::vector<const WeightedEntry*> WeightedReservoirSampler::in_order() const {
    std::vector<const WeightedEntry*> order;
    order.reserve(entries_.size());
    for (const WeightedEntry& e : entries_) order.push_back(&e);
    if (full()) {
        std::sort(order.begin(), order.end(),
                  [](const WeightedEntry* a, const WeightedEntry* b) { return sorts_before(*a, *b); });
    }
    return order;
}

std::vector<std::string> WeightedReservoirSampler::sample() const {
    std::vector<std::string> items;
    items.reserve(entries_.size());
    for (const WeightedEntry* e : in_order()) items.push_back(e->item);
    return items;
}

std::vector<std::pair<std::string, double>> WeightedReservoirSampler::sample_with_weights() const {
    std::vector<std::pair<std::string, double>> items;
    items.reserve(entries_.size());
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
        std::uint64_t rank = 0;
        auto entries = r.sequence<WeightedEntry>(kMinEntryBytes, [&rank](encoding::Reader& in) {
            WeightedEntry e;
            e.item = in.string();
            e.weight = in.f64();
            e.key = in.f64();
            e.rank = rank++;
            return e;
        });
        WeightedReservoirSampler s(r.u64());
        s.entries_ = std::move(entries);
        s.total_weight_ = r.f64();
        s.next_rank_ = rank;
        return s;
    });
    sampler.check_decoded();
    if (sampler.full()) std::make_heap(sampler.entries_.begin(), sampler.entries_.end(), sorts_before);
    return sampler;
}

}  // namespace quillo::sampling
