import quillo
from registry import Case


def _bloom():
    f = quillo.BloomFilter(200, 0.05)
    for i in range(150):
        f.add(f"item-{i}")
    return f


CASES = [
    Case(quillo.BloomFilter, _bloom, "BloomFilter", lambda f: f.add("x")),
]
