import quillo
from registry import Case


def _kll():
    s = quillo.KllSketch(16)
    for i in range(500):
        s.update(float(i % 97))
    return s


CASES = [
    Case(quillo.KllSketch, _kll, None, lambda s: s.update(1.0), lambda a, b: a.merge(b)),
]
