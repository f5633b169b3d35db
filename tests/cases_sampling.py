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


def _weighted():
    s = quillo.WeightedReservoirSampler(8)
    for i in range(100):
        s.add_weighted(f"item-{i}", 1 + i % 5)
    return s


def _stream():
    s = quillo.StreamSampler(8, 7)
    s.push_batch([f"item-{i}" for i in range(100)])
    return s


CASES += [
    Case(quillo.WeightedReservoirSampler, _weighted, "WeightedReservoirSampler", lambda s: s.add("x")),
    Case(quillo.StreamSampler, _stream, "StreamSampler", lambda s: s.push_batch(["x"])),
]
