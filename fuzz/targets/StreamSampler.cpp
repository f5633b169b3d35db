#include "drive.hpp"
#include "sampling/stream_sampler.hpp"

using quillo::sampling::StreamSampler;

namespace {

void exercise(StreamSampler& s, const StreamSampler&, const quillo::fuzz::Feed& feed) {
    using quillo::fuzz::tolerate;
    (void)s.sample();
    (void)s.stats();
    for (int round = 0; round < 5; ++round) tolerate([&] { s.push_batch(feed.items); });
    (void)s.stats();
    tolerate([&] { s.flush(); });
    (void)s.sample();
    (void)s.stats();
}

}  // namespace

QUILLO_FUZZ_TARGET(StreamSampler, true, exercise)
