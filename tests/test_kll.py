"""KllSketch: capacities and compaction, quantile and rank rules, merging,
sizing from accuracy targets, and its own byte image."""

import array
import itertools
import math
import random
import struct
import subprocess
import sys

import pytest
from cpp_checks import run_checks

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


def image(k, levels, per_level, n32, extremes=(0.0, 1.0), offsets=None):
    """A hand-written image: header, offsets, values, extremes."""
    head = struct.pack("<BBBBBBHII", 2, 1, 15, min(k, 255), levels, 0, 0, n32, k)
    offsets = offsets or [sum(per_level[:i]) for i in range(len(per_level) + 1)]
    total = sum(per_level)
    body = struct.pack(f"<{len(offsets)}I", *offsets) + struct.pack(f"<{total}d", *map(float, range(total)))
    return head + body + struct.pack("<2d", *extremes)


class TestConstruction:
    def test_k(self):
        assert KllSketch.__text_signature__ == "(k=None)"
        assert KllSketch(None).to_bytes() == KllSketch(k=200).to_bytes()
        assert KllSketch(8).statistics()["k"] == 8
        assert list(KllSketch().statistics().items()) == [
            ("k", 200), ("levels", 2), ("total_items", 0), ("total_count", 0), ("memory_usage", 2664),
            ("min_value_set", False), ("max_value_set", False)]
        with pytest.raises(ValueError, match="^k must be at least 8, got 7$"):
            KllSketch(7)
        with pytest.raises(ValueError, match="^k must be at most 4294967295, got 4294967296$"):
            KllSketch(2**32)
        with pytest.raises(OverflowError):
            KllSketch(-1)

    @pytest.mark.parametrize("epsilon, confidence, k", [
        (0.01, 0.9, 27225), (0.01, 0.99, 40838), (0.01, 0.995, 54450), (0.5, 0.5, 11), (0.9, 0.5, 8)])
    def test_with_accuracy(self, epsilon, confidence, k):
        assert KllSketch.with_accuracy(epsilon, confidence).statistics()["k"] == k

    def test_with_accuracy_refusals(self):
        for epsilon in (0.0, 1.0, -0.5, float("nan")):
            panics("Epsilon must be between 0 and 1", KllSketch.with_accuracy, epsilon, 0.5)
        for confidence in (0.0, 1.0, float("nan")):
            panics("Confidence must be between 0 and 1", KllSketch.with_accuracy, 0.1, confidence)
        with pytest.raises(ValueError, match="^k must be at most 4294967295, got "):
            KllSketch.with_accuracy(1e-9, 0.5)


class TestCompaction:
    def test_first_compaction_on_the_134th_update(self):
        s = filled(range(133))
        assert s.statistics()["total_items"] == 133
        s.update(133.0)
        # level 0 was full at 133 slots and doubled; level 1 keeps its 200.
        assert list(s.statistics().values())[1:5] == [2, 67, 134, 8 * (266 + 200)]

    def test_images_agree_across_processes(self):
        code = "import quillo\ns = quillo.KllSketch(50)\nfor i in range(5000): s.update(float((i * 7919) % 1009))\n"
        other = subprocess.run([sys.executable, "-c", code + "print(s.to_bytes().hex())"], capture_output=True,
                               text=True, check=True)
        here = {}
        exec(code, here)
        assert other.stdout.strip() == here["s"].to_bytes().hex()


class TestQueries:
    def test_empty_and_exact_answers(self):
        s = KllSketch()
        assert s.quantile(0.5) is None and s.median() is None and s.min() is None
        assert s.rank(1.0) == 0.0 and s.is_empty() and s.count() == 0
        s = filled(range(1, 11))
        assert (s.quantile(0.5), s.quantile(0.55), s.rank(5.0), s.rank(0.0), s.rank(10.0)) == (5, 6, 0.5, 0, 1)
        assert (s.q25(), s.q75(), s.q95(), s.q99()) == (3.0, 8.0, 10.0, 10.0)

    def test_rank_error_is_small_and_extremes_exact(self):
        rng = random.Random(3)
        values = [rng.gauss(0, 1) for _ in range(30_000)]
        s, ordered = filled(values), sorted(values)
        assert (s.quantile(0.0), s.quantile(1.0), s.min(), s.max()) == (ordered[0], ordered[-1]) * 2
        for q in (0.01, 0.1, 0.25, 0.5, 0.75, 0.9, 0.99):
            assert abs(s.rank(ordered[int(q * len(ordered))]) - q) < 0.02
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


def test_merge_sums_counts_and_extremes():
    a, b = filled(range(0, 1000)), filled(range(1000, 3000), k=50)
    before = b.to_bytes()
    a.merge(b)
    assert (a.count(), a.min(), a.max(), a.statistics()["k"]) == (3000, 0.0, 2999.0, 200)
    assert abs(a.rank(1500.0) - 0.5) < 0.03 and b.to_bytes() == before
    a = KllSketch()
    a.merge(filled([3.0, 4.0]))
    assert (a.count(), a.min(), a.max(), a.median()) == (2, 3.0, 4.0, 3.0)
    before = a.to_bytes()
    a.merge(KllSketch())
    assert a.to_bytes() == before


class TestImage:
    def test_empty_image_and_header_checks(self):
        data = KllSketch().to_bytes()
        assert data == bytes.fromhex("02010FC80204000000000000C8000000")
        with pytest.raises(ValueError, match="^insufficient data: needed 16 bytes, have 15$"):
            KllSketch.from_bytes(data[:15])
        for offset, value, text in [(1, 2, "version mismatch: expected 1, found 2"),
                                    (2, 3, "family mismatch: expected 15, found 3"),
                                    (3, 0, "corrupt data: k_u8=0 does not match k=200")]:
            with pytest.raises(ValueError, match=f"^{text}$"):
                KllSketch.from_bytes(data[:offset] + bytes([value]) + data[offset + 1:])

    def test_small_k_in_image_becomes_eight(self):
        data = struct.pack("<BBBBBBHII", 2, 1, 15, 5, 2, 4, 0, 0, 5)
        assert KllSketch.from_bytes(data).statistics()["k"] == 8

    @pytest.mark.parametrize("size", [1, 133, 134, 5000, 60_000])
    def test_round_trip_restores_the_sketch(self, size):
        s = filled((i * 0.37 for i in range(size)), k=64)
        back = KllSketch.from_bytes(s.to_bytes())
        assert (back.count(), back.min(), back.max(), back.quantile(0.3)) == (
            s.count(), s.min(), s.max(), s.quantile(0.3))
        for target in (s, back):  # the restored generator starts afresh, like any new sketch
            target.update(1.0)
        assert back.count() == s.count()

    def test_counts_past_32_bits_survive(self):
        s = filled(range(300), k=8)
        for _ in range(24):
            s.merge(KllSketch.from_bytes(s.to_bytes()))
        assert s.count() == KllSketch.from_bytes(s.to_bytes()).count() == 300 * 2**24
        # merges compact every overfull level, not only those above a full level 0
        assert s.statistics()["total_items"] < 100
        exact = filled([1.0], k=8)
        for _ in range(32):
            exact.merge(KllSketch.from_bytes(exact.to_bytes()))
        back = KllSketch.from_bytes(exact.to_bytes())
        assert exact.count() == back.count() == 2**32 and not back.is_empty()
        assert back.to_bytes() == exact.to_bytes()

    def test_decoding_costs_the_image_not_the_count(self):
        data = image(200, 61, [0] * 60 + [1], 0, extremes=(-1.0, 7.0))
        s = KllSketch.from_bytes(data)
        assert (s.count(), s.min(), s.max(), s.median()) == (2**60, -1.0, 7.0, 0.0)
        assert s.to_bytes() == data
        assert KllSketch.from_bytes(image(200, 2, [3, 0], 0)).is_empty()  # zero count, little weight

    @pytest.mark.parametrize("data, text", [
        (image(200, 1, [3], 5), "corrupt data: .*fewer than 2 levels"),
        (image(200, 0, [], 5), "corrupt data: .*fewer than 2 levels"),
        (image(200, 64, [0] * 63 + [2], 5), "corrupt data: .*more weight than a 64-bit count"),
        (image(200, 70, [0] * 69 + [1], 5), "corrupt data: .*more weight than a 64-bit count"),
        (image(200, 2, [2, 2], 4, offsets=[1, 2, 4]), "corrupt data: .*start at 0"),
        (image(200, 3, [2, 2, 0], 4, offsets=[0, 3, 1, 4]), "corrupt data: .*offsets decrease"),
        (filled(range(10)).to_bytes()[:20], "insufficient data: needed 28 bytes, have 20$"),
        (filled(range(10)).to_bytes()[:36], "insufficient data: needed 108 bytes"),
        (filled(range(10)).to_bytes()[:-1], "insufficient data: needed 124 bytes"),
    ])
    def test_refusals(self, data, text):
        with pytest.raises(ValueError, match=f"^{text}"):
            KllSketch.from_bytes(data)

    def test_trailing_bytes_are_ignored(self):
        data = filled(range(10)).to_bytes()
        assert len(data) == 124 and KllSketch.from_bytes(data + b"\x01\x02").to_bytes() == data


def test_branch_free_sorts_match_the_insertion_sort(tmp_path_factory):
    run_checks(tmp_path_factory, "tests/cpp/compactor_sort_test.cpp")


def kll_streams(n):
    rng = random.Random(16)
    uniform = [rng.random() for _ in range(n)]
    yield "random", uniform
    yield "sorted", sorted(uniform)
    yield "reversed", sorted(uniform, reverse=True)
    yield "duplicates", [float(rng.randrange(4)) for _ in range(n)]
    yield "zeros", [rng.choice([0.0, -0.0, 1.0]) for _ in range(n)]
    yield "nan", [math.nan if rng.random() < 0.05 else v for v in uniform]
    yield "infinities", [rng.choice([math.inf, -math.inf, math.nan, v]) for v in uniform]


def uneven_chunks(values):
    sizes = [1, 2, 5, 13, 1000]
    start = 0
    for i in itertools.count():
        if start >= len(values):
            return
        yield values[start:start + sizes[i % len(sizes)]]
        start += sizes[i % len(sizes)]


@pytest.mark.parametrize("k", [8, 21, 200])
def test_update_many_in_uneven_chunks_leaves_the_per_item_state(k):
    # Deep stacks (small k, many values) send most compactions through the
    # column path's fixed bottom levels, which must hand the same levels, coin
    # flips and reservations back to the sketch wherever a chunk ends.
    for name, values in kll_streams(20_000):
        expected, got = KllSketch(k), KllSketch(k)
        for v in values:
            expected.update(v)
        for chunk in uneven_chunks(values):
            got.update_many(array.array("d", chunk))
        assert (got.to_bytes(), got.statistics()) == (expected.to_bytes(), expected.statistics()), name
