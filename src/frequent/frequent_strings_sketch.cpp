#include "frequent/frequent_strings_sketch.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <random>

#include "common/error.hpp"
#include "common/memory.hpp"
#include "common/saturating.hpp"
#include "encoding/encoding.hpp"

namespace quillo::frequent {

namespace {

constexpr std::string_view kName = "FrequentItemsSketch";
constexpr double kMapSizePerErrorRate = 3.5;
constexpr std::uint64_t kEntryBytes = 32;
constexpr std::uint64_t kFixedBytes = 48;
// The map is pre-sized for its bound and the one entry that overflows it, up to
// this many entries; beyond it, it grows as entries arrive.
constexpr std::uint64_t kMaxReservedEntries = std::uint64_t{1} << 20;
// An entry's image is at least a length byte and a count byte.
constexpr std::size_t kMinEntryBytes = 2;

std::uint64_t fresh_map_seed() {
    static std::atomic<std::uint64_t> next{(std::uint64_t{std::random_device{}()} << 32) ^ std::random_device{}()};
    return next.fetch_add(hash::kRowStep, std::memory_order_relaxed);
}

bool in_open_unit_interval(double x) { return x > 0 && x < 1; }

[[noreturn]] void corrupt(const std::string& reason) { encoding::decode_failed(kName, reason.c_str()); }

void sort_by_count(std::vector<Record>& records) {
    std::stable_sort(records.begin(), records.end(),
                     [](const Record& a, const Record& b) { return std::get<1>(a) > std::get<1>(b); });
}

}  // namespace

FrequentStringsSketch::FrequentStringsSketch(std::uint64_t max_map_size, std::size_t reserved)
    : max_map_size_(max_map_size), counters_(reserved, fresh_map_seed()) {}

FrequentStringsSketch::FrequentStringsSketch(std::uint64_t max_map_size)
    : FrequentStringsSketch(max_map_size, std::min(max_map_size, kMaxReservedEntries) + 1) {
    if (max_map_size == 0) panic("Max map size must be positive");
}

FrequentStringsSketch FrequentStringsSketch::with_error_rate(double error_rate, double confidence) {
    if (!in_open_unit_interval(error_rate)) panic("Error rate must be between 0 and 1");
    if (!in_open_unit_interval(confidence)) panic("Confidence must be between 0 and 1");
    return FrequentStringsSketch(saturating_u64(std::ceil(kMapSizePerErrorRate / error_rate)));
}

// Removes at least one entry when the map is not empty. Counts of 0 come
// only from decoded images and are dropped without moving the offset.
void FrequentStringsSketch::purge() {
    if (counters_.empty()) return;
    const std::uint64_t smallest = counters_.smallest_count();
    offset_ = saturating_add(offset_, smallest);
    counters_.cut(smallest);
}

// Purging until the map and the arrivals fit, in one cut: after the zero
// counts, each purge lowers every count by the smallest remaining one, so the
// purges together lower them by the smallest count that leaves at most
// `max_map_size_` counts above it, the (size - max_map_size_)-th smallest.
void FrequentStringsSketch::purge_to_bound(Arrivals& arrivals) {
    const auto size = [&] { return counters_.size() + arrivals.size(); };
    if (size() <= max_map_size_) return;
    const auto smallest_arrival = std::min_element(arrivals.begin(), arrivals.end(),
                                                   [](const auto& a, const auto& b) { return a.second < b.second; });
    if (counters_.smallest_count() == 0 || (smallest_arrival != arrivals.end() && smallest_arrival->second == 0)) {
        cut(arrivals, 0);
        if (size() <= max_map_size_) return;
    }
    const std::uint64_t lowered = kth_smallest_count(arrivals, size() - max_map_size_);
    offset_ = saturating_add(offset_, lowered);
    cut(arrivals, lowered);
}

// Drops every count of the map and the arrivals that is at most `amount` and lowers the others by it.
void FrequentStringsSketch::cut(Arrivals& arrivals, std::uint64_t amount) {
    counters_.cut(amount);
    std::erase_if(arrivals, [amount](const auto& arrival) { return arrival.second <= amount; });
    for (auto& arrival : arrivals) arrival.second -= amount;
}

// k counts from 1, over the counts of the map and the arrivals together.
std::uint64_t FrequentStringsSketch::kth_smallest_count(const Arrivals& arrivals, std::size_t k) const {
    std::vector<std::uint64_t> counts;
    counts.reserve(counters_.size() + arrivals.size());
    counters_.for_each([&](std::string_view, std::uint64_t count) { counts.push_back(count); });
    for (const auto& arrival : arrivals) counts.push_back(arrival.second);
    const auto kth = counts.begin() + static_cast<std::ptrdiff_t>(k - 1);
    std::nth_element(counts.begin(), kth, counts.end());
    return *kth;
}

void FrequentStringsSketch::update(std::string_view item) {
    stream_length_ = saturating_add(stream_length_, 1);
    if (counters_.add(item, 1) && counters_.size() > max_map_size_) purge();
}

// A tracked count lies between the true frequency minus `offset` and the
// true frequency, so the frequency lies between count and count + offset.
Record FrequentStringsSketch::record(std::string_view item, std::uint64_t count) const {
    return {std::string(item), count, count, saturating_add(count, offset_)};
}

std::vector<Record> FrequentStringsSketch::records_above(std::uint64_t threshold) const {
    std::vector<Record> records;
    counters_.for_each([&](std::string_view item, std::uint64_t count) {
        if (count > threshold) records.push_back(record(item, count));
    });
    sort_by_count(records);
    return records;
}

std::vector<Record> FrequentStringsSketch::get_frequent_items(std::uint64_t threshold) const {
    return records_above(threshold);
}

std::vector<Record> FrequentStringsSketch::get_frequent_items_by_fraction(double threshold_fraction) const {
    if (!(threshold_fraction >= 0 && threshold_fraction <= 1)) panic("Threshold fraction must be between 0 and 1");
    return records_above(saturating_u64(threshold_fraction * static_cast<double>(stream_length_)));
}

std::vector<Record> FrequentStringsSketch::get_top_k(std::uint64_t k) const {
    std::vector<Record> records;
    records.reserve(counters_.size());
    counters_.for_each([&](std::string_view item, std::uint64_t count) { records.push_back(record(item, count)); });
    sort_by_count(records);
    if (records.size() > k) records.resize(k);
    return records;
}

std::optional<std::uint64_t> FrequentStringsSketch::get_estimate(std::string_view item) const {
    const std::uint64_t* count = counters_.find(item);
    if (count == nullptr) return std::nullopt;
    return *count;
}

std::optional<std::pair<std::uint64_t, std::uint64_t>> FrequentStringsSketch::get_bounds(std::string_view item) const {
    const std::uint64_t* count = counters_.find(item);
    if (count == nullptr) return std::nullopt;
    return std::pair{*count, saturating_add(*count, offset_)};
}

void FrequentStringsSketch::merge(const FrequentStringsSketch& other) {
    if (other.max_map_size_ != max_map_size_) fail("Cannot merge sketches with different map sizes");
    stream_length_ = saturating_add(stream_length_, other.stream_length_);
    offset_ = saturating_add(offset_, other.offset_);
    // Strings new to this map wait beside it until the purges are done, so
    // that the map never holds more than its bound and the strings that the
    // purges remove are never stored.
    Arrivals arrivals;
    other.counters_.for_each([&](std::string_view item, std::uint64_t count) {
        if (!counters_.add_if_held(item, count)) arrivals.emplace_back(item, count);
    });
    purge_to_bound(arrivals);
    counters_.reserve(counters_.size() + arrivals.size());
    for (const auto& [item, count] : arrivals) counters_.add(item, count);
}

void FrequentStringsSketch::clear() {
    counters_.clear();
    stream_length_ = 0;
    offset_ = 0;
}

Stats FrequentStringsSketch::statistics() const {
    const std::uint64_t size = counters_.size();
    Stats stats;
    stats.add("max_map_size", max_map_size_)
        .add("current_map_size", size)
        .add("stream_length", stream_length_)
        .add("total_tracked_frequency", counters_.total_count())
        .add("offset", offset_)
        .add("memory_usage", size * kEntryBytes + kFixedBytes);
    return stats;
}

// Entries are written sorted by string, so equal sketches write equal images
// whatever their maps' seeds.
std::vector<std::uint8_t> FrequentStringsSketch::to_bytes() const {
    std::vector<std::pair<std::string_view, std::uint64_t>> entries;
    entries.reserve(counters_.size());
    counters_.for_each([&](std::string_view item, std::uint64_t count) { entries.emplace_back(item, count); });
    std::sort(entries.begin(), entries.end());
    encoding::Writer w;
    w.u64(max_map_size_);
    w.u64(stream_length_);
    w.u64(offset_);
    w.sequence(entries, [](encoding::Writer& out, const std::pair<std::string_view, std::uint64_t>& entry) {
        out.string(entry.first);
        out.u64(entry.second);
    });
    return w.take();
}

// Every update adds one to the stream length and at most one to the tracked
// counts, and every purge adds to the offset at most what it takes from them,
// so the counts and the offset never sum to more than the stream length
// (unless that saturated). A decoded state must keep this and the map's bound.
void FrequentStringsSketch::check_decoded() const {
    if (max_map_size_ == 0) corrupt("max_map_size is 0");
    if (counters_.size() > max_map_size_) {
        corrupt(std::to_string(counters_.size()) + " entries exceed max_map_size " + std::to_string(max_map_size_));
    }
    if (saturating_add(counters_.total_count(), offset_) > stream_length_) {
        corrupt("counts and offset sum to more than the stream length");
    }
}

FrequentStringsSketch FrequentStringsSketch::from_bytes(std::span<const std::uint8_t> data) {
    FrequentStringsSketch sketch = encoding::decode(kName, data, [](encoding::Reader& r) {
        const std::uint64_t max_map_size = r.u64();
        const std::uint64_t stream_length = r.u64();
        const std::uint64_t offset = r.u64();
        const std::size_t entries = r.length(kMinEntryBytes);
        FrequentStringsSketch decoded(max_map_size, std::min<std::uint64_t>(entries, max_map_size));
        decoded.stream_length_ = stream_length;
        decoded.offset_ = offset;
        for (std::size_t i = 0; i < entries; ++i) {
            const std::string item = r.string();
            decoded.counters_.assign(item, r.u64());
        }
        return decoded;
    });
    sketch.check_decoded();
    return sketch;
}

std::size_t FrequentStringsSketch::heap_bytes() const { return heap_bytes_of(counters_); }

}  // namespace quillo::frequent
