// A column of values taken as `update` takes them one by one: level 0 is
// filled in runs up to the value that overflows it, then compacted, so the
// levels, the coin flips and the extremes end as the per-value loop leaves them.
#include <algorithm>

#include "quantiles/kll_sketch.hpp"

namespace quillo::kll {

namespace {

// As take_min and take_max over the run in order: the first value sets an
// unset extreme, NaN included, and only a `better` value replaces it.
template <class Better>
void take_extreme(std::optional<double>& extreme, std::span<const double> run, Better better) {
    std::size_t i = 0;
    if (!extreme) extreme = run[i++];
    double e = *extreme;
    for (; i < run.size(); ++i) {
        if (better(run[i], e)) e = run[i];
    }
    extreme = e;
}

}  // namespace

void KllSketch::update_batch(std::span<const double> values) {
    view_.reset();
    while (!values.empty()) {
        Level& bottom = levels_[0];
        const std::size_t held = bottom.values.size();
        // Values until the one that takes level 0 past its capacity.
        const std::size_t room = held <= capacities_[0] ? capacities_[0] + 1 - held : 1;
        const std::span<const double> run = values.first(std::min(room, values.size()));
        take_extreme(min_value_, run, [](double v, double e) { return v < e; });
        take_extreme(max_value_, run, [](double v, double e) { return v > e; });
        n_ += run.size();
        bottom.append_all(run);
        if (bottom.values.size() > capacities_[0]) compact();
        values = values.subspan(run.size());
    }
}

}  // namespace quillo::kll
