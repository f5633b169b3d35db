#include "aod/aod_sketch.hpp"
#include "drive.hpp"
#include "encoding/encoding.hpp"

using quillo::aod::AodSketch;

namespace {

// An image of a few bytes may name up to 2^20 values per entry, and every
// update, query and copy then handles arrays of that length through the same
// code as for a handful: such inputs would take most of the fuzzer's time.
// Legal counts beyond this are left to the class's tests; larger ones still
// reach the decoder, which refuses them.
constexpr std::uint64_t kMostFuzzedValues = 64;

// The image begins with the capacity and num_values varints.
bool fuzzed(std::span<const std::uint8_t> input) {
    try {
        quillo::encoding::Reader header(input);
        (void)header.u64();
        const std::uint64_t num_values = header.u64();
        return num_values <= kMostFuzzedValues || num_values > quillo::aod::kMaxNumValues;
    } catch (const quillo::encoding::DecodeFailure&) {
        return true;  // a header the decoder refuses
    }
}

void exercise(AodSketch& s, const AodSketch& copy, const quillo::fuzz::Feed& feed) {
    using quillo::fuzz::tolerate;
    const auto queries = [](const AodSketch& a) {
        (void)a.estimate();
        tolerate([&] { (void)a.upper_bound(0.95); });
        tolerate([&] { (void)a.lower_bound(0.68); });
        (void)a.column_sums();
        (void)a.column_means();
        (void)a.get_entries();
        (void)a.statistics();
        (void)a.compact().to_bytes();
    };
    queries(s);
    for (const auto& item : feed.items) {
        tolerate([&] { s.update(item, std::vector<double>(s.num_values(), feed.values[item.size() % 8])); });
        tolerate([&] { s.update(item, {1.0}); });
    }
    tolerate([&] { s.union_with(copy); });
    tolerate([&] { s.union_with(AodSketch::create(64, s.num_values())); });
    tolerate([&] {
        AodSketch fresh = AodSketch::create(16, copy.num_values());
        fresh.union_with(copy);
        queries(fresh);
    });
    queries(s);
    AodSketch cleared = copy;
    cleared.clear();
    queries(cleared);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (!fuzzed({data, size})) return 0;
    return quillo::fuzz::drive<AodSketch>(data, size, exercise);
}
