import quillo
from registry import Case


def _kll():
    s = quillo.KllSketch(16)
    for i in range(500):
        s.update(float(i % 97))
    return s


def _tdigest():
    t = quillo.TDigest(20)
    t.add_batch([float(i % 89) for i in range(400)])
    t.add(-1.0)
    return t


def _streaming_tdigest():
    s = quillo.StreamingTDigest(20, 16)
    for i in range(100):
        s.add(float(i % 31))
    return s


def _req():
    s = quillo.ReqSketch(6, "LRA")
    for i in range(300):
        s.update(float(i % 53))
    return s


CASES = [
    Case(quillo.KllSketch, _kll, None, lambda s: s.update(1.0), lambda a, b: a.merge(b)),
    Case(quillo.TDigest, _tdigest, "TDigest", lambda t: t.add(1.0), lambda a, b: a.merge(b)),
    Case(quillo.ReqSketch, _req, "ReqSketch", lambda s: s.update(1.0)),
    Case(quillo.StreamingTDigest, _streaming_tdigest, "StreamingTDigest", lambda s: s.add(1.0)),
]
