"""Whole columns in one call: ns per element for 5,000,000-element columns
fed to the bulk methods, against the peers' fastest column paths, our own
per-item loop, and one thread against two.

Single-thread rows take the median CPU time of the calling thread over a few
runs: on a shared machine the wall clock also counts the time other
processes hold the core, which moves single ratios by half. The two-thread
rows are about the wall clock and take its median.

    python3 benchmarks/bench_columns.py      (these rows alone)
"""

import statistics
import threading
import time

import quillo
from support import Row, optional_import, peer_rows

N = 5_000_000
COLUMN_REPEATS = 5
LOOP_REPEATS = 3
KLL_K = 200
COMPRESSION = 100
BLOOM_RATE = 0.01

np = optional_import("numpy")
pa = optional_import("pyarrow")


def per_element(ns, n=N):
    return ns / n


def median_ns(action, repeats, clock):
    runs = []
    for _ in range(repeats):
        start = clock()
        action()
        runs.append(clock() - start)
    return statistics.median(runs)


def cpu_ns(action, repeats=COLUMN_REPEATS):
    """ns per element of `action`, in CPU time of this thread."""
    return per_element(median_ns(action, repeats, time.thread_time_ns))


def loop_ns(update, items):
    """ns per element of a pass of a per-item loop."""
    def run():
        for item in items:
            update(item)
    return cpu_ns(run, repeats=LOOP_REPEATS)


def strings():
    return [f"user-{i}-{i * 7919 % 1000003}" for i in range(N)]


def kll_rows(ds, values):
    ours = cpu_ns(lambda: quillo.KllSketch(KLL_K).update_many(values))
    peer = (cpu_ns(lambda: ds.kll_doubles_sketch(KLL_K).update(values)), None) if ds else None
    return peer_rows("KllSketch", "update_many, 5M float64 ndarray, k 200", ours,
                     {"datasketches kll_doubles_sketch.update(ndarray)": peer})


def tdigest_rows(ds, values):
    ours = cpu_ns(lambda: quillo.TDigest(COMPRESSION).add_batch(values))
    peer = (cpu_ns(lambda: ds.tdigest_double(COMPRESSION).update(values)), None) if ds else None
    return peer_rows("TDigest", "add_batch, 5M float64 ndarray, compression 100", ours,
                     {"datasketches tdigest_double.update(ndarray)": peer})


def bloom_rows(items):
    rbloom = optional_import("rbloom")
    ours_add = cpu_ns(lambda: quillo.BloomFilter(N, BLOOM_RATE).add_many(items))
    filled = quillo.BloomFilter(N, BLOOM_RATE)
    filled.add_many(items)
    ours_contains = cpu_ns(lambda: filled.contains_many(items))
    add_peer = contains_peer = None
    if rbloom:
        add_peer = (cpu_ns(lambda: rbloom.Bloom(N, BLOOM_RATE).update(items)), None)
        peer_filter = rbloom.Bloom(N, BLOOM_RATE)
        peer_filter.update(items)
        contains_peer = (cpu_ns(lambda: [item in peer_filter for item in items], repeats=LOOP_REPEATS), None)
    return (peer_rows("BloomFilter", "add_many, list of 5M str, at 0.01", ours_add,
                      {"rbloom Bloom.update(list)": add_peer})
            + peer_rows("BloomFilter", "contains_many, list of 5M str, all present", ours_contains,
                        {"rbloom loop of `in`": contains_peer}))


DISTINCT = [
    ("HllSketch", lambda: quillo.HllSketch(12), "lg_k 12", lambda ds: ds.hll_sketch(12)),
    ("CpcSketch", lambda: quillo.CpcSketch(11), "lg_k 11", lambda ds: ds.cpc_sketch(11)),
    ("ThetaSketch", lambda: quillo.ThetaSketch(4096), "k 4096", lambda ds: ds.update_theta_sketch(12)),
    ("HllPlusPlusSketch", lambda: quillo.HllPlusPlusSketch(12), "lg_k 12", lambda ds: ds.hll_sketch(12)),
]


def distinct_rows(ds, items, column):
    # A list of str: the column most code starts from, copied once and fed without the GIL.
    hll_list = cpu_ns(lambda: quillo.HllSketch(12).update_many(items))
    rows = peer_rows("HllSketch", "update_many, list of 5M str, lg_k 12", hll_list,
                     {"quillo HllSketch per-item loop": (loop_ns(quillo.HllSketch(12).update, items), None)})
    for name, make, size, make_peer in DISTINCT:
        ours = cpu_ns(lambda: make().update_many(column))
        operation = f"update_many, 5M-str pyarrow array, {size}"
        own_loop = (loop_ns(make().update, items), None)
        rows += peer_rows(name, operation, ours, {f"quillo {name} per-item loop": own_loop})
        peer = (loop_ns(make_peer(ds).update, items), None) if ds else None
        rows += peer_rows(name, operation, ours, {"datasketches per-item loop": peer})
    return rows


def threaded_ns(feed, columns, threads):
    """ns per element to feed every column, on one thread or on one thread
    per column, the threads released together and timed until the last ends."""
    def run():
        if threads == 1:
            for column in columns:
                feed(column)
            return
        start = threading.Barrier(len(columns))

        def work(column):
            start.wait()
            feed(column)
        workers = [threading.Thread(target=work, args=(c,)) for c in columns]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
    return per_element(median_ns(run, COLUMN_REPEATS, time.perf_counter_ns)) * N / sum(len(c) for c in columns)


def thread_rows(values, column):
    rows = []
    for name, feed, inputs, kind in [
        ("KllSketch", lambda c: quillo.KllSketch(KLL_K).update_many(c), [values, values[::-1]], "numpy float64"),
        ("HllSketch", lambda c: quillo.HllSketch(12).update_many(c), [column, column], "pyarrow str"),
    ]:
        one, two = threaded_ns(feed, inputs, 1), threaded_ns(feed, inputs, 2)
        rows.append(Row(name, f"update_many, 2 threads, own sketches, 2 x 5M {kind}", two, "quillo on 1 thread", one))
    return rows


def rows():
    if np is None or pa is None:
        return [Row("(columns)", "numpy and pyarrow not installed", None)]
    ds = optional_import("datasketches")
    values = np.random.default_rng(1).random(N)
    items = strings()
    column = pa.array(items)
    return (kll_rows(ds, values) + tdigest_rows(ds, values) + bloom_rows(items)
            + distinct_rows(ds, items, column) + thread_rows(values, column))


if __name__ == "__main__":
    import run
    run.print_table(rows())
