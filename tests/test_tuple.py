"""TupleSketch: summed values per item, rebuild, growth of small decoded
tables, and the general-encoding image with its consistency checks."""

import math
import struct

import pytest
import xxhash

from quillo import TupleSketch

MAX = 2**64 - 1
PREFIX = "corrupt data: TupleSketch decode failed: "


def item_hash(item):
    return (xxhash.xxh3_128_intdigest(item.encode(), seed=9001) >> 64) or 1


def varint(n):
    out = bytearray()
    while n >= 0x80:
        out.append(n & 0x7F | 0x80)
        n >>= 7
    return bytes(out + bytes([n]))


def read_varint(data, pos):
    value = shift = 0
    while True:
        byte = data[pos]
        pos += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if byte < 0x80:
            return value, pos


def parse(image):
    """The state record as a dict; `entries` maps each key to its value."""
    k, pos = read_varint(image, 0)
    lg_size, lg_k = image[pos], image[pos + 1]
    n, pos = read_varint(image, pos + 2)
    keys = []
    for _ in range(n):
        key, pos = read_varint(image, pos)
        keys.append(key)
    n, pos = read_varint(image, pos)
    values = []
    for _ in range(n):
        if image[pos]:
            values.append(struct.unpack_from("<d", image, pos + 1)[0])
            pos += 9
        else:
            values.append(None)
            pos += 1
    count, pos = read_varint(image, pos)
    theta, pos = read_varint(image, pos)
    entries = {key: value for key, value in zip(keys, values) if key}
    return dict(k=k, lg_size=lg_size, lg_k=lg_k, keys=keys, values=values, count=count, theta=theta,
                entries=entries)


def encode(k, lg_size, lg_k, keys, values, count, theta):
    out = varint(k) + bytes([lg_size, lg_k]) + varint(len(keys)) + b"".join(varint(key) for key in keys)
    out += varint(len(values))
    out += b"".join(b"\x00" if v is None else b"\x01" + struct.pack("<d", v) for v in values)
    return out + varint(count) + varint(theta)


def refused(data, reason):
    with pytest.raises(ValueError) as err:
        TupleSketch.from_bytes(data)
    assert str(err.value) == PREFIX + reason


class TestUpdate:
    def test_fresh_image(self):
        image = TupleSketch(None).to_bytes()
        assert image == (b"\x80\x20\x0d\x0c" + b"\x80\x40" + bytes(8192) + b"\x80\x40" + bytes(8192) + b"\x00"
                         + b"\xff" * 9 + b"\x01")
        assert TupleSketch(k=4096).to_bytes() == image

    def test_values_of_one_item_are_summed(self):
        s = TupleSketch(16)
        s.update("a", 1.5)
        s.update(item="a", value=2.5)
        assert s.num_retained() == 1
        assert s.estimate() == 1.0
        assert parse(s.to_bytes())["entries"] == {item_hash("a"): 4.0}

    def test_negative_zero_is_stored_as_zero(self):
        s = TupleSketch(16)
        s.update("z", -0.0)
        assert math.copysign(1.0, parse(s.to_bytes())["entries"][item_hash("z")]) == 1.0

    def test_values_convert_like_floats(self):
        class Half:
            def __float__(self):
                return 0.5

        s = TupleSketch(16)
        s.update("a", 2)
        s.update("a", Half())
        assert parse(s.to_bytes())["entries"] == {item_hash("a"): 2.5}
        with pytest.raises(TypeError, match="^argument 'value': "):
            s.update("a", "1.0")

    def test_k_of_one_keeps_the_smaller_hash(self):
        s = TupleSketch(1)
        s.update("x", 1.0)
        s.update("y", 2.0)
        state = parse(s.to_bytes())
        (hx, vx), (hy, vy) = sorted([(item_hash("x"), 1.0), (item_hash("y"), 2.0)])
        assert s.num_retained() == 1
        assert state["entries"] == {hx: vx}
        assert state["theta"] == hy

    def test_rebuild_keeps_k_smallest_with_their_sums(self):
        items = [f"i{n}" for n in range(1921)]
        s = TupleSketch(1024)
        for n, item in enumerate(items):
            s.update(item, n)
            if n < 1000:
                s.update(item, 0.5)
        sums = {item_hash(item): n + (0.5 if n < 1000 else 0.0) for n, item in enumerate(items)}
        ordered = sorted(sums)
        state = parse(s.to_bytes())
        assert s.num_retained() == 1024
        assert state["theta"] == ordered[1024]
        assert state["entries"] == {h: sums[h] for h in ordered[:1024]}
        assert s.estimate() == 1023 / (state["theta"] / 2**64)

    def test_estimate_in_estimation_mode(self):
        s = TupleSketch(4096)
        for n in range(50000):
            s.update(f"e{n}", 1.0)
        assert abs(s.estimate() / 50000 - 1) < 0.05

    @pytest.mark.parametrize("k", [2**60, 2**64 - 1, 2**50])
    def test_unbuildable_tables_are_refused(self, k):
        with pytest.raises(ValueError, match="^k"):
            TupleSketch(k)


class TestImage:
    def test_round_trip(self):
        s = TupleSketch(64)
        for n in range(500):
            s.update(f"r{n % 300}", n / 7)
        clone = TupleSketch.from_bytes(s.to_bytes())
        assert clone.to_bytes() == s.to_bytes()
        assert (clone.estimate(), clone.num_retained()) == (s.estimate(), s.num_retained())

    def test_truncated_images_fail_with_the_decoder_text(self):
        image = TupleSketch(4).to_bytes()
        for cut in (0, 1, 3, 10, len(image) - 1):
            refused(image[:cut], "Hit the end of buffer, expected more data")
        first_option = 3 + 1 + 8 + 1  # k, lg_size, lg_k, 8 one-byte keys, values length
        bad_option = image[:first_option] + b"\x02" + image[first_option + 1:]
        refused(bad_option, "Found an Option discriminant that wasn't 0 or 1")

    def test_small_decoded_table_doubles_until_past_k(self):
        s = TupleSketch.from_bytes(encode(8, 1, 3, [0, 0], [None, None], 0, MAX))
        sizes = []
        for n in range(20):
            s.update(f"g{n}", 1.0)
            sizes.append(parse(s.to_bytes())["lg_size"])
        assert sizes[:2] == [1, 2]
        assert max(sizes) == 4
        assert s.num_retained() <= 15
        assert parse(s.to_bytes())["theta"] < MAX

    @pytest.mark.parametrize("state, reason", [
        ((4, 3, 2, [0] * 4, [None] * 4, 0, MAX), "4 keys for lg_size=3"),
        ((4, 2, 2, [0] * 4, [None] * 3, 0, MAX), "keys and values differ in length"),
        ((4, 2, 2, [0, 7, 0, 0], [None] * 4, 1, MAX), "slot 1 has a key without a value"),
        ((4, 2, 2, [0] * 4, [None, None, 1.0, None], 1, MAX), "slot 2 has a key without a value"),
        ((4, 3, 2, [0, 9, 0, 0, 0, 0, 0, 0], [None, 1.0] + [None] * 6, 2, MAX), "count=2 but 1 slots are occupied"),
        ((5, 3, 2, [0] * 8, [None] * 8, 0, MAX), "k=5 does not match lg_k=2"),
        ((2**60, 3, 60, [0] * 8, [None] * 8, 0, MAX), "k=1152921504606846976 does not match lg_k=60"),
        ((2, 1, 1, [5, 6], [1.0, 1.0], 2, MAX), "the table is filled past its limit"),
        ((1, 1, 0, [5, 0], [1.0, None], 1, 0), "theta is 0"),
    ])
    def test_inconsistent_states_are_refused(self, state, reason):
        refused(encode(*state), reason)

    def test_huge_lg_size_is_refused_before_allocating(self):
        refused(encode(4, 200, 2, [], [], 0, MAX), "0 keys for lg_size=200")
