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
// bisection. Needs weights that are neither negative nor NaN, so that the
// running weights are ordered; every digest the engine builds has them.
class DigestSearch {
public:
    explicit DigestSearch(const Digest& digest);
    double estimate_at(double q) const;

private:
    const Digest& digest_;
    // Weight before centroid i walking up from the first (one more entry
    // than centroids), and what remains of the count after subtracting
    // centroid i walking down from the last.
    std::vector<double> before_;
    std::vector<double> remaining_;
};

}  // namespace quillo::tdigest
