import quillo
from registry import Case


def _sketch_mode():
    s = quillo.HllSketchMode(10)
    for i in range(500):
        s.update(f"item-{i}")
    return s


def _union():
    u = quillo.HllUnion(12)
    for i in range(100):
        u.update(f"item-{i}")
    u.update_with_sketch(_sketch_mode())
    return u


CASES = [
    Case(quillo.HllSketchMode, _sketch_mode, None, lambda s: s.update("x"), has_bytes=False),
    Case(quillo.HllUnion, _union, "HllUnion", lambda u: u.update("x")),
]
