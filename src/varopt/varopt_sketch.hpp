#pragma once
// VarOpt sampling of at most k weighted strings: items heavier than the
// threshold tau are kept with their own weight, the others stand for tau
// each, so that sums of adjusted weights estimate subset sums of the stream.
// The random source is a small xorshift generator kept in the state, so a
// decoded sketch continues exactly as the encoded one would.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "varopt/position_counts.hpp"

namespace quillo::varopt {

class VarOptSketch {
public:
    // Bytes owned on the heap, for memory accounting.
    std::size_t heap_bytes() const;

    // Fails unless k >= 1; seeds the generator from the process-wide counter.
    static VarOptSketch create(std::uint64_t k);

    // Weights must be positive: anything else is an internal failure.
    void update(std::string_view item, double weight);

    std::vector<std::pair<std::string, double>> get_samples() const;
    std::uint64_t get_num_samples() const { return live_; }
    double get_total_weight() const { return total_weight_; }
    std::uint64_t count() const { return count_; }
    std::uint64_t k() const { return k_; }

    std::vector<std::uint8_t> to_bytes() const;
    static VarOptSketch from_bytes(std::span<const std::uint8_t> data);

private:
    VarOptSketch(std::uint64_t k, std::uint64_t rng_state) : k_(k), rng_state_(rng_state) {}

    // One place of the sample, in arrival order. Once the sample is full, a
    // place holds a sampled item when it is heavy or among the light places;
    // a removed item stays, untouched, until the places are packed again.
    struct Slot {
        std::string item;
        double weight;
        bool heavy;
    };
    // A heavy item, or one that may be dropped in an update (the arriving one
    // has the place kArrival).
    struct Member {
        double weight;
        std::size_t slot;
    };

    std::uint64_t next_random();
    void append(std::string item, double weight, bool heavy);
    void set_first_threshold();
    void start_sampling();
    void pack_slots();
    void index_slots();
    bool sampled(std::size_t slot) const { return !is_full_ || slots_[slot].heavy || lights_.contains(slot); }
    void compete(std::string_view item, double weight, double light_mass);
    std::size_t light_to_evict(std::uint64_t lights);
    std::size_t weighted_drop(std::uint64_t lights, double light_mass, double tau);
    void check_consistency(std::size_t weights, std::size_t flags) const;

    std::uint64_t k_;
    std::vector<Slot> slots_;
    std::uint64_t live_ = 0;
    double tau_ = 0.0;
    double total_weight_ = 0.0;
    double heavy_weight_ = 0.0;
    std::uint64_t count_ = 0;
    std::uint64_t num_heavy_ = 0;
    bool is_full_ = false;
    std::uint64_t rng_state_;

    // Kept once the sample is full: the light places in arrival order, the
    // heavy items as a heap with the lightest (earliest among equals) on top,
    // and the members of the current update's dropping set.
    PositionCounts lights_;
    std::vector<Member> heavies_;
    std::vector<Member> joined_;
};

}  // namespace quillo::varopt
