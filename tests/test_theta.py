"""ThetaSketch: sampling, rebuild, set operations and the compact ordered image."""

import struct

import pytest
import xxhash

import quillo
from quillo import ThetaSketch

MAX = 2**64 - 1


def item_hash(item):
    return (xxhash.xxh3_128_intdigest(item.encode(), seed=9001) >> 64) or 1


def parse(image):
    """(flags, lg_k, count, theta, hashes) of a compact ordered image."""
    count, _, theta = struct.unpack_from("<IIQ", image, 8)
    return image[4], image[5], count, theta, list(struct.unpack_from(f"<{count}Q", image, 24))


def image(lg_k, theta, hashes, flags=0x18):
    head = b"SK\x02\x01" + bytes([flags, lg_k]) + b"\xcc\x93" + struct.pack("<IIQ", len(hashes), 0, theta)
    return head + struct.pack(f"<{len(hashes)}Q", *hashes)


def sketch(prefix, n, k=4096, start=0):
    s = ThetaSketch(k)
    for i in range(start, start + n):
        s.update(f"{prefix}{i}")
    return s


def raises(text, data):
    with pytest.raises(ValueError) as err:
        ThetaSketch.from_bytes(data)
    assert str(err.value) == text


class TestSketch:
    def test_fresh_sketch(self):
        s = ThetaSketch(None)
        assert (s.estimate(), s.sample_capacity()) == (0.0, 8192)
        assert s.to_bytes() == ThetaSketch(k=4096).to_bytes() == image(12, MAX, [], flags=0x1C)

    @pytest.mark.parametrize("k, lg_k", [(0, 0), (1, 0), (2, 1), (3, 2), (1000, 10), (1024, 10), (1025, 11)])
    def test_k_rounds_up_to_a_power_of_two(self, k, lg_k):
        s = ThetaSketch(k)
        assert (s.sample_capacity(), s.to_bytes()[5]) == (2 ** (lg_k + 1), lg_k)

    @pytest.mark.parametrize("k", [2**59 + 1, 2**64 - 1, 2**50])
    def test_unbuildable_tables_are_refused(self, k):
        with pytest.raises(ValueError, match="^k"):
            ThetaSketch(k)

    def test_exact_mode_keeps_every_distinct_hash(self):
        items = [f"w{i}" for i in range(500)] + ["", "é", "x" * 300]
        s = ThetaSketch(4096)
        for item in items + items[:100]:
            s.update(item)
        assert parse(s.to_bytes()) == (0x18, 12, len(items), MAX, sorted(map(item_hash, items)))
        assert s.estimate() == len(items)

    def test_rebuild_cuts_to_k_smallest_and_ignores_hashes_above_theta(self):
        s = sketch("r", 1920, k=1024)
        assert parse(s.to_bytes())[2] == 1920
        s.update("r1920")
        ordered = sorted(item_hash(f"r{i}") for i in range(1921))
        _, _, count, theta, hashes = parse(s.to_bytes())
        assert (count, theta, hashes) == (1024, ordered[1024], ordered[:1024])
        assert s.estimate() == 1023 / (theta / 2**64)
        before = s.to_bytes()
        s.update(next(f"z{i}" for i in range(100) if item_hash(f"z{i}") >= theta))
        assert s.to_bytes() == before


class TestSetOperations:
    def test_exact_mode_matches_set_algebra(self):
        a, b = sketch("s", 300), sketch("s", 300, start=200)
        ha, hb = set(parse(a.to_bytes())[4]), set(parse(b.to_bytes())[4])
        images = a.to_bytes(), b.to_bytes()
        for result, expected in ((a.union(b), ha | hb), (a.intersect(b), ha & hb), (a.difference(b), ha - hb)):
            assert set(parse(result.to_bytes())[4]) == expected
            assert result.estimate() == len(expected)
        assert (a.to_bytes(), b.to_bytes()) == images

    def test_result_sizes_and_thresholds(self):
        a, b = sketch("p", 1500, k=1024), sketch("p", 5000, k=128)
        ordered = sorted(parse(a.to_bytes())[4])
        _, lg_k, count, theta, hashes = parse(ThetaSketch(256).union(a).to_bytes())
        assert (lg_k, count, theta, hashes) == (8, 256, ordered[256], ordered[:256])
        tb = parse(b.to_bytes())[3]
        for result, lg_k in ((a.union(b), 10), (a.intersect(b), 7), (b.intersect(a), 7), (b.difference(a), 7)):
            _, rlg_k, _, theta, hashes = parse(result.to_bytes())
            assert rlg_k == lg_k and theta <= tb and all(h < theta for h in hashes)

    def test_operations_with_itself(self):
        s = sketch("self", 1000, k=512)
        _, _, count, theta, hashes = parse(s.to_bytes())
        assert count > 512
        for result in (s.intersect(s), s.union(s)):
            assert parse(result.to_bytes())[2:] == (512, hashes[512], hashes[:512])
        assert parse(s.difference(s).to_bytes())[:4] == (0x1C, 9, 0, theta)

    def test_estimates_of_large_overlapping_streams(self):
        a, b = sketch("o", 40000), sketch("o", 40000, start=20000)
        assert abs(a.estimate() / 40000 - 1) < 0.05
        assert abs(a.union(b).estimate() / 60000 - 1) < 0.06
        assert abs(a.intersect(b).estimate() / 20000 - 1) < 0.15
        assert abs(a.difference(b).estimate() / 20000 - 1) < 0.15


class TestImage:
    def test_round_trip(self):
        for s in (sketch("t", 100), sketch("t", 9000, k=1000)):
            clone = ThetaSketch.from_bytes(s.to_bytes())
            assert clone.to_bytes() == s.to_bytes()
            assert (clone.estimate(), clone.sample_capacity()) == (s.estimate(), s.sample_capacity())

    def test_lenient_reading(self):
        empty = sketch("d", 3000, k=64).difference(sketch("d", 3000, k=64))
        assert ThetaSketch.from_bytes(empty.to_bytes()).to_bytes() == ThetaSketch(64).to_bytes()
        s = ThetaSketch.from_bytes(image(4, MAX, [0, 5, 5, 9, 0]))
        assert (s.estimate(), parse(s.to_bytes())[4]) == (2.0, [5, 9])
        data = sketch("v", 50).to_bytes()
        assert ThetaSketch.from_bytes(data[:3] + b"\x07" + data[4:] + b"tail").to_bytes() == data

    def test_header_failures(self):
        raises("insufficient data: needed 0 bytes, have 0", b"")
        raises("invalid preamble: bad magic bytes", b"KS\x02\x01\x1c")
        raises("corrupt data: unknown sketch family byte: 9", b"SK\x09\x01\x1c")
        raises("corrupt data: wrong sketch family: expected Theta, found Hll", quillo.HllSketch().to_bytes())
        data = sketch("h", 3).to_bytes()
        for cut in range(5, 24):
            raises("insufficient data: needed 0 bytes, have 0", data[:cut])
        raises("insufficient data: needed 24 bytes, have 13", data[:24 + 13])

    def test_unsound_images_are_refused(self):
        raises("corrupt data: lg_k=60 exceeds maximum of 59", image(60, MAX, [], 0x1C))
        raises("corrupt data: lg_k=55 needs a table that cannot be allocated", image(55, MAX, [], 0x1C))
        raises("corrupt data: theta is 0 but the image holds hashes", image(4, 0, [3]))
        huge_count = image(4, MAX, [])[:8] + struct.pack("<I", 2**32 - 1) + image(4, MAX, [])[12:]
        raises(f"insufficient data: needed {8 * (2**32 - 1)} bytes, have 0", huge_count)
