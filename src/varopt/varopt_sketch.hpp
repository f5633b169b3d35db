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
    std::uint64_t get_num_samples() const { return items_.size(); }
    double get_total_weight() const { return total_weight_; }
    std::uint64_t count() const { return count_; }

    std::vector<std::uint8_t> to_bytes() const;
    static VarOptSketch from_bytes(std::span<const std::uint8_t> data);

private:
    VarOptSketch(std::uint64_t k, std::uint64_t rng_state) : k_(k), rng_state_(rng_state) {}

    // A sample item, or the arriving one, that may be dropped in an update.
    struct Candidate {
        double weight;
        std::size_t index;
    };

    std::uint64_t next_random();
    void append(std::string_view item, double weight, bool heavy);
    void set_first_threshold();
    void compete(std::string_view item, double weight, double light_mass);
    std::size_t light_to_evict();
    std::size_t weighted_drop(const std::vector<Candidate>& joined, std::size_t lights, double light_mass,
                              double tau);
    void check_consistency() const;

    std::uint64_t k_;
    std::vector<std::string> items_;
    std::vector<double> weights_;
    std::vector<bool> is_heavy_;
    double tau_ = 0.0;
    double total_weight_ = 0.0;
    double heavy_weight_ = 0.0;
    std::uint64_t count_ = 0;
    std::uint64_t num_heavy_ = 0;
    bool is_full_ = false;
    std::uint64_t rng_state_;
};

}  // namespace quillo::varopt
