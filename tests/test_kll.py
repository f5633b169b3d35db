"""KllSketch: capacities and compaction, quantile and rank rules, merging,
sizing from accuracy targets, and its own byte image."""

import random
import struct
import subprocess
import sys

import pytest

import quillo
from quillo import KllSketch


def panics(text, fn, *args):
    with pytest.raises(BaseException) as err:
        fn(*args)
    assert type(err.value).__name__ == "PanicException"
    assert not isinstance(err.value, Exception)
    assert str(err.value) == text


def filled(values, k=None):
    s = KllSketch(k)
    for v in values:
        s.update(float(v))
    return s


def image(k, levels, values_per_level, n32, extremes=(0.0, 1.0)):
    """A hand-written image: header, offsets, values, extremes."""
    head = struct.pack("<BBBBBBHII", 2, 1, 15, min(k, 255), levels, 0, 0, n32, k)
    offsets, total = [], 0
    for count in values_per_level:
        offsets.append(total)
        total += count
    offsets.append(total)
    body = struct.pack(f"<{len(offsets)}I", *offsets) + struct.pack(f"<{total}d", *[float(i) for i in range(total)])
    return head + body + struct.pack("<2d", *extremes)


class TestConstruction:
    def test_default_and_explicit_k(self):
        assert KllSketch().statistics()["k"] == 200
        assert KllSketch(None).to_bytes() == KllSketch(k=200).to_bytes()
        assert KllSketch(8).statistics()["k"] == 8

    def test_k_out_of_range(self):
        with pytest.raises(ValueError, match="^k must be at least 8, got 7$"):
            KllSketch(7)
        with pytest.raises(ValueError, match="^k must be at most 4294967295, got 4294967296$"):
            KllSketch(2**32)
        with pytest.raises(OverflowError):
            KllSketch(-1)

    def test_fresh_statistics(self):
        stats = KllSketch().statistics()
        assert list(stats.items()) == [
            ("k", 200), ("levels", 2), ("total_items", 0), ("total_count", 0), ("memory_usage", 2664),
            ("min_value_set", False), ("max_value_set", False)]

    @pytest.mark.parametrize("epsilon, confidence, k", [
        (0.01, 0.9, 27225), (0.01, 0.99, 40838), (0.01, 0.995, 54450), (0.5, 0.5, 11), (0.9, 0.5, 8)])
    def test_with_accuracy(self, epsilon, confidence, k):
        assert KllSketch.with_accuracy(epsilon, confidence).statistics()["k"] == k

    def test_with_accuracy_range_checks_are_internal_failures(self):
        for epsilon in (0.0, 1.0, -0.5, float("nan")):
            panics("Epsilon must be between 0 and 1", KllSketch.with_accuracy, epsilon, 0.5)
        for confidence in (0.0, 1.0, float("nan")):
            panics("Confidence must be between 0 and 1", KllSketch.with_accuracy, 0.1, confidence)

    def test_with_accuracy_too_fine_for_the_image(self):
        with pytest.raises(ValueError, match="^k must be at most 4294967295, got "):
            KllSketch.with_accuracy(1e-9, 0.5)


class TestCompaction:
    def test_first_compaction_on_the_134th_update(self):
        s = filled(range(133))
        assert s.statistics()["total_items"] == 133
        s.update(133.0)
        stats = s.statistics()
        assert (stats["levels"], stats["total_items"], stats["total_count"]) == (2, 67, 134)
        # level 0 was full at 133 slots and doubled; level 1 keeps its 200.
        assert stats["memory_usage"] == 8 * (266 + 200)

    def test_images_agree_across_processes(self):
        script = ("import quillo\ns = quillo.KllSketch(50)\n"
                  "for i in range(5000): s.update(float((i * 7919) % 1009))\n"
                  "print(s.to_bytes().hex())")
        other = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
        here = filled(((i * 7919) % 1009 for i in range(5000)), k=50)
        assert other.stdout.strip() == here.to_bytes().hex()


class TestQueries:
    def test_empty_sketch(self):
        s = KllSketch()
        assert s.quantile(0.5) is None and s.median() is None and s.min() is None
        assert s.rank(1.0) == 0.0
        assert s.is_empty() and s.count() == 0

    def test_exact_answers_before_compaction(self):
        s = filled(range(1, 11))
        assert s.quantile(0.5) == 5.0
        assert s.quantile(0.55) == 6.0
        assert s.rank(5.0) == 0.5
        assert s.rank(0.0) == 0.0 and s.rank(10.0) == 1.0
        assert (s.q25(), s.q75(), s.q95(), s.q99()) == (3.0, 8.0, 10.0, 10.0)

    def test_extremes_survive_compaction(self):
        values = list(range(10_000))
        random.Random(5).shuffle(values)
        s = filled(values)
        assert (s.quantile(0.0), s.quantile(1.0)) == (0.0, 9999.0)
        assert (s.min(), s.max()) == (0.0, 9999.0)

    def test_rank_error_is_small(self):
        rng = random.Random(3)
        values = [rng.gauss(0, 1) for _ in range(30_000)]
        s = filled(values)
        ordered = sorted(values)
        for q in (0.01, 0.1, 0.25, 0.5, 0.75, 0.9, 0.99):
            exact = ordered[int(q * len(ordered))]
            assert abs(s.rank(exact) - q) < 0.02
            estimate = s.quantile(q)
            assert abs(sum(v <= estimate for v in ordered) / len(ordered) - q) < 0.02

    def test_rank_out_of_range_is_an_internal_failure(self):
        s = filled([1.0])
        for q in (-0.1, 1.5, float("nan")):
            panics("Rank must be between 0.0 and 1.0", s.quantile, q)
        assert s.count() == 1

    def test_nan_only_becomes_an_extreme_when_none_is_present(self):
        s = filled([1.0, float("nan"), 2.0])
        assert (s.min(), s.max()) == (1.0, 2.0)
        assert s.rank(1.5) == pytest.approx(2 / 3)  # NaN counts as not greater
        first = filled([float("nan"), 1.0])
        assert first.min() != first.min()


class TestMerge:
    def test_merge_sums_counts_and_extremes(self):
        a, b = filled(range(0, 1000)), filled(range(1000, 3000), k=50)
        before = b.to_bytes()
        a.merge(b)
        assert a.count() == 3000
        assert (a.min(), a.max()) == (0.0, 2999.0)
        assert abs(a.rank(1500.0) - 0.5) < 0.03
        assert a.statistics()["k"] == 200
        assert b.to_bytes() == before

    def test_merge_into_empty_and_of_empty(self):
        a = KllSketch()
        a.merge(filled([3.0, 4.0]))
        assert (a.count(), a.min(), a.max(), a.median()) == (2, 3.0, 4.0, 3.0)
        before = a.to_bytes()
        a.merge(KllSketch())
        assert a.to_bytes() == before

class TestImage:
    def test_empty_image(self):
        data = KllSketch().to_bytes()
        assert data == bytes.fromhex("02010FC80204000000000000C8000000")
        assert KllSketch.from_bytes(data).to_bytes() == data

    def test_header_checks(self):
        data = bytearray(KllSketch().to_bytes())
        with pytest.raises(ValueError, match="^insufficient data: needed 16 bytes, have 15$"):
            KllSketch.from_bytes(bytes(data[:15]))
        for offset, value, text in [(1, 2, "version mismatch: expected 1, found 2"),
                                    (2, 3, "family mismatch: expected 15, found 3"),
                                    (3, 0, "corrupt data: k_u8=0 does not match k=200")]:
            bad = bytearray(data)
            bad[offset] = value
            with pytest.raises(ValueError) as err:
                KllSketch.from_bytes(bytes(bad))
            assert str(err.value) == text

    def test_small_k_in_image_becomes_eight(self):
        data = struct.pack("<BBBBBBHII", 2, 1, 15, 5, 2, 4, 0, 0, 5)
        assert KllSketch.from_bytes(data).statistics()["k"] == 8

    @pytest.mark.parametrize("size", [1, 133, 134, 5000, 60_000])
    def test_round_trip_restores_the_sketch(self, size):
        s = filled((i * 0.37 for i in range(size)), k=64)
        data = s.to_bytes()
        back = KllSketch.from_bytes(data)
        assert back.to_bytes() == data
        assert (back.count(), back.min(), back.max()) == (s.count(), s.min(), s.max())
        assert back.quantile(0.3) == s.quantile(0.3)
        # the restored generator starts afresh, like any new sketch
        for target in (s, back):
            target.update(1.0)
        assert back.count() == s.count()

    def test_counts_past_32_bits_survive(self):
        s = filled(range(300), k=8)
        for _ in range(24):
            s.merge(KllSketch.from_bytes(s.to_bytes()))
        assert s.count() == 300 * 2**24
        # merges compact every overfull level, not only those above a full level 0
        assert s.statistics()["total_items"] < 100
        data = s.to_bytes()
        assert KllSketch.from_bytes(data).count() == s.count()
        exact = filled([1.0], k=8)
        for _ in range(32):
            exact.merge(KllSketch.from_bytes(exact.to_bytes()))
        assert exact.count() == 2**32
        back = KllSketch.from_bytes(exact.to_bytes())
        assert back.count() == 2**32 and not back.is_empty()
        assert back.to_bytes() == exact.to_bytes()

    def test_decoding_costs_the_image_not_the_count(self):
        data = image(200, 61, [0] * 60 + [1], 0, extremes=(-1.0, 7.0))
        s = KllSketch.from_bytes(data)
        assert s.count() == 2**60
        assert (s.min(), s.max(), s.median()) == (-1.0, 7.0, 0.0)
        assert s.to_bytes() == data

    def test_zero_count_with_little_weight_is_empty(self):
        data = image(200, 2, [3, 0], 0)
        assert KllSketch.from_bytes(data).is_empty()

    @pytest.mark.parametrize("levels, counts, text", [
        (1, [3], "fewer than 2 levels"),
        (0, [], "fewer than 2 levels"),
        (64, [0] * 63 + [2], "more weight than a 64-bit count"),
        (70, [0] * 69 + [1], "more weight than a 64-bit count"),
    ])
    def test_corrupt_structure(self, levels, counts, text):
        with pytest.raises(ValueError, match=f"^corrupt data: .*{text}"):
            KllSketch.from_bytes(image(200, levels, counts, 5))

    def test_bad_offsets(self):
        data = bytearray(image(200, 2, [2, 2], 4))
        struct.pack_into("<I", data, 16, 1)
        with pytest.raises(ValueError, match="^corrupt data: .*start at 0"):
            KllSketch.from_bytes(bytes(data))
        data = bytearray(image(200, 3, [2, 2, 0], 4))
        struct.pack_into("<I", data, 20, 3)
        struct.pack_into("<I", data, 24, 1)
        with pytest.raises(ValueError, match="^corrupt data: .*offsets decrease"):
            KllSketch.from_bytes(bytes(data))

    def test_truncated_body(self):
        data = filled(range(10)).to_bytes()
        header_and_offsets = 16 + 4 * 3
        with pytest.raises(ValueError, match=f"^insufficient data: needed {header_and_offsets} bytes, have 20$"):
            KllSketch.from_bytes(data[:20])
        with pytest.raises(ValueError, match=f"^insufficient data: needed {header_and_offsets + 80} bytes"):
            KllSketch.from_bytes(data[:header_and_offsets + 8])
        with pytest.raises(ValueError, match=f"^insufficient data: needed {len(data)} bytes"):
            KllSketch.from_bytes(data[:-1])
        assert KllSketch.from_bytes(data + b"\x01\x02").to_bytes() == data


def test_module_exposes_the_class():
    assert quillo.KllSketch.__text_signature__ == "(k=None)"
    assert KllSketch.__doc__ == "Python binding for KLL Sketch."
