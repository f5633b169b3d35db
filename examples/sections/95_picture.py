"""One picture of what the tables above say in numbers: the relative error of
the distinct counters as the stream of lines grows, the estimated quantile
curves of the line lengths beside the exact one, and the rank error of each."""

import bisect
import math
import pathlib

import quillo

PICTURE = pathlib.Path(__file__).resolve().parents[2] / "build" / "demo.png"
CHECKPOINTS = 40
RANKS = [i / 200 for i in range(1, 200)]

COUNTERS = {
    "HllSketch(12)": lambda: quillo.HllSketch(12),
    "HllPlusPlusSketch(12)": lambda: quillo.HllPlusPlusSketch(12),
    "CpcSketch(11)": lambda: quillo.CpcSketch(11),
    "ThetaSketch(4096)": lambda: quillo.ThetaSketch(4096),
    "HybridCounter.with_range(10**6)": lambda: quillo.HybridCounter.with_range(10**6),
}
QUANTILES = {
    "KllSketch(200)": (lambda: quillo.KllSketch(200), "update_many"),
    "ReqSketch(12, HRA)": (lambda: quillo.ReqSketch(12), "update_many"),
    "TDigest(100)": (lambda: quillo.TDigest(100), "add_batch"),
}


def checkpoints(total):
    """Stream lengths spaced evenly on a log scale from 100 to ``total``."""
    points = {min(total, round(100 * (total / 100) ** (i / (CHECKPOINTS - 1)))) for i in range(CHECKPOINTS)}
    return sorted(points)


def error_curves(lines, report):
    """{counter label: [(stream length, relative error)]} and the stream lengths."""
    marks = checkpoints(len(lines))
    exact, seen, start = [], set(), 0
    for mark in marks:
        seen.update(lines[start:mark])
        exact.append(len(seen))
        start = mark
    chunks = [lines[a:b] for a, b in zip([0] + marks[:-1], marks)]
    curves = {label: [abs(e - x) / x for e, x in zip(estimates_at_marks(label, make(), chunks, report), exact)]
              for label, make in COUNTERS.items()}
    return marks, curves


def estimates_at_marks(label, sketch, chunks, report):
    """Feeds the chunks in order under one progress bar; the estimate after each."""
    estimates = []

    def feed(chunk):
        sketch.update_many(chunk)
        estimates.append(sketch.estimate())
    report.stream(label, chunks, feed)
    return estimates


def quantile_curves(lengths, report):
    ordered = sorted(lengths)
    exact = [ordered[min(len(ordered) - 1, int(q * len(ordered)))] for q in RANKS]
    estimates, rank_errors = {}, {}
    for label, (make, method) in QUANTILES.items():
        summary = make()
        report.columns(label, lengths, getattr(summary, method))
        values = [summary.quantile(q) for q in RANKS]
        estimates[label] = values
        rank_errors[label] = [rank_error(ordered, v, q) for v, q in zip(values, RANKS)]
    return exact, estimates, rank_errors


def rank_error(ordered, value, q):
    low = bisect.bisect_left(ordered, value) / len(ordered)
    high = bisect.bisect_right(ordered, value) / len(ordered)
    return 0.0 if low <= q <= high else min(abs(low - q), abs(high - q))


def draw(marks, curves, exact, estimates, rank_errors):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, (left, middle, right) = plt.subplots(1, 3, figsize=(18, 5.5))
    for label, errors in curves.items():
        left.plot(marks, errors, label=label, linewidth=1.2)
    left.axhline(1.04 / math.sqrt(4096), color="grey", linestyle=":", label="1.04/sqrt(4096)")
    left.set(xscale="log", xlabel="lines streamed", ylabel="relative error of the distinct count",
             title="Distinct counters as the stream grows")
    left.legend(fontsize=8)
    middle.plot(RANKS, exact, color="black", linewidth=2.5, label="exact")
    for label, values in estimates.items():
        middle.plot(RANKS, values, linewidth=1, label=label)
    middle.set(yscale="log", xlabel="rank", ylabel="line length (characters)",
               title="Quantiles of line lengths: estimated and exact")
    middle.legend(fontsize=8)
    for label, errors in rank_errors.items():
        right.plot(RANKS, errors, linewidth=1, label=label)
    right.set(xlabel="rank", ylabel="rank error", title="Rank error of each estimated quantile")
    right.legend(fontsize=8)
    figure.suptitle("quillo on the Python standard library's source")
    figure.tight_layout()
    PICTURE.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(PICTURE, dpi=110)
    plt.close(figure)


def run(corpus, report):
    marks, curves = error_curves(corpus.lines, report)
    lengths = [float(len(line)) for line in corpus.lines]
    exact, estimates, rank_errors = quantile_curves(lengths, report)
    draw(marks, curves, exact, estimates, rank_errors)
    worst = {label: max(errors) for label, errors in rank_errors.items()}
    report.table(f"Picture written to {PICTURE}", ["curve", "worst value"],
                 [[f"{label}: relative error at the full stream", errors[-1]] for label, errors in curves.items()]
                 + [[f"{label}: largest rank error", worst[label]] for label in worst])
