#include "countmin/count_sketch.hpp"
#include "drive.hpp"

using quillo::countmin::CountSketch;

namespace {

void exercise(CountSketch& s, const CountSketch&, const quillo::fuzz::Feed& feed) {
    for (const auto& item : feed.items) (void)s.estimate(item);
    for (const auto& item : feed.items) s.update(item, static_cast<std::int64_t>(item.size()) - 3);
    s.update("max", INT64_MAX);
    s.update("min", INT64_MIN);
    s.update("max", INT64_MAX);
    for (const auto& item : feed.items) (void)s.estimate(item);
    (void)s.estimate("min");
}

}  // namespace

QUILLO_FUZZ_TARGET(CountSketch, true, exercise)
