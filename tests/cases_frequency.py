import quillo
from registry import Case


def _bloom():
    f = quillo.BloomFilter(200, 0.05)
    for i in range(150):
        f.add(f"item-{i}")
    return f


def _counting_bloom():
    f = quillo.CountingBloomFilter(100, 0.05, 4)
    for i in range(120):
        f.add(f"item-{i % 60}")
    return f


def _count_min():
    s = quillo.CountMinSketch(64, 4, True)
    for i in range(300):
        s.update(f"item-{i % 37}", i)
    return s


def _count_sketch():
    s = quillo.CountSketch(32, 5)
    for i in range(300):
        s.update(f"item-{i % 41}", i - 100)
    return s


def _frequent():
    s = quillo.FrequentStringsSketch(16, None)
    for i in range(400):
        s.update(f"item-{i % 7 if i % 3 else i}")
    return s


CASES = [
    Case(quillo.BloomFilter, _bloom, "BloomFilter", lambda f: f.add("x")),
    Case(quillo.CountingBloomFilter, _counting_bloom, "CountingBloomFilter", lambda f: f.add("x")),
    Case(quillo.CountMinSketch, _count_min, "CountMinSketch", lambda s: s.increment("x"), lambda a, b: a.merge(b)),
    Case(quillo.CountSketch, _count_sketch, "CountSketch", lambda s: s.update("x", -1)),
    Case(quillo.FrequentStringsSketch, _frequent, "FrequentItemsSketch", lambda s: s.update("x"),
         lambda a, b: a.merge(b)),
]
