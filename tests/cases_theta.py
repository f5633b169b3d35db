import quillo
from registry import Case


def _theta():
    s = quillo.ThetaSketch(256)
    for i in range(1000):
        s.update(f"item-{i}")
    return s


CASES = [
    Case(quillo.ThetaSketch, _theta, None, lambda s: s.update("x")),
]
