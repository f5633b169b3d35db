import quillo
from registry import Case


def _cpc():
    s = quillo.CpcSketch(8)
    for i in range(3000):
        s.update(f"item-{i}")
    return s


CASES = [
    Case(quillo.CpcSketch, _cpc, None, lambda s: s.update("x"), lambda a, b: a.merge(b)),
]
