"""Frequency and membership on the word stream: estimates beside exact counts,
and the Bloom filter's false-positive rate on words it never saw."""

import quillo
from demo_support import relative_error


def run(corpus, report):
    words = corpus.words
    _bloom(words, report)


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
