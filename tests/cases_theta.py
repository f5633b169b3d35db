import quillo
from registry import Case


def _theta():
    s = quillo.ThetaSketch(256)
    for i in range(1000):
        s.update(f"item-{i}")
    return s


def _tuple():
    s = quillo.TupleSketch(64)
    for i in range(300):
        s.update(f"item-{i % 200}", i / 3)
    return s


def _aod():
    s = quillo.AodSketch(64, 2)
    for i in range(200):
        s.update(f"item-{i}", [i, -i / 2])
    return s


CASES = [
    Case(quillo.ThetaSketch, _theta, None, lambda s: s.update("x")),
    Case(quillo.TupleSketch, _tuple, "TupleSketch", lambda s: s.update("x", 1.0)),
    Case(quillo.AodSketch, _aod, "AOD", lambda s: s.update("x", [1.0, 2.0]), lambda a, b: a.union(b)),
]
