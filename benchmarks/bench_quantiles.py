"""Quantile summaries: ns per update, and ns per query over a sweep of 1,000
ranks on a summary filled with 200,000 values."""

import random

import quillo
from support import ns_per_call, optional_import, peer_rows

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


def filled(summary, method):
    update = getattr(summary, method)
    for v in VALUES:
        update(v)
    return summary


def update_and_sweep(cls, operation, ours, peer_name, make_peer):
    """Rows for ns per update and per swept query; ``ours``, ``make_peer``: factories."""
    update_peer = sweep_peer = None
    if make_peer:
        other = filled(make_peer(), "update")
        update_peer = (ns_per_call(make_peer().update, items=VALUES), len(other.serialize()))
        sweep_peer = (ns_per_call(other.get_quantile, items=RANKS), None)
    mine = filled(ours(), "update")
    rows = peer_rows(cls, operation, ns_per_call(ours().update, items=VALUES), {peer_name: update_peer},
                     len(mine.to_bytes()))
    return rows + peer_rows(cls, "quantile, 1,000-rank sweep, per query", ns_per_call(mine.quantile, items=RANKS),
                            {peer_name: sweep_peer})


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
