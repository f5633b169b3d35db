"""Distinct words with HllSketchMode (exact while small, HLL when large), and
distinct lines through an HllUnion of sketches made at different precisions."""

import quillo
from demo_support import relative_error

HEADERS = ["summary", "exact", "estimate", "rel. error", "mode", "bytes", "updates"]


def sketch_rows(corpus, report):
    words = corpus.words
    rows = []
    vocabulary = sorted(set(words))
    for count in (7, 150, 5000):
        sketch = quillo.HllSketchMode(12)
        sketch.update_many(vocabulary[:count])
        estimate = sketch.estimate()
        rows.append([f"HllSketchMode(12), {count} words", count, estimate, relative_error(estimate, count),
                     sketch.mode(), sketch.memory_usage(), "-"])
    exact = len(set(words))
    for lg_k in (8, 12, 16):
        sketch = quillo.HllSketchMode(lg_k)
        rate = report.columns(f"HllSketchMode({lg_k})", words, sketch.update_many)
        estimate = sketch.estimate()
        rows.append([f"HllSketchMode({lg_k})", exact, estimate, relative_error(estimate, exact), sketch.mode(),
                     sketch.memory_usage(), f"{rate / 1e6:.1f} M/s"])
    return rows


def union_rows(corpus, report):
    lines = corpus.lines
    exact = len(set(lines))
    third = len(lines) // 3
    parts = [(10, lines[:third]), (12, lines[third:2 * third]), (14, lines[2 * third:])]
    sketches = []
    for lg_k, part in parts:
        sketch = quillo.HllSketchMode(lg_k)
        report.columns(f"HllSketchMode({lg_k}), lines", part, sketch.update_many)
        sketches.append(sketch)
    union = quillo.HllUnion(12)
    for sketch in sketches:
        union.update_with_sketch(sketch)
    estimate = union.estimate()
    rows = [["HllUnion(12) of lg_k 10, 12, 14 (ends at 10)", exact, estimate, relative_error(estimate, exact), "-",
             len(union.to_bytes()), "-"]]
    direct = quillo.HllUnion(12)
    rate = report.columns("HllUnion(12).update_many", lines, direct.update_many)
    estimate = direct.estimate()
    rows.append(["HllUnion(12), lines", exact, estimate, relative_error(estimate, exact), "-",
                 len(direct.to_bytes()), f"{rate / 1e6:.1f} M/s"])
    return rows


def run(corpus, report):
    report.table("HllSketchMode distinct words (bytes: memory_usage)", HEADERS, sketch_rows(corpus, report))
    report.table("HllUnion distinct lines across precisions (bytes: image)", HEADERS, union_rows(corpus, report))
