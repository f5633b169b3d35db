"""Quantile summaries from Python against peer sketches: ns per update, and
ns per query over a sweep of 1,000 ranks on a filled summary."""

import random

import quillo
from support import ns_per_call, optional_import, print_rows

_RNG = random.Random(1)
VALUES = [_RNG.random() for _ in range(200_000)]
SLOW_VALUES = VALUES[:10_000]  # for peers that take microseconds per value
RANKS = [i / 1000 for i in range(1000)]
BATCH = 1000
KLL_K = 200
REQ_K = 12
COMPRESSION = 100


def per_value_in_batches(add_batch):
    """ns per value when values arrive in lists of BATCH."""
    batches = [VALUES[i:i + BATCH] for i in range(0, len(VALUES), BATCH)]
    return ns_per_call(add_batch, items=batches) / BATCH


def filled(summary, update):
    for v in VALUES:
        update(v)
    return summary


def sweep(query):
    return ns_per_call(query, items=RANKS)


def bench_kll(datasketches):
    ours = ns_per_call(quillo.KllSketch(KLL_K).update, items=VALUES)
    peer = ns_per_call(datasketches.kll_doubles_sketch(KLL_K).update, items=VALUES) if datasketches else None
    print_rows(f"KllSketch.update, k={KLL_K}", ours, {"datasketches kll_doubles_sketch": peer})
    sketch = quillo.KllSketch(KLL_K)
    ours = sweep(filled(sketch, sketch.update).quantile)
    peer = None
    if datasketches:
        other = datasketches.kll_doubles_sketch(KLL_K)
        peer = sweep(filled(other, other.update).get_quantile)
    print_rows("KllSketch.quantile, 1,000-rank sweep, per query", ours, {"datasketches get_quantile": peer})


def bench_req(datasketches):
    ours = ns_per_call(quillo.ReqSketch(REQ_K).update, items=VALUES)
    peer = ns_per_call(datasketches.req_floats_sketch(REQ_K, True).update, items=VALUES) if datasketches else None
    print_rows(f"ReqSketch.update, k={REQ_K}, HRA", ours, {"datasketches req_floats_sketch": peer})
    sketch = quillo.ReqSketch(REQ_K)
    ours = sweep(filled(sketch, sketch.update).quantile)
    peer = None
    if datasketches:
        other = datasketches.req_floats_sketch(REQ_K, True)
        peer = sweep(filled(other, other.update).get_quantile)
    print_rows("ReqSketch.quantile, 1,000-rank sweep, per query", ours, {"datasketches get_quantile": peer})


def tdigest_peers(datasketches):
    peers = {"datasketches tdigest_double": (
        ns_per_call(datasketches.tdigest_double(COMPRESSION).update, items=VALUES) if datasketches else None)}
    tdigest = optional_import("tdigest")
    peers["tdigest TDigest (10k values)"] = (
        ns_per_call(tdigest.TDigest().update, items=SLOW_VALUES, repeats=1) if tdigest else None)
    pytdigest = optional_import("pytdigest")
    peers["pytdigest TDigest (10k values)"] = (
        ns_per_call(pytdigest.TDigest(COMPRESSION).update, items=SLOW_VALUES, repeats=1) if pytdigest else None)
    return peers


def bench_tdigest(datasketches):
    peers = tdigest_peers(datasketches)
    ours = per_value_in_batches(quillo.TDigest(COMPRESSION).add_batch)
    print_rows(f"TDigest.add_batch per value, lists of {BATCH}, compression={COMPRESSION}", ours, peers)
    ours = ns_per_call(quillo.StreamingTDigest(COMPRESSION).add, items=VALUES)
    print_rows(f"StreamingTDigest.add, compression={COMPRESSION}", ours, peers)
    digest = quillo.TDigest(COMPRESSION)
    digest.add_batch(VALUES)
    peer = None
    if datasketches:
        other = datasketches.tdigest_double(COMPRESSION)
        peer = sweep(filled(other, other.update).get_quantile)
    print_rows("TDigest.quantile, 1,000-rank sweep, per query", sweep(digest.quantile),
               {"datasketches get_quantile": peer})


def run():
    datasketches = optional_import("datasketches")
    bench_kll(datasketches)
    bench_req(datasketches)
    bench_tdigest(datasketches)
