"""Sizes that cannot be allocated: constructors and decoders answer with ValueError or MemoryError."""

import contextlib
import os
import pathlib
import resource

import pytest

import quillo as q
from registry import BYTE_CASES, ids
from test_fuzz import ARGUMENTS, decode_and_use, parameters, public_methods, varint_end, varint_starts
from wire import varint

UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
HUGE = (2**64 - 1, 2**63, 2**40, 2**34)
TINY = (5e-324, 1e-300, 1e-12)
NEAR_ONE = 1 - 2**-53


@contextlib.contextmanager
def capped_address_space():
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    if not UNDER_ASAN:  # the sanitizer's shadow memory rules a cap out; its allocation limit stands in
        mapped = int(pathlib.Path("/proc/self/statm").read_text().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (mapped + (1 << 30), hard))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))


# Each constructor with every size argument pushed to its limit in turn: N takes each of HUGE, E of TINY.
N, E = object(), object()
SHAPES = [
    (q.BloomFilter, (N, 0.01)), (q.BloomFilter, (1000, E)), (q.CountingBloomFilter, (N, 0.01, 15)),
    (q.CountingBloomFilter, (1000, E, 15)), (q.CountMinSketch, (N, 4)), (q.CountMinSketch, (4, N)),
    (q.CountMinSketch, (N, N)), (q.CountMinSketch.with_error_bounds, (E, E)), (q.CountSketch, (N, 4)),
    (q.CountSketch, (4, N)), (q.FrequentStringsSketch, (N, False)),
    (q.FrequentStringsSketch.with_error_rate, (E, 0.5, False)), (q.KllSketch, (N,)),
    (q.KllSketch.with_accuracy, (E, 0.99)), (q.LinearCounter, (N,)),
    (q.LinearCounter.with_expected_cardinality, (N, 0.01)), (q.LinearCounter.with_expected_cardinality, (1000, E)),
    (q.HybridCounter, (N, 10, 100)), (q.HybridCounter, (1000, 10, N)), (q.HybridCounter.with_range, (N,)),
    (q.ReservoirSamplerR, (N,)), (q.ReservoirSamplerA, (N,)), (q.WeightedReservoirSampler, (N,)),
    (q.StreamSampler, (N, 10)), (q.StreamSampler, (10, N)), (q.TDigest, (N,)), (q.TDigest.with_accuracy, (E,)),
    (q.StreamingTDigest, (N, 10)), (q.StreamingTDigest, (100, N)), (q.ThetaSketch, (N,)), (q.TupleSketch, (N,)),
    (q.AodSketch, (N, 1)), (q.AodSketch, (16, N)), (q.ReqSketch, (N,)), (q.VarOptSketch, (N,)),
]
CONSTRUCTIONS = [
    *[(call, tuple(v if a is N else a for a in args)) for call, args in SHAPES if N in args for v in HUGE],
    *[(call, tuple(v if a is E else a for a in args)) for call, args in SHAPES if E in args for v in TINY],
    *[(cls, (255,)) for cls in (q.CpcSketch, q.HllSketch, q.HllPlusPlusSketch, q.HllPlusPlusSparseSketch,
                                q.HllSketchMode, q.HllUnion)], (q.KllSketch, (2**32 - 1,)),
    (q.FrequentStringsSketch.with_error_rate, (0.5, NEAR_ONE, False)), (q.KllSketch.with_accuracy, (0.01, NEAR_ONE)),
]


def use(obj):
    """A few calls of every method: each works or finds no room for its result."""
    for method in public_methods(obj):
        names = parameters(method)
        for _ in range(3) if all(n in ARGUMENTS for n in names) else ():
            with contextlib.suppress(ValueError, MemoryError):
                method(*(ARGUMENTS[n][0] for n in names))
    if hasattr(obj, "to_bytes"):
        with contextlib.suppress(MemoryError):
            type(obj).from_bytes(obj.to_bytes())


@pytest.mark.skipif(UNDER_ASAN, reason="the sanitizer's operator new aborts where it would throw")
@pytest.mark.parametrize("call, args", CONSTRUCTIONS, ids=[f"{c.__qualname__}{a}" for c, a in CONSTRUCTIONS])
def test_huge_constructions_fail_cleanly_or_stay_small(call, args):
    with capped_address_space():
        try:
            obj = call(*args)
        except (ValueError, MemoryError, OverflowError):
            return
        use(obj)


@pytest.mark.parametrize("case", BYTE_CASES, ids=ids(BYTE_CASES))
def test_decoders_refuse_sizes_their_image_cannot_back(case):
    """Each varint and 32-bit word of a real image in turn set to a size the image cannot back."""
    image = case.make().to_bytes()
    with capped_address_space():
        for start in varint_starts(image)[:200]:
            for value in (2**31, 2**40, 2**62, 2**64 - 1):
                decode_and_use(case, image[:start] + varint(value) + image[varint_end(image, start):])
        for at in range(min(len(image), 64)):
            for word in (b"\xff\xff\xff\xff", b"\xff\xff\xff\x7f", b"\x00\x00\x00\x40"):
                decode_and_use(case, image[:at] + word + image[at + 4:])
