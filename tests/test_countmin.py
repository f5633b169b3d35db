import random
from collections import Counter

import pytest

import quillo

CountMinSketch = quillo.CountMinSketch
MAX = 2**64 - 1


def varint(v):
    out = bytearray()
    while v >= 0x80:
        out.append(v & 0x7F | 0x80)
        v >>= 7
    out.append(v)
    return bytes(out)


def skewed_stream(n, distinct, seed):
    rng = random.Random(seed)
    return [f"w{int(rng.paretovariate(1.1)) % distinct}" for _ in range(n)]


class TestCountMinConstruction:
    @pytest.mark.parametrize("width, depth", [(0, 5), (5, 0), (0, 0)])
    def test_zero_dimension(self, width, depth):
        with pytest.raises(ValueError, match=r"^width and depth must both be greater than 0$"):
            CountMinSketch(width, depth)

    @pytest.mark.parametrize("eps, delta, width, depth", [(0.01, 0.01, 272, 5), (0.001, 0.001, 2719, 7)])
    def test_error_bounds_sizing(self, eps, delta, width, depth):
        s = CountMinSketch.with_error_bounds(eps, delta, True).statistics()
        assert (s["width"], s["depth"], s["conservative_update"]) == (width, depth, True)

    @pytest.mark.parametrize("eps, delta, message", [
        (1.0, 0.5, "epsilon must be in (0, 1), got 1"),
        (float("nan"), 0.5, "epsilon must be in (0, 1), got NaN"),
        (1e-7 - 1, 0.5, "epsilon must be in (0, 1), got -0.9999999"),
        (0.1, 0.0, "delta must be in (0, 1), got 0"),
        (0.1, float("inf"), "delta must be in (0, 1), got inf"),
    ])
    def test_error_bounds_refused(self, eps, delta, message):
        with pytest.raises(ValueError) as err:
            CountMinSketch.with_error_bounds(eps, delta)
        assert str(err.value) == message

    def test_unallocatable_table_is_a_memory_error(self):
        with pytest.raises(MemoryError):
            CountMinSketch(2**40, 2**30)

    def test_fresh_image_and_statistics(self):
        s = CountMinSketch(2, 1)
        assert s.to_bytes() == bytes([2, 1, 2, 0, 0, 0])
        assert list(CountMinSketch(4, 3).statistics().items()) == [
            ("width", 4), ("depth", 3), ("total_cells", 12), ("non_zero_cells", 0), ("fill_ratio", 0.0),
            ("total_count", 0), ("max_count", 0), ("min_count", 0), ("conservative_update", False)]


class TestCountMinCounting:
    @pytest.mark.parametrize("conservative", [False, True])
    def test_single_item_is_exact(self, conservative):
        s = CountMinSketch(50, 4, conservative)
        assert s.estimate("a") == 0
        s.update("a", 5)
        s.increment("a")
        assert s.estimate("a") == 6 and s.total_count() == 6

    def test_plain_totals(self):
        s = CountMinSketch(64, 3)
        for i, c in enumerate([3, 10, 0, 7]):
            s.update(f"i{i}", c)
        assert s.total_count() == 20
        assert s.statistics()["total_count"] == 60

    @pytest.mark.parametrize("conservative", [False, True])
    def test_never_undercounts_a_skewed_stream(self, conservative):
        stream = skewed_stream(20000, 3000, seed=7)
        exact = Counter()
        s = CountMinSketch(200, 4, conservative)
        rng = random.Random(1)
        for word in stream:
            count = rng.choice([1, 1, 1, 2, 5, 40])
            s.update(word, count)
            exact[word] += count
        assert all(s.estimate(w) >= exact[w] for w in exact)

    def test_conservative_counts_less_but_never_too_little(self):
        stream = skewed_stream(20000, 3000, seed=3)
        exact = Counter(stream)
        plain, conservative = CountMinSketch(100, 3), CountMinSketch(100, 3, True)
        for word in stream:
            plain.increment(word)
            conservative.increment(word)
        for word, count in exact.items():
            assert count <= conservative.estimate(word) <= plain.estimate(word)
        overcount = sum(conservative.estimate(w) - c for w, c in exact.items())
        assert overcount < sum(plain.estimate(w) - c for w, c in exact.items())

    def test_conservative_update_lifts_a_partly_shared_item(self):
        # Find x sharing one of its two cells with y, then update x after y:
        # x's cells are (3, 0) before its own update, and its estimate must
        # become its count.
        for i in range(1000):
            x, y = f"x{i}", f"y{i}"
            probe = CountMinSketch(2, 2)
            probe.update(y, 3)
            probe.update(x, 10)
            if probe.estimate(x) == 10 and probe.statistics()["max_count"] == 13:
                break
        else:
            pytest.fail("no partly shared pair found")
        s = CountMinSketch(2, 2, True)
        s.update(y, 3)
        s.update(x, 10)
        assert s.estimate(x) == 10 and s.estimate(y) >= 3

    def test_conservative_equal_cells_both_rise(self):
        s = CountMinSketch(1, 2, True)
        s.update("a", 3)
        s.update("b", 2)
        assert s.estimate("a") == s.estimate("b") == 5
        assert s.statistics()["total_count"] == 10

    @pytest.mark.parametrize("conservative", [False, True])
    def test_cells_saturate(self, conservative):
        s = CountMinSketch(8, 3, conservative)
        s.update("x", MAX)
        s.update("x", MAX)
        assert s.estimate("x") == MAX
        assert s.heavy_hitters(1) == [MAX]
        other = CountMinSketch(8, 3)
        other.update("x", 5)
        s.merge(other)
        assert s.estimate("x") == MAX

    @pytest.mark.parametrize("conservative", [False, True])
    def test_deeper_than_64_rows(self, conservative):
        s = CountMinSketch(16, 100, conservative)
        for i in range(50):
            s.update(f"w{i}", i + 1)
        assert all(s.estimate(f"w{i}") >= i + 1 for i in range(50))
        assert s.statistics()["depth"] == 100

    def test_heavy_hitters_are_distinct_cell_values(self):
        assert CountMinSketch(10, 2).heavy_hitters(0) == [0]
        s = CountMinSketch(100, 3)
        s.update("a", 7)
        assert s.heavy_hitters(1) == [7]
        s.update("b", 2)
        assert s.heavy_hitters(2) == [7, 2] or s.heavy_hitters(2) == [9, 7, 2]
        assert s.heavy_hitters(100) == []

    def test_clear_keeps_shape_and_mode(self):
        s = CountMinSketch(10, 2, True)
        s.update("a", 4)
        s.clear()
        assert s.estimate("a") == 0
        assert s.to_bytes() == CountMinSketch(10, 2, True).to_bytes()


class TestCountMinMerge:
    def test_merge_adds_cells(self):
        a, b = CountMinSketch(100, 5), CountMinSketch(100, 5, True)
        a.update("x", 3)
        b.update("x", 4)
        b.update("y", 1)
        a.merge(b)
        assert a.estimate("x") >= 7 and a.estimate("y") >= 1
        assert a.total_count() == 8
        assert a.statistics()["conservative_update"] is False

    def test_merge_needs_equal_dimensions(self):
        a = CountMinSketch(100, 5)
        a.update("x", 1)
        before = a.to_bytes()
        with pytest.raises(ValueError, match="^Sketches must have the same dimensions$"):
            a.merge(CountMinSketch(100, 4))
        assert a.to_bytes() == before


class TestCountMinImage:
    def test_round_trip(self):
        s = CountMinSketch(30, 4, True)
        for word in skewed_stream(500, 100, seed=2):
            s.increment(word)
        t = CountMinSketch.from_bytes(s.to_bytes())
        assert t.statistics() == s.statistics()
        assert all(t.estimate(f"w{i}") == s.estimate(f"w{i}") for i in range(100))

    @pytest.mark.parametrize("width, depth, cells", [(0, 1, 0), (1, 0, 0), (2, 2, 3), (2, 2, 5), (2**63, 2, 0)])
    def test_shapes_that_disagree_are_refused(self, width, depth, cells):
        image = varint(width) + varint(depth) + varint(cells) + b"\x01" * cells + b"\x00"
        with pytest.raises(ValueError) as err:
            CountMinSketch.from_bytes(image)
        assert str(err.value) == (f"corrupt data: CountMinSketch decode failed: "
                                  f"{cells} cells for width {width} and depth {depth}")

    def test_bad_flag_byte(self):
        with pytest.raises(ValueError, match="^corrupt data: CountMinSketch decode failed: "
                                             "Found a bool that wasn't 0 or 1$"):
            CountMinSketch.from_bytes(bytes([2, 1, 2, 0, 0, 2]))


CountSketch = quillo.CountSketch


def unzigzag(v):
    return (v >> 1) ^ -(v & 1)


def count_sketch_image(width, rows):
    return (varint(width) + varint(len(rows)) + varint(len(rows))
            + b"".join(varint(len(r)) + b"".join(varint((c << 1) ^ (c >> 63)) for c in r) for r in rows))


def row_signs(item, depth):
    """The per-row signs of an item, read back from a one-column image."""
    s = CountSketch(1, depth)
    s.update(item, 1)
    image = s.to_bytes()[3:]  # width, depth, row count
    return [unzigzag(image[2 * r + 1]) for r in range(depth)]


class TestCountSketch:
    @pytest.mark.parametrize("width, depth", [(0, 3), (3, 0)])
    def test_zero_dimension(self, width, depth):
        with pytest.raises(ValueError, match=r"^width and depth must both be greater than 0$"):
            CountSketch(width, depth)

    @pytest.mark.parametrize("width, depth", [(1, 1), (1, 4), (7, 2), (100, 5), (16, 80)])
    def test_single_item_is_exact(self, width, depth):
        s = CountSketch(width, depth)
        assert s.estimate("a") == 0
        s.update("a", 5)
        assert s.estimate("a") == 5
        s.update("a", -2)
        assert s.estimate("a") == 3

    @pytest.mark.parametrize("depth", [2, 3, 4, 5])
    def test_estimate_is_the_reading_at_half_depth(self, depth):
        items = {"a": 5, "b": 3, "c": -11, "d": 2}
        signs = {item: row_signs(item, depth) for item in items}
        s = CountSketch(1, depth)
        for item, count in items.items():
            s.update(item, count)
        cells = [sum(signs[i][r] * c for i, c in items.items()) for r in range(depth)]
        for item in items:
            readings = sorted(signs[item][r] * cells[r] for r in range(depth))
            assert s.estimate(item) == readings[depth // 2]

    def test_counters_wrap(self):
        s = CountSketch(10, 3)
        s.update("a", 2**63 - 1)
        s.update("a", 1)
        assert s.estimate("a") == -2**63
        with pytest.raises(OverflowError):
            s.update("a", 2**63)

    def test_frequent_words_are_close(self):
        stream = skewed_stream(20000, 3000, seed=5)
        exact = Counter(stream)
        s = CountSketch(500, 5)
        for word in stream:
            s.update(word, 1)
        for word, count in exact.most_common(10):
            assert abs(s.estimate(word) - count) <= 0.05 * count

    def test_round_trip(self):
        s = CountSketch(20, 3)
        for i, word in enumerate(skewed_stream(300, 50, seed=9)):
            s.update(word, i % 7 - 3)
        t = CountSketch.from_bytes(s.to_bytes())
        assert t.to_bytes() == s.to_bytes()
        assert all(t.estimate(f"w{i}") == s.estimate(f"w{i}") for i in range(50))
        assert count_sketch_image(2, [[0, 0], [0, 0]]) == CountSketch(2, 2).to_bytes()

    @pytest.mark.parametrize("width, rows, reason", [
        (2, [[1, 2], [3]], "row 1 holds 1 counters for width 2"),
        (2, [[1, 2, 3]], "row 0 holds 3 counters for width 2"),
        (0, [[], []], "0 cells for width 0 and depth 2"),
    ])
    def test_shapes_that_disagree_are_refused(self, width, rows, reason):
        with pytest.raises(ValueError) as err:
            CountSketch.from_bytes(count_sketch_image(width, rows))
        assert str(err.value) == f"corrupt data: CountSketch decode failed: {reason}"

    def test_row_count_other_than_depth_is_refused(self):
        image = varint(2) + varint(3) + varint(2) + (varint(2) + b"\x00\x00") * 2
        with pytest.raises(ValueError, match="^corrupt data: CountSketch decode failed: "
                                             "4 cells for width 2 and depth 3$"):
            CountSketch.from_bytes(image)
