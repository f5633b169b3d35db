"""Update cost of HllPlusPlusSketch beside HllSketch and the `hyperloglog`
package at precision 12, and image sizes of the sparse and dense HLL++ forms
at precision 14.

Run with the built module on the path: PYTHONPATH=build/dev python3 tools/bench_hllpp.py
"""

import time

import quillo

ITEMS = [f"bench-{i}" for i in range(1_000_000)]
ROUNDS = 5


def best_rate(make, update_name="update"):
    best = 0.0
    for _ in range(ROUNDS):
        sketch = make()
        update = getattr(sketch, update_name)
        start = time.perf_counter()
        for item in ITEMS:
            update(item)
        best = max(best, len(ITEMS) / (time.perf_counter() - start))
    return best


def update_rates():
    rates = {
        "HllSketch(12).update": best_rate(lambda: quillo.HllSketch(12)),
        "HllPlusPlusSketch(12).update": best_rate(lambda: quillo.HllPlusPlusSketch(12)),
        "HllPlusPlusSparseSketch(12).update": best_rate(lambda: quillo.HllPlusPlusSparseSketch(12)),
    }
    try:
        import hyperloglog
    except ImportError:
        return rates
    # The package sizes itself from an error rate: 1.04 / sqrt(2^12) gives 4096 registers.
    rates["hyperloglog.HyperLogLog(0.01625).add"] = best_rate(lambda: hyperloglog.HyperLogLog(0.01625), "add")
    return rates


def image_sizes():
    rows = []
    for distinct in (1_000, 100_000):
        dense, sparse = quillo.HllPlusPlusSketch(14), quillo.HllPlusPlusSparseSketch(14)
        for item in ITEMS[:distinct]:
            dense.update(item)
            sparse.update(item)
        rows.append((distinct, len(sparse.to_bytes()), len(dense.to_bytes())))
    return rows


def main():
    for name, rate in update_rates().items():
        print(f"{name:<40} {rate / 1e6:6.2f} M updates/s ({1e9 / rate:5.0f} ns each, Python loop included)")
    print(f"{'distinct':>10} {'sparse bytes':>13} {'dense bytes':>12}  (precision 14)")
    for distinct, sparse, dense in image_sizes():
        print(f"{distinct:>10,} {sparse:>13,} {dense:>12,}")


if __name__ == "__main__":
    main()
