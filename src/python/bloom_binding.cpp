#include "bloom/bloom_filter.hpp"
#include "bloom/counting_bloom_filter.hpp"
#include "bloom/probe.hpp"
#include "python/bulk.hpp"
#include "python/classes.hpp"
#include "python/frame.hpp"

#include <algorithm>
#include <cmath>

namespace quillo::py {
namespace {

using bloom::BloomFilter;
using bloom::CountingBloomFilter;

constexpr const char* kAddManyDoc = "Add every str of a column (nulls skipped).";
constexpr const char* kContainsManyDoc =
    "Check every str of a column: a list of bools by position, None for null rows.";
constexpr const char* kToBytesDoc = "Serialize the filter to bytes.";
constexpr const char* kFromBytesDoc = "Deserialize the filter from bytes.";
constexpr const char* kReduceDoc = "Support pickling via the from_bytes reconstructor.";

Description describe(const BloomFilter& filter) {
    return Description()
        .exact("num_bits", filter.num_bits())
        .exact("num_hash_functions", filter.num_hash_functions())
        .approx_small("false_positive_probability", filter.false_positive_probability());
}

// The chance that an absent item finds all its counters non-zero.
double false_positive_probability(const CountingBloomFilter& filter) {
    const auto counters = filter.counters();
    const auto used = std::count_if(counters.begin(), counters.end(), [](std::uint8_t c) { return c != 0; });
    const double fill = static_cast<double>(used) / static_cast<double>(counters.size());
    return std::pow(fill, static_cast<double>(filter.num_hash_functions()));
}

Description describe(const CountingBloomFilter& filter) {
    return Description()
        .exact("num_counters", filter.num_counters())
        .exact("num_hash_functions", filter.num_hash_functions())
        .exact("max_count", filter.max_count())
        .approx_small("false_positive_probability", false_positive_probability(filter));
}

}  // namespace

PyTypeObject* build_bloom_filter() {
    return Class<BloomFilter>("BloomFilter", "Python binding for Bloom Filter.")
        .constructor<&new_state<BloomFilter, std::uint64_t, double>, "capacity",
                     with_default("error_rate", bloom::kDefaultErrorRate)>()
        .repr<&describe>()
        .method<"add", &BloomFilter::add, "item">("Add an element to the filter.")
        .method<"add_many", &bulk::string_blocks<&BloomFilter::add_block>, "items">(kAddManyDoc)
        .method<"contains", &BloomFilter::contains, "item">("Check if an element might be in the filter.")
        .method<"contains_many", &bulk::query_string_blocks<&BloomFilter::contains_block>, "items">(kContainsManyDoc)
        .method<"clear", &BloomFilter::clear>("Clear the filter.")
        .method<"false_positive_probability", &BloomFilter::false_positive_probability>(
            "Get the current false positive probability.")
        .method<"statistics", &BloomFilter::statistics>("Get filter statistics as a dictionary.")
        .bytes<&BloomFilter::to_bytes, &BloomFilter::from_bytes>(kToBytesDoc, kFromBytesDoc, kReduceDoc)
        .build();
}

PyTypeObject* build_counting_bloom_filter() {
    return Class<CountingBloomFilter>("CountingBloomFilter", "Python binding for Counting Bloom Filter.")
        .constructor<&new_state<CountingBloomFilter, std::uint64_t, double, std::uint8_t>, "capacity",
                     with_default("error_rate", bloom::kDefaultErrorRate),
                     with_default("max_count", bloom::kDefaultMaxCount)>()
        .repr<&describe>()
        .method<"add", &CountingBloomFilter::add, "item">("Add an element to the filter.")
        .method<"add_many", &bulk::strings<&CountingBloomFilter::add>, "items">(kAddManyDoc)
        .method<"remove", &CountingBloomFilter::remove, "item">("Remove an element from the filter.")
        .method<"contains", &CountingBloomFilter::contains, "item">("Check if an element might be in the filter.")
        .method<"contains_many", &bulk::query_strings<&CountingBloomFilter::contains>, "items">(kContainsManyDoc)
        .bytes<&CountingBloomFilter::to_bytes, &CountingBloomFilter::from_bytes>(kToBytesDoc, kFromBytesDoc, kReduceDoc)
        .build();
}

}  // namespace quillo::py
