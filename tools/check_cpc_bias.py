"""Measures the bias of the merged-sketch (coupon-count) estimate of CpcSketch.

For each lg_k and stream size, fresh streams of distinct strings (fixed
names, so runs repeat exactly) are counted by a sketch that is then merged
into an empty one, which switches it to the coupon-count estimate. Prints the
mean relative error and its standard error per cell. Needs the built module
on PYTHONPATH:

    PYTHONPATH=build/dev python3 tools/check_cpc_bias.py
"""

import statistics

import quillo

# (lg_k, trials, stream sizes as multiples of k)
RUNS = [(8, 600, (0.1, 1, 4, 16)), (10, 300, (0.3, 3, 30)), (14, 40, (0.1, 1, 10))]


def merged_estimate(lg_k, n, trial):
    sketch = quillo.CpcSketch(lg_k)
    for item in (f"{trial}:{i}" for i in range(n)):
        sketch.update(item)
    merged = quillo.CpcSketch(lg_k)
    merged.merge(sketch)
    return merged.estimate()


def main():
    print(f"{'lg_k':>4} {'n':>8} {'trials':>6} {'mean rel. err':>14} {'std. error':>10}")
    for lg_k, trials, multiples in RUNS:
        for multiple in multiples:
            n = int(multiple * (1 << lg_k))
            errors = [merged_estimate(lg_k, n, t) / n - 1 for t in range(trials)]
            mean = statistics.fmean(errors)
            spread = statistics.stdev(errors) / trials**0.5
            print(f"{lg_k:>4} {n:>8} {trials:>6} {mean:>+14.4%} {spread:>10.4%}")


if __name__ == "__main__":
    main()
