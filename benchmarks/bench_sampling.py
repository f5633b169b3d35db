"""Samplers: per-item cost against a reservoir loop written with Python's
`random` and against the datasketches VarOpt sampler given weight 1."""

import random
import time

import quillo
from support import ITEMS, REPEATS, filled, ns_per_call, optional_import, peer_rows

CAPACITY = 100
BATCH = 1000
# Small samples, and samples large enough that a cost per item linear in the
# sample size would dominate.
WEIGHTED_CAPACITIES = (100, 100_000)
VAROPT_KS = (100, 50_000)


class PythonReservoir:
    """Algorithm R as most code bases write it."""

    def __init__(self, capacity):
        self.capacity, self.seen, self.sample = capacity, 0, []

    def add(self, item):
        self.seen += 1
        if len(self.sample) < self.capacity:
            self.sample.append(item)
        else:
            j = random.randrange(self.seen)
            if j < self.capacity:
                self.sample[j] = item


def reservoirs(ds):
    peers = {"Python random loop": (ns_per_call(PythonReservoir(CAPACITY).add), None)}
    peers["datasketches var_opt_sketch, weight 1"] = (
        ns_per_call(ds.var_opt_sketch(CAPACITY).update, second=1.0),
        len(filled(ds.var_opt_sketch(CAPACITY)).serialize(ds.PyStringsSerDe()))) if ds else None
    rows = []
    for cls in (quillo.ReservoirSamplerA, quillo.ReservoirSamplerR):
        size = len(filled(cls(CAPACITY), "add").to_bytes())
        rows += peer_rows(cls.__name__, f"add, capacity {CAPACITY}", ns_per_call(cls(CAPACITY).add), peers, size)
    return rows


def weighted(ds):
    rows = []
    for capacity in WEIGHTED_CAPACITIES:
        sampler = quillo.WeightedReservoirSampler(capacity)
        ours = ns_per_call(sampler.add_weighted, second=1.5)
        peer = (ns_per_call(ds.var_opt_sketch(capacity).update, second=1.5), None) if ds else None
        rows += peer_rows("WeightedReservoirSampler", f"add_weighted, capacity {capacity:,}", ours,
                          {"datasketches var_opt_sketch": peer}, len(sampler.to_bytes()))
    return rows


def stream_sampler():
    sampler = quillo.StreamSampler(CAPACITY, BATCH)
    batches = [ITEMS[i:i + BATCH] for i in range(0, len(ITEMS), BATCH)]
    ours = ns_per_call(sampler.push_batch, items=batches) / BATCH
    return peer_rows("StreamSampler", f"push_batch per item, lists of {BATCH:,}", ours, {}, len(sampler.to_bytes()))


def ns_per_pair_call(call, pairs, repeats=REPEATS):
    """Best of ``repeats`` passes of ``call(item, weight)`` over ``pairs``, in ns per call."""
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter_ns()
        for item, weight in pairs:
            call(item, weight)
        best = min(best, (time.perf_counter_ns() - start) / len(pairs))
    return best


def varopt(ds):
    pairs = [(item, 1.0 + (i % 97)) for i, item in enumerate(ITEMS)]
    rows = []
    for k in VAROPT_KS:
        sketch = quillo.VarOptSketch(k)
        ours = ns_per_pair_call(sketch.update, pairs)
        peer = None
        if ds:
            other = ds.var_opt_sketch(k)
            peer = (ns_per_pair_call(other.update, pairs), len(other.serialize(ds.PyStringsSerDe())))
        rows += peer_rows("VarOptSketch", f"update with varying weights, k {k:,}", ours,
                          {"datasketches var_opt_sketch": peer}, len(sketch.to_bytes()))
    return rows


def rows():
    ds = optional_import("datasketches")
    return reservoirs(ds) + weighted(ds) + stream_sampler() + varopt(ds)
