"""Sizes that cannot be allocated: every constructor, alternative constructor
and decoder answers with ValueError or MemoryError, inside a capped address
space, instead of taking the machine's memory."""

import contextlib
import os
import resource

import pytest

import quillo
from registry import BYTE_CASES, ids
from test_fuzz import ARGUMENTS, decode_and_use, parameters, public_methods, varint, varint_end, varint_starts

UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
HEADROOM = 1 << 30
HUGE = (2**64 - 1, 2**63, 2**40, 2**34)
TINY = (5e-324, 1e-300, 1e-12)
NEAR_ONE = 1 - 2**-53


@contextlib.contextmanager
def capped_address_space():
    """Lets this process map at most HEADROOM more bytes while the block runs.
    The sanitizer's shadow memory rules a cap out; its own allocation limit
    stands in for it there."""
    if UNDER_ASAN:
        yield
        return
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    with open("/proc/self/statm") as statm:
        mapped = int(statm.read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (mapped + HEADROOM, hard))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))


q = quillo
# Each constructor with every size argument pushed towards its limit in turn.
CONSTRUCTIONS = [
    *[(q.BloomFilter, (n, 0.01)) for n in HUGE], *[(q.BloomFilter, (1000, e)) for e in TINY],
    *[(q.CountingBloomFilter, (n, 0.01, 15)) for n in HUGE],
    *[(q.CountingBloomFilter, (1000, e, 15)) for e in TINY],
    *[(q.CountMinSketch, (n, 4)) for n in HUGE], *[(q.CountMinSketch, (4, n)) for n in HUGE],
    *[(q.CountMinSketch, (n, n)) for n in HUGE], *[(q.CountMinSketch.with_error_bounds, (e, e)) for e in TINY],
    *[(q.CountSketch, (n, 4)) for n in HUGE], *[(q.CountSketch, (4, n)) for n in HUGE],
    (q.CpcSketch, (255,)), (q.HllSketch, (255,)), (q.HllPlusPlusSketch, (255,)),
    (q.HllPlusPlusSparseSketch, (255,)), (q.HllSketchMode, (255,)), (q.HllUnion, (255,)),
    *[(q.FrequentStringsSketch, (n, False)) for n in HUGE],
    *[(q.FrequentStringsSketch.with_error_rate, (e, 0.5, False)) for e in TINY],
    (q.FrequentStringsSketch.with_error_rate, (0.5, NEAR_ONE, False)),
    *[(q.KllSketch, (n,)) for n in (*HUGE, 2**32 - 1)], *[(q.KllSketch.with_accuracy, (e, 0.99)) for e in TINY],
    (q.KllSketch.with_accuracy, (0.01, NEAR_ONE)),
    *[(q.LinearCounter, (n,)) for n in HUGE],
    *[(q.LinearCounter.with_expected_cardinality, (n, 0.01)) for n in HUGE],
    *[(q.LinearCounter.with_expected_cardinality, (1000, e)) for e in TINY],
    *[(q.HybridCounter, (n, 10, 100)) for n in HUGE], *[(q.HybridCounter, (1000, 10, n)) for n in HUGE],
    *[(q.HybridCounter.with_range, (n,)) for n in HUGE],
    *[(cls, (n,)) for cls in (q.ReservoirSamplerR, q.ReservoirSamplerA, q.WeightedReservoirSampler) for n in HUGE],
    *[(q.StreamSampler, (n, 10)) for n in HUGE], *[(q.StreamSampler, (10, n)) for n in HUGE],
    *[(q.TDigest, (n,)) for n in HUGE], *[(q.TDigest.with_accuracy, (e,)) for e in TINY],
    *[(q.StreamingTDigest, (n, 10)) for n in HUGE], *[(q.StreamingTDigest, (100, n)) for n in HUGE],
    *[(q.ThetaSketch, (n,)) for n in HUGE], *[(q.TupleSketch, (n,)) for n in HUGE],
    *[(q.AodSketch, (n, 1)) for n in HUGE], *[(q.AodSketch, (16, n)) for n in HUGE],
    *[(q.ReqSketch, (n,)) for n in HUGE], *[(q.VarOptSketch, (n,)) for n in HUGE],
]


def use(obj):
    """A few calls of every method of a summary built with a huge size: each
    works or finds no room for its result."""
    for method in public_methods(obj):
        names = parameters(method)
        if any(n not in ARGUMENTS for n in names):
            continue
        for _ in range(3):
            try:
                method(*(ARGUMENTS[n][0] for n in names))
            except (ValueError, MemoryError):
                pass
    if hasattr(obj, "to_bytes"):
        try:
            type(obj).from_bytes(obj.to_bytes())
        except MemoryError:
            pass


def label(construction):
    call, args = construction
    return f"{getattr(call, '__qualname__', call.__name__)}{args}"


@pytest.mark.skipif(UNDER_ASAN, reason="the sanitizer's operator new aborts where it would throw")
@pytest.mark.parametrize("call, args", CONSTRUCTIONS, ids=[label(c) for c in CONSTRUCTIONS])
def test_huge_constructions_fail_cleanly_or_stay_small(call, args):
    with capped_address_space():
        try:
            obj = call(*args)
        except (ValueError, MemoryError, OverflowError):
            return
        use(obj)


@pytest.mark.parametrize("case", BYTE_CASES, ids=ids(BYTE_CASES))
def test_decoders_refuse_sizes_their_image_cannot_back(case):
    """Each varint and each 32-bit word of a real image in turn set to a size
    no image of that length could justify: a refusal, never an attempt."""
    image = case.make().to_bytes()
    with capped_address_space():
        for start in varint_starts(image)[:200]:
            for value in (2**31, 2**40, 2**62, 2**64 - 1):
                decode_and_use(case, image[:start] + varint(value) + image[varint_end(image, start):])
        for at in range(min(len(image), 64)):
            for word in (b"\xff\xff\xff\xff", b"\xff\xff\xff\x7f", b"\x00\x00\x00\x40"):
                decode_and_use(case, image[:at] + word + image[at + 4:])
