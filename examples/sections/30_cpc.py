"""Distinct words: CpcSketch at several precisions, and a merge of two halves
(which switches the estimate from the running HIP sum to the coupon count)."""

import quillo
from demo_support import relative_error


def run(corpus, report):
    words = corpus.words
    exact = len(set(words))
    rows = []
    for lg_k in (8, 11, 14):
        sketch = quillo.CpcSketch(lg_k)
        rate = report.columns(f"CpcSketch({lg_k})", words, sketch.update_many)
        estimate = sketch.estimate()
        rows.append([f"CpcSketch({lg_k})", exact, estimate, relative_error(estimate, exact),
                     len(sketch.to_bytes()), f"{rate / 1e6:.1f} M/s"])
    half = len(words) // 2
    left, right = quillo.CpcSketch(11), quillo.CpcSketch(11)
    left.update_many(words[:half])
    right.update_many(words[half:])
    left.merge(right)
    estimate = left.estimate()
    rows.append(["CpcSketch(11), merged halves", exact, estimate, relative_error(estimate, exact),
                 len(left.to_bytes()), "-"])
    report.table("CPC distinct words", ["summary", "exact", "estimate", "rel. error", "image bytes", "updates"],
                 rows)
