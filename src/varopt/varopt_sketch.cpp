#include "varopt/varopt_sketch.hpp"

#include <algorithm>
#include <atomic>
#include <limits>

#include "codec/codec.hpp"
#include "common/error.hpp"
#include "common/format.hpp"
#include "common/memory.hpp"
#include "encoding/encoding.hpp"

namespace quillo::varopt {

namespace {

constexpr const char* kName = "VarOptSketch";
constexpr const char* kZeroK = "k must be at least 1";
constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr std::size_t kMinStringBytes = 1;
// A 64-bit draw times this is uniform in [0, 1).
constexpr double kUnitScale = 0x1p-64;
// Candidate index of the arriving item.
constexpr std::size_t kNewcomer = std::numeric_limits<std::size_t>::max();

std::atomic<std::uint64_t> seed_counter{0xDEADBEEFCAFEBABEULL};

std::uint64_t xorshift(std::uint64_t x) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return x;
}

[[noreturn]] void corrupt(const std::string& reason) {
    codec::corrupt_data(std::string(kName) + " decode failed: " + reason);
}

}  // namespace

VarOptSketch VarOptSketch::create(std::uint64_t k) {
    if (k == 0) fail(kZeroK);
    return VarOptSketch(k, xorshift(seed_counter.fetch_add(1, std::memory_order_relaxed)));
}

std::uint64_t VarOptSketch::next_random() {
    rng_state_ = xorshift(rng_state_);
    return rng_state_;
}

void VarOptSketch::append(std::string_view item, double weight, bool heavy) {
    items_.emplace_back(item);
    weights_.push_back(weight);
    is_heavy_.push_back(heavy);
}

// Once the sample first fills, every item heavier than the threshold keeps
// its own weight; each one set apart lowers the threshold of the rest.
void VarOptSketch::set_first_threshold() {
    for (;;) {
        if (k_ <= num_heavy_) {
            tau_ = kInfinity;
            return;
        }
        const double t = (total_weight_ - heavy_weight_) / static_cast<double>(k_ - num_heavy_);
        std::size_t i = 0;
        while (i < items_.size() && (is_heavy_[i] || !(weights_[i] > t))) ++i;
        if (i == items_.size()) {
            tau_ = t;
            return;
        }
        is_heavy_[i] = true;
        ++num_heavy_;
        heavy_weight_ += weights_[i];
    }
}

std::size_t VarOptSketch::light_to_evict() {
    const auto lights = static_cast<std::uint64_t>(std::count(is_heavy_.begin(), is_heavy_.end(), false));
    if (lights == 0) panic("No light items available for eviction");
    std::uint64_t remaining = next_random() % lights;
    std::size_t i = 0;
    for (;; ++i) {
        if (is_heavy_[i]) continue;
        if (remaining == 0) return i;
        --remaining;
    }
}

// Each member of the dropping set goes with probability 1 - adjusted weight
// / tau; these add up to one.
std::size_t VarOptSketch::weighted_drop(const std::vector<Candidate>& joined, std::size_t lights,
                                        double light_mass, double tau) {
    const double light_drop = lights == 0 ? 0.0 : 1.0 - light_mass / static_cast<double>(lights) / tau;
    double u = static_cast<double>(next_random()) * kUnitScale;
    std::size_t last = kNewcomer;
    for (std::size_t i = 0; i < items_.size(); ++i) {
        if (is_heavy_[i]) continue;
        if (u < light_drop) return i;
        u -= light_drop;
        last = i;
    }
    for (const Candidate& c : joined) {
        const double drop = 1.0 - c.weight / tau;
        if (u < drop) return c.index;
        u -= drop;
        last = c.index;
    }
    return last;  // only rounding leaves u beyond the last member
}

// The k sampled items and the arriving one compete for k places. The set
// that may lose one member holds the light items and then, in increasing
// weight, each heavy item (or the arriving one) that does not exceed the
// threshold the set would have with it; the new threshold is the set's
// weight over its size minus one. When no heavy item joins, this is the
// classic rule: a light arrival enters with probability weight / tau and
// evicts a uniformly chosen light item, a heavy one always enters.
void VarOptSketch::compete(std::string_view item, double weight, double light_mass) {
    // The flags agree with num_heavy: updates keep them so and decoding checks it.
    const std::size_t lights = items_.size() - num_heavy_;
    // Joining only lowers the threshold, so nothing above the light items'
    // own threshold can join.
    const double bound = lights >= 2 ? light_mass / static_cast<double>(lights - 1) : kInfinity;
    std::vector<Candidate> candidates;
    for (std::size_t i = 0; num_heavy_ > 0 && i < items_.size(); ++i) {
        if (is_heavy_[i] && weights_[i] <= bound) candidates.push_back({weights_[i], i});
    }
    if (weight <= bound) candidates.push_back({weight, kNewcomer});
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Candidate& a, const Candidate& b) { return a.weight < b.weight; });
    double mass = light_mass;
    std::size_t size = lights;
    std::size_t joined = 0;
    for (const Candidate& c : candidates) {
        if (size >= 2 && c.weight * static_cast<double>(size - 1) > mass) break;
        mass += c.weight;
        ++size;
        ++joined;
    }
    candidates.resize(joined);
    const double tau = mass / static_cast<double>(size - 1);
    const bool arrival_joined = std::any_of(candidates.begin(), candidates.end(),
                                            [](const Candidate& c) { return c.index == kNewcomer; });
    const bool demotions = candidates.size() > (arrival_joined ? 1u : 0u);

    std::size_t drop;
    if (demotions) {
        drop = weighted_drop(candidates, lights, light_mass, tau);
    } else if (arrival_joined && !(static_cast<double>(next_random()) * kUnitScale < weight / tau)) {
        drop = kNewcomer;
    } else {
        drop = light_to_evict();
    }

    for (const Candidate& c : candidates) {
        if (c.index == kNewcomer) continue;
        is_heavy_[c.index] = false;
        --num_heavy_;
        heavy_weight_ -= c.weight;
    }
    tau_ = tau;
    if (drop == kNewcomer) return;
    const auto at = static_cast<std::ptrdiff_t>(drop);
    items_.erase(items_.begin() + at);
    weights_.erase(weights_.begin() + at);
    is_heavy_.erase(is_heavy_.begin() + at);
    append(item, weight, !arrival_joined);
    if (!arrival_joined) {
        heavy_weight_ += weight;
        ++num_heavy_;
    }
}

void VarOptSketch::update(std::string_view item, double weight) {
    if (!(weight > 0.0)) panic("Weight must be positive, got " + format_float(weight));
    const double light_mass = total_weight_ - heavy_weight_;
    total_weight_ += weight;
    ++count_;
    if (is_full_) {
        compete(item, weight, light_mass);
        return;
    }
    append(item, weight, false);
    if (items_.size() == k_) {
        is_full_ = true;
        set_first_threshold();
    }
}

std::vector<std::pair<std::string, double>> VarOptSketch::get_samples() const {
    std::vector<std::pair<std::string, double>> samples;
    samples.reserve(items_.size());
    for (std::size_t i = 0; i < items_.size(); ++i) {
        const bool own_weight = !is_full_ || is_heavy_[i];
        samples.emplace_back(items_[i], own_weight ? weights_[i] : tau_);
    }
    return samples;
}

std::vector<std::uint8_t> VarOptSketch::to_bytes() const {
    encoding::Writer w;
    w.u64(k_);
    w.sequence(items_, [](encoding::Writer& out, const std::string& s) { out.string(s); });
    w.sequence(weights_, [](encoding::Writer& out, double v) { out.f64(v); });
    w.sequence(is_heavy_, [](encoding::Writer& out, bool heavy) { out.boolean(heavy); });
    w.f64(tau_);
    w.f64(total_weight_);
    w.f64(heavy_weight_);
    w.u64(count_);
    w.u64(num_heavy_);
    w.boolean(is_full_);
    w.u64(rng_state_);
    return w.take();
}

// Later updates index the three sequences together and evict only light
// items, so the decoded fields must agree with each other.
void VarOptSketch::check_consistency() const {
    if (k_ == 0) corrupt(kZeroK);
    if (weights_.size() != items_.size() || is_heavy_.size() != items_.size()) {
        corrupt("items, weights and heavy flags differ in length");
    }
    if (static_cast<std::uint64_t>(std::count(is_heavy_.begin(), is_heavy_.end(), true)) != num_heavy_) {
        corrupt("heavy flags disagree with num_heavy");
    }
    if (is_full_ ? items_.size() != k_ : items_.size() >= k_) corrupt("sample size disagrees with k");
}

VarOptSketch VarOptSketch::from_bytes(std::span<const std::uint8_t> data) {
    VarOptSketch sketch = encoding::decode(kName, data, [](encoding::Reader& r) {
        VarOptSketch s(r.u64(), 0);
        s.items_ = r.sequence<std::string>(kMinStringBytes, [](encoding::Reader& in) { return in.string(); });
        s.weights_ = r.sequence<double>(sizeof(double), [](encoding::Reader& in) { return in.f64(); });
        const std::size_t flags = r.length(1);
        s.is_heavy_.reserve(flags);
        for (std::size_t i = 0; i < flags; ++i) s.is_heavy_.push_back(r.boolean());
        s.tau_ = r.f64();
        s.total_weight_ = r.f64();
        s.heavy_weight_ = r.f64();
        s.count_ = r.u64();
        s.num_heavy_ = r.u64();
        s.is_full_ = r.boolean();
        s.rng_state_ = r.u64();
        return s;
    });
    sketch.check_consistency();
    return sketch;
}

std::size_t VarOptSketch::heap_bytes() const {
    return heap_bytes_of(items_) + heap_bytes_of(weights_) + heap_bytes_of(is_heavy_);
}

}  // namespace quillo::varopt
