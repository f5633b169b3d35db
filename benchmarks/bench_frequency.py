"""Frequency and membership: Count-Min, Count sketch, frequent strings, and
the Bloom filters."""

import math
import pathlib
import re
import sysconfig
import time

import quillo
from support import ITEMS, SLOW_ITEMS, Row, filled, ns_per_call, ns_per_slow_call, optional_import, peer_rows

WIDTH, DEPTH = 2719, 5  # epsilon 0.001, delta 0.01 in the usual sizing
MAP_SIZE = 1024
WORDS = 1_000_000
ZIPF_ITEMS, ZIPF_EXPONENT, ZIPF_SEED = 5_000_000, 1.1, 21
# Merging two maps of M entries whose counts are all different, M small and large;
# a merge takes about a millisecond, so more passes find one that ran undisturbed.
MERGE_SIZES, MERGE_REPEATS = (4_096, 32_768), 20
CAPACITY, ERROR_RATE = len(ITEMS), 0.01
# Half the probes were added, half were not.
PROBES = ITEMS[::2] + [f"absent-{i}" for i in range(len(ITEMS) // 2)]
SLOW_PROBES = SLOW_ITEMS[::2] + PROBES[-len(SLOW_ITEMS) // 2:]


def count_min(ds, probables):
    ours = filled(quillo.CountMinSketch(WIDTH, DEPTH), "increment")
    peers_update, peers_estimate = {}, {}
    if ds:
        other = filled(ds.count_min_sketch(DEPTH, WIDTH))
        peers_update["datasketches count_min_sketch"] = (ns_per_call(ds.count_min_sketch(DEPTH, WIDTH).update),
                                                         len(other.serialize()))
        peers_estimate["datasketches count_min_sketch"] = (ns_per_call(other.get_estimate, PROBES), None)
    else:
        peers_update["datasketches count_min_sketch"] = peers_estimate["datasketches count_min_sketch"] = None
    if probables:
        other = filled(probables.CountMinSketch(width=WIDTH, depth=DEPTH), "add", SLOW_ITEMS)
        peers_update["pyprobables CountMinSketch"] = (
            ns_per_slow_call(probables.CountMinSketch(width=WIDTH, depth=DEPTH).add), len(bytes(other)))
        peers_estimate["pyprobables CountMinSketch"] = (ns_per_slow_call(other.check, SLOW_PROBES), None)
    else:
        peers_update["pyprobables CountMinSketch"] = peers_estimate["pyprobables CountMinSketch"] = None
    return (peer_rows("CountMinSketch", f"update by 1, {WIDTH} x {DEPTH}",
                      ns_per_call(quillo.CountMinSketch(WIDTH, DEPTH).update, second=1),
                      peers_update, len(ours.to_bytes()))
            + peer_rows("CountMinSketch", "estimate", ns_per_call(ours.estimate, PROBES), peers_estimate))


def count_sketch():
    sketch = quillo.CountSketch(WIDTH, DEPTH)
    return peer_rows("CountSketch", f"update by 1, {WIDTH} x {DEPTH}", ns_per_call(sketch.update, second=1),
                     {}, len(sketch.to_bytes()))


def stdlib_words(limit=WORDS):
    """The identifiers of the standard library's modules, in file order."""
    word = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
    words = []
    for path in sorted(pathlib.Path(sysconfig.get_paths()["stdlib"]).rglob("*.py")):
        if "site-packages" in path.parts:
            continue
        try:
            words.extend(word.findall(path.read_text(encoding="utf-8")))
        except (UnicodeDecodeError, OSError):
            continue
        if len(words) >= limit:
            break
    return words[:limit]


def zipf_items(np):
    """Zipf-distributed ranks as strings; equal ranks share one string object, as words of a text do."""
    names = {}
    ranks = np.random.default_rng(ZIPF_SEED).zipf(ZIPF_EXPONENT, ZIPF_ITEMS).tolist()
    return [names.get(rank) or names.setdefault(rank, f"rank-{rank}") for rank in ranks]


def frequent_update(ds, workload, items):
    ours = filled(quillo.FrequentStringsSketch(MAP_SIZE, None), items=items)
    peer = None
    if ds:
        lg_map = MAP_SIZE.bit_length() - 1
        peer = (ns_per_call(ds.frequent_strings_sketch(lg_map).update, items),
                len(filled(ds.frequent_strings_sketch(lg_map), items=items).serialize()))
    return peer_rows("FrequentStringsSketch", f"update, {workload}, map size {MAP_SIZE}",
                     ns_per_call(quillo.FrequentStringsSketch(MAP_SIZE, None).update, items),
                     {"datasketches frequent_strings_sketch": peer}, len(ours.to_bytes()))


def distinct_counts_image(size, prefix):
    """A map of `size` entries in which item i was seen i times."""
    def varint(n):
        out = bytearray()
        while n >= 0x80:
            out.append(n & 0x7F | 0x80)
            n >>= 7
        return bytes(out + bytes([n]))
    entries = b"".join(varint(len(item)) + item + varint(i)
                       for i, item in ((i, f"{prefix}{i}".encode()) for i in range(1, size + 1)))
    return varint(size) + varint(size * (size + 1) // 2) + varint(0) + varint(size) + entries


def merge_ns(size):
    left, right = distinct_counts_image(size, "a"), distinct_counts_image(size, "b")
    best = float("inf")
    for _ in range(MERGE_REPEATS):
        target, other = quillo.FrequentStringsSketch.from_bytes(left), quillo.FrequentStringsSketch.from_bytes(right)
        start = time.perf_counter_ns()
        target.merge(other)
        best = min(best, time.perf_counter_ns() - start)
    return best


def frequent_merge():
    small, large = MERGE_SIZES
    small_ns, large_ns = merge_ns(small), merge_ns(large)
    m_log_m = large * math.log(large) / (small * math.log(small))
    return [Row("FrequentStringsSketch", f"merge, M {small:,} distinct counts", small_ns),
            Row("FrequentStringsSketch", f"merge, M {large:,}: x{large_ns / small_ns:.1f} of M {small:,} "
                f"(M log M: x{m_log_m:.1f})", large_ns)]


def frequent(ds):
    np = optional_import("numpy")
    zipf = f"Zipf({ZIPF_EXPONENT}) {ZIPF_ITEMS // 1_000_000}M items"
    zipf_rows = (frequent_update(ds, zipf, zipf_items(np)) if np
                 else [Row("FrequentStringsSketch", f"update, {zipf}", None, "(numpy not installed)")])
    return (frequent_update(ds, f"{len(ITEMS):,} distinct", ITEMS)
            + frequent_update(ds, f"{WORDS // 1_000_000}M stdlib words", stdlib_words())
            + zipf_rows + frequent_merge())


def bloom(rbloom, probables):
    ours = filled(quillo.BloomFilter(CAPACITY, ERROR_RATE), "add")
    add, contains = {}, {}
    if rbloom:
        other = rbloom.Bloom(CAPACITY, ERROR_RATE)
        for item in ITEMS:
            other.add(item)
        # With its fast built-in hash the filter cannot be saved; its bit array is the image it would write.
        add["rbloom Bloom"] = (ns_per_call(rbloom.Bloom(CAPACITY, ERROR_RATE).add), other.size_in_bits // 8)
        contains["rbloom Bloom"] = (ns_per_call(other.__contains__, PROBES), None)
    else:
        add["rbloom Bloom"] = contains["rbloom Bloom"] = None
    if probables:
        other = filled(probables.BloomFilter(est_elements=CAPACITY, false_positive_rate=ERROR_RATE), "add", SLOW_ITEMS)
        add["pyprobables BloomFilter"] = (
            ns_per_slow_call(probables.BloomFilter(est_elements=CAPACITY, false_positive_rate=ERROR_RATE).add),
            len(bytes(other)))
        contains["pyprobables BloomFilter"] = (ns_per_slow_call(other.check, SLOW_PROBES), None)
    else:
        add["pyprobables BloomFilter"] = contains["pyprobables BloomFilter"] = None
    operation = f"{CAPACITY:,} items at {ERROR_RATE:g}"
    return (peer_rows("BloomFilter", f"add, {operation}", ns_per_call(quillo.BloomFilter(CAPACITY, ERROR_RATE).add),
                      add, len(ours.to_bytes()))
            + peer_rows("BloomFilter", "contains, half present", ns_per_call(ours.contains, PROBES), contains))


def counting_bloom(probables):
    ours = filled(quillo.CountingBloomFilter(CAPACITY, ERROR_RATE), "add")
    peer = None
    if probables:
        other = probables.CountingBloomFilter(est_elements=CAPACITY, false_positive_rate=ERROR_RATE)
        peer = (ns_per_slow_call(other.add), len(bytes(other)))
    return peer_rows("CountingBloomFilter", f"add, {CAPACITY:,} items at {ERROR_RATE:g}",
                     ns_per_call(quillo.CountingBloomFilter(CAPACITY, ERROR_RATE).add),
                     {"pyprobables CountingBloomFilter": peer}, len(ours.to_bytes()))


def rows():
    ds, probables = optional_import("datasketches"), optional_import("probables")
    return (count_min(ds, probables) + count_sketch() + frequent(ds) + bloom(optional_import("rbloom"), probables)
            + counting_bloom(probables))
