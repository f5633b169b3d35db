"""TupleSketch: summed values per item, rebuild, growth of decoded tables, the image."""

import math

import pytest
import xxhash

from quillo import TupleSketch
from wire import Reader, f64, option, sequence, varint

MAX = 2**64 - 1


def item_hash(item):
    return (xxhash.xxh3_128_intdigest(item.encode(), seed=9001) >> 64) or 1


def parse(image):
    """(lg_size, {key: value}, theta) of an image."""
    r = Reader(image)
    r.varint()
    lg_size, _ = r.u8(), r.u8()
    keys, values = r.sequence(r.varint), r.sequence(lambda: r.option(r.f64))
    r.varint()
    return lg_size, {key: value for key, value in zip(keys, values) if key}, r.varint()


def encode(k, lg_size, lg_k, keys, values, count, theta):
    return (varint(k) + bytes([lg_size, lg_k]) + sequence(keys, varint)
            + sequence(values, lambda v: option(v, f64)) + varint(count) + varint(theta))


def test_fresh_image():
    assert TupleSketch(None).to_bytes() == TupleSketch(k=4096).to_bytes() == (
        b"\x80\x20\x0d\x0c\x80\x40" + bytes(8192) + b"\x80\x40" + bytes(8192) + b"\x00" + b"\xff" * 9 + b"\x01")


def test_values_of_one_item_are_summed():
    s = TupleSketch(16)
    s.update("a", 1.5)
    s.update(item="a", value=2.5)
    s.update("z", -0.0)
    assert (s.num_retained(), s.estimate()) == (2, 2.0)
    entries = parse(s.to_bytes())[1]
    assert entries == {item_hash("a"): 4.0, item_hash("z"): 0.0}
    assert math.copysign(1.0, entries[item_hash("z")]) == 1.0


def test_k_of_one_keeps_the_smaller_hash():
    s = TupleSketch(1)
    s.update("x", 1.0)
    s.update("y", 2.0)
    (hx, vx), (hy, _) = sorted([(item_hash("x"), 1.0), (item_hash("y"), 2.0)])
    assert s.num_retained() == 1
    assert parse(s.to_bytes())[1:] == ({hx: vx}, hy)


def test_rebuild_keeps_k_smallest_with_their_sums():
    s = TupleSketch(1024)
    for n in range(1921):
        s.update(f"i{n}", n)
        if n < 1000:
            s.update(f"i{n}", 0.5)
    sums = {item_hash(f"i{n}"): n + (0.5 if n < 1000 else 0.0) for n in range(1921)}
    ordered = sorted(sums)
    _, entries, theta = parse(s.to_bytes())
    assert (s.num_retained(), theta) == (1024, ordered[1024])
    assert entries == {h: sums[h] for h in ordered[:1024]}
    assert s.estimate() == 1024 / (theta / 2**64)


@pytest.mark.parametrize("k", [2**60, 2**50])
def test_unbuildable_tables_are_refused(k):
    with pytest.raises(ValueError, match="^k"):
        TupleSketch(k)


def test_small_decoded_table_doubles_until_past_k():
    s = TupleSketch.from_bytes(encode(8, 1, 3, [0, 0], [None, None], 0, MAX))
    sizes = []
    for n in range(20):
        s.update(f"g{n}", 1.0)
        sizes.append(parse(s.to_bytes())[0])
    assert sizes[:2] == [1, 2] and max(sizes) == 4
    assert s.num_retained() <= 15 and parse(s.to_bytes())[2] < MAX


@pytest.mark.parametrize("data, reason", [
    *[(TupleSketch(4).to_bytes()[:cut], "Hit the end of buffer, expected more data") for cut in (1, 3, 10, -1)],
    (encode(4, 3, 2, [0] * 4, [None] * 4, 0, MAX), "4 keys for lg_size=3"),
    (encode(4, 200, 2, [], [], 0, MAX), "0 keys for lg_size=200"),
    (encode(4, 2, 2, [0] * 4, [None] * 3, 0, MAX), "keys and values differ in length"),
    (encode(4, 2, 2, [0, 7, 0, 0], [None] * 4, 1, MAX), "slot 1 has a key without a value"),
    (encode(4, 2, 2, [0] * 4, [None, None, 1.0, None], 1, MAX), "slot 2 has a key without a value"),
    (encode(4, 3, 2, [0, 9] + [0] * 6, [None, 1.0] + [None] * 6, 2, MAX), "count=2 but 1 slots are occupied"),
    (encode(5, 3, 2, [0] * 8, [None] * 8, 0, MAX), "k=5 does not match lg_k=2"),
    (encode(2**60, 3, 60, [0] * 8, [None] * 8, 0, MAX), "k=1152921504606846976 does not match lg_k=60"),
    (encode(2, 1, 1, [5, 6], [1.0, 1.0], 2, MAX), "the table is filled past its limit"),
    (encode(1, 1, 0, [5, 0], [1.0, None], 1, 0), "theta is 0"),
])
def test_inconsistent_images_are_refused(data, reason):
    with pytest.raises(ValueError) as err:
        TupleSketch.from_bytes(data)
    assert str(err.value) == "corrupt data: TupleSketch decode failed: " + reason
