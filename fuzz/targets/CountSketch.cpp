#include "drive.hpp"
#include "countmin/count_sketch.hpp"

using quillo::countmin::CountSketch;

QUILLO_FUZZ_TARGET(CountSketch, true, [](CountSketch& s, const CountSketch&, const quillo::fuzz::Feed& feed) {
    for (const auto& item : feed.items) (void)s.estimate(item);
    for (const auto& item : feed.items) s.update(item, static_cast<std::int64_t>(item.size()) - 3);
    s.update("max", INT64_MAX);
    s.update("min", INT64_MIN);
    s.update("max", INT64_MAX);
    for (const auto& item : feed.items) (void)s.estimate(item);
    (void)s.estimate("min");
})
