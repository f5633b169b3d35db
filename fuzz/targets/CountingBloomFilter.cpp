#include "bloom/counting_bloom_filter.hpp"
#include "drive.hpp"

using quillo::bloom::CountingBloomFilter;

namespace {

void exercise(CountingBloomFilter& s, const CountingBloomFilter&, const quillo::fuzz::Feed& feed) {
    for (const auto& item : feed.items) (void)s.contains(item);
    for (const auto& item : feed.items) s.add(item);
    for (const auto& item : feed.items) (void)s.remove(item);
    for (const auto& item : feed.items) (void)s.remove(item);
    for (const auto& item : feed.items) (void)s.contains(item);
}

}  // namespace

QUILLO_FUZZ_TARGET(CountingBloomFilter, true, exercise)
