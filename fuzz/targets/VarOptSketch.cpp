#include "drive.hpp"
#include "varopt/varopt_sketch.hpp"

using quillo::varopt::VarOptSketch;

namespace {

void exercise(VarOptSketch& s, const VarOptSketch&, const quillo::fuzz::Feed& feed) {
    using quillo::fuzz::tolerate;
    const auto queries = [&] {
        (void)s.get_samples();
        (void)s.get_num_samples();
        (void)s.get_total_weight();
        (void)s.count();
    };
    queries();
    for (std::size_t i = 0; i < 60; ++i) {
        tolerate([&] { s.update(feed.items[i % feed.items.size()], feed.weights[i % feed.weights.size()]); });
        tolerate([&] { s.update(feed.items[i % feed.items.size()], 1.0 + static_cast<double>(i)); });
    }
    queries();
}

}  // namespace

QUILLO_FUZZ_TARGET(VarOptSketch, true, exercise)
