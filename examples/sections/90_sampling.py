"""Samples of stdlib lines: the share of lines that define a function,
estimated from samples beside the exact share; and a VarOpt sample of the
word counts estimating how often private names occur."""

from collections import Counter

import quillo
from demo_support import relative_error

CAPACITY = 2_000
BATCH = 1_000
HEADERS = ["summary", "exact", "estimate", "rel. error", "image bytes", "updates"]


def is_definition(line):
    return line.lstrip().startswith(("def ", "async def "))


def share(lines):
    return sum(map(is_definition, lines)) / len(lines) if lines else 0.0


def row(label, exact, estimate, sampler, rate):
    return [label, exact, estimate, relative_error(estimate, exact), len(sampler.to_bytes()), f"{rate / 1e6:.1f} M/s"]


def uniform_rows(report, lines):
    exact = share(lines)
    rows = []
    for cls in (quillo.ReservoirSamplerR, quillo.ReservoirSamplerA):
        label = f"{cls.__name__}({CAPACITY})"
        sampler = cls(CAPACITY)
        rate = report.columns(label, lines, sampler.add_many)
        rows.append(row(label, exact, share(sampler.sample()), sampler, rate))
    label = f"StreamSampler({CAPACITY}, {BATCH})"
    sampler = quillo.StreamSampler(CAPACITY, BATCH)
    batches = [lines[i:i + BATCH] for i in range(0, len(lines), BATCH)]
    rate = report.stream(label, batches, sampler.push_batch) * BATCH
    sampler.flush()
    rows.append(row(label, exact, share(sampler.sample()), sampler, rate))
    return rows


def weighted_row(report, lines):
    # Lines drawn in proportion to their length: the sample's share of
    # definitions estimates the share of characters on definition lines.
    exact = sum(len(line) for line in lines if is_definition(line)) / sum(map(len, lines))
    label = f"WeightedReservoirSampler({CAPACITY})"
    sampler = quillo.WeightedReservoirSampler(CAPACITY)
    rate = report.columns(label, lines, sampler.add_weighted_many, [len(line) for line in lines])
    return row(label + ", by length", exact, share(sampler.sample()), sampler, rate)


def varopt_rows(report, words):
    # Each distinct word once, weighted by its count: the adjusted weights of
    # the sampled private names estimate their total number of occurrences.
    counts = list(Counter(words).items())
    exact = sum(n for word, n in counts if word.startswith("_"))
    rows = []
    for k in (256, 4096):
        label = f"VarOptSketch({k})"
        sketch = quillo.VarOptSketch(k)
        rate = report.columns(label, [word for word, _ in counts], sketch.update_many, [n for _, n in counts])
        estimate = sum(w for word, w in sketch.get_samples() if word.startswith("_"))
        rows.append([label, exact, estimate, relative_error(estimate, exact), len(sketch.to_bytes()),
                     f"{rate / 1e6:.2f} M/s"])
    return rows


def run(corpus, report):
    lines = corpus.lines
    report.table(f"Sampling: share of {len(lines):,} lines that start a function", HEADERS,
                 uniform_rows(report, lines) + [weighted_row(report, lines)])
    report.table(f"VarOpt: occurrences of names starting with '_' among {len(corpus.words):,} words", HEADERS,
                 varopt_rows(report, corpus.words))
