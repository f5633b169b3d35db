import quillo
from registry import Case


def _filled(cls):
    def make():
        s = cls(10)
        for i in range(500):
            s.update(f"item-{i}")
        return s
    return make


CASES = [
    Case(quillo.HllPlusPlusSketch, _filled(quillo.HllPlusPlusSketch), None, lambda s: s.update("x"),
         lambda a, b: a.merge(b)),
    Case(quillo.HllPlusPlusSparseSketch, _filled(quillo.HllPlusPlusSparseSketch), "HllPlusPlusSparseSketch",
         lambda s: s.update("x"), lambda a, b: a.merge(b)),
]
