import quillo
from registry import Case


def _hll():
    s = quillo.HllSketch(10)
    for i in range(500):
        s.update(f"item-{i}")
    return s


CASES = [
    Case(quillo.HllSketch, _hll, None, lambda s: s.update("x"), lambda a, b: a.merge(b)),
]
