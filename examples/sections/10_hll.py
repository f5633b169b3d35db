"""Distinct words: HllSketch at several precisions, and a merge of two halves."""

import quillo
from demo_support import relative_error


def run(corpus, report):
    words = corpus.words
    exact = len(set(words))
    rows = []
    for lg_k in (8, 12, 16):
        sketch = quillo.HllSketch(lg_k)
        rate = report.columns(f"HllSketch({lg_k})", words, sketch.update_many)
        estimate = sketch.estimate()
        rows.append([f"HllSketch({lg_k})", exact, estimate, relative_error(estimate, exact),
                     len(sketch.to_bytes()), f"{rate / 1e6:.1f} M/s"])
    half = len(words) // 2
    left, right = quillo.HllSketch(12), quillo.HllSketch(12)
    left.update_many(words[:half])
    right.update_many(words[half:])
    left.merge(right)
    estimate = left.estimate()
    rows.append(["HllSketch(12), merged halves", exact, estimate, relative_error(estimate, exact),
                 len(left.to_bytes()), "-"])
    report.table("HLL distinct words", ["summary", "exact", "estimate", "rel. error", "image bytes", "updates"],
                 rows)
