#include "varopt/varopt_sketch.hpp"

#include <algorithm>
#include <atomic>
#include <limits>
#include <numeric>

#include "codec/codec.hpp"
#include "common/error.hpp"
#include "common/format.hpp"
#include "common/memory.hpp"
#include "common/saturating.hpp"
#include "encoding/encoding.hpp"
#include "varopt/countdown.hpp"

namespace quillo::varopt {

namespace {

constexpr const char* kName = "VarOptSketch";
constexpr const char* kZeroK = "k must be at least 1";
constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr std::size_t kMinStringBytes = 1;
// A 64-bit draw times this is uniform in [0, 1).
constexpr double kUnitScale = 0x1p-64;
// The place of the arriving item among the members of an update.
constexpr std::size_t kArrival = std::numeric_limits<std::size_t>::max();
// Removed items leave empty places until there are as many places as this
// many times k; packing them then costs O(1) per removal.
constexpr std::uint64_t kPlacesPerItem = 2;

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

// Heap order of the heavy items: the lightest, then the earliest, on top.
bool lighter_on_top(const auto& a, const auto& b) {
    return a.weight > b.weight || (a.weight == b.weight && a.slot > b.slot);
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

void VarOptSketch::append(std::string item, double weight, bool heavy) {
    if (is_full_ && slots_.size() == kPlacesPerItem * k_) pack_slots();
    slots_.push_back({std::move(item), weight, heavy});
    ++live_;
    if (!is_full_) return;
    const std::size_t at = slots_.size() - 1;
    if (heavy) {
        heavies_.push_back({weight, at});
        std::push_heap(heavies_.begin(), heavies_.end(), lighter_on_top<Member, Member>);
    } else {
        lights_.insert(at);
    }
}

// Once the sample first fills, every item heavier than the threshold keeps
// its own weight; each one set apart lowers the threshold of the rest. The
// first light item (by place) above the threshold goes next, as a scan of
// the sample would find it; the items above it are a prefix of the weights
// in decreasing order.
void VarOptSketch::set_first_threshold() {
    const std::size_t n = slots_.size();
    std::vector<std::size_t> by_weight(n);
    std::iota(by_weight.begin(), by_weight.end(), std::size_t{0});
    std::sort(by_weight.begin(), by_weight.end(),
              [this](std::size_t a, std::size_t b) { return slots_[a].weight > slots_[b].weight; });
    PositionCounts above;
    above.assign(n, 0, [](std::size_t) { return false; });
    std::size_t admitted = 0;
    for (;;) {
        if (k_ <= num_heavy_) {
            tau_ = kInfinity;
            return;
        }
        const double t = (total_weight_ - heavy_weight_) / static_cast<double>(k_ - num_heavy_);
        for (; admitted < n && slots_[by_weight[admitted]].weight > t; ++admitted) {
            if (!slots_[by_weight[admitted]].heavy) above.insert(by_weight[admitted]);
        }
        // Rounding can raise the threshold a little.
        for (; admitted > 0 && !(slots_[by_weight[admitted - 1]].weight > t); --admitted) {
            if (!slots_[by_weight[admitted - 1]].heavy) above.erase(by_weight[admitted - 1]);
        }
        if (above.total() == 0) {
            tau_ = t;
            return;
        }
        const std::size_t i = above.find(0);
        above.erase(i);
        slots_[i].heavy = true;
        ++num_heavy_;
        heavy_weight_ += slots_[i].weight;
    }
}

void VarOptSketch::start_sampling() {
    slots_.reserve(kPlacesPerItem * k_);
    joined_.reserve(k_ + 1);
    index_slots();
}

// Drops the places of removed items; the others keep the arrival order.
void VarOptSketch::pack_slots() {
    std::size_t to = 0;
    for (std::size_t from = 0; from < slots_.size(); ++from) {
        if (!sampled(from)) continue;
        if (to != from) slots_[to] = std::move(slots_[from]);
        ++to;
    }
    slots_.erase(slots_.begin() + static_cast<std::ptrdiff_t>(to), slots_.end());
    index_slots();
}

// Every place holds a sampled item: the light ones go to the light places,
// the heavy ones to the heap.
void VarOptSketch::index_slots() {
    lights_.assign(kPlacesPerItem * k_, slots_.size(), [this](std::size_t i) { return !slots_[i].heavy; });
    heavies_.clear();
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        if (slots_[i].heavy) heavies_.push_back({slots_[i].weight, i});
    }
    std::make_heap(heavies_.begin(), heavies_.end(), lighter_on_top<Member, Member>);
}

std::size_t VarOptSketch::light_to_evict(std::uint64_t lights) {
    if (lights == 0) panic("No light items available for eviction");
    return lights_.find(next_random() % lights);
}

// Each member of the dropping set goes with probability 1 - adjusted weight
// / tau; these add up to one. The light items come first, in place order,
// then the joined members in increasing weight.
std::size_t VarOptSketch::weighted_drop(std::uint64_t lights, double light_mass, double tau) {
    const double light_drop = lights == 0 ? 0.0 : 1.0 - light_mass / static_cast<double>(lights) / tau;
    double u = static_cast<double>(next_random()) * kUnitScale;
    if (lights > 0) {
        const Countdown passed = count_down(u, light_drop, lights);
        if (passed.stopped_at < lights) return lights_.find(passed.stopped_at);
        u = passed.rest;
    }
    std::size_t last = kArrival;
    for (const Member& m : joined_) {
        const double drop = 1.0 - m.weight / tau;
        if (u < drop) return m.slot;
        u -= drop;
        last = m.slot;
    }
    return last;  // only rounding leaves u beyond the last member
}

// The k sampled items and the arriving one compete for k places. The set
// that may lose one member holds the light items and then, in increasing
// weight (earlier first, the arriving item last among equals), each heavy
// item or the arriving one that does not exceed the threshold the set would
// have with it; the new threshold is the set's weight over its size minus
// one. When no heavy item joins, this is the classic rule: a light arrival
// enters with probability weight / tau and evicts a uniformly chosen light
// item, a heavy one always enters.
void VarOptSketch::compete(std::string_view item, double weight, double light_mass) {
    const std::uint64_t lights = live_ - num_heavy_;
    // Joining only lowers the threshold, so nothing above the light items'
    // own threshold can join.
    const double bound = lights >= 2 ? light_mass / static_cast<double>(lights - 1) : kInfinity;
    double mass = light_mass;
    std::uint64_t size = lights;
    bool arrival_joined = false;
    const bool arrival_may_join = weight <= bound;
    joined_.clear();
    for (;;) {
        const bool heavy_next = !heavies_.empty() && heavies_.front().weight <= bound;
        const bool arrival_next = arrival_may_join && !arrival_joined;
        Member next;
        if (heavy_next && (!arrival_next || heavies_.front().weight <= weight)) {
            next = heavies_.front();
        } else if (arrival_next) {
            next = {weight, kArrival};
        } else {
            break;
        }
        if (size >= 2 && next.weight * static_cast<double>(size - 1) > mass) break;
        mass += next.weight;
        ++size;
        joined_.push_back(next);
        if (next.slot == kArrival) {
            arrival_joined = true;
        } else {
            std::pop_heap(heavies_.begin(), heavies_.end(), lighter_on_top<Member, Member>);
            heavies_.pop_back();
        }
    }
    const double tau = mass / static_cast<double>(size - 1);
    const bool demotions = joined_.size() > (arrival_joined ? 1u : 0u);

    std::size_t drop;
    if (demotions) {
        drop = weighted_drop(lights, light_mass, tau);
    } else if (arrival_joined && !(static_cast<double>(next_random()) * kUnitScale < weight / tau)) {
        drop = kArrival;
    } else {
        drop = light_to_evict(lights);
    }

    for (const Member& m : joined_) {
        if (m.slot == kArrival) continue;
        slots_[m.slot].heavy = false;
        lights_.insert(m.slot);
        --num_heavy_;
        heavy_weight_ -= m.weight;
    }
    tau_ = tau;
    if (drop == kArrival) return;
    // The removed item's place is left as it is (a cache miss saved) until
    // the places are packed.
    lights_.erase(drop);
    --live_;
    append(std::string(item), weight, !arrival_joined);
    if (!arrival_joined) {
        heavy_weight_ += weight;
        ++num_heavy_;
    }
}

void VarOptSketch::update(std::string_view item, double weight) {
    if (!(weight > 0.0)) panic("Weight must be positive, got " + format_float(weight));
    const double light_mass = total_weight_ - heavy_weight_;
    total_weight_ += weight;
    count_ = saturating_add(count_, 1);
    if (is_full_) {
        compete(item, weight, light_mass);
        return;
    }
    append(std::string(item), weight, false);
    if (live_ == k_) {
        is_full_ = true;
        set_first_threshold();
        start_sampling();
    }
}

std::vector<std::pair<std::string, double>> VarOptSketch::get_samples() const {
    std::vector<std::pair<std::string, double>> samples;
    samples.reserve(live_);
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        if (!sampled(i)) continue;
        const Slot& s = slots_[i];
        const bool own_weight = !is_full_ || s.heavy;
        samples.emplace_back(s.item, own_weight ? s.weight : tau_);
    }
    return samples;
}

std::vector<std::uint8_t> VarOptSketch::to_bytes() const {
    encoding::Writer w;
    w.u64(k_);
    const auto each_live = [&](auto write) {
        w.size(live_);
        for (std::size_t i = 0; i < slots_.size(); ++i) {
            if (sampled(i)) write(slots_[i]);
        }
    };
    each_live([&](const Slot& s) { w.string(s.item); });
    each_live([&](const Slot& s) { w.f64(s.weight); });
    each_live([&](const Slot& s) { w.boolean(s.heavy); });
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
// items, so the decoded fields must agree with each other; and they must
// describe a state that updates can reach, or the answers lose their meaning.
void VarOptSketch::check_consistency(std::size_t weights, std::size_t flags) const {
    if (k_ == 0) corrupt(kZeroK);
    if (weights != slots_.size() || flags != slots_.size()) corrupt("items, weights and heavy flags differ in length");
    const auto heavy =
        static_cast<std::uint64_t>(std::count_if(slots_.begin(), slots_.end(), [](const Slot& s) { return s.heavy; }));
    if (heavy != num_heavy_) corrupt("heavy flags disagree with num_heavy");
    if (is_full_ ? slots_.size() != k_ : slots_.size() >= k_) corrupt("sample size disagrees with k");
    if (!is_full_ && (num_heavy_ != 0 || heavy_weight_ != 0.0)) corrupt("heavy items before the sample fills");
    if (count_ < slots_.size()) corrupt("fewer items offered than sampled");
    if (!(total_weight_ >= 0.0)) corrupt("total weight must not be negative");
    for (const Slot& s : slots_) {
        if (!(s.weight > 0.0)) corrupt("weights must be positive");
        if (!(s.weight <= total_weight_)) corrupt("total weight below a sampled weight");
    }
    // A zero state would make every later draw zero.
    if (rng_state_ == 0) corrupt("generator state must not be zero");
}

VarOptSketch VarOptSketch::from_bytes(std::span<const std::uint8_t> data) {
    std::size_t weights = 0;
    std::size_t flags = 0;
    VarOptSketch sketch = encoding::decode(kName, data, [&](encoding::Reader& r) {
        VarOptSketch s(r.u64(), 0);
        const std::size_t items = r.length(kMinStringBytes);
        for (std::size_t i = 0; i < items; ++i) s.slots_.push_back({r.string(), 0.0, false});
        weights = r.length(sizeof(double));
        for (std::size_t i = 0; i < weights; ++i) {
            const double w = r.f64();
            if (i < items) s.slots_[i].weight = w;
        }
        flags = r.length(1);
        for (std::size_t i = 0; i < flags; ++i) {
            const bool heavy = r.boolean();
            if (i < items) s.slots_[i].heavy = heavy;
        }
        s.live_ = items;
        s.tau_ = r.f64();
        s.total_weight_ = r.f64();
        s.heavy_weight_ = r.f64();
        s.count_ = r.u64();
        s.num_heavy_ = r.u64();
        s.is_full_ = r.boolean();
        s.rng_state_ = r.u64();
        return s;
    });
    sketch.check_consistency(weights, flags);
    if (sketch.is_full_) sketch.start_sampling();
    return sketch;
}

std::size_t VarOptSketch::heap_bytes() const {
    return heap_bytes_of(slots_, [](const Slot& slot) { return heap_bytes_of(slot.item); }) + lights_.heap_bytes() +
           heap_bytes_of(heavies_) + heap_bytes_of(joined_);
}

}  // namespace quillo::varopt
