// A column of values taken as `update` takes them one by one: level 0 is
// filled in runs up to the value that overflows it, then compacted, so the
// levels, the coin flips and the extremes end as the per-value loop leaves them.
#include <algorithm>
#include <array>
#include <limits>

#include "quantiles/compactor_support.hpp"
#include "quantiles/kll_sketch.hpp"

namespace quillo::kll {

namespace {

// As take_min and take_max over the column in order: the first value sets an
// unset extreme, NaN included, and only a `better` value replaces it.
template <class Better>
void take_extreme(std::optional<double>& extreme, std::span<const double> column, Better better) {
    std::size_t i = 0;
    if (!extreme) extreme = column[i++];
    double e = *extreme;
    for (; i < column.size(); ++i) {
        if (better(column[i], e)) e = column[i];
    }
    extreme = e;
}

constexpr std::size_t kNarrowSort = 4;
constexpr std::size_t kWideSort = 8;

}  // namespace

// In a deep stack the levels at the bottom hold a few values each and
// compact every few values: most of a column's work is there. Those levels
// are copied into fixed arrays, where a compaction has neither allocation
// nor data-dependent branches: a level is padded with +inf to a fixed sort
// width (+inf never moves left past anything, NaN included, so the padding
// stays behind the values) and promotes a fixed number of slots, of which
// only the coin-chosen ones count. The levels above are the sketch's own.
class KllSketch::BottomLevels {
public:
    // A held level takes values only while within its capacity, at most 7,
    // and then at most half, rounded up, of the level below: never more than
    // 14 values. A promotion writes (width + 1) / 2 <= 7 slots past at most 7
    // values and reads slots up to the width: 16 slots are enough.
    static constexpr std::uint64_t kMaxCapacity = 7;
    static constexpr std::size_t kMaxHeld = 8;
    static constexpr std::size_t kSlots = 2 * kWideSort;

    explicit BottomLevels(KllSketch& sketch) : sketch_(sketch) {
        while (held_ < kMaxHeld && held_ + 1 < sketch.levels_.size() && sketch.capacities_[held_] <= kMaxCapacity &&
               sketch.levels_[held_].values.size() <= sketch.capacities_[held_]) {
            const std::vector<double>& values = sketch.levels_[held_].values;
            std::copy(values.begin(), values.end(), slots_[held_].begin());
            sizes_[held_] = values.size();
            ++held_;
        }
    }

    bool empty() const { return held_ == 0; }

    // Takes values until the column ends or the stack grows, which changes
    // every capacity; returns how many it took. The levels are written back.
    std::size_t take(std::span<const double> column) {
        const std::size_t levels = sketch_.levels_.size();
        std::size_t taken = 0;
        while (taken < column.size() && sketch_.levels_.size() == levels) {
            const std::size_t room = sketch_.capacities_[0] + 1 - sizes_[0];
            const std::size_t run = std::min(room, column.size() - taken);
            std::copy_n(column.begin() + taken, run, slots_[0].begin() + sizes_[0]);
            receive(0, run);
            taken += run;
            if (run == room) compact_from_bottom();
        }
        write_back();
        return taken;
    }

private:
    void receive(std::size_t h, std::size_t count) {
        sizes_[h] += count;
        peaks_[h] = std::max(peaks_[h], sizes_[h]);
    }

    void compact_from_bottom() {
        std::size_t h = 0;
        do {
            promote(h);
            ++h;
        } while (h < held_ && sizes_[h] > sketch_.capacities_[h]);
        if (h == held_ && sketch_.over_capacity(h)) sketch_.compact(h);
    }

    // As compact_level, for a held level.
    void promote(std::size_t h) {
        const std::size_t n = sizes_[h];
        double* values = slots_[h].data();
        const std::size_t width = n <= kNarrowSort ? kNarrowSort : n <= kWideSort ? kWideSort : n;
        std::fill(values + n, values + width, std::numeric_limits<double>::infinity());
        if (width == kNarrowSort) {
            quantiles::transposition_sort<kNarrowSort>(std::span(values, kNarrowSort));
        } else if (width == kWideSort) {
            quantiles::transposition_sort<kWideSort>(std::span(values, kWideSort));
        } else {
            quantiles::sort_values(std::span(values, n));
        }
        const std::size_t start = quantiles::flip_coin(sketch_.rng_state_) ? 1 : 0;
        sizes_[h] = 0;
        if (h + 1 == held_) {
            for (std::size_t i = start; i < n; i += 2) sketch_.levels_[h + 1].append(values[i]);
            return;
        }
        double* above = slots_[h + 1].data() + sizes_[h + 1];
        for (std::size_t i = 0; i < (width + 1) / 2; ++i) above[i] = values[start + 2 * i];
        receive(h + 1, (n - start + 1) / 2);
    }

    void write_back() {
        for (std::size_t h = 0; h < held_; ++h) {
            Level& level = sketch_.levels_[h];
            level.values.assign(slots_[h].begin(), slots_[h].begin() + sizes_[h]);
            level.reserve(peaks_[h]);
        }
    }

    KllSketch& sketch_;
    std::size_t held_ = 0;
    std::array<std::array<double, kSlots>, kMaxHeld> slots_{};
    std::array<std::size_t, kMaxHeld> sizes_{};
    std::array<std::size_t, kMaxHeld> peaks_{};
};

void KllSketch::update_batch(std::span<const double> values) {
    view_.reset();
    if (values.empty()) return;
    take_extreme(min_value_, values, [](double v, double e) { return v < e; });
    take_extreme(max_value_, values, [](double v, double e) { return v > e; });
    n_ += values.size();
    while (!values.empty()) {
        BottomLevels bottom(*this);
        values = values.subspan(bottom.empty() ? fill_bottom(values) : bottom.take(values));
    }
}

// Takes values up to the one that overflows level 0 and compacts; returns
// how many it took.
std::size_t KllSketch::fill_bottom(std::span<const double> values) {
    Level& bottom = levels_[0];
    const std::size_t held = bottom.values.size();
    const std::size_t room = held <= capacities_[0] ? capacities_[0] + 1 - held : 1;
    const std::span<const double> run = values.first(std::min(room, values.size()));
    bottom.append_all(run);
    if (bottom.values.size() > capacities_[0]) compact();
    return run.size();
}

}  // namespace quillo::kll
