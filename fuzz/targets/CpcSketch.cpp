#include "cpc/cpc_sketch.hpp"
#include "drive.hpp"

using quillo::cpc::CpcSketch;

namespace {

void exercise(CpcSketch& s, const CpcSketch& copy, const quillo::fuzz::Feed& feed) {
    using quillo::fuzz::tolerate;
    (void)s.estimate();
    for (const auto& item : feed.items) s.update(item);
    tolerate([&] { s.merge(copy); });
    tolerate([&] { s.merge(CpcSketch::create(s.lg_k())); });
    tolerate([&] { s.merge(CpcSketch::create(4)); });
    tolerate([&] {
        CpcSketch fresh = CpcSketch::create(11);
        fresh.merge(copy);
        (void)fresh.estimate();
    });
    (void)s.estimate();
}

}  // namespace

QUILLO_FUZZ_TARGET(CpcSketch, true, exercise)
