"""Distinct counters: the HLL family, CPC, and the linear and hybrid counters."""

import time

import quillo
from support import ITEMS, REPEATS, Row, filled, ns_per_call, optional_import, peer_rows

LG_K = 12
CPC_LG_K = 11
HLLPP_LG_K = 14
# The sparse HLL++ form against the dense one: new sketches fed this many
# items, and repeated updates of the first REPEATED_ITEMS items.
SPARSE_LG_KS = (12, 14, 18)
SPARSE_FILLS = (1_000, 10_000, 200_000)
REPEATED_ITEMS = 10_000
# Passes over short streams until this many updates, for steadier minima.
FILL_UPDATES = 2_000_000
# Sources of 150 items stay in SET mode at lg_k 12; sources of 2,000 are HLL.
SOURCE_SIZES = {"SET": 150, "HLL": 2000}
# Large enough that the benchmark items never make the linear counter switch.
LINEAR_BITS = 1 << 22
NEVER = 2**63


def measure(make, method="update", image=None):
    """ns per update over ITEMS, and the image size after them."""
    ns = ns_per_call(getattr(make(), method))
    return ns, (len(image(filled(make(), method))) if image else None)


def hll_rows(ds, hyperloglog):
    ours_ns, ours_bytes = measure(lambda: quillo.HllSketch(LG_K), image=lambda s: s.to_bytes())
    peers = {"datasketches hll_sketch": measure(lambda: ds.hll_sketch(LG_K), image=lambda s: s.serialize_compact())
             if ds else None}
    # 1.04 / sqrt(2^12) gives the package 4096 registers too.
    peers["hyperloglog HyperLogLog"] = (
        (ns_per_call(hyperloglog.HyperLogLog(0.01625).add), None) if hyperloglog else None)
    rows = peer_rows("HllSketch", f"update, lg_k {LG_K}", ours_ns, peers, ours_bytes)
    for cls in (quillo.HllPlusPlusSketch, quillo.HllPlusPlusSparseSketch):
        mine_ns, mine_bytes = measure(lambda cls=cls: cls(LG_K), image=lambda s: s.to_bytes())
        rows.append(Row(cls.__name__, f"update, lg_k {LG_K}", mine_ns, "quillo HllSketch", ours_ns, mine_bytes,
                        ours_bytes))
    rows += sparse_hllpp_rows()
    for distinct in (1_000, 100_000):
        sparse = filled(quillo.HllPlusPlusSparseSketch(HLLPP_LG_K), items=ITEMS[:distinct])
        dense = filled(quillo.HllPlusPlusSketch(HLLPP_LG_K), items=ITEMS[:distinct])
        rows.append(Row("HllPlusPlusSparseSketch", f"image at {distinct:,} distinct, p {HLLPP_LG_K}", None,
                        "quillo HllPlusPlusSketch", None, len(sparse.to_bytes()), len(dense.to_bytes())))
    return rows


def ns_per_fresh_fill(make, items):
    """ns per update while a new summary takes ``items`` (made outside the
    timing), best of at least REPEATS passes."""
    best = float("inf")
    for _ in range(max(REPEATS, FILL_UPDATES // len(items))):
        update = make().update
        start = time.perf_counter_ns()
        for item in items:
            update(item)
        best = min(best, (time.perf_counter_ns() - start) / len(items))
    return best


def sparse_hllpp_rows():
    """The sparse HLL++ form against the dense one, measured side by side: new
    sketches fed 1,000 to 200,000 items, and items the sketch has already seen."""
    sparse, dense = quillo.HllPlusPlusSparseSketch, quillo.HllPlusPlusSketch
    rows = []
    for p in SPARSE_LG_KS:
        for count in SPARSE_FILLS:
            items = ITEMS[:count]
            times = {cls: ns_per_fresh_fill(lambda cls=cls: cls(p), items) for cls in (sparse, dense)}
            images = {cls: len(filled(cls(p), items=items).to_bytes()) for cls in (sparse, dense)}
            rows.append(Row("HllPlusPlusSparseSketch", f"update of a new sketch, {count:,} items, p {p}", times[sparse],
                            "quillo HllPlusPlusSketch", times[dense], images[sparse], images[dense]))
        repeated = ITEMS[:REPEATED_ITEMS]
        seen = {cls: filled(cls(p), items=repeated) for cls in (sparse, dense)}
        passes = max(REPEATS, FILL_UPDATES // REPEATED_ITEMS)
        times = {cls: ns_per_call(seen[cls].update, repeated, passes) for cls in (sparse, dense)}
        rows.append(Row("HllPlusPlusSparseSketch", f"update, {REPEATED_ITEMS:,} items seen before, p {p}",
                        times[sparse], "quillo HllPlusPlusSketch", times[dense], len(seen[sparse].to_bytes()),
                        len(seen[dense].to_bytes())))
    return rows


def sources(make, size):
    return [filled(make(), items=ITEMS[start:start + size]) for start in range(0, len(ITEMS) - size + 1, size)]


def union_rows(ds):
    ours = ns_per_call(quillo.HllSketchMode(LG_K).update)
    rows = peer_rows("HllSketchMode", f"update, lg_k {LG_K}", ours,
                     {"datasketches hll_sketch": (ns_per_call(ds.hll_sketch(LG_K).update), None) if ds else None})
    for mode, size in SOURCE_SIZES.items():
        ours = ns_per_call(quillo.HllUnion(LG_K).update_with_sketch, sources(lambda: quillo.HllSketchMode(LG_K), size))
        peer = None
        if ds:
            peer = (ns_per_call(ds.hll_union(LG_K).update, sources(lambda: ds.hll_sketch(LG_K), size)), None)
        rows += peer_rows("HllUnion", f"update_with_sketch, {mode} source of {size:,}", ours,
                          {"datasketches hll_union": peer})
    return rows


def cpc_image_rows(ds):
    rows = []
    for distinct in (1_000, 100_000, 10_000_000):
        ours, hll = quillo.CpcSketch(CPC_LG_K), quillo.HllSketch(LG_K)
        peer = ds.cpc_sketch(CPC_LG_K) if ds else None
        for i in range(distinct):
            item = ITEMS[i] if i < len(ITEMS) else f"extra-{i}"
            ours.update(item)
            hll.update(item)
            if peer is not None:
                peer.update(item)
        operation = f"image at {distinct:,} distinct, lg_k {CPC_LG_K}"
        rows.append(Row("CpcSketch", operation, None, "datasketches cpc_sketch" if ds else "-", None,
                        len(ours.to_bytes()), len(peer.serialize()) if peer is not None else None))
        rows.append(Row("CpcSketch", operation, None, f"quillo HllSketch lg_k {LG_K}", None,
                        len(ours.to_bytes()), len(hll.to_bytes())))
    return rows


def cpc_rows(ds):
    ours = measure(lambda: quillo.CpcSketch(CPC_LG_K), image=lambda s: s.to_bytes())
    peer = measure(lambda: ds.cpc_sketch(CPC_LG_K), image=lambda s: s.serialize()) if ds else None
    return peer_rows("CpcSketch", f"update, lg_k {CPC_LG_K}", ours[0], {"datasketches cpc_sketch": peer},
                     ours[1]) + cpc_image_rows(ds)


def counter_rows():
    hll = ns_per_call(quillo.HllSketch(LG_K).update)
    return [
        Row("LinearCounter", f"update, {LINEAR_BITS:,} bits", ns_per_call(quillo.LinearCounter(LINEAR_BITS).update),
            "quillo HllSketch", hll),
        Row("HybridCounter", "update, linear mode", ns_per_call(quillo.HybridCounter(LINEAR_BITS, LG_K, NEVER).update),
            "quillo HllSketch", hll),
        Row("HybridCounter", "update, HLL mode (with_range(10**6))",
            ns_per_call(quillo.HybridCounter.with_range(10**6).update), "quillo HllSketch", hll),
    ]


def rows():
    ds = optional_import("datasketches")
    return hll_rows(ds, optional_import("hyperloglog")) + union_rows(ds) + cpc_rows(ds) + counter_rows()
