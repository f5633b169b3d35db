"""Decoders against damaged images: every input ends in a summary or a
ValueError, and a decoded summary survives being used."""

import random

import pytest

from registry import BYTE_CASES, ids

ROUNDS = 300


def mutations(image, rng):
    """Damaged variants of a real image: flips, cuts, extensions, edits."""
    n = len(image)
    for _ in range(ROUNDS):
        data = bytearray(image)
        kind = rng.randrange(6)
        if kind == 0 and n:
            for _ in range(rng.randint(1, 4)):
                data[rng.randrange(n)] ^= 1 << rng.randrange(8)
        elif kind == 1:
            del data[rng.randrange(n + 1):]
        elif kind == 2:
            data += bytes(rng.randrange(256) for _ in range(rng.randint(1, 16)))
        elif kind == 3 and n:
            data[rng.randrange(n)] = rng.choice((0x00, 0x01, 0x02, 0x7F, 0x80, 0xFF))
        elif kind == 4 and n:
            at = rng.randrange(n)
            data[at:at] = b"\xff" * rng.randint(1, 9)  # a long varint
        else:
            data = bytearray(rng.randrange(256) for _ in range(rng.randint(0, 64)))
        yield bytes(data)


def zero_argument_methods(obj):
    for name in dir(obj):
        method = getattr(obj, name)
        if getattr(method, "__text_signature__", None) == "($self)":
            yield method


def exercise(case, obj):
    for method in zero_argument_methods(obj):
        try:
            method()
        except ValueError:
            pass
    for action in (case.mutate, lambda o: case.merge(o, case.make()) if case.merge else None,
                   lambda o: case.merge(case.make(), o) if case.merge else None):
        try:
            action(obj)
        except ValueError:
            pass
    image = obj.to_bytes()
    case.cls.from_bytes(image)


@pytest.mark.parametrize("case", BYTE_CASES, ids=ids(BYTE_CASES))
def test_damaged_images(case):
    rng = random.Random(case.name)
    image = case.make().to_bytes()
    for data in mutations(image, rng):
        try:
            obj = case.cls.from_bytes(data)
        except ValueError:
            continue
        exercise(case, obj)
