import quillo
from registry import Case


def _filled(cls, capacity=8, items=100):
    def make():
        s = cls(capacity)
        for i in range(items):
            s.add(f"item-{i}")
        return s
    return make


CASES = [
    Case(quillo.ReservoirSamplerR, _filled(quillo.ReservoirSamplerR), "ReservoirSamplerR",
         lambda s: s.add("x"), lambda a, b: a.merge(b)),
    Case(quillo.ReservoirSamplerA, _filled(quillo.ReservoirSamplerA), "ReservoirSamplerA",
         lambda s: s.add("x"), lambda a, b: a.merge(b)),
]
