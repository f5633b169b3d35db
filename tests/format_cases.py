"""Fixed inputs for the stored images in tests/data and the answers read from them.

Every recipe builds one summary from a fixed stream; `tools/gen_format_data.py`
stores its image and answers, and `tests/test_formats.py` checks that today's
build still reads, answers, writes and rebuilds them the same. Recipes marked
`rebuild=False` draw from the samplers' per-thread generator (keyed from the
operating system), so their bytes cannot be made again; only their decoding,
answers and re-encoding are pinned. VarOpt sketches are seeded from a
process-wide counter: recipes marked `fresh_process=True` are built again, in
order, by a new interpreter.
"""

import json
import os
import pathlib
import subprocess
import sys
from dataclasses import dataclass
from typing import Callable

import quillo

DATA = pathlib.Path(__file__).parent / "data"
MANIFEST = DATA / "formats.json"
IMAGES = DATA / "formats"


@dataclass(frozen=True)
class Recipe:
    cls: type
    label: str
    build: Callable[[], object]
    rebuild: bool = True
    fresh_process: bool = False

    @property
    def key(self):
        return f"{self.cls.__name__}.{self.label}"

    @property
    def path(self):
        return IMAGES / self.cls.__name__ / f"{self.label}.bin"


def built_in_fresh_process(recipes):
    """The images of `recipes`, built in this order by a new interpreter."""
    keys = [recipe.key for recipe in recipes]
    code = ("import sys, format_cases as f; print(' '.join(r.build().to_bytes().hex() "
            "for r in f.RECIPES if r.key in sys.argv[1:]))")
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(path for path in sys.path if path)}
    out = subprocess.run([sys.executable, "-c", code, *keys], env=env, check=True, capture_output=True, text=True)
    return dict(zip(keys, map(bytes.fromhex, out.stdout.split())))


def items(n, prefix="item"):
    return [f"{prefix}-{i}" for i in range(n)]


def values(n, seed=1):
    # A fixed scatter over [-500, 500) with repeats and no two neighbours alike.
    return [((i * 2654435761 + seed * 40503) % 1000003) / 1000.003 - 500 for i in range(n)]


def fed(make, stream, add="update"):
    def build():
        s = make()
        for x in stream:
            getattr(s, add)(x)
        return s
    return build


def fed_pairs(make, stream, add="update"):
    def build():
        s = make()
        for x in stream:
            getattr(s, add)(*x)
        return s
    return build


def combined(build_a, build_b, op):
    def build():
        a, b = build_a(), build_b()
        result = op(a, b)
        return a if result is None else result
    return build


def kept(build, op):
    def run():
        s = build()
        op(s)
        return s
    return run


def _recipes():
    q = quillo
    r = []

    def add(cls, label, build, rebuild=True, fresh_process=False):
        r.append(Recipe(cls, label, build, rebuild, fresh_process))

    def distinct(cls, *args, sizes):
        for label, n in sizes:
            add(cls, label, fed(lambda: cls(*args), items(n)))

    distinct(q.HllSketch, 10, sizes=[("empty", 0), ("small", 20), ("large", 50_000)])
    distinct(q.HllSketch, 4, sizes=[("lg4", 300)])
    add(q.HllSketch, "merged", combined(fed(lambda: q.HllSketch(10), items(3000)),
                                        fed(lambda: q.HllSketch(10), items(3000, "other")), lambda a, b: a.merge(b)))
    for cls in (q.HllPlusPlusSketch, q.HllPlusPlusSparseSketch):
        distinct(cls, 10, sizes=[("empty", 0), ("small", 30), ("medium", 700), ("large", 40_000)])
        add(cls, "merged", combined(fed(lambda cls=cls: cls(10), items(500)),
                                    fed(lambda cls=cls: cls(10), items(900, "other")), lambda a, b: a.merge(b)))
    distinct(q.HllUnion, 12, sizes=[("empty", 0), ("small", 40)])

    def union_of(n):
        return kept(fed(lambda: q.HllUnion(11), items(n)),
                    lambda u: [u.update_with_sketch(fed(lambda: q.HllSketchMode(lg), items(m, "mode"))())
                               for lg, m in ((10, 5), (8, 300), (12, 20_000))])
    add(q.HllUnion, "with-sketches", union_of(100))

    # CPC flavours follow the coupon count relative to k = 2^lg_k.
    distinct(q.CpcSketch, 8, sizes=[("empty", 0), ("sparse", 20), ("hybrid", 150), ("pinned", 600),
                                    ("sliding", 6000), ("large", 200_000)])
    distinct(q.CpcSketch, 11, sizes=[("lg11", 30_000)])
    add(q.CpcSketch, "merged", combined(fed(lambda: q.CpcSketch(10), items(4000)),
                                        fed(lambda: q.CpcSketch(8), items(700, "other")), lambda a, b: a.merge(b)))

    distinct(q.ThetaSketch, 256, sizes=[("empty", 0), ("exact", 100), ("estimation", 20_000)])
    theta_a = fed(lambda: q.ThetaSketch(256), items(3000))
    theta_b = fed(lambda: q.ThetaSketch(128), items(4000)[1500:])
    for op in ("union", "intersect", "difference"):
        add(q.ThetaSketch, op, combined(theta_a, theta_b, lambda a, b, op=op: getattr(a, op)(b)))

    tuple_stream = [(f"item-{i % 700}", v) for i, v in enumerate(values(1500))]
    add(q.TupleSketch, "empty", fed_pairs(lambda: q.TupleSketch(64), []))
    add(q.TupleSketch, "exact", fed_pairs(lambda: q.TupleSketch(64), tuple_stream[:40]))
    add(q.TupleSketch, "estimation", fed_pairs(lambda: q.TupleSketch(64), tuple_stream))

    def aod(k, columns, n):
        return fed_pairs(lambda: q.AodSketch(k, columns),
                         [(f"key-{i % 900}", [v * (c + 1) for c in range(columns)])
                          for i, v in enumerate(values(n))])
    add(q.AodSketch, "empty", aod(64, 2, 0))
    add(q.AodSketch, "exact", aod(64, 1, 30))
    add(q.AodSketch, "estimation", aod(64, 3, 2000))
    add(q.AodSketch, "compacted", lambda: aod(32, 2, 1000)().compact())
    add(q.AodSketch, "union", combined(aod(64, 2, 500), aod(32, 2, 300), lambda a, b: a.union(b)))

    add(q.LinearCounter, "empty", fed(lambda: q.LinearCounter(1000), []))
    add(q.LinearCounter, "small", fed(lambda: q.LinearCounter(1000), items(120)))
    add(q.LinearCounter, "saturated", fed(lambda: q.LinearCounter(64), items(2000)))
    add(q.HybridCounter, "empty", fed(lambda: q.HybridCounter(2048, 8, 1000), []))
    add(q.HybridCounter, "linear", fed(lambda: q.HybridCounter(2048, 8, 1000), items(200)))
    add(q.HybridCounter, "hll", fed(lambda: q.HybridCounter(512, 9, 100), items(5000)))

    add(q.KllSketch, "empty", fed(lambda: q.KllSketch(200), []))
    add(q.KllSketch, "single", fed(lambda: q.KllSketch(200), [2.5]))
    add(q.KllSketch, "small", fed(lambda: q.KllSketch(16), values(150)))
    add(q.KllSketch, "large", fed(lambda: q.KllSketch(64), values(30_000)))
    add(q.KllSketch, "merged", combined(fed(lambda: q.KllSketch(32), values(2000)),
                                        fed(lambda: q.KllSketch(16), values(3000, seed=7)),
                                        lambda a, b: a.merge(b)))
    for mode in ("HRA", "LRA"):
        add(q.ReqSketch, f"empty-{mode}", fed(lambda mode=mode: q.ReqSketch(6, mode), []))
        add(q.ReqSketch, f"small-{mode}", fed(lambda mode=mode: q.ReqSketch(6, mode), values(40)))
        add(q.ReqSketch, f"large-{mode}", fed(lambda mode=mode: q.ReqSketch(12, mode), values(20_000)))

    add(q.TDigest, "empty", fed(lambda: q.TDigest(100), [], "add"))
    add(q.TDigest, "small", fed(lambda: q.TDigest(100), values(30), "add"))
    add(q.TDigest, "large", fed(lambda: q.TDigest(50), values(20_000), "add"))
    add(q.TDigest, "batched", kept(lambda: q.TDigest(20), lambda t: t.add_batch(values(5000, seed=3))))
    add(q.TDigest, "merged", combined(fed(lambda: q.TDigest(40), values(3000), "add"),
                                      fed(lambda: q.TDigest(40), values(1000, seed=5), "add"), lambda a, b: a.merge(b)))
    add(q.StreamingTDigest, "empty", fed(lambda: q.StreamingTDigest(50, 32), [], "add"))
    add(q.StreamingTDigest, "buffered", fed(lambda: q.StreamingTDigest(50, 32), values(20), "add"))
    add(q.StreamingTDigest, "large", fed(lambda: q.StreamingTDigest(50, 32), values(10_000), "add"))
    add(q.StreamingTDigest, "flushed", kept(fed(lambda: q.StreamingTDigest(50, 64), values(100), "add"),
                                            lambda s: s.flush()))

    add(q.BloomFilter, "empty", fed(lambda: q.BloomFilter(200, 0.05), [], "add"))
    add(q.BloomFilter, "small", fed(lambda: q.BloomFilter(200, 0.05), items(20), "add"))
    add(q.BloomFilter, "default-rate", fed(lambda: q.BloomFilter(1000), items(1000), "add"))
    add(q.BloomFilter, "overfull", fed(lambda: q.BloomFilter(100, 0.2), items(2000), "add"))
    counting = lambda: q.CountingBloomFilter(100, 0.05, 3)  # noqa: E731
    add(q.CountingBloomFilter, "empty", fed(counting, [], "add"))
    add(q.CountingBloomFilter, "small", fed(counting, items(30), "add"))
    add(q.CountingBloomFilter, "saturated-removed",
        kept(fed(counting, items(40) * 5, "add"), lambda f: [f.remove(x) for x in items(60)]))
    add(q.CountingBloomFilter, "default", fed(lambda: q.CountingBloomFilter(500), items(300), "add"))

    cm_stream = [(f"item-{i % 53}", (i * 7919) % 1000) for i in range(800)]
    add(q.CountMinSketch, "empty", fed_pairs(lambda: q.CountMinSketch(64, 4), []))
    add(q.CountMinSketch, "plain", fed_pairs(lambda: q.CountMinSketch(64, 4, False), cm_stream))
    add(q.CountMinSketch, "conservative", fed_pairs(lambda: q.CountMinSketch(64, 4, True), cm_stream))
    add(q.CountMinSketch, "huge-counts",
        fed_pairs(lambda: q.CountMinSketch(16, 3), [(f"big-{i}", 1 << 40 + i) for i in range(8)]))
    add(q.CountMinSketch, "merged", combined(fed_pairs(lambda: q.CountMinSketch(64, 4), cm_stream[:300]),
                                             fed_pairs(lambda: q.CountMinSketch(64, 4), cm_stream[300:]),
                                             lambda a, b: a.merge(b)))
    cs_stream = [(f"item-{i % 41}", (i * 7919) % 1000 - 500) for i in range(800)]
    add(q.CountSketch, "empty", fed_pairs(lambda: q.CountSketch(32, 5), []))
    add(q.CountSketch, "signed", fed_pairs(lambda: q.CountSketch(32, 5), cs_stream))
    add(q.CountSketch, "wide", fed_pairs(lambda: q.CountSketch(512, 3), cs_stream))

    skewed = [f"item-{i % 7 if i % 3 else i}" for i in range(3000)]
    add(q.FrequentStringsSketch, "empty", fed(lambda: q.FrequentStringsSketch(16, None), []))
    add(q.FrequentStringsSketch, "small", fed(lambda: q.FrequentStringsSketch(16, None), skewed[:12]))
    add(q.FrequentStringsSketch, "purged", fed(lambda: q.FrequentStringsSketch(16, None), skewed))
    add(q.FrequentStringsSketch, "reservoir", fed(lambda: q.FrequentStringsSketch(16, True), skewed))
    add(q.FrequentStringsSketch, "merged",
        combined(fed(lambda: q.FrequentStringsSketch(16, None), skewed[:1000]),
                 fed(lambda: q.FrequentStringsSketch(16, None), skewed[1000:]), lambda a, b: a.merge(b)))

    for cls in (q.ReservoirSamplerR, q.ReservoirSamplerA):
        add(cls, "empty", fed(lambda cls=cls: cls(8), [], "add"))
        add(cls, "partial", fed(lambda cls=cls: cls(8), items(5), "add"))
        add(cls, "full", fed(lambda cls=cls: cls(8), items(300), "add"), rebuild=False)
    add(q.WeightedReservoirSampler, "empty", fed(lambda: q.WeightedReservoirSampler(8), [], "add"))
    add(q.WeightedReservoirSampler, "full",
        fed_pairs(lambda: q.WeightedReservoirSampler(8), [(x, 1 + i % 5) for i, x in enumerate(items(200))],
                  "add_weighted"), rebuild=False)
    add(q.StreamSampler, "empty", fed(lambda: q.StreamSampler(8, 7), [], "push_batch"))
    add(q.StreamSampler, "buffered", fed(lambda: q.StreamSampler(8, 16), [items(10)], "push_batch"))
    add(q.StreamSampler, "full", fed(lambda: q.StreamSampler(8, 7), [items(100), items(3, "tail")], "push_batch"),
        rebuild=False)
    add(q.VarOptSketch, "empty", fed_pairs(lambda: q.VarOptSketch(16), []), fresh_process=True)
    add(q.VarOptSketch, "partial",
        fed_pairs(lambda: q.VarOptSketch(16), [(x, 1.0 + i % 7) for i, x in enumerate(items(10))]),
        fresh_process=True)
    add(q.VarOptSketch, "full",
        fed_pairs(lambda: q.VarOptSketch(16), [(x, 1.0 + i % 7) for i, x in enumerate(items(300))]),
        fresh_process=True)
    return r


RECIPES = _recipes()


def _rows(rows):
    return [list(row) for row in rows]


PROBES = items(5) + ["absent-1", "absent-2", "item-4999", "item-150"]
RANKS = [0.0, 0.01, 0.25, 0.5, 0.75, 0.99, 1.0]
POINTS = [-500.0, -123.25, 0.0, 17.5, 499.0]


def _quantiles(s):
    return {"count": s.count(), "quantiles": [s.quantile(r) for r in RANKS], "ranks": [s.rank(v) for v in POINTS]}


def answers_of(recipe, image):
    """The answers of a decoded `image` as JSON gives them back: lists for
    tuples, floats to their exact digits."""
    return json.loads(json.dumps(ANSWERS[recipe.cls.__name__](recipe.cls.from_bytes(image)), allow_nan=True))


# The answers each class's image must give, read from a decoded copy.
ANSWERS = {
    "HllSketch": lambda s: {"estimate": s.estimate()},
    "HllPlusPlusSketch": lambda s: {"estimate": s.estimate()},
    "HllPlusPlusSparseSketch": lambda s: {"estimate": s.estimate()},
    "HllUnion": lambda s: {"estimate": s.estimate()},
    "CpcSketch": lambda s: {"estimate": s.estimate()},
    "ThetaSketch": lambda s: {"estimate": s.estimate(), "sample_capacity": s.sample_capacity()},
    "TupleSketch": lambda s: {"estimate": s.estimate(), "num_retained": s.num_retained()},
    "AodSketch": lambda s: {"estimate": s.estimate(), "theta": s.theta(), "len": s.len(),
                            "bounds": [s.lower_bound(None), s.upper_bound(None), s.lower_bound(0.95)],
                            "column_sums": s.column_sums(), "num_values": s.num_values()},
    "LinearCounter": lambda s: {"estimate": s.estimate(), "fill_ratio": s.fill_ratio(),
                                "should_transition_to_hll": s.should_transition_to_hll()},
    "HybridCounter": lambda s: {"estimate": s.estimate(), "mode": s.mode()},
    "KllSketch": lambda s: {**_quantiles(s), "min": s.min(), "max": s.max(), "statistics": s.statistics()},
    "ReqSketch": lambda s: {**_quantiles(s), "mode": s.mode(), "cdf": s.get_cdf(POINTS[1:4])},
    "TDigest": lambda s: {"count": s.count(), "quantiles": s.quantiles(RANKS), "ranks": [s.rank(v) for v in POINTS],
                          "min": s.min(), "max": s.max(), "trimmed_mean": s.trimmed_mean(0.1, 0.9)},
    "StreamingTDigest": lambda s: {"statistics": s.statistics(), "quantiles": [s.quantile(r) for r in RANKS]},
    "BloomFilter": lambda s: {"contains": [s.contains(x) for x in PROBES], "statistics": s.statistics(),
                              "false_positive_probability": s.false_positive_probability()},
    "CountingBloomFilter": lambda s: {"contains": [s.contains(x) for x in PROBES]},
    "CountMinSketch": lambda s: {"estimates": [s.estimate(x) for x in PROBES + ["item-52", "big-7"]],
                                 "total_count": s.total_count(), "statistics": s.statistics()},
    "CountSketch": lambda s: {"estimates": [s.estimate(x) for x in PROBES + ["item-40"]]},
    # Rows of equal estimate come in the order of the map's per-process seed.
    "FrequentStringsSketch": lambda s: {"top": sorted(row[1] for row in s.get_top_k(10)),
                                        "frequent": sorted(_rows(s.get_frequent_items(1))),
                                        "bounds": [s.get_bounds(x) for x in PROBES],
                                        "statistics": s.statistics()},
    "ReservoirSamplerR": lambda s: {"sample": s.sample(), "items_seen": s.items_seen(), "capacity": s.capacity()},
    "ReservoirSamplerA": lambda s: {"sample": s.sample(), "items_seen": s.items_seen(), "capacity": s.capacity()},
    "WeightedReservoirSampler": lambda s: {"sample": _rows(s.sample_with_weights()), "total_weight": s.total_weight()},
    "StreamSampler": lambda s: {"sample": s.sample(), "stats": s.stats()},
    "VarOptSketch": lambda s: {"samples": _rows(s.get_samples()), "total_weight": s.get_total_weight(),
                               "count": s.count()},
}
