"""Decoders against damaged images: every input ends in a summary or a
ValueError, and a decoded summary survives every method afterwards.

``tools/fuzz.py`` runs the same mutations for much longer."""

import math
import random
import struct

import pytest

import quillo
from registry import BYTE_CASES, ids

ROUNDS = 300

# Values a damaged length, count or size field is most likely to get wrong.
WIDE_INTEGERS = (0, 1, 2, 63, 64, 255, 256, 2**31 - 1, 2**31, 2**32 - 1, 2**32, 2**40, 2**53, 2**62, 2**63,
                 2**64 - 1)
EDGE_BYTES = (0x00, 0x01, 0x02, 0x3F, 0x40, 0x7F, 0x80, 0xFE, 0xFF)
EDGE_FLOATS = (math.nan, math.inf, -math.inf, 0.0, -0.0, 5e-324, 1.7976931348623157e308, -1.0, 2.0**64)


def varint(value):
    out = bytearray()
    while True:
        low = value & 0x7F
        value >>= 7
        if value:
            out.append(low | 0x80)
        else:
            out.append(low)
            return bytes(out)


def varint_starts(image):
    """Offsets where a varint may begin: after any byte that would end one."""
    return [i for i in range(len(image)) if i == 0 or image[i - 1] < 0x80]


def varint_end(image, start):
    end = start
    while end < len(image) and image[end] & 0x80:
        end += 1
    return min(end + 1, len(image))


def flip_bits(data, rng):
    for _ in range(rng.randint(1, 4)):
        data[rng.randrange(len(data))] ^= 1 << rng.randrange(8)


def set_edge_byte(data, rng):
    data[rng.randrange(len(data))] = rng.choice(EDGE_BYTES)


def truncate(data, rng):
    del data[rng.randrange(len(data) + 1):]


def extend(data, rng):
    data += bytes(rng.randrange(256) for _ in range(rng.randint(1, 16)))


def insert_long_varint(data, rng):
    at = rng.randrange(len(data) + 1)
    data[at:at] = b"\xff" * rng.randint(1, 11)


def replace_varint(data, rng):
    start = rng.choice(varint_starts(data))
    data[start:varint_end(data, start)] = varint(rng.choice(WIDE_INTEGERS))


def overwrite_u32(data, rng):
    at = rng.randrange(len(data))
    data[at:at + 4] = struct.pack("<I", rng.choice(WIDE_INTEGERS) & 0xFFFFFFFF)


def overwrite_f64(data, rng):
    at = rng.randrange(len(data))
    data[at:at + 8] = struct.pack("<d", rng.choice(EDGE_FLOATS))


def duplicate_run(data, rng):
    start = rng.randrange(len(data))
    run = data[start:start + rng.randint(1, 32)]
    at = rng.randrange(len(data) + 1)
    data[at:at] = run


def delete_run(data, rng):
    start = rng.randrange(len(data))
    del data[start:start + rng.randint(1, 16)]


MUTATIONS = (flip_bits, set_edge_byte, truncate, extend, insert_long_varint, replace_varint, overwrite_u32,
             overwrite_f64, duplicate_run, delete_run)


def damaged(images, rng):
    """One damaged variant of a real image, now and then random bytes."""
    if rng.random() < 0.05:
        return bytes(rng.randrange(256) for _ in range(rng.randint(0, 64)))
    data = bytearray(rng.choice(images))
    for _ in range(rng.choice((1, 1, 1, 2, 3))):
        if data:
            rng.choice(MUTATIONS)(data, rng)
    return bytes(data)


def seed_images(case):
    """Images of the class as its case makes it and after one more update."""
    made = case.make()
    images = [made.to_bytes()]
    case.mutate(made)
    images.append(made.to_bytes())
    return images


# Arguments by parameter name, first the ordinary value, then edge values.
ARGUMENTS = {
    "item": ("x", "", "item-3"),
    "key": ("x",),
    "items": (["x", "y"], []),
    "count": (3, 0),
    "threshold": (1, 0),
    "threshold_fraction": (0.5, 0.0, 1.0),
    "k": (3, 0),
    "rank": (0.5, 0.0, 1.0),
    "q": (0.5, 0.0, 1.0),
    "qs": ([0.1, 0.9], []),
    "value": (0.5, -1e300, math.inf, math.nan),
    "values": ([1.0, 2.0], [], [math.inf, -1.0]),
    "split_points": ([0.0, 1.0], []),
    "lower_quantile": (0.1, 0.0),
    "upper_quantile": (0.9, 1.0),
    "confidence": (None, 1, 3),
    "weight": (2.0, 1e300),
}
# Methods that change much of the state run last, so the queries see the damaged one.
RUN_LAST = ("clear", "flush", "compact")


def parameters(method):
    signature = getattr(method, "__text_signature__", None) or "()"
    names = [p.strip() for p in signature.strip("()").split(",") if p.strip()]
    return [n for n in names if n != "$self"]


def public_methods(obj):
    names = [n for n in dir(obj) if not n.startswith("_") and n != "from_bytes" and not n.startswith("with_")]
    names.sort(key=lambda n: n in RUN_LAST)
    return [getattr(obj, n) for n in names]


def partner(case, name):
    if name == "sketch":
        sketch = quillo.HllSketchMode(8)
        sketch.update("x")
        return sketch
    return case.make()


def calls(case, method):
    """Argument tuples for ``method``: the ordinary ones, then each edge value in turn."""
    names = parameters(method)
    if any(n in ("other", "sketch") for n in names):
        return [(partner(case, names[0]),)]
    options = [ARGUMENTS[n] for n in names]
    rounds = max((len(o) for o in options), default=1)
    return [tuple(o[min(i, len(o) - 1)] for o in options) for i in range(rounds)]


def exercise(case, obj):
    """Every public method on ``obj``; only ValueError may come out."""
    for method in public_methods(obj):
        for args in calls(case, method):
            try:
                method(*args)
            except ValueError:
                pass
            if args and isinstance(args[0], case.cls):
                # The damaged summary as the argument of a fresh one.
                try:
                    getattr(args[0], method.__name__)(obj)
                except ValueError:
                    pass
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


@pytest.mark.parametrize("case", BYTE_CASES, ids=ids(BYTE_CASES))
def test_damaged_images(case):
    rng = random.Random(case.name)
    images = seed_images(case)
    for _ in range(ROUNDS):
        decode_and_use(case, damaged(images, rng))


# Images that once took the process down, by class: each must now be refused
# or decode into a summary that survives every method.
FOUND = [
    ("ReqSketch", "06010000000000"),  # no compactors: the first update indexed compactor 0
    ("ThetaSketch", "534b02011804cc930000000000000000ffffffffffffffff"),  # no hashes, empty flag clear
]
BY_NAME = {c.name: c for c in BYTE_CASES}


@pytest.mark.parametrize("name, image", FOUND, ids=[f"{n}-{i}" for i, (n, _) in enumerate(FOUND)])
def test_images_that_once_crashed(name, image):
    decode_and_use(BY_NAME[name], bytes.fromhex(image))
