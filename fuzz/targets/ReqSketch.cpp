#include <array>

#include "drive.hpp"
#include "req/req_sketch.hpp"

using quillo::fuzz::kRanks;
using quillo::req::ReqSketch;

namespace {

constexpr std::array<double, 3> kSplitPoints = {-1.0, 0.0, 7.25};

void exercise(ReqSketch& s, const ReqSketch&, const quillo::fuzz::Feed& feed) {
    using quillo::fuzz::tolerate;
    const auto queries = [&] {
        for (double r : kRanks) tolerate([&] { (void)s.quantile(r); });
        for (double v : feed.values) (void)s.rank(v);
        tolerate([&] { (void)s.get_cdf(kSplitPoints); });
        tolerate([&] { (void)s.get_cdf(feed.values); });
        (void)s.count();
        (void)s.mode();
        (void)s.rank_error(0.95);
    };
    queries();
    for (int round = 0; round < 40; ++round) {
        for (double v : feed.values) s.update(v + round);
    }
    queries();
}

}  // namespace

QUILLO_FUZZ_TARGET(ReqSketch, true, exercise)
