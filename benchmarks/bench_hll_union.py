"""HllSketchMode.update per item, and HllUnion.update_with_sketch per source
sketch, from Python against the datasketches HLL sketch and union."""

import quillo
from support import ITEMS, ns_per_call, optional_import, print_rows

LG_K = 12
# Sources of 150 items stay in SET mode at lg_k 12; sources of 2,000 are HLL.
SOURCE_SIZES = {"SET": 150, "HLL": 2000}


def sources(make, size):
    built = []
    for start in range(0, len(ITEMS) - size + 1, size):
        sketch = make()
        for item in ITEMS[start:start + size]:
            sketch.update(item)
        built.append(sketch)
    return built


def run():
    datasketches = optional_import("datasketches")
    ours = ns_per_call(quillo.HllSketchMode(LG_K).update)
    peer = ns_per_call(datasketches.hll_sketch(LG_K).update) if datasketches else None
    print_rows(f"HllSketchMode.update, lg_k={LG_K}", ours, {"datasketches hll_sketch": peer})
    for mode, size in SOURCE_SIZES.items():
        ours = ns_per_call(quillo.HllUnion(LG_K).update_with_sketch,
                           sources(lambda: quillo.HllSketchMode(LG_K), size))
        peer = None
        if datasketches:
            peer = ns_per_call(datasketches.hll_union(LG_K).update,
                               sources(lambda: datasketches.hll_sketch(LG_K), size))
        print_rows(f"HllUnion.update_with_sketch, {mode}-mode sources of {size} items, lg_k={LG_K}", ours,
                   {"datasketches hll_union": peer})
