import quillo
from registry import Case


def _linear():
    c = quillo.LinearCounter(1000)
    for i in range(300):
        c.update(f"item-{i}")
    return c


def _hybrid():
    # Still before the switch, so the image holds both parts.
    c = quillo.HybridCounter(2048, 8, 1000)
    for i in range(100):
        c.update(f"item-{i}")
    return c


CASES = [
    Case(quillo.LinearCounter, _linear, "LinearCounter", lambda c: c.update("x"), lambda a, b: a.merge(b)),
    Case(quillo.HybridCounter, _hybrid, "HybridCounter", lambda c: c.update("x")),
]
