"""Distinct words: the HLL variants side by side, HLL++ dense and sparse, at
the default precision, on the full word stream and on a small slice where
HLL++'s bias correction matters most."""

import quillo
from demo_support import relative_error

PRECISION = 12
# About 2 m distinct words at precision 12: past linear counting, inside the bias-corrected range.
SMALL_SLICE = 120_000
VARIANTS = ["HllSketch", "HllSketchMode", "HllUnion", "HllPlusPlusSketch", "HllPlusPlusSparseSketch"]


def _available():
    return [getattr(quillo, name) for name in VARIANTS if hasattr(quillo, name)]


def _image_size(sketch):
    return len(sketch.to_bytes()) if hasattr(sketch, "to_bytes") else "-"


def _rows(words, report, label, rates=True):
    exact = len(set(words))
    rows = []
    for cls in _available():
        sketch = cls(PRECISION)
        name = f"{cls.__name__}({PRECISION})"
        if rates:
            rate = f"{report.columns(name, words, sketch.update_many) / 1e6:.1f} M/s"
        else:
            sketch.update_many(words)
            rate = "-"
        estimate = sketch.estimate()
        rows.append([f"{name}, {label}", exact, estimate, relative_error(estimate, exact), _image_size(sketch),
                     rate])
    return rows


def run(corpus, report):
    words = corpus.words
    rows = _rows(words, report, "all words") + _rows(words[:SMALL_SLICE], report, "slice", rates=False)
    report.table("HLL variants, distinct words",
                 ["summary", "exact", "estimate", "rel. error", "image bytes", "updates"], rows)
