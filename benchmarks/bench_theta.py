"""The theta family: ThetaSketch updates and unions, TupleSketch and AodSketch updates."""

import quillo
from support import ITEMS, filled, ns_once, ns_per_call, optional_import, peer_rows

K = 4096
LG_K = 12
UNION_ITEMS = 100_000


def theta_update(ds):
    ours = ns_per_call(quillo.ThetaSketch(K).update)
    size = len(filled(quillo.ThetaSketch(K)).to_bytes())
    peer = None
    if ds:
        peer = (ns_per_call(ds.update_theta_sketch(LG_K).update),
                len(filled(ds.update_theta_sketch(LG_K)).compact().serialize()))
    return peer_rows("ThetaSketch", f"update, k {K}", ours, {"datasketches update_theta_sketch": peer}, size)


def theta_union(ds):
    # Two overlapping halves of the items, 100,000 each.
    left_items, right_items = ITEMS[:UNION_ITEMS], ITEMS[UNION_ITEMS // 2:UNION_ITEMS // 2 + UNION_ITEMS]
    left, right = filled(quillo.ThetaSketch(K), items=left_items), filled(quillo.ThetaSketch(K), items=right_items)
    ours = ns_once(lambda: left.union(right))
    peer = None
    if ds:
        a = filled(ds.update_theta_sketch(LG_K), items=left_items)
        b = filled(ds.update_theta_sketch(LG_K), items=right_items)

        def peer_union():
            union = ds.theta_union(LG_K)
            union.update(a)
            union.update(b)
            return union.get_result()
        peer = (ns_once(peer_union), None)
    return peer_rows("ThetaSketch", f"union of two {UNION_ITEMS:,}-item sketches, whole call", ours,
                     {"datasketches theta_union": peer})


def tuple_update(ds):
    sketch = quillo.TupleSketch(K)
    ours = ns_per_call(sketch.update, second=1.0)
    peer = None
    if ds:
        other = ds.update_tuple_sketch(ds.AccumulatorPolicy(), LG_K)
        peer = (ns_per_call(other.update, second=1.0), None)
    return peer_rows("TupleSketch", f"update with a value, k {K}", ours,
                     {"datasketches update_tuple_sketch (accumulator)": peer}, len(sketch.to_bytes()))


def aod_update():
    sketch = quillo.AodSketch(K, 2)
    values = [1.0, 2.0]
    ours = ns_per_call(sketch.update, second=values)
    return peer_rows("AodSketch", f"update with 2 values, capacity {K}", ours, {}, len(sketch.to_bytes()))


def rows():
    ds = optional_import("datasketches")
    return theta_update(ds) + theta_union(ds) + tuple_update(ds) + aod_update()
