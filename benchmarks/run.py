"""Runs every benchmark in this folder in one process and prints one table.

Each bench_*.py module has ``rows()``, which times quillo and the peer
libraries on the same items in the same run. ratio = peer ns / quillo ns
(above 1: quillo is faster). Times include the Python call; image bytes are
the sizes of the serialized summaries after the benchmark's items.
Peers that are not installed are named as such (`make bench` installs them).

    python3 benchmarks/run.py
"""

import datetime
import importlib
import os
import pathlib
import platform
import sys

sys.path.insert(0, str(pathlib.Path(__file__).parent))

import quillo  # noqa: E402
from support import ITEMS, REPEATS  # noqa: E402

HEADERS = ["class", "operation", "quillo ns/op", "peer", "peer ns/op", "ratio", "image bytes vs peer"]
PEERS = ["datasketches", "hyperloglog", "pyprobables", "rbloom", "tdigest", "pytdigest"]


def cpu_name():
    try:
        for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def peer_versions():
    from importlib.metadata import PackageNotFoundError, version
    found = []
    for name in PEERS:
        try:
            found.append(f"{name} {version(name)}")
        except PackageNotFoundError:
            pass
    return ", ".join(found) or "none"


def machine():
    return (f"{cpu_name()}, {os.cpu_count()} cores, {platform.machine()}, {platform.system()}; "
            f"Python {platform.python_version()}; quillo {quillo.__version__}; peers: {peer_versions()}; "
            f"{datetime.date.today()}")


def ns(value):
    if value is None:
        return "-"
    return f"{value:,.1f}" if value < 1000 else f"{value:,.0f}"


def times(ratio):
    if ratio >= 10:
        return f"{ratio:,.0f}x"
    return f"{ratio:.2f}x" if ratio >= 0.1 else f"{ratio:.3f}x"


def cells(row):
    ratio = times(row.peer_ns / row.ours_ns) if row.peer_ns and row.ours_ns else "-"
    if row.ours_bytes is None:
        size = "-"
    elif row.peer_bytes is None:
        size = f"{row.ours_bytes:,}"
    else:
        size = f"{row.ours_bytes:,} vs {row.peer_bytes:,}"
    return [row.cls, row.operation, ns(row.ours_ns), row.peer, ns(row.peer_ns), ratio, size]


def print_table(rows):
    table = [HEADERS] + [cells(r) for r in rows]
    widths = [max(len(line[i]) for line in table) for i in range(len(HEADERS))]
    numeric = {2, 4, 5, 6}

    def line(values):
        return "| " + " | ".join(v.rjust(w) if i in numeric else v.ljust(w)
                                 for i, (v, w) in enumerate(zip(values, widths))) + " |"
    print(line(HEADERS))
    print("|" + "|".join("-" * (w + 1) + (":" if i in numeric else "-") for i, w in enumerate(widths)) + "|")
    for values in table[1:]:
        print(line(values))


def main():
    print(f"Measured on: {machine()}.\n")
    print(f"Best of {REPEATS} passes over {len(ITEMS):,} distinct strings (or 200,000 floats); "
          f"ratio = peer ns / quillo ns.\n")
    rows = []
    for path in sorted(pathlib.Path(__file__).parent.glob("bench_*.py")):
        rows.extend(importlib.import_module(path.stem).rows())
        print(f"  {path.stem} done", file=sys.stderr)
    print_table(rows)


if __name__ == "__main__":
    main()
