"""Frequency and membership on the word stream: estimates beside exact counts,
and the Bloom filter's false-positive rate on words it never saw."""

from collections import Counter

import quillo
from demo_support import relative_error

TOP = 20
MAP_SIZE = 2048


def run(corpus, report):
    words = corpus.words
    exact = Counter(words)
    top = exact.most_common(TOP)
    _row_sketches(words, top, report)
    _frequent_strings(words, exact, report)
    _bloom(words, report)


def _row_sketches(words, top, report):
    plain = quillo.CountMinSketch.with_error_bounds(0.001, 0.01)
    conservative = quillo.CountMinSketch.with_error_bounds(0.001, 0.01, True)
    signed = quillo.CountSketch(2719, 5)
    speeds = [report.columns("CountMinSketch", words, plain.update_many),
              report.columns("CountMinSketch conservative", words, conservative.update_many),
              report.columns("CountSketch", words, signed.update_many)]
    rows = []
    for word, count in top:
        row = [word, count]
        for sketch in (plain, conservative, signed):
            row += [sketch.estimate(word), relative_error(sketch.estimate(word), count)]
        rows.append(row)
    report.table(f"Count-Min (plain, conservative) and Count sketch estimates of the {TOP} most frequent words, "
                 f"each 2719 x 5",
                 ["word", "exact", "plain", "rel. error", "conservative", "rel. error", "count sketch", "rel. error"],
                 rows)
    report.table("Row sketches: image size and update rate",
                 ["sketch", "image bytes", "updates"],
                 [[name, len(sketch.to_bytes()), f"{speed / 1e6:.1f} M/s"]
                  for name, sketch, speed in zip(["CountMinSketch", "CountMinSketch conservative", "CountSketch"],
                                                 (plain, conservative, signed), speeds)])


def _frequent_strings(words, exact, report):
    sketch = quillo.FrequentStringsSketch(MAP_SIZE, None)
    speed = report.columns("FrequentStringsSketch", words, sketch.update_many)
    rows = []
    for word, estimate, lower, upper in sketch.get_top_k(TOP):
        rows.append([word, exact[word], estimate, lower, upper, "yes" if lower <= exact[word] <= upper else "NO",
                     relative_error(estimate, exact[word])])
    stats = sketch.statistics()
    report.table(f"FrequentStringsSketch({MAP_SIZE}) top {TOP} with bounds (offset {stats['offset']:,}; "
                 f"{len(sketch.to_bytes()):,} image bytes; {speed / 1e6:.1f} M updates/s)",
                 ["word", "exact", "estimate", "lower", "upper", "inside", "rel. error"], rows)


def _bloom(words, report):
    distinct = sorted(set(words))
    added, absent = distinct[::2], distinct[1::2]
    rows = []
    for rate in (0.01, 0.001):
        f = quillo.BloomFilter(len(added), rate)
        speed = report.columns(f"BloomFilter({rate})", added, f.add_many)
        measured = sum(map(f.contains, absent)) / len(absent)
        rows.append([f"BloomFilter(n={len(added):,}, p={rate})", rate, measured,
                     f.false_positive_probability(), relative_error(measured, rate), len(f.to_bytes()),
                     f"{speed / 1e6:.1f} M/s"])
    counting = quillo.CountingBloomFilter(len(added), 0.01)
    speed = report.columns("CountingBloomFilter", added, counting.add_many)
    removed, kept = added[::2], added[1::2]
    for word in removed:
        counting.remove(word)
    measured = sum(map(counting.contains, absent + removed)) / len(absent + removed)
    rows.append([f"CountingBloomFilter(n={len(added):,}, p=0.01), half removed", 0.01, measured, "-",
                 relative_error(measured, 0.01), len(counting.to_bytes()), f"{speed / 1e6:.1f} M/s"])
    missing = sum(not counting.contains(word) for word in kept)
    report.table(f"Bloom filters: false positives on distinct words never added (or removed); "
                 f"false negatives after removals: {missing}",
                 ["filter", "configured", "measured", "reported", "rel. error", "image bytes", "adds"], rows)
