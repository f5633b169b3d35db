"""Quantile summaries: ns per update; ns per query over a sweep of 1,000
ranks (or values) on a summary filled with 200,000 values; ns per batch query
of 100 ranks or split points, against the peer's batch call given the same
input (a list, then a NumPy array) or, for the T-Digest, against a Python loop
of its own single queries."""

import random
import statistics
import time

import quillo
from support import ns_per_call, optional_import, peer_rows

_RNG = random.Random(1)
VALUES = [_RNG.random() for _ in range(200_000)]
SLOW_VALUES = VALUES[:10_000]  # for peers that take microseconds per value
RANKS = [i / 1000 for i in range(1000)]
BATCH_RANKS = [i / 100 for i in range(1, 100)] + [0.995]
# Many short passes: the best of them (or, for the batches against a peer,
# the median of passes taken in turn with the peer's) is the least disturbed
# by other processes.
BATCH_CALLS = range(100)
BATCH_REPEATS = 40
BATCH = 1000
KLL_K = 200
REQ_K = 12
COMPRESSION = 100


def per_value_in_batches(add_batch):
    """ns per value when values arrive in lists of BATCH."""
    batches = [VALUES[i:i + BATCH] for i in range(0, len(VALUES), BATCH)]
    return ns_per_call(add_batch, items=batches) / BATCH


def filled(summary, method):
    update = getattr(summary, method)
    for v in VALUES:
        update(v)
    return summary


def per_batch(call, argument):
    """ns per call(argument), a batch query."""
    return ns_per_call(lambda _: call(argument), items=BATCH_CALLS, repeats=BATCH_REPEATS)


def batch_pair(ours, peer, argument):
    """ns per call of ours(argument) and of peer(argument): short passes of
    both in turn, so that both sides meet the same load, and the median of
    each side's passes."""
    ours_ns, peer_ns = [], []
    for _ in range(BATCH_REPEATS):
        for call, times in ((ours, ours_ns), (peer, peer_ns)):
            start = time.perf_counter_ns()
            for _ in BATCH_CALLS:
                call(argument)
            times.append((time.perf_counter_ns() - start) / len(BATCH_CALLS))
    return statistics.median(ours_ns), statistics.median(peer_ns)


def batch_rows(cls, peer_name, mine, peer, points):
    """quantiles and cdf, each with a list and with an ndarray on both sides."""
    np = optional_import("numpy")
    batches = [("quantiles of 100 ranks", mine.quantiles, peer and peer.get_quantiles, BATCH_RANKS),
               (f"cdf at {len(points)} split points", mine.cdf, peer and peer.get_cdf, points)]
    rows = []
    for operation, ours, theirs, argument in batches:
        forms = [("list", argument)] + ([("ndarray", np.array(argument))] if np else [])
        for form, given in forms:
            name = f"{operation}, {form}, per call"
            if theirs is None:
                rows += peer_rows(cls, name, per_batch(ours, given), {peer_name: None})
                continue
            ours_ns, peer_ns = batch_pair(ours, theirs, given)
            rows += peer_rows(cls, name, ours_ns, {peer_name: (peer_ns, None)})
    return rows


def update_and_sweep(cls, operation, ours, peer_name, make_peer):
    """Rows for ns per update, per single query and per batch query; ``ours``, ``make_peer``: factories."""
    peer = update_peer = None
    if make_peer:
        peer = filled(make_peer(), "update")
        update_peer = (ns_per_call(make_peer().update, items=VALUES), len(peer.serialize()))
    mine = filled(ours(), "update")
    # Split points at the sketch's own quantiles, as a CDF plot would place them.
    points = sorted(set(mine.quantiles(BATCH_RANKS)))
    rows = peer_rows(cls, operation, ns_per_call(ours().update, items=VALUES), {peer_name: update_peer},
                     len(mine.to_bytes()))
    queries = [
        ("quantile, 1,000-rank sweep, per query", lambda: ns_per_call(mine.quantile, items=RANKS),
         lambda: ns_per_call(peer.get_quantile, items=RANKS)),
        ("rank, 1,000-value sweep, per query", lambda: ns_per_call(mine.rank, items=VALUES[:1000]),
         lambda: ns_per_call(peer.get_rank, items=VALUES[:1000])),
    ]
    for operation_name, time_ours, time_peer in queries:
        rows += peer_rows(cls, operation_name, time_ours(), {peer_name: (time_peer(), None) if peer else None})
    return rows + batch_rows(cls, peer_name, mine, peer, points)


def tdigest_batch_rows(digest):
    """Batch queries against a Python loop of the single ones, on the same digest."""
    points = sorted(set(digest.quantiles(BATCH_RANKS)))
    values = VALUES[:100]
    batches = [
        ("quantiles of 100 ranks", digest.quantiles, BATCH_RANKS, lambda rs: [digest.quantile(r) for r in rs]),
        ("ranks of 100 values", digest.ranks, values, lambda vs: [digest.rank(v) for v in vs]),
        (f"cdf at {len(points)} split points", digest.cdf, points, lambda ps: [digest.rank(p) for p in ps] + [1.0]),
    ]
    rows = []
    for operation, batch, argument, loop in batches:
        assert batch(argument) == loop(argument)
        rows += peer_rows("TDigest", f"{operation}, per call", per_batch(batch, argument),
                          {"quillo TDigest, Python loop of single queries": (per_batch(loop, argument), None)})
    return rows


def tdigest_rows(ds):
    peers = {"datasketches tdigest_double": (
        ns_per_call(ds.tdigest_double(COMPRESSION).update, items=VALUES),
        len(filled(ds.tdigest_double(COMPRESSION), "update").serialize())) if ds else None}
    tdigest = optional_import("tdigest")
    peers["tdigest TDigest (10k values)"] = (
        ns_per_call(tdigest.TDigest().update, items=SLOW_VALUES, repeats=1), None) if tdigest else None
    pytdigest = optional_import("pytdigest")
    peers["pytdigest TDigest (10k values)"] = (
        ns_per_call(pytdigest.TDigest(COMPRESSION).update, items=SLOW_VALUES, repeats=1), None) if pytdigest else None
    digest = quillo.TDigest(COMPRESSION)
    digest.add_batch(VALUES)
    rows = peer_rows("TDigest", f"add_batch per value, lists of {BATCH:,}, compression {COMPRESSION}",
                     per_value_in_batches(quillo.TDigest(COMPRESSION).add_batch), peers, len(digest.to_bytes()))
    sweep_peer = None
    if ds:
        sweep_peer = (ns_per_call(filled(ds.tdigest_double(COMPRESSION), "update").get_quantile, items=RANKS), None)
    rows += peer_rows("TDigest", "quantile, 1,000-rank sweep, per query", ns_per_call(digest.quantile, items=RANKS),
                      {"datasketches tdigest_double": sweep_peer})
    rows += tdigest_batch_rows(digest)
    streaming = filled(quillo.StreamingTDigest(COMPRESSION), "add")
    rows += peer_rows("StreamingTDigest", f"add, compression {COMPRESSION}",
                      ns_per_call(quillo.StreamingTDigest(COMPRESSION).add, items=VALUES),
                      {"datasketches tdigest_double": peers["datasketches tdigest_double"]},
                      len(streaming.to_bytes()))
    return rows


def rows():
    ds = optional_import("datasketches")
    kll = update_and_sweep("KllSketch", f"update, k {KLL_K}", lambda: quillo.KllSketch(KLL_K),
                           "datasketches kll_doubles_sketch", ds and (lambda: ds.kll_doubles_sketch(KLL_K)))
    req = update_and_sweep("ReqSketch", f"update, k {REQ_K}, HRA", lambda: quillo.ReqSketch(REQ_K),
                           "datasketches req_floats_sketch", ds and (lambda: ds.req_floats_sketch(REQ_K, True)))
    return kll + req + tdigest_rows(ds)
