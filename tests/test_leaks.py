"""Every public method of every class, failing paths included, called over and over: the C heap stays
flat, every result is held by the caller alone, and no argument or singleton gains or loses a reference."""

import copy
import ctypes
import gc
import pickle
import sys
from contextlib import suppress

import pytest

from registry import CASES, ids
from test_fuzz import ARGUMENTS, calls, parameters, public_methods

ROUNDS, WARM_UP, REPEATS = 20, 5, 400
# A leaked state or buffer per round would add at least ROUNDS times its size.
HEAP_SLACK = 1024


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


mallinfo2 = getattr(ctypes.CDLL(None), "mallinfo2", None)
if mallinfo2 is not None:
    mallinfo2.restype = MallInfo2


def heap_in_use():
    info = mallinfo2() if mallinfo2 is not None else MallInfo2()
    return info.uordblks + info.hblkhd


class Reentrant:
    """A number whose conversion calls back into the summary being called (refused where borrows conflict)."""

    def __init__(self, value, callback):
        self.value, self.callback = value, callback

    def __float__(self):
        with suppress(RuntimeError):
            self.callback()
        return float(self.value)

    def __index__(self):
        return int(self.__float__())


def swallow(call, *args, errors=(ValueError,), **kwargs):
    try:
        return call(*args, **kwargs)
    except errors:
        return None


def is_fresh(value):
    """Whether each call makes ``value`` anew (rather than sharing a cached object)."""
    kind = type(value)
    return (kind in (float, bytes, list, dict) or kind.__module__ == "quillo" or kind in (tuple, str) and len(value) > 1
            or kind is int and not -5 <= value <= 256)


# Before 3.11 a call's arguments stay on the caller's stack as well.
CALLER_STACK = 1 if sys.version_info < (3, 11) else 0


def check_held_only_by_caller(value, expected=2):
    # The result is held by this parameter alone; a part also by its container and the loop above.
    expected += CALLER_STACK
    if is_fresh(value):
        assert sys.getrefcount(value) == expected, f"{type(value).__name__} result with a stray reference"
    for part in value.values() if isinstance(value, dict) else value if type(value) in (list, tuple) else ():
        check_held_only_by_caller(part, 4)


def workout(case):
    obj = case.make()
    methods = public_methods(obj)
    for method in methods:
        for args in calls(case, method):
            check_held_only_by_caller(swallow(method, *args))
            if args and isinstance(args[0], case.cls):
                swallow(getattr(args[0], method.__name__), obj)
    for method in methods:  # wrong arguments
        names = parameters(method)
        if names:
            swallow(method, errors=TypeError)
            swallow(method, *[object()] * len(names), errors=TypeError)
        swallow(method, *[None] * (len(names) + 1), errors=TypeError)
        swallow(method, nonsense=1, errors=TypeError)
        # A numeric argument whose conversion queries or mutates the same object.
        if len(names) == 1 and names[0] in ("rank", "q", "value", "weight", "threshold", "k"):
            for callback in (lambda: obj.to_bytes() if hasattr(obj, "to_bytes") else obj.estimate(),
                             lambda: getattr(obj, "update", getattr(obj, "add", None))(1.0)):
                swallow(method, Reentrant(0.5 if names[0] in ("rank", "q") else 1, callback),
                        errors=(ValueError, TypeError))
    swallow(case.cls, *[object()] * 4, errors=TypeError)
    swallow(case.cls, -1, errors=(TypeError, OverflowError, ValueError))
    if case.merge is not None:
        swallow(case.merge, obj, obj, errors=RuntimeError)
        swallow(case.merge, obj, 5, errors=TypeError)
    if case.has_bytes:
        image = obj.to_bytes()
        for data in (image, image[: len(image) // 2], b"", b"\xff" * 11, image + b"\x00" * 3):
            swallow(case.cls.from_bytes, data)
        swallow(case.cls.from_bytes, bytearray(image), errors=TypeError)
        check_held_only_by_caller(case.cls.from_bytes(image))
        check_held_only_by_caller(obj.__reduce__())
        pickle.loads(pickle.dumps(obj))
        copy.deepcopy(obj)


def argument_counts():
    # Through a list, so no count equals an argument (3) and the saved counts would hold it.
    values = [v for options in ARGUMENTS.values() for v in options if not isinstance(v, (bool, type(None)))]
    return [sys.getrefcount(v) for v in values]


def heap_growth(case):
    before = heap_in_use()
    for _ in range(ROUNDS):
        workout(case)
    gc.collect()
    return heap_in_use() - before


@pytest.mark.parametrize("case", CASES, ids=ids(CASES))
def test_repeated_calls_keep_memory_and_references_flat(case):
    for _ in range(WARM_UP):
        workout(case)  # types, caches and free lists settle
    gc.collect()
    counts = argument_counts()
    # A leak grows the heap in both halves; a cache filling up once does not.
    assert min(heap_growth(case), heap_growth(case)) < HEAP_SLACK
    assert argument_counts() == counts


@pytest.mark.parametrize("case", CASES, ids=ids(CASES))
def test_results_keep_singleton_counts(case):
    """Methods answering None or a bool neither keep nor drop a reference to it."""
    obj = case.make()
    for method in public_methods(obj):
        args = calls(case, method)[0]
        for _ in range(WARM_UP * 10):
            swallow(method, *args)
        before = list(map(sys.getrefcount, (None, True, False)))
        for _ in range(REPEATS):
            swallow(method, *args)
        drift = max(abs(a - b) for a, b in zip(map(sys.getrefcount, (None, True, False)), before))
        assert drift < REPEATS // 2, method.__name__
