#include "bloom/bloom_filter.hpp"
#include "bloom/counting_bloom_filter.hpp"
#include "bloom/probe.hpp"
#include "python/bulk.hpp"
#include "python/frame.hpp"

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

BloomFilter make_bloom_filter(std::uint64_t capacity, std::optional<double> error_rate) {
    return BloomFilter(capacity, error_rate.value_or(bloom::kDefaultErrorRate));
}

PyTypeObject* build_bloom_filter() {
    return Class<BloomFilter>("BloomFilter", "Python binding for Bloom Filter.")
        .constructor<&make_bloom_filter, "capacity", "error_rate">()
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

const Registration bloom_filter("BloomFilter", &build_bloom_filter);

CountingBloomFilter make_counting_bloom_filter(std::uint64_t capacity, std::optional<double> error_rate,
                                               std::optional<std::uint8_t> max_count) {
    return CountingBloomFilter(capacity, error_rate.value_or(bloom::kDefaultErrorRate),
                               max_count.value_or(bloom::kDefaultMaxCount));
}

PyTypeObject* build_counting_bloom_filter() {
    return Class<CountingBloomFilter>("CountingBloomFilter", "Python binding for Counting Bloom Filter.")
        .constructor<&make_counting_bloom_filter, "capacity", "error_rate", "max_count">()
        .method<"add", &CountingBloomFilter::add, "item">("Add an element to the filter.")
        .method<"add_many", &bulk::strings<&CountingBloomFilter::add>, "items">(kAddManyDoc)
        .method<"remove", &CountingBloomFilter::remove, "item">("Remove an element from the filter.")
        .method<"contains", &CountingBloomFilter::contains, "item">("Check if an element might be in the filter.")
        .method<"contains_many", &bulk::query_strings<&CountingBloomFilter::contains>, "items">(kContainsManyDoc)
        .bytes<&CountingBloomFilter::to_bytes, &CountingBloomFilter::from_bytes>(kToBytesDoc, kFromBytesDoc,
                                                                                 kReduceDoc)
        .build();
}

const Registration counting_bloom_filter("CountingBloomFilter", &build_counting_bloom_filter);

}  // namespace
}  // namespace quillo::py
