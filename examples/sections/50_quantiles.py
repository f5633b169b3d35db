"""Line lengths of the standard library: each quantile summary's estimates
beside the exact quantiles, with the rank error of each estimate."""

import bisect

import quillo

RANKS = (0.25, 0.5, 0.9, 0.99)


def _kll(k):
    sketch = quillo.KllSketch(k)
    return f"KllSketch({k})", sketch, sketch.update, sketch.quantile


SUMMARIES = [
    lambda: _kll(200),
    lambda: _kll(1000),
]


def _rank_error(ordered, estimate, q):
    low = bisect.bisect_left(ordered, estimate) / len(ordered)
    high = bisect.bisect_right(ordered, estimate) / len(ordered)
    # Any rank the estimate's run of equal lengths covers is exact.
    return 0.0 if low <= q <= high else min(abs(low - q), abs(high - q))


def run(corpus, report):
    lengths = [float(len(line)) for line in corpus.lines]
    ordered = sorted(lengths)
    exact = [ordered[min(len(ordered) - 1, int(q * len(ordered)))] for q in RANKS]
    headers = ["summary", *(f"q{q:g}" for q in RANKS), "max rank error", "image bytes", "updates"]
    rows = [["exact", *exact, 0.0, "-", "-"]]
    for make in SUMMARIES:
        label, summary, update, quantile = make()
        rate = report.stream(label, lengths, update)
        estimates = [quantile(q) for q in RANKS]
        worst = max(_rank_error(ordered, e, q) for e, q in zip(estimates, RANKS))
        rows.append([label, *estimates, worst, len(summary.to_bytes()), f"{rate / 1e6:.1f} M/s"])
    report.table(f"Quantiles of {len(lengths):,} line lengths", headers, rows)
