// Drives WeightedReservoirSampler with a fixed generator and compares it,
// image by image, with the straightforward sorted-array sampler kept here as
// the reference: same draws, same samples, same order, same bytes.
#include <doctest/doctest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "encoding/encoding.hpp"
#include "sampling/random.hpp"
#include "sampling/weighted_reservoir.hpp"

namespace quillo::sampling {

namespace {

std::uint64_t stream_state = 0;
// Half of the words come from a pool of eight, so that equal keys are common.
std::uint64_t next_test_word() {
    std::uint64_t z = (stream_state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    z ^= z >> 31;
    return (z & 1) ? (z >> 61) * 0x1F00000000000000ULL : z;
}

}  // namespace

// The fixed generator replaces the operating system's entropy for this test.
void ThreadRng::refill() {
    for (std::uint32_t& word : block_) word = static_cast<std::uint32_t>(next_test_word());
    next_word_ = 0;
}

ThreadRng& thread_rng() {
    static ThreadRng rng;
    return rng;
}

}  // namespace quillo::sampling

namespace {

using quillo::sampling::thread_rng;
using quillo::sampling::ThreadRng;
using quillo::sampling::WeightedReservoirSampler;
using Bytes = std::vector<std::uint8_t>;

// The sampler as first written: entries sorted by key on filling, each
// accepted item inserted at its place by shifting the smaller ones.
class Reference {
public:
    explicit Reference(std::uint64_t capacity) : capacity_(capacity) {}

    void add_weighted(const std::string& item, double weight) {
        if (weight <= 0.0) return;
        total_ += weight;
        const double key = std::pow(thread_rng().unit_float(), 1.0 / weight);
        if (entries_.size() < capacity_) {
            entries_.push_back({item, weight, key});
            if (entries_.size() == capacity_) std::stable_sort(entries_.begin(), entries_.end(), before);
            return;
        }
        if (entries_.empty() || !(key > entries_.back().key)) return;
        Entry entry{item, weight, key};
        std::size_t at = entries_.size() - 1;
        while (at > 0 && before(entry, entries_[at - 1])) --at;
        std::move_backward(entries_.begin() + static_cast<std::ptrdiff_t>(at), entries_.end() - 1, entries_.end());
        entries_[at] = entry;
    }

    void clear() {
        entries_.clear();
        total_ = 0.0;
    }

    Bytes to_bytes() const {
        quillo::encoding::Writer w;
        w.sequence(entries_, [](quillo::encoding::Writer& out, const Entry& e) {
            out.string(e.item);
            out.f64(e.weight);
            out.f64(e.key);
        });
        w.u64(capacity_);
        w.f64(total_);
        return w.take();
    }

private:
    struct Entry {
        std::string item;
        double weight;
        double key;
    };
    static bool before(const Entry& a, const Entry& b) { return a.key > b.key; }

    std::vector<Entry> entries_;
    std::uint64_t capacity_;
    double total_ = 0.0;
};

std::uint64_t digest = 0xCBF29CE484222325ULL;
constexpr std::uint64_t kRecordedDigest = 0xC3F8117AB6F633E4ULL;

void absorb(const Bytes& image) {
    for (std::uint8_t byte : image) digest = (digest ^ byte) * 0x100000001B3ULL;
}

double weight_of(std::uint64_t i, std::uint64_t pattern) {
    switch (pattern) {
        case 0: return 1.0;
        case 1: return 1.0 + static_cast<double>(i % 7);
        case 2: return i % 5 == 0 ? std::numeric_limits<double>::infinity() : 0.5;
        case 3: return i % 3 == 0 ? 5e-324 : (i % 3 == 1 ? -1.0 : 1e300);
        default: return std::pow(1.01, static_cast<double>(i % 400));
    }
}

// Runs one stream through both samplers from the same generator position; the
// sampler under test is also re-read from its own image now and then. Returns
// how many items were added before the images first differed (all of them if
// they never did).
std::uint64_t run_stream(std::uint64_t capacity, std::uint64_t pattern, std::uint64_t length, std::uint64_t seed) {
    Reference reference(capacity);
    WeightedReservoirSampler sampler(capacity);
    std::uint64_t reference_position = seed;
    std::uint64_t sampler_position = seed;
    ThreadRng reference_rng;
    ThreadRng sampler_rng;
    std::uint64_t equal_images = 0;
    for (std::uint64_t i = 0; i < length; ++i) {
        const std::string item = "item-" + std::to_string(i);
        const double weight = weight_of(i, pattern);
        // Each sampler draws from its own copy of the fixed stream.
        quillo::sampling::stream_state = reference_position;
        thread_rng() = reference_rng;
        reference.add_weighted(item, weight);
        reference_position = quillo::sampling::stream_state;
        reference_rng = thread_rng();
        quillo::sampling::stream_state = sampler_position;
        thread_rng() = sampler_rng;
        sampler.add_weighted(item, weight);
        sampler_position = quillo::sampling::stream_state;
        sampler_rng = thread_rng();
        if (i % 997 == 996) {
            reference.clear();
            sampler.clear();
        }
        if (i % 13 == 0) sampler = WeightedReservoirSampler::from_bytes(sampler.to_bytes());
        const Bytes image = sampler.to_bytes();
        const bool same = image == reference.to_bytes();
        absorb(image);
        if (!same) break;
        ++equal_images;
    }
    return equal_images;
}

std::string hex(std::uint64_t x) {
    char text[20];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(x));
    return text;
}

// The digest covers the streams in order, so they run in one test case.
TEST_CASE("the weighted sampler writes the sorted-array reference's images") {
    constexpr std::uint64_t kLength = 1500;
    std::uint64_t seed = 1;
    for (std::uint64_t capacity : {0, 1, 2, 3, 20, 21, 22, 100, 257}) {
        for (std::uint64_t pattern = 0; pattern < 5; ++pattern) {
            INFO("capacity ", capacity, " pattern ", pattern);
            CHECK(run_stream(capacity, pattern, kLength, seed++) == kLength);
        }
    }
    // Recorded from the sorted-array sampler itself, so that the reference
    // above is known to be faithful to it.
    CHECK(hex(digest) == hex(kRecordedDigest));
}

}  // namespace
