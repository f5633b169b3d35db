"""Every public method of every class, failing paths included, called over and
over: the C heap stays flat, every result is a new object that only the caller
holds, and no argument or shared singleton gains or loses a reference."""

import copy
import ctypes
import gc
import pickle
import sys

import pytest

from registry import CASES, ids
from test_fuzz import ARGUMENTS, calls, parameters, public_methods

ROUNDS = 20
WARM_UP = 5
REPEATS = 400
# A leaked state or buffer per round would add at least ROUNDS times its size.
HEAP_SLACK = 1024


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


def _heap_reader():
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except AttributeError:
        return lambda: 0
    mallinfo2.restype = _MallInfo2

    def heap_in_use():
        info = mallinfo2()
        return info.uordblks + info.hblkhd
    return heap_in_use


heap_in_use = _heap_reader()


class Reentrant:
    """A number whose conversion calls back into the summary being called;
    the frame refuses the call back wherever the borrows conflict."""

    def __init__(self, value, callback):
        self.value, self.callback = value, callback

    def _call_back(self):
        try:
            self.callback()
        except RuntimeError:
            pass

    def __float__(self):
        self._call_back()
        return float(self.value)

    def __index__(self):
        self._call_back()
        return int(self.value)


def swallow(call, *args, errors=(ValueError,), **kwargs):
    try:
        return call(*args, **kwargs)
    except errors:
        return None


def is_fresh(value):
    """Whether each call makes ``value`` anew (rather than sharing a cached object)."""
    if type(value) in (float, bytes, list, dict) or type(value).__module__ == "quillo":
        return True
    if type(value) in (tuple, str):
        return len(value) > 1
    return type(value) is int and not -5 <= value <= 256


def parts(value):
    return value.values() if isinstance(value, dict) else value if type(value) in (list, tuple) else ()


def check_held_only_by_caller(value, expected=2):
    # The top-level result is held by this parameter alone; a part by its
    # container, the loop variable of the level above and this parameter.
    if is_fresh(value):
        assert sys.getrefcount(value) == expected, f"{type(value).__name__} result with a stray reference"
    for part in parts(value):
        check_held_only_by_caller(part, 4)


def good_calls(case, obj):
    for method in public_methods(obj):
        for args in calls(case, method):
            try:
                check_held_only_by_caller(method(*args))
            except ValueError:
                pass
            if args and isinstance(args[0], case.cls):
                swallow(getattr(args[0], method.__name__), obj)


def bad_calls(case, obj):
    for method in public_methods(obj):
        names = parameters(method)
        if names:
            swallow(method, errors=TypeError)
            swallow(method, *[object()] * len(names), errors=TypeError)
        swallow(method, *[None] * (len(names) + 1), errors=TypeError)
        swallow(method, nonsense=1, errors=TypeError)
    swallow(case.cls, *[object()] * 4, errors=TypeError)
    swallow(case.cls, -1, errors=(TypeError, OverflowError, ValueError))
    if case.merge is not None:
        swallow(case.merge, obj, obj, errors=RuntimeError)
        swallow(case.merge, obj, 5, errors=TypeError)


def reentrant_calls(obj):
    """A numeric argument whose conversion calls a query and a mutation of the same object."""
    for method in public_methods(obj):
        names = parameters(method)
        if len(names) != 1 or names[0] not in ("rank", "q", "value", "weight", "threshold", "k"):
            continue
        for callback in (lambda: obj.to_bytes() if hasattr(obj, "to_bytes") else obj.estimate(),
                         lambda: getattr(obj, "update", getattr(obj, "add", None))(1.0)):
            swallow(method, Reentrant(0.5 if names[0] in ("rank", "q") else 1, callback),
                    errors=(ValueError, TypeError))


def image_calls(case, obj):
    if not case.has_bytes:
        return
    image = obj.to_bytes()
    for data in (image, image[: len(image) // 2], b"", b"\xff" * 11, image + b"\x00" * 3):
        swallow(case.cls.from_bytes, data)
    swallow(case.cls.from_bytes, bytearray(image), errors=TypeError)
    check_held_only_by_caller(case.cls.from_bytes(image))
    check_held_only_by_caller(obj.__reduce__())
    pickle.loads(pickle.dumps(obj))
    copy.deepcopy(obj)


def workout(case):
    obj = case.make()
    good_calls(case, obj)
    bad_calls(case, obj)
    reentrant_calls(obj)
    image_calls(case, obj)


def argument_counts():
    """Reference counts of every argument value the workout passes."""
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


def singleton_counts():
    return [sys.getrefcount(x) for x in (None, True, False)]


@pytest.mark.parametrize("case", CASES, ids=ids(CASES))
def test_results_keep_singleton_counts(case):
    """Methods answering None or a bool neither keep nor drop a reference to it."""
    obj = case.make()
    for method in public_methods(obj):
        for args in calls(case, method)[:1]:
            for _ in range(WARM_UP * 10):
                swallow(method, *args)
            before = singleton_counts()
            for _ in range(REPEATS):
                swallow(method, *args)
            drift = [abs(a - b) for a, b in zip(singleton_counts(), before)]
            assert max(drift) < REPEATS // 2, method.__name__
