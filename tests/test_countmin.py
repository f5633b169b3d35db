import random
from collections import Counter

import pytest

import quillo

CountMinSketch, CountSketch = quillo.CountMinSketch, quillo.CountSketch
MAX = 2**64 - 1


def varint(v):
    out = bytearray()
    while v >= 0x80:
        out.append(v & 0x7F | 0x80)
        v >>= 7
    return bytes(out + bytes([v]))


def skewed_stream(n, distinct, seed):
    rng = random.Random(seed)
    return [f"w{int(rng.paretovariate(1.1)) % distinct}" for _ in range(n)]


@pytest.mark.parametrize("cls", [CountMinSketch, CountSketch])
@pytest.mark.parametrize("width, depth", [(0, 5), (5, 0)])
def test_zero_dimension(cls, width, depth):
    with pytest.raises(ValueError, match=r"^width and depth must both be greater than 0$"):
        cls(width, depth)


class TestCountMinSketch:
    @pytest.mark.parametrize("eps, delta, width, depth", [(0.01, 0.01, 272, 5), (0.001, 0.001, 2719, 7)])
    def test_error_bounds_sizing(self, eps, delta, width, depth):
        s = CountMinSketch.with_error_bounds(eps, delta, True).statistics()
        assert (s["width"], s["depth"], s["conservative_update"]) == (width, depth, True)

    @pytest.mark.parametrize("eps, delta, message", [
        (1.0, 0.5, "epsilon must be in (0, 1), got 1"),
        (1e-7 - 1, 0.5, "epsilon must be in (0, 1), got -0.9999999"),
        (0.1, 0.0, "delta must be in (0, 1), got 0"),
        (0.1, float("nan"), "delta must be in (0, 1), got NaN"),
    ])
    def test_error_bounds_refused(self, eps, delta, message):
        with pytest.raises(ValueError) as err:
            CountMinSketch.with_error_bounds(eps, delta)
        assert str(err.value) == message

    def test_fresh_image_and_statistics(self):
        assert CountMinSketch(2, 1).to_bytes() == bytes([2, 1, 2, 0, 0, 0])
        assert list(CountMinSketch(4, 3).statistics().items()) == [
            ("width", 4), ("depth", 3), ("total_cells", 12), ("non_zero_cells", 0), ("fill_ratio", 0.0),
            ("total_count", 0), ("max_count", 0), ("min_count", 0), ("conservative_update", False)]

    @pytest.mark.parametrize("conservative", [False, True])
    def test_never_undercounts_a_skewed_stream(self, conservative):
        rng, exact = random.Random(1), Counter()
        s = CountMinSketch(200, 4, conservative)
        for word in skewed_stream(20000, 3000, seed=7):
            count = rng.choice([1, 1, 1, 2, 5, 40])
            s.update(word, count)
            exact[word] += count
        assert all(s.estimate(w) >= c for w, c in exact.items())
        if not conservative:
            assert s.total_count() == sum(exact.values())
            assert s.statistics()["total_count"] == 4 * sum(exact.values())

    def test_conservative_counts_less_than_plain(self):
        stream = skewed_stream(20000, 3000, seed=3)
        plain, conservative = CountMinSketch(100, 3), CountMinSketch(100, 3, True)
        for word in stream:
            plain.increment(word)
            conservative.increment(word)
        overcounts = [sum(s.estimate(w) - c for w, c in Counter(stream).items()) for s in (plain, conservative)]
        assert 0 <= overcounts[1] < overcounts[0]

    def test_conservative_update_lifts_a_partly_shared_item(self):
        # x shares one of its two cells with y, so before its own update x's
        # cells are (3, 0); afterwards its estimate must be its count.
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
        assert s.estimate(x) == 10
        s = CountMinSketch(1, 2, True)
        s.update("a", 3)
        s.update("b", 2)
        assert s.estimate("a") == s.estimate("b") == 5

    @pytest.mark.parametrize("conservative", [False, True])
    def test_cells_saturate_and_depth_is_unlimited(self, conservative):
        s = CountMinSketch(8, 100, conservative)
        s.update("x", MAX)
        s.update("x", MAX)
        s.merge(s.from_bytes(s.to_bytes()))
        assert s.estimate("x") == MAX and s.heavy_hitters(1) == [MAX]

    def test_heavy_hitters_and_clear(self):
        assert CountMinSketch(10, 2).heavy_hitters(0) == [0]
        s = CountMinSketch(100, 3, True)
        s.update("a", 7)
        assert s.heavy_hitters(1) == [7] and s.heavy_hitters(8) == []
        s.clear()
        assert s.estimate("a") == 0 and s.to_bytes() == CountMinSketch(100, 3, True).to_bytes()

    def test_merge(self):
        a, b = CountMinSketch(100, 5), CountMinSketch(100, 5, True)
        a.update("x", 3)
        b.update("x", 4)
        a.merge(b)
        assert a.estimate("x") == 7 and a.statistics()["conservative_update"] is False
        with pytest.raises(ValueError, match="^Sketches must have the same dimensions$"):
            a.merge(CountMinSketch(100, 4))
        assert a.estimate("x") == 7

    @pytest.mark.parametrize("width, depth, cells", [(0, 1, 0), (1, 0, 0), (2, 2, 3), (2, 2, 5), (2**63, 2, 0)])
    def test_shapes_that_disagree_are_refused(self, width, depth, cells):
        image = varint(width) + varint(depth) + varint(cells) + b"\x01" * cells + b"\x00"
        with pytest.raises(ValueError) as err:
            CountMinSketch.from_bytes(image)
        assert str(err.value) == (f"corrupt data: CountMinSketch decode failed: "
                                  f"{cells} cells for width {width} and depth {depth}")


def count_sketch_image(width, depth, rows):
    return (varint(width) + varint(depth) + varint(len(rows))
            + b"".join(varint(len(r)) + b"".join(varint((c << 1) ^ (c >> 63)) for c in r) for r in rows))


def row_signs(item, depth):
    """The per-row signs of an item, read back from a one-column image."""
    s = CountSketch(1, depth)
    s.update(item, 1)
    image = s.to_bytes()[3:]  # width, depth, row count; then a length and a counter per row
    return [1 if image[2 * r + 1] == 2 else -1 for r in range(depth)]


class TestCountSketch:
    @pytest.mark.parametrize("width, depth", [(1, 1), (1, 4), (7, 2), (16, 80)])
    def test_single_item_is_exact(self, width, depth):
        s = CountSketch(width, depth)
        s.update("a", 5)
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
            assert s.estimate(item) == sorted(signs[item][r] * cells[r] for r in range(depth))[depth // 2]

    def test_counters_wrap(self):
        s = CountSketch(10, 3)
        s.update("a", 2**63 - 1)
        s.update("a", 1)
        assert s.estimate("a") == -2**63

    def test_frequent_words_are_close_and_survive_the_image(self):
        stream = skewed_stream(20000, 3000, seed=5)
        s = CountSketch(500, 5)
        for word in stream:
            s.update(word, 1)
        t = CountSketch.from_bytes(s.to_bytes())
        for word, count in Counter(stream).most_common(10):
            assert abs(s.estimate(word) - count) <= 0.05 * count
            assert t.estimate(word) == s.estimate(word)
        assert count_sketch_image(2, 2, [[0, 0], [0, 0]]) == CountSketch(2, 2).to_bytes()

    @pytest.mark.parametrize("width, depth, rows, reason", [
        (2, 2, [[1, 2], [3]], "row 1 holds 1 counters for width 2"),
        (2, 1, [[1, 2, 3]], "row 0 holds 3 counters for width 2"),
        (0, 2, [[], []], "0 cells for width 0 and depth 2"),
        (2, 3, [[0, 0], [0, 0]], "4 cells for width 2 and depth 3"),
    ])
    def test_shapes_that_disagree_are_refused(self, width, depth, rows, reason):
        with pytest.raises(ValueError) as err:
            CountSketch.from_bytes(count_sketch_image(width, depth, rows))
        assert str(err.value) == f"corrupt data: CountSketch decode failed: {reason}"
