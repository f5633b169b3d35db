"""HllSketch.update per item from Python against peer HLL sketches."""

import quillo
from support import ns_per_call, optional_import, print_rows

LG_K = 12


def run():
    ours = ns_per_call(quillo.HllSketch(LG_K).update)
    peers = {}
    datasketches = optional_import("datasketches")
    peers["datasketches hll_sketch"] = (
        ns_per_call(datasketches.hll_sketch(LG_K).update) if datasketches else None)
    hyperloglog = optional_import("hyperloglog")
    peers["hyperloglog HyperLogLog"] = (
        ns_per_call(hyperloglog.HyperLogLog(0.01).add) if hyperloglog else None)
    print_rows(f"HllSketch.update, lg_k={LG_K}", ours, peers)
