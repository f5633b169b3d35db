"""Timing helpers shared by the benchmark scripts."""

import importlib
import platform
import time

ITEMS = [f"user-{i}-{i * 7919 % 1000003}" for i in range(200_000)]
REPEATS = 5


def ns_per_call(update, items=ITEMS, repeats=REPEATS):
    """Best of ``repeats`` passes of ``update`` over ``items``, in ns per call."""
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter_ns()
        for item in items:
            update(item)
        best = min(best, (time.perf_counter_ns() - start) / len(items))
    return best


def optional_import(name):
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


def print_header():
    print(f"python {platform.python_version()} on {platform.machine()}; best of {REPEATS} passes "
          f"over {len(ITEMS):,} distinct strings; ratio = peer ns / quillo ns\n")


def print_rows(title, ours, peers):
    """``ours``: ns per call; ``peers``: {name: ns or None when unavailable}."""
    print(title)
    print(f"  {'quillo':<28} {ours:8.1f} ns")
    for name, ns in peers.items():
        if ns is None:
            print(f"  {name:<28}  not installed")
        else:
            print(f"  {name:<28} {ns:8.1f} ns   ratio {ns / ours:5.2f}x")
    print()
