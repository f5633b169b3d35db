#pragma once
// The merging t-digest engine: a sorted list of centroids whose sizes are
// bounded by a scale function of their position, so that centroids in the
// tails stay small. Every operation builds a new digest from its inputs.
#include <cstdint>
#include <span>
#include <vector>

#include "encoding/encoding.hpp"

namespace quillo::tdigest {

inline constexpr std::uint64_t kDefaultCompression = 100;

struct Centroid {
    double mean;
    double weight;
};

// Centroids and their extremes order with NaN above every number.
bool nan_last_less(double a, double b);

struct Digest {
    std::vector<Centroid> centroids;
    std::uint64_t size_limit;
    double sum = 0.0;
    double count = 0.0;
    double max;
    double min;

    explicit Digest(std::uint64_t limit);

    void write(encoding::Writer& w) const;
    static Digest read(encoding::Reader& r);
};

// Merges values already sorted ascending into `digest`.
Digest merge_values(const Digest& digest, std::span<const double> sorted);

// Merges whole digests; the result keeps the first one's size limit.
Digest merge_digest_list(std::span<const Digest> digests);

// The interpolated value at rank q (0.0 for a digest without centroids).
double estimate_at(const Digest& digest, double q);

// estimate_at for many ranks: the running weights of both walks are summed
// once, in the walks' order, and each estimate finds its centroid by
// bisection, or at once when it is the one a hint remembers (as it is for
// most steps of a rank's bisection). Needs weights that are neither negative
// nor NaN, so that the running weights are ordered; every digest the engine
// builds has them.
class DigestSearch {
public:
    // The centroids where the last estimates of one caller stopped.
    struct Hint {
        std::size_t up = 0;
        std::size_t down = 0;
    };

    explicit DigestSearch(const Digest& digest);
    double estimate_at(double q, Hint& hint) const;

    // For each value at the given positions, the midpoint of the rank
    // interval, halved from [0, 1] until no wider than `tolerance`, whose
    // lower end estimates below the value: what a bisection by estimate_at
    // gives. Interleaves several values' bisections, whose steps would
    // otherwise wait on one another.
    void bisect_ranks(std::span<const double> values, std::span<const std::size_t> positions, double tolerance,
                      std::span<double> out) const;

private:
    const Digest& digest_;
    // The running weight with centroid i walking up from the first, and
    // what remains of the count after subtracting centroid i walking down
    // from the last.
    std::vector<double> passed_;
    std::vector<double> remaining_;
};

}  // namespace quillo::tdigest
