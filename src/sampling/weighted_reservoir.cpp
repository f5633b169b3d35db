#include "sampling/weighted_reservoir.hpp"

#include <algorithm>
#include <cmath>

#include "common/error.hpp"
#include "common/memory.hpp"
#include "encoding/encoding.hpp"
#include "sampling/random.hpp"

namespace quillo::sampling {

namespace {

constexpr const char* kName = "WeightedReservoirSampler";
// Length byte of the item, then the weight and the key.
constexpr std::size_t kMinEntryBytes = 1 + 2 * sizeof(double);

// Largest key first; NaN keys, which only a decoded image can hold, go last
// so that the order stays strict and weak.
bool key_before(const WeightedEntry& a, const WeightedEntry& b) {
    return a.key > b.key || (!std::isnan(a.key) && std::isnan(b.key));
}

}  // namespace

void WeightedReservoirSampler::add_weighted(std::string_view item, double weight) {
    if (std::isnan(weight)) fail("weight must not be NaN");
    if (weight <= 0.0) return;
    total_weight_ += weight;
    const double key = std::pow(thread_rng().unit_float(), 1.0 / weight);
    if (entries_.size() < capacity_) {
        entries_.push_back({std::string(item), weight, key});
        if (entries_.size() == capacity_) std::stable_sort(entries_.begin(), entries_.end(), key_before);
        return;
    }
    if (entries_.empty()) return;
    WeightedEntry entry{{}, weight, key};
    if (entries_.empty() || !key_before(entry, entries_.back())) return;
    entry.item = item;
    // The newcomer replaces the last entry and goes after every entry whose
    // key is not smaller, where a stable sort of the sorted rest puts it.
    std::size_t at = entries_.size() - 1;
    while (at > 0 && key_before(entry, entries_[at - 1])) --at;
    std::move_backward(entries_.begin() + static_cast<std::ptrdiff_t>(at), entries_.end() - 1, entries_.end());
    entries_[at] = std::move(entry);
}

void WeightedReservoirSampler::clear() {
    entries_.clear();
    total_weight_ = 0.0;
}

std::vector<std::string> WeightedReservoirSampler::sample() const {
    std::vector<std::string> items;
    items.reserve(entries_.size());
    for (const WeightedEntry& e : entries_) items.push_back(e.item);
    return items;
}

std::vector<std::pair<std::string, double>> WeightedReservoirSampler::sample_with_weights() const {
    std::vector<std::pair<std::string, double>> items;
    items.reserve(entries_.size());
    for (const WeightedEntry& e : entries_) items.emplace_back(e.item, e.weight);
    return items;
}

std::vector<std::uint8_t> WeightedReservoirSampler::to_bytes() const {
    encoding::Writer w;
    w.sequence(entries_, [](encoding::Writer& out, const WeightedEntry& e) {
        out.string(e.item);
        out.f64(e.weight);
        out.f64(e.key);
    });
    w.u64(capacity_);
    w.f64(total_weight_);
    return w.take();
}

WeightedReservoirSampler WeightedReservoirSampler::from_bytes(std::span<const std::uint8_t> data) {
    return encoding::decode(kName, data, [](encoding::Reader& r) {
        auto entries = r.sequence<WeightedEntry>(kMinEntryBytes, [](encoding::Reader& in) {
            WeightedEntry e;
            e.item = in.string();
            e.weight = in.f64();
            e.key = in.f64();
            return e;
        });
        WeightedReservoirSampler sampler(r.u64());
        sampler.entries_ = std::move(entries);
        sampler.total_weight_ = r.f64();
        return sampler;
    });
}

std::size_t WeightedReservoirSampler::heap_bytes() const {
    return heap_bytes_of(entries_, [](const WeightedEntry& entry) { return heap_bytes_of(entry.item); });
}

}  // namespace quillo::sampling
