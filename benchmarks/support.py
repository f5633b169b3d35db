"""Timing helpers and the row type shared by the benchmark modules."""

import importlib
import time
from dataclasses import dataclass
from typing import Optional

ITEMS = [f"user-{i}-{i * 7919 % 1000003}" for i in range(200_000)]
# For peers that take microseconds per call, timed in one pass.
SLOW_ITEMS = ITEMS[:10_000]
REPEATS = 5


@dataclass
class Row:
    cls: str
    operation: str
    ours_ns: Optional[float]
    peer: str = "-"
    peer_ns: Optional[float] = None
    ours_bytes: Optional[int] = None
    peer_bytes: Optional[int] = None


def ns_per_call(call, items=ITEMS, repeats=REPEATS, second=None):
    """Best of ``repeats`` passes of ``call(item)`` (or ``call(item, second)``)
    over ``items``, in ns per call."""
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter_ns()
        if second is None:
            for item in items:
                call(item)
        else:
            for item in items:
                call(item, second)
        best = min(best, (time.perf_counter_ns() - start) / len(items))
    return best


def ns_per_slow_call(call, items=SLOW_ITEMS):
    return ns_per_call(call, items, repeats=1)


def ns_once(action, repeats=REPEATS):
    """Best of ``repeats`` runs of ``action()``, in ns."""
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter_ns()
        action()
        best = min(best, time.perf_counter_ns() - start)
    return best


def filled(summary, method="update", items=ITEMS):
    update = getattr(summary, method)
    for item in items:
        update(item)
    return summary


def optional_import(name):
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


def peer_rows(cls, operation, ours_ns, peers, ours_bytes=None):
    """One row per peer; ``peers``: {name: (ns, image bytes) or None when not installed}."""
    if not peers:
        return [Row(cls, operation, ours_ns, ours_bytes=ours_bytes)]
    rows = []
    for name, measured in peers.items():
        if measured is None:
            rows.append(Row(cls, operation, ours_ns, f"{name} (not installed)", ours_bytes=ours_bytes))
        else:
            ns, size = measured
            rows.append(Row(cls, operation, ours_ns, name, ns, ours_bytes, size))
    return rows
