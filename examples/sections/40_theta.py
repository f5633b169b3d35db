"""Distinct words and lines: ThetaSketch at several sizes, the union,
intersection and difference of the two halves of the stream, the TupleSketch
on the same words, and the AodSketch carrying each word's length."""

import quillo
from demo_support import relative_error

HEADERS = ["summary", "exact", "estimate", "rel. error", "image bytes", "updates"]


def _row(label, exact, sketch, rate=None):
    estimate = sketch.estimate()
    return [label, exact, estimate, relative_error(estimate, exact), len(sketch.to_bytes()),
            f"{rate / 1e6:.1f} M/s" if rate else "-"]


def _filled(k, items):
    sketch = quillo.ThetaSketch(k)
    sketch.update_many(items)
    return sketch


def run(corpus, report):
    words, lines = corpus.words, corpus.lines
    rows = []
    for k in (1024, 4096, 16384):
        sketch = quillo.ThetaSketch(k)
        rate = report.columns(f"ThetaSketch({k})", words, sketch.update_many)
        rows.append(_row(f"ThetaSketch({k}) words", len(set(words)), sketch, rate))
    sketch = quillo.ThetaSketch(4096)
    rate = report.columns("ThetaSketch(4096) lines", lines, sketch.update_many)
    rows.append(_row("ThetaSketch(4096) lines", len(set(lines)), sketch, rate))
    tuple_sketch = quillo.TupleSketch(4096)
    rate = report.columns("TupleSketch(4096)", words, tuple_sketch.update_many, [1.0] * len(words))
    rows.append(_row("TupleSketch(4096) words", len(set(words)), tuple_sketch, rate))
    report.table("Theta distinct counts", HEADERS, rows)

    half = len(lines) // 2
    first, second = lines[:half], lines[half:]
    exact_first, exact_second = set(first), set(second)
    left, right = _filled(4096, first), _filled(4096, second)
    rows = [
        _row("first half", len(exact_first), left),
        _row("second half", len(exact_second), right),
        _row("union", len(exact_first | exact_second), left.union(right)),
        _row("intersection", len(exact_first & exact_second), left.intersect(right)),
        _row("first \\ second", len(exact_first - exact_second), left.difference(right)),
        _row("second \\ first", len(exact_second - exact_first), right.difference(left)),
    ]
    report.table("Theta set operations on the two halves of the lines (k = 4096)", HEADERS, rows)


    aod = quillo.AodSketch(4096, 2)
    rate = report.columns("AodSketch(4096, 2)", words, aod.update_many, [[1.0, len(word)] for word in words])
    distinct = set(words)
    exact_mean = sum(map(len, distinct)) / len(distinct)
    estimate = aod.estimate()
    rows = [
        ["distinct words", len(distinct), estimate, relative_error(estimate, len(distinct))],
        ["lower bound (95%)", len(distinct), aod.lower_bound(0.95), "-"],
        ["upper bound (95%)", len(distinct), aod.upper_bound(0.95), "-"],
        ["mean length of a distinct word", exact_mean, aod.column_means()[1],
         relative_error(aod.column_means()[1], exact_mean)],
    ]
    report.table(f"AodSketch(4096, 2) on words with [1, length]: image {len(aod.to_bytes()):,} bytes, "
                 f"{rate / 1e6:.1f} M updates/s", ["quantity", "exact", "estimate", "rel. error"], rows)
