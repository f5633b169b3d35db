"""Rules every class follows: module registry, finality, pickling, copying,
decoding failures, borrow conflicts and memory accounting."""

import copy
import os
import pickle
import subprocess
import sys
import threading

import pytest

import quillo
from registry import BYTE_CASES, CASES, GENERAL_CASES, MERGE_CASES, ids

TABLE_ORDER = [
    "BloomFilter", "CountingBloomFilter", "CountMinSketch", "CountSketch", "CpcSketch",
    "FrequentStringsSketch", "HllSketch", "HllPlusPlusSketch", "HllPlusPlusSparseSketch",
    "KllSketch", "LinearCounter", "HybridCounter", "ReservoirSamplerR", "ReservoirSamplerA",
    "WeightedReservoirSampler", "StreamSampler", "TDigest", "StreamingTDigest", "ThetaSketch",
    "AodSketch", "ReqSketch", "TupleSketch", "VarOptSketch", "HllSketchMode", "HllUnion",
]


def test_module_registry():
    names = [n for n in TABLE_ORDER if hasattr(quillo, n)]
    assert quillo.__all__ == names + ["__version__"]
    assert quillo.__version__ == "1.0.0"
    assert quillo.__doc__ == "Python module definition"
    for case in CASES:
        assert case.name in names


def test_second_import_returns_same_module():
    import importlib
    import sys

    first = sys.modules.pop("quillo")
    try:
        again = importlib.import_module("quillo")
        assert again is first
    finally:
        sys.modules["quillo"] = first


@pytest.mark.parametrize("case", CASES, ids=ids(CASES))
def test_class_shape(case):
    cls = case.cls
    assert cls.__module__ == "quillo"
    assert cls.__qualname__ == case.name
    assert cls.__doc__.startswith("Python binding for ")
    assert cls.__text_signature__.startswith("(")
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    obj = case.make()
    with pytest.raises(AttributeError):
        obj.anything = 1
    assert not hasattr(obj, "__dict__")


@pytest.mark.parametrize("case", BYTE_CASES, ids=ids(BYTE_CASES))
def test_pickle_and_copy_preserve_image(case):
    obj = case.make()
    image = obj.to_bytes()
    assert isinstance(image, bytes)
    for clone in (pickle.loads(pickle.dumps(obj)), copy.copy(obj), copy.deepcopy(obj),
                  case.cls.from_bytes(image), obj.from_bytes(image)):
        assert type(clone) is case.cls
        assert clone is not obj
        assert clone.to_bytes() == image
    reducer, args = obj.__reduce__()
    assert reducer == case.cls.from_bytes
    assert args == (image,)


@pytest.mark.parametrize("case", BYTE_CASES, ids=ids(BYTE_CASES))
def test_from_bytes_takes_only_bytes(case):
    parameter = "bytes" if case.name == "AodSketch" else "data"
    for data in (bytearray(case.make().to_bytes()), memoryview(b"ab"), "SK", None):
        message = rf"^argument '{parameter}': '\w+' object cannot be converted to 'PyBytes'$"
        with pytest.raises(TypeError, match=message):
            case.cls.from_bytes(data)


@pytest.mark.parametrize("case", GENERAL_CASES, ids=ids(GENERAL_CASES))
def test_general_decoding_of_empty_and_extended_images(case):
    with pytest.raises(ValueError) as err:
        case.cls.from_bytes(b"")
    assert str(err.value) == (
        f"corrupt data: {case.decode_name} decode failed: Hit the end of buffer, expected more data")
    image = case.make().to_bytes()
    assert case.cls.from_bytes(image + b"\x07" * 9).to_bytes() == image


@pytest.mark.parametrize("case", GENERAL_CASES, ids=ids(GENERAL_CASES))
def test_general_decoding_of_truncated_images_fails_cleanly(case):
    image = case.make().to_bytes()
    for cut in range(len(image)):
        try:
            case.cls.from_bytes(image[:cut])
        except ValueError as err:
            assert str(err).startswith("corrupt data: ")


@pytest.mark.parametrize("case", MERGE_CASES, ids=ids(MERGE_CASES))
def test_merge_with_self_is_refused_and_harmless(case):
    obj = case.make()
    before = obj.to_bytes() if case.has_bytes else None
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        case.merge(obj, obj)
    if before is not None:
        assert obj.to_bytes() == before
    case.mutate(obj)  # the access flag was released


@pytest.mark.parametrize("case", MERGE_CASES, ids=ids(MERGE_CASES))
def test_merge_rejects_other_classes(case):
    obj = case.make()
    with pytest.raises(TypeError, match=rf"^argument '\w+': 'int' object cannot be converted to '{case.name}'$"):
        case.merge(obj, 5)


@pytest.mark.parametrize("case", CASES, ids=ids(CASES))
def test_use_from_another_thread(case):
    obj = case.make()
    errors = []

    def use():
        try:
            case.mutate(obj)
        except BaseException as err:  # PanicException derives from BaseException
            # Keep no traceback: a collected cycle could drop the object on another thread.
            errors.append((type(err), str(err)))

    worker = threading.Thread(target=use)
    worker.start()
    worker.join()
    thread_bound = case.name in ("ReservoirSamplerA", "ReservoirSamplerR", "WeightedReservoirSampler",
                                 "StreamSampler")
    if thread_bound:
        [(kind, text)] = errors
        assert kind.__name__ == "PanicException"
        assert not issubclass(kind, Exception)
        assert text == f"quillo::{case.name} is unsendable, but sent to another thread"
    else:
        assert errors == []


THREAD_BOUND = [c for c in CASES if c.name in ("ReservoirSamplerA", "ReservoirSamplerR",
                                               "WeightedReservoirSampler", "StreamSampler")]


@pytest.mark.parametrize("case", THREAD_BOUND, ids=ids(THREAD_BOUND))
def test_dropping_on_another_thread_is_reported_not_fatal(case, monkeypatch):
    import sys

    reports = []
    monkeypatch.setattr(sys, "unraisablehook", lambda args: reports.append((args.exc_type, str(args.exc_value))))
    made = []
    worker = threading.Thread(target=lambda: made.append(case.make()))
    worker.start()
    worker.join()
    made.clear()  # the last reference goes on this thread
    assert reports == [(RuntimeError, f"quillo::{case.name} is unsendable, but is being dropped on another thread")]


# Memory accounting: every class at a small and a large configuration, each
# fed the same stream.
STREAM = [f"item-{i:06d}" for i in range(3000)]


def feeding(method, *extra):
    return lambda obj: [getattr(obj, method)(item, *extra) for item in STREAM]


def feeding_floats(method):
    return lambda obj: [getattr(obj, method)(float(i % 977)) for i in range(len(STREAM))]


# name: (build from a size, small size, large size, feed)
SIZED = {
    "BloomFilter": (quillo.BloomFilter, 100, 100_000, feeding("add")),
    "CountingBloomFilter": (quillo.CountingBloomFilter, 100, 100_000, feeding("add")),
    "CountMinSketch": (lambda w: quillo.CountMinSketch(w, 4), 16, 16_384, feeding("increment")),
    "CountSketch": (lambda w: quillo.CountSketch(w, 4), 16, 16_384, feeding("update", 1)),
    "CpcSketch": (quillo.CpcSketch, 4, 14, feeding("update")),
    "FrequentStringsSketch": (lambda m: quillo.FrequentStringsSketch(m, False), 8, 4096, feeding("update")),
    "HllSketch": (quillo.HllSketch, 4, 16, feeding("update")),
    "HllPlusPlusSketch": (quillo.HllPlusPlusSketch, 4, 16, feeding("update")),
    "HllPlusPlusSparseSketch": (quillo.HllPlusPlusSparseSketch, 4, 16, feeding("update")),
    "KllSketch": (quillo.KllSketch, 8, 2000, feeding_floats("update")),
    "LinearCounter": (quillo.LinearCounter, 64, 1 << 20, feeding("update")),
    "HybridCounter": (lambda b: quillo.HybridCounter(b, 12, 10**6), 64, 1 << 20, feeding("update")),
    "ReservoirSamplerR": (quillo.ReservoirSamplerR, 10, 2000, feeding("add")),
    "ReservoirSamplerA": (quillo.ReservoirSamplerA, 10, 2000, feeding("add")),
    "WeightedReservoirSampler": (quillo.WeightedReservoirSampler, 10, 2000, feeding("add")),
    "StreamSampler": (lambda c: quillo.StreamSampler(c, 100), 10, 2000, lambda s: s.push_batch(STREAM)),
    "TDigest": (quillo.TDigest, 10, 1000, feeding_floats("add")),
    "StreamingTDigest": (lambda c: quillo.StreamingTDigest(c, c), 10, 1000, feeding_floats("add")),
    "ThetaSketch": (quillo.ThetaSketch, 16, 65536, feeding("update")),
    "AodSketch": (lambda c: quillo.AodSketch(c, 2), 16, 4096, feeding("update", [1.0, 2.0])),
    "ReqSketch": (quillo.ReqSketch, 4, 200, feeding_floats("update")),
    "TupleSketch": (quillo.TupleSketch, 16, 65536, feeding("update", 1.0)),
    "VarOptSketch": (quillo.VarOptSketch, 10, 2000, feeding("update", 1.0)),
    "HllSketchMode": (quillo.HllSketchMode, 4, 16, feeding("update")),
    "HllUnion": (quillo.HllUnion, 4, 16, feeding("update")),
}


def test_every_class_reports_its_size():
    assert sorted(SIZED) == sorted(TABLE_ORDER)


@pytest.mark.parametrize("name", SIZED)
def test_reported_size_grows_with_the_configured_size(name):
    build, small_size, large_size, feed = SIZED[name]
    small, large = build(small_size), build(large_size)
    feed(small)
    feed(large)
    assert sys.getsizeof(small) > type(small).__basicsize__
    assert sys.getsizeof(large) > 2 * sys.getsizeof(small)
    # No class keeps its state in fewer bytes than its image.
    if hasattr(large, "to_bytes"):
        assert sys.getsizeof(large) >= len(large.to_bytes())


@pytest.mark.parametrize("case", THREAD_BOUND, ids=ids(THREAD_BOUND))
def test_a_thread_bound_sampler_reports_its_size_on_any_thread(case):
    obj = case.make()
    sizes = []
    worker = threading.Thread(target=lambda: sizes.append(sys.getsizeof(obj)))
    worker.start()
    worker.join()
    assert sizes == [sys.getsizeof(obj)]


# What a large summary adds to the resident memory of a fresh process.
RESIDENT_PROBE = """
import os, sys, quillo
items = [f"a-fairly-long-item-name-number-{i:09d}" for i in range(100_000)]
def fed(obj, call):
    for item in items:
        call(obj, item)
    return obj
def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
before = resident()
obj = %s
print(sys.getsizeof(obj), resident() - before)
"""

LARGE = {
    "BloomFilter": "quillo.BloomFilter(10**7)",
    "CountMinSketch": "quillo.CountMinSketch(2**21, 4)",  # 64 MiB of counters
    "ReservoirSamplerR": "fed(quillo.ReservoirSamplerR(100_000), quillo.ReservoirSamplerR.add)",
    "FrequentStringsSketch": "fed(quillo.FrequentStringsSketch(2**17, False), quillo.FrequentStringsSketch.update)",
}


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizer's allocator pads every block")
@pytest.mark.parametrize("name", LARGE)
def test_reported_size_of_a_large_summary_is_close_to_its_resident_memory(name):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    child = subprocess.run([sys.executable, "-c", RESIDENT_PROBE % LARGE[name]], env=env, capture_output=True,
                           text=True, timeout=120)
    assert child.returncode == 0, child.stderr
    reported, resident = map(int, child.stdout.split())
    assert reported > 4_000_000
    assert 0.7 < reported / resident < 1.4
