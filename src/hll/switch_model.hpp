#pragma once
// The register estimate around its switch from linear counting to the
// classic formula, taken as one estimator: linear counting answers while the
// formula reads at most 2.5 m, so the sketches that answer by linear
// counting near the switch are those whose registers read low, and an
// interval from either reading alone misses that selection.
#include <cstdint>

#include "common/confidence.hpp"

namespace quillo::hll {

struct RegisterLaw;

class SwitchModel {
public:
    // The model of register_estimate over this many registers.
    explicit SwitchModel(std::uint64_t registers);

    // Whether, at some count within `interval`, each reading answers in more
    // than a negligible share of sketches.
    bool straddles(const CountInterval& interval) const;

    // The counts n under which `estimate` lies within the answers of the
    // combined estimator that hold the share of z normal deviations: those
    // between the lowest and highest tails of (1 - share) / 2 each, or, when
    // n itself lies in one of those tails, the answers from n towards the
    // other side (so that the interval brackets the estimate).
    CountInterval interval(double estimate, double z) const;

private:
    // The chance that a sketch whose registers follow `law` answers by
    // linear counting.
    double linear_share(const RegisterLaw& law) const;
    // The chance that a sketch whose registers follow `law` answers
    // `estimate` or less.
    double answer_at_most(double estimate, const RegisterLaw& law) const;
    // How far, in normal quantiles, the chance that a sketch of n items
    // answers `estimate` or less lies above the share below the accepted
    // answers (upper bound) or above the share up to their highest (lower
    // bound); falls as n grows and crosses 0 at the bound.
    double excess(double estimate, double n, double tail, bool upper) const;
    // The upper or lower bound, searched from `estimate` outwards.
    double count_where(double estimate, double tail, bool upper) const;

    double m_;
    // The register sum sum(2^-r) at and above which linear counting answers.
    double switch_sum_;
    // The formula's numerator: it answers formula_numerator_ / sum.
    double formula_numerator_;
};

}  // namespace quillo::hll
