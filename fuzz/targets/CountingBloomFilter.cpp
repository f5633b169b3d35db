#include "drive.hpp"
#include "bloom/counting_bloom_filter.hpp"

using quillo::bloom::CountingBloomFilter;

QUILLO_FUZZ_TARGET(CountingBloomFilter, true, [](CountingBloomFilter& s, const CountingBloomFilter&,
                                                 const quillo::fuzz::Feed& feed) {
    for (const auto& item : feed.items) (void)s.contains(item);
    for (const auto& item : feed.items) s.add(item);
    for (const auto& item : feed.items) (void)s.remove(item);
    for (const auto& item : feed.items) (void)s.remove(item);
    for (const auto& item : feed.items) (void)s.contains(item);
})
