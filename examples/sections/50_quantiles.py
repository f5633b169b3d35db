"""Line lengths of the standard library: each quantile summary's estimates
beside the exact quantiles, with the rank error of each estimate."""

import bisect

import quillo

RANKS = (0.01, 0.25, 0.5, 0.9, 0.99, 0.999)


BATCH = 1000


def _columns(label, update_many):
    return lambda report, values: report.columns(label, values, update_many)


def _in_batches(label, add_batch):
    def feed(report, values):
        batches = [values[i:i + BATCH] for i in range(0, len(values), BATCH)]
        return report.stream(label, batches, add_batch) * BATCH
    return feed


def _kll(k):
    sketch = quillo.KllSketch(k)
    label = f"KllSketch({k})"
    return label, sketch, _columns(label, sketch.update_many), sketch.quantile


def _req(k, mode):
    sketch = quillo.ReqSketch(k, mode)
    label = f"ReqSketch({k}, {mode})"
    return label, sketch, _columns(label, sketch.update_many), sketch.quantile


def _tdigest(compression):
    digest = quillo.TDigest(compression)
    label = f"TDigest({compression}), batches"
    return label, digest, _in_batches(label, digest.add_batch), digest.quantile


def _streaming_tdigest(compression):
    digest = quillo.StreamingTDigest(compression)
    label = f"StreamingTDigest({compression})"
    return label, digest, _columns(label, digest.add_many), digest.quantile


SUMMARIES = [
    lambda: _kll(200),
    lambda: _kll(1000),
    lambda: _req(12, "HRA"),
    lambda: _req(12, "LRA"),
    lambda: _tdigest(100),
    lambda: _streaming_tdigest(100),
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
        label, summary, feed, quantile = make()
        rate = feed(report, lengths)
        estimates = [quantile(q) for q in RANKS]
        worst = max(_rank_error(ordered, e, q) for e, q in zip(estimates, RANKS))
        rows.append([label, *estimates, worst, len(summary.to_bytes()), f"{rate / 1e6:.1f} M/s"])
    report.table(f"Quantiles of {len(lengths):,} line lengths", headers, rows)
