#include "bloom/bloom_filter.hpp"
#include "drive.hpp"

using quillo::bloom::BloomFilter;

namespace {

void exercise(BloomFilter& s, const BloomFilter& copy, const quillo::fuzz::Feed& feed) {
    for (const auto& item : feed.items) (void)s.contains(item);
    (void)s.false_positive_probability();
    (void)s.statistics();
    for (const auto& item : feed.items) s.add(item);
    for (const auto& item : feed.items) {
        if (!s.contains(item)) quillo::fuzz::finding("an added item is missing");
    }
    (void)s.false_positive_probability();
    BloomFilter cleared = copy;
    cleared.clear();
    (void)cleared.statistics();
}

}  // namespace

QUILLO_FUZZ_TARGET(BloomFilter, true, exercise)
