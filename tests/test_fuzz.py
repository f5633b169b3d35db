"""Decoders against damaged images (``tools/fuzz.py`` runs the same mutations for longer): every input
ends in a summary or a ValueError, and a decoded summary survives every method afterwards."""

import math
import pathlib
import random
import struct
from contextlib import suppress

import pytest

import quillo
from registry import BYTE_CASES, ids
from wire import f64, varint

ROUNDS = 300

# Values a damaged length, count or size field is most likely to get wrong.
WIDE_INTEGERS = (0, 1, 2, 63, 64, 255, 256, 2**31 - 1, 2**31, 2**32 - 1, 2**32, 2**40, 2**53, 2**62, 2**63,
                 2**64 - 1)
EDGE_BYTES = (0x00, 0x01, 0x02, 0x3F, 0x40, 0x7F, 0x80, 0xFE, 0xFF)
EDGE_FLOATS = (math.nan, math.inf, -math.inf, 0.0, -0.0, 5e-324, 1.7976931348623157e308, -1.0, 2.0**64)


def varint_starts(image):
    """Offsets where a varint may begin: after any byte that would end one."""
    return [i for i in range(len(image)) if i == 0 or image[i - 1] < 0x80]


def varint_end(image, start):
    return next((i for i in range(start, len(image)) if image[i] < 0x80), len(image) - 1) + 1


def flip_bits(data, rng):
    for _ in range(rng.randint(1, 4)):
        data[rng.randrange(len(data))] ^= 1 << rng.randrange(8)


def set_edge_byte(data, rng):
    data[rng.randrange(len(data))] = rng.choice(EDGE_BYTES)


def splice(data, start, end, new):
    data[start:end] = new


def duplicate_run(data, rng):
    start = rng.randrange(len(data))
    run = data[start:start + rng.randint(1, 32)]
    splice(data, at := rng.randrange(len(data) + 1), at, run)


# Each lambda draws from ``r`` in argument order: the position first, then the new bytes.
MUTATIONS = (
    flip_bits, set_edge_byte,
    lambda d, r: splice(d, r.randrange(len(d) + 1), len(d), b""),  # truncate
    lambda d, r: splice(d, len(d), len(d), bytes(r.randrange(256) for _ in range(r.randint(1, 16)))),  # extend
    lambda d, r: splice(d, at := r.randrange(len(d) + 1), at, b"\xff" * r.randint(1, 11)),  # overlong varint
    lambda d, r: splice(d, at := r.choice(varint_starts(d)), varint_end(d, at), varint(r.choice(WIDE_INTEGERS))),
    lambda d, r: splice(d, at := r.randrange(len(d)), at + 4, struct.pack("<I", r.choice(WIDE_INTEGERS) & 0xFFFFFFFF)),
    lambda d, r: splice(d, at := r.randrange(len(d)), at + 8, f64(r.choice(EDGE_FLOATS))),
    duplicate_run,
    lambda d, r: splice(d, at := r.randrange(len(d)), at + r.randint(1, 16), b""),  # delete a run
)


def damaged(images, rng):
    """One damaged variant of a real image, now and then random bytes."""
    if rng.random() < 0.05:
        return bytes(rng.randrange(256) for _ in range(rng.randint(0, 64)))
    data = bytearray(rng.choice(images))
    for _ in range(rng.choice((1, 1, 1, 2, 3))):
        if data:
            rng.choice(MUTATIONS)(data, rng)
    return bytes(data)


# Arguments by parameter name, first the ordinary value, then edge values.
ARGUMENTS = {
    "item": ("x", "", "item-3"), "key": ("x",), "items": (["x", "y"], []), "count": (3, 0),
    "threshold": (1, 0), "threshold_fraction": (0.5, 0.0, 1.0), "k": (3, 0), "rank": (0.5, 0.0, 1.0),
    "q": (0.5, 0.0, 1.0), "qs": ([0.1, 0.9], []), "ranks": ([0.1, 0.9], [], [0.0, 1.0]),
    "value": (0.5, -1e300, math.inf, math.nan),
    "values": ([1.0, 2.0], [], [math.inf, -1.0]), "split_points": ([0.0, 1.0], []),
    "lower_quantile": (0.1, 0.0), "upper_quantile": (0.9, 1.0), "confidence": (None, 1, 3),
    "weight": (2.0, 1e300), "counts": ([1, 2], None), "weights": ([1.0, 2.0], []), "rows": ([[1.0], [2.0]], []),
}
# Methods that change much of the state run last, so the queries see the damaged one.
RUN_LAST = ("clear", "flush", "compact")


def parameters(method):
    signature = getattr(method, "__text_signature__", None) or "()"
    return [n for n in (p.split("=")[0].strip() for p in signature.strip("()").split(",")) if n and n != "$self"]


def public_methods(obj):
    names = [n for n in dir(obj) if not n.startswith(("_", "with_")) and n != "from_bytes"]
    return [getattr(obj, n) for n in sorted(names, key=lambda n: n in RUN_LAST)]


def calls(case, method):
    """Argument tuples for ``method``: the ordinary ones, then each edge value in turn."""
    names = parameters(method)
    if names[0:1] == ["sketch"]:
        partner = quillo.HllSketchMode(8)
        partner.update("x")
        return [(partner,)]
    if {"other", "sketch"} & set(names):
        return [(case.make(),)]
    options = [ARGUMENTS[n] for n in names]
    rounds = max((len(o) for o in options), default=1)
    return [tuple(o[min(i, len(o) - 1)] for o in options) for i in range(rounds)]


def exercise(case, obj):
    """Every public method on ``obj``; only ValueError may come out."""
    for method in public_methods(obj):
        for args in calls(case, method):
            with suppress(ValueError):
                method(*args)
            if args and isinstance(args[0], case.cls):  # the damaged summary as the argument of a fresh one
                with suppress(ValueError):
                    getattr(args[0], method.__name__)(obj)
    case.cls.from_bytes(obj.to_bytes())


def decode_and_use(case, data):
    """True when ``data`` decoded; raises on anything but a clean refusal."""
    try:
        obj = case.cls.from_bytes(data)
    except ValueError:
        return False
    case.cls.from_bytes(obj.to_bytes())
    exercise(case, obj)
    return True


def seed_images(case):
    """Images of the class as its case makes it and after one more update."""
    made = case.make()
    images = [made.to_bytes()]
    case.mutate(made)
    return images + [made.to_bytes()]


@pytest.mark.parametrize("case", BYTE_CASES, ids=ids(BYTE_CASES))
def test_damaged_images(case):
    rng = random.Random(case.name)
    images = seed_images(case)
    for _ in range(ROUNDS):
        decode_and_use(case, damaged(images, rng))


# Images that once took the process down (or a fuzz target), one folder per
# class in tests/data/fuzz (they also seed the fuzz targets of `make fuzz`):
# each must now be refused or decode into a summary that survives every method.
FOUND = sorted(pathlib.Path(__file__).parent.joinpath("data", "fuzz").glob("*/*.bin"))
BY_NAME = {c.name: c for c in BYTE_CASES}


@pytest.mark.parametrize("path", FOUND, ids=[f"{p.parent.name}-{p.stem}" for p in FOUND])
def test_images_that_once_crashed(path):
    decode_and_use(BY_NAME[path.parent.name], path.read_bytes())
