"""Distinct words and lines: LinearCounter sized for the stream, and
HybridCounter carrying its estimate from the bitmap into HyperLogLog."""

import quillo
from demo_support import relative_error

HEADERS = ["summary", "exact", "estimate", "rel. error", "image bytes", "updates"]


def _row(label, counter, exact, rate, extra=""):
    estimate = counter.estimate()
    return [label + extra, exact, estimate, relative_error(estimate, exact), len(counter.to_bytes()),
            f"{rate / 1e6:.1f} M/s"]


def _linear_rows(corpus, report):
    rows = []
    for name, stream in (("words", corpus.words), ("lines", corpus.lines)):
        exact = len(set(stream))
        counter = quillo.LinearCounter.with_expected_cardinality(exact, 0.05)
        rate = report.columns(f"LinearCounter {name}", stream, counter.update_many)
        rows.append(_row(f"LinearCounter, {name}", counter, exact, rate))
    return rows


def _hybrid_rows(corpus, report):
    rows = []
    for name, stream in (("words", corpus.words), ("lines", corpus.lines)):
        exact = len(set(stream))
        counter = quillo.HybridCounter.with_range(exact)
        rate = report.columns(f"HybridCounter {name}", stream, counter.update_many)
        rows.append(_row(f"HybridCounter, {name}", counter, exact, rate, f" ({counter.mode()})"))
    return rows


def _switch_rows(corpus):
    """The estimate just before and just after the switch to HyperLogLog."""
    counter = quillo.HybridCounter.with_range(100_000)
    seen, before = set(), None
    for word in corpus.words:
        seen.add(word)
        estimate = counter.estimate()
        counter.update(word)
        if counter.mode() == "HyperLogLog":
            before = estimate
            break
    if before is None:
        return []
    after = counter.estimate()
    return [["HybridCounter, before switch", len(seen) - 1, before, relative_error(before, len(seen) - 1), "-", "-"],
            ["HybridCounter, after switch", len(seen), after, relative_error(after, len(seen)), "-", "-"]]


def run(corpus, report):
    rows = _linear_rows(corpus, report) + _hybrid_rows(corpus, report) + _switch_rows(corpus)
    report.table("Linear and hybrid counters", HEADERS, rows)
