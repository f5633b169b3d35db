import quillo
from registry import Case


def _varopt():
    s = quillo.VarOptSketch(16)
    for i in range(200):
        s.update(f"item-{i}", 1.0 + i % 7)
    return s


CASES = [
    Case(quillo.VarOptSketch, _varopt, "VarOptSketch", lambda s: s.update("x", 1.0)),
]
