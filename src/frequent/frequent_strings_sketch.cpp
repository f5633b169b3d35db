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
// The map is pre-sized for its bound, up to this many entries; beyond it,
// it grows as entries arrive.
constexpr std::uint64_t kMaxReservedEntries = std::uint64_t{1} << 20;
// An entry's image is at least a length byte and a count byte.
constexpr std::size_t kMinEntryBytes = 2;

std::uint64_t fresh_map_seed() {
    static std::atomic<std::uint64_t> next{(std::uint64_t{std::random_device{}()} << 32) ^ std::random_device{}()};
    return next.fetch_add(hash::kRowStep, std::memory_order_relaxed);
}

bool in_open_unit_interval(double x) { return x > 0 && x < 1; }

void sort_by_count(std::vector<Record>& records) {
    std::stable_sort(records.begin(), records.end(),
                     [](const Record& a, const Record& b) { return std::get<1>(a) > std::get<1>(b); });
}

}  // namespace

FrequentStringsSketch::FrequentStringsSketch(std::uint64_t max_map_size, std::size_t reserved)
    : max_map_size_(max_map_size), counters_(0, Hasher{fresh_map_seed()}) {
    counters_.reserve(reserved);
}

FrequentStringsSketch::FrequentStringsSketch(std::uint64_t max_map_size)
    : FrequentStringsSketch(max_map_size, std::min(max_map_size, kMaxReservedEntries)) {
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
    const std::uint64_t smallest =
        std::min_element(counters_.begin(), counters_.end(),
                         [](const auto& a, const auto& b) { return a.second < b.second; })
            ->second;
    offset_ += smallest;
    for (auto& entry : counters_) entry.second -= smallest;
    std::erase_if(counters_, [](const auto& entry) { return entry.second == 0; });
}

void FrequentStringsSketch::update(std::string_view item) {
    ++stream_length_;
    if (auto found = counters_.find(item); found != counters_.end()) {
        ++found->second;
        return;
    }
    counters_.emplace(item, 1);
    if (counters_.size() > max_map_size_) purge();
}

// A tracked count lies between the true frequency minus `offset` and the
// true frequency, so the frequency lies between count and count + offset.
Record FrequentStringsSketch::record(const Map::value_type& entry) const {
    return {entry.first, entry.second, entry.second, saturating_add(entry.second, offset_)};
}

std::vector<Record> FrequentStringsSketch::records_above(std::uint64_t threshold) const {
    std::vector<Record> records;
    for (const auto& entry : counters_) {
        if (entry.second > threshold) records.push_back(record(entry));
    }
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
    for (const auto& entry : counters_) records.push_back(record(entry));
    sort_by_count(records);
    if (records.size() > k) records.resize(k);
    return records;
}

std::optional<std::uint64_t> FrequentStringsSketch::get_estimate(std::string_view item) const {
    const auto found = counters_.find(item);
    if (found == counters_.end()) return std::nullopt;
    return found->second;
}

std::optional<std::pair<std::uint64_t, std::uint64_t>> FrequentStringsSketch::get_bounds(
    std::string_view item) const {
    const auto found = counters_.find(item);
    if (found == counters_.end()) return std::nullopt;
    return std::pair{found->second, saturating_add(found->second, offset_)};
}

void FrequentStringsSketch::merge(const FrequentStringsSketch& other) {
    if (other.max_map_size_ != max_map_size_) fail("Cannot merge sketches with different map sizes");
    stream_length_ += other.stream_length_;
    offset_ += other.offset_;
    for (const auto& [item, count] : other.counters_) {
        if (auto found = counters_.find(item); found != counters_.end()) {
            found->second += count;
        } else {
            counters_.emplace(item, count);
        }
    }
    while (counters_.size() > max_map_size_) purge();
}

void FrequentStringsSketch::clear() {
    counters_.clear();
    stream_length_ = 0;
    offset_ = 0;
}

Stats FrequentStringsSketch::statistics() const {
    std::uint64_t tracked = 0;
    for (const auto& entry : counters_) tracked += entry.second;
    const std::uint64_t size = counters_.size();
    Stats stats;
    stats.add("max_map_size", max_map_size_)
        .add("current_map_size", size)
        .add("stream_length", stream_length_)
        .add("total_tracked_frequency", tracked)
        .add("offset", offset_)
        .add("memory_usage", size * kEntryBytes + kFixedBytes);
    return stats;
}

// Entries are written sorted by string, so equal sketches write equal images
// whatever their maps' seeds.
std::vector<std::uint8_t> FrequentStringsSketch::to_bytes() const {
    std::vector<const Map::value_type*> entries;
    entries.reserve(counters_.size());
    for (const auto& entry : counters_) entries.push_back(&entry);
    std::sort(entries.begin(), entries.end(), [](const auto* a, const auto* b) { return a->first < b->first; });
    encoding::Writer w;
    w.u64(max_map_size_);
    w.u64(stream_length_);
    w.u64(offset_);
    w.sequence(entries, [](encoding::Writer& out, const Map::value_type* entry) {
        out.string(entry->first);
        out.u64(entry->second);
    });
    return w.take();
}

FrequentStringsSketch FrequentStringsSketch::from_bytes(std::span<const std::uint8_t> data) {
    return encoding::decode(kName, data, [](encoding::Reader& r) {
        const std::uint64_t max_map_size = r.u64();
        const std::uint64_t stream_length = r.u64();
        const std::uint64_t offset = r.u64();
        const std::size_t entries = r.length(kMinEntryBytes);
        FrequentStringsSketch sketch(max_map_size, entries);
        sketch.stream_length_ = stream_length;
        sketch.offset_ = offset;
        for (std::size_t i = 0; i < entries; ++i) {
            std::string item = r.string();
            sketch.counters_.insert_or_assign(std::move(item), r.u64());
        }
        return sketch;
    });
}

std::size_t FrequentStringsSketch::heap_bytes() const {
    return heap_bytes_of(counters_);
}

}  // namespace quillo::frequent
