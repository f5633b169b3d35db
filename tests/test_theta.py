"""ThetaSketch: sampling, rebuild, set operations and the compact ordered image."""

import struct

import pytest
import xxhash

import quillo
from quillo import ThetaSketch

MAX = 2**64 - 1
HEADER = 24


def item_hash(item):
    h = xxhash.xxh3_128_intdigest(item.encode(), seed=9001) >> 64
    return h or 1


def parse(image):
    """(flags, lg_k, count, theta, hashes) of a compact ordered image."""
    flags, lg_k = image[4], image[5]
    count, _, theta = struct.unpack_from("<IIQ", image, 8)
    hashes = list(struct.unpack_from(f"<{count}Q", image, HEADER))
    return flags, lg_k, count, theta, hashes


def image(lg_k, theta, hashes, flags=0x18):
    head = b"SK\x02\x01" + bytes([flags, lg_k]) + b"\xcc\x93"
    return head + struct.pack("<IIQ", len(hashes), 0, theta) + struct.pack(f"<{len(hashes)}Q", *hashes)


def sketch(items, k=4096):
    s = ThetaSketch(k)
    for item in items:
        s.update(item)
    return s


def words(prefix, n, start=0):
    return [f"{prefix}{i}" for i in range(start, start + n)]


def raises(text, fn, *args):
    with pytest.raises(ValueError) as err:
        fn(*args)
    assert str(err.value) == text


class TestConstruction:
    def test_fresh_sketch(self):
        s = ThetaSketch(None)
        assert s.estimate() == 0.0
        assert s.sample_capacity() == 8192
        assert s.to_bytes() == image(12, MAX, [], flags=0x1C)
        assert ThetaSketch(k=4096).to_bytes() == s.to_bytes()

    @pytest.mark.parametrize("k, lg_k", [(0, 0), (1, 0), (2, 1), (3, 2), (1000, 10), (1024, 10), (1025, 11)])
    def test_k_rounds_up_to_a_power_of_two(self, k, lg_k):
        s = ThetaSketch(k)
        assert s.sample_capacity() == 2 ** (lg_k + 1)
        assert parse(s.to_bytes())[1] == lg_k

    def test_k_is_required(self):
        with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'k'"):
            ThetaSketch()
        with pytest.raises(OverflowError):
            ThetaSketch(-1)

    @pytest.mark.parametrize("k", [2**59 + 1, 2**62, 2**64 - 1, 2**50])
    def test_unbuildable_tables_are_refused(self, k):
        with pytest.raises(ValueError, match="^k"):
            ThetaSketch(k)


class TestUpdate:
    def test_exact_mode_keeps_every_distinct_hash(self):
        items = words("w", 500) + ["", "é", "x" * 300]
        s = sketch(items + items[:100])
        flags, _, count, theta, hashes = parse(s.to_bytes())
        assert (flags, count, theta) == (0x18, len(items), MAX)
        assert hashes == sorted(item_hash(i) for i in items)
        assert s.estimate() == len(items)

    def test_rebuild_cuts_to_k_smallest(self):
        items = words("r", 1921)
        s = sketch(items[:1920], k=1024)
        assert parse(s.to_bytes())[2] == 1920
        s.update(items[1920])
        _, _, count, theta, hashes = parse(s.to_bytes())
        ordered = sorted(item_hash(i) for i in items)
        assert count == 1024
        assert theta == ordered[1024]
        assert hashes == ordered[:1024]
        assert s.estimate() == 1023 / (theta / 2**64)
        assert s.sample_capacity() == 2048

    def test_hashes_at_or_above_theta_are_ignored(self):
        s = sketch(words("a", 3000), k=256)
        before = s.to_bytes()
        theta = parse(before)[3]
        above = next(w for w in words("z", 100) if item_hash(w) >= theta)
        s.update(above)
        assert s.to_bytes() == before

    def test_estimate_is_close_in_estimation_mode(self):
        s = sketch(words("e", 60000))
        assert abs(s.estimate() / 60000 - 1) < 0.05

    def test_update_takes_only_str(self):
        with pytest.raises(TypeError, match="^argument 'item': 'bytes' object cannot be converted to 'PyString'$"):
            ThetaSketch(16).update(b"x")


class TestSetOperations:
    def test_exact_mode_matches_set_algebra(self):
        a, b = sketch(words("s", 300)), sketch(words("s", 300, start=200))
        ha, hb = set(parse(a.to_bytes())[4]), set(parse(b.to_bytes())[4])
        assert set(parse(a.union(b).to_bytes())[4]) == ha | hb
        assert set(parse(a.intersect(b).to_bytes())[4]) == ha & hb
        assert set(parse(a.difference(b).to_bytes())[4]) == ha - hb
        assert a.union(b).estimate() == 500
        assert a.intersect(b).estimate() == 100
        assert a.difference(b).estimate() == 200

    def test_operands_are_unchanged(self):
        a, b = sketch(words("u", 5000), 512), sketch(words("u", 5000, start=2500), 512)
        images = a.to_bytes(), b.to_bytes()
        a.union(b), a.intersect(b), a.difference(b)
        assert (a.to_bytes(), b.to_bytes()) == images

    def test_union_cuts_to_k_of_self(self):
        a, b = sketch(words("p", 1500), 1024), sketch(words("q", 1500), 1024)
        result = ThetaSketch(256).union(a)  # the receiver's k governs the result
        _, lg_k, count, theta, hashes = parse(result.to_bytes())
        ordered = sorted(parse(a.to_bytes())[4])
        assert (lg_k, count, theta, hashes) == (8, 256, ordered[256], ordered[:256])
        merged = parse(a.union(b).to_bytes())
        assert merged[1] == 10 and merged[2] == 1024
        assert merged[3] < MAX

    def test_thetas_combine_by_minimum(self):
        a, b = sketch(words("m", 5000), 256), sketch(words("m", 300), 4096)
        ta = parse(a.to_bytes())[3]
        for result in (a.union(b), b.union(a), a.intersect(b), b.difference(a)):
            _, _, _, theta, hashes = parse(result.to_bytes())
            assert theta <= ta
            assert all(h < theta for h in hashes)

    def test_intersection_takes_the_smaller_k(self):
        a, b = sketch(words("i", 3000), 1024), sketch(words("i", 3000), 128)
        assert parse(a.intersect(b).to_bytes())[1] == 7
        assert parse(b.intersect(a).to_bytes())[1] == 7
        assert parse(b.difference(a).to_bytes())[1] == 7

    def test_operations_with_itself(self):
        s = sketch(words("self", 1000), 512)
        _, _, count, theta, hashes = parse(s.to_bytes())
        assert count > 512
        for result in (s.intersect(s), s.union(s)):
            _, _, rcount, rtheta, rhashes = parse(result.to_bytes())
            assert (rcount, rtheta, rhashes) == (512, hashes[512], hashes[:512])
        empty = s.difference(s)
        assert parse(empty.to_bytes())[:4] == (0x1C, 9, 0, theta)
        assert empty.estimate() == 0.0

    def test_estimates_of_large_overlapping_streams(self):
        a, b = sketch(words("o", 40000)), sketch(words("o", 40000, start=20000))
        assert abs(a.union(b).estimate() / 60000 - 1) < 0.06
        assert abs(a.intersect(b).estimate() / 20000 - 1) < 0.15
        assert abs(a.difference(b).estimate() / 20000 - 1) < 0.15

    def test_other_must_be_a_theta_sketch(self):
        with pytest.raises(TypeError, match="^argument 'other': 'HllSketch' object cannot be converted to 'ThetaSketch'$"):
            ThetaSketch(16).union(quillo.HllSketch())


class TestImage:
    def test_round_trip(self):
        for s in (sketch(words("t", 100)), sketch(words("t", 9000), 1000)):
            clone = ThetaSketch.from_bytes(s.to_bytes())
            assert clone.to_bytes() == s.to_bytes()
            assert clone.estimate() == s.estimate()
            assert clone.sample_capacity() == s.sample_capacity()

    def test_empty_image_gives_a_fresh_sketch(self):
        empty = sketch(words("d", 3000), 64).difference(sketch(words("d", 3000), 64))
        assert empty.to_bytes()[4] == 0x1C
        assert ThetaSketch.from_bytes(empty.to_bytes()).to_bytes() == ThetaSketch(64).to_bytes()

    def test_zero_and_repeated_hashes_are_dropped(self):
        s = ThetaSketch.from_bytes(image(4, MAX, [0, 5, 5, 9, 0]))
        assert s.estimate() == 2.0
        assert parse(s.to_bytes())[4] == [5, 9]

    def test_version_and_trailing_bytes_are_ignored(self):
        data = sketch(words("v", 50)).to_bytes()
        other_version = data[:3] + b"\x07" + data[4:]
        assert ThetaSketch.from_bytes(other_version + b"tail").to_bytes() == data

    def test_header_failures(self):
        raises("insufficient data: needed 0 bytes, have 0", ThetaSketch.from_bytes, b"")
        raises("invalid preamble: bad magic bytes", ThetaSketch.from_bytes, b"KS\x02\x01\x1c")
        raises("corrupt data: unknown sketch family byte: 9", ThetaSketch.from_bytes, b"SK\x09\x01\x1c")
        raises("corrupt data: wrong sketch family: expected Theta, found Hll", ThetaSketch.from_bytes,
               quillo.HllSketch().to_bytes())
        data = sketch(words("h", 3)).to_bytes()
        for cut in range(5, HEADER):
            raises("insufficient data: needed 0 bytes, have 0", ThetaSketch.from_bytes, data[:cut])
        raises("insufficient data: needed 24 bytes, have 13", ThetaSketch.from_bytes, data[:HEADER + 13])

    def test_unsound_images_are_refused(self):
        raises("corrupt data: lg_k=60 exceeds maximum of 59", ThetaSketch.from_bytes, image(60, MAX, [], 0x1C))
        with pytest.raises(ValueError, match="^corrupt data: lg_k=55 needs a table that cannot be allocated$"):
            ThetaSketch.from_bytes(image(55, MAX, [], 0x1C))
        raises("corrupt data: theta is 0 but the image holds hashes", ThetaSketch.from_bytes, image(4, 0, [3]))
        huge_count = image(4, MAX, [])[:8] + struct.pack("<I", 2**32 - 1) + image(4, MAX, [])[12:]
        raises(f"insufficient data: needed {8 * (2**32 - 1)} bytes, have 0", ThetaSketch.from_bytes, huge_count)
