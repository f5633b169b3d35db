"""Samples of stdlib lines: the share of lines that define a function,
estimated from uniform samples beside the exact share."""

import quillo
from demo_support import relative_error

CAPACITY = 2_000


def is_definition(line):
    return line.lstrip().startswith(("def ", "async def "))


def share(lines):
    return sum(map(is_definition, lines)) / len(lines) if lines else 0.0


def run(corpus, report):
    lines = corpus.lines
    exact = share(lines)
    rows = []
    for cls in (quillo.ReservoirSamplerR, quillo.ReservoirSamplerA):
        sampler = cls(CAPACITY)
        rate = report.stream(f"{cls.__name__}({CAPACITY})", lines, sampler.add)
        estimate = share(sampler.sample())
        rows.append([f"{cls.__name__}({CAPACITY})", exact, estimate, relative_error(estimate, exact),
                     len(sampler.to_bytes()), f"{rate / 1e6:.1f} M/s"])
    report.table(f"Sampling: share of {len(lines):,} lines that start a function",
                 ["summary", "exact", "estimate", "rel. error", "image bytes", "updates"], rows)
