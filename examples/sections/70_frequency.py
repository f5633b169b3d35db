"""Frequency and membership on the word stream: estimates beside exact counts,
and the Bloom filter's false-positive rate on words it never saw."""

from collections import Counter

import quillo
from demo_support import relative_error

TOP = 20


def run(corpus, report):
    words = corpus.words
    exact = Counter(words)
    top = exact.most_common(TOP)
    _row_sketches(words, top, report)
    _bloom(words, report)


def _row_sketches(words, top, report):
    plain = quillo.CountMinSketch.with_error_bounds(0.001, 0.01)
    conservative = quillo.CountMinSketch.with_error_bounds(0.001, 0.01, True)
    speeds = [report.stream("CountMinSketch", words, plain.increment),
              report.stream("CountMinSketch conservative", words, conservative.increment)]
    rows = [[word, count, plain.estimate(word), relative_error(plain.estimate(word), count),
             conservative.estimate(word), relative_error(conservative.estimate(word), count)]
            for word, count in top]
    report.table(f"Count-Min estimates of the {TOP} most frequent words "
                 f"(2719 x 5; {len(plain.to_bytes()):,} image bytes; "
                 f"{speeds[0] / 1e6:.1f} / {speeds[1] / 1e6:.1f} M updates/s)",
                 ["word", "exact", "plain", "rel. error", "conservative", "rel. error"], rows)


def _bloom(words, report):
    distinct = sorted(set(words))
    added, absent = distinct[::2], distinct[1::2]
    rows = []
    for rate in (0.01, 0.001):
        f = quillo.BloomFilter(len(added), rate)
        speed = report.stream(f"BloomFilter({rate})", added, f.add)
        measured = sum(map(f.contains, absent)) / len(absent)
        rows.append([f"BloomFilter(n={len(added):,}, p={rate})", rate, measured,
                     f.false_positive_probability(), relative_error(measured, rate), len(f.to_bytes()),
                     f"{speed / 1e6:.1f} M/s"])
    report.table("Bloom filter: false positives on distinct words never added",
                 ["filter", "configured", "measured", "reported", "rel. error", "image bytes", "adds"], rows)
