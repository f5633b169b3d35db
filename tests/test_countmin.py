import random
from collections import Counter

import pytest

import quillo
from wire import Reader, boolean, sequence, varint, zigzag

CountMinSketch, CountSketch = quillo.CountMinSketch, quillo.CountSketch
MAX = 2**64 - 1


def skewed_stream(n, distinct, seed):
    rng = random.Random(seed)
    return [f"w{int(rng.paretovariate(1.1)) % distinct}" for _ in range(n)]


def fill(s, *pairs):
    for item, count in pairs:
        s.update(item, count)
    return s


def count_min_image(width, depth, cells):
    return varint(width) + varint(depth) + sequence(cells, varint) + boolean(False)


def count_sketch_image(width, depth, rows):
    return varint(width) + varint(depth) + sequence(rows, lambda row: sequence(row, zigzag))


def row_signs(item, depth):
    """The per-row signs of an item, read back from a one-column image."""
    r = Reader(fill(CountSketch(1, depth), (item, 1)).to_bytes())
    r.varint(), r.varint()
    return [row[0] for row in r.sequence(lambda: r.sequence(r.zigzag))]


@pytest.mark.parametrize("call, message", [
    (lambda: CountMinSketch(0, 5), "width and depth must both be greater than 0"),
    (lambda: CountSketch(5, 0), "width and depth must both be greater than 0"),
    (lambda: CountMinSketch.with_error_bounds(1.0, 0.5), "epsilon must be in (0, 1), got 1"),
    (lambda: CountMinSketch.with_error_bounds(1e-7 - 1, 0.5), "epsilon must be in (0, 1), got -0.9999999"),
    (lambda: CountMinSketch.with_error_bounds(0.1, 0.0), "delta must be in (0, 1), got 0"),
    (lambda: CountMinSketch.with_error_bounds(0.1, float("nan")), "delta must be in (0, 1), got NaN"),
])
def test_bad_arguments(call, message):
    with pytest.raises(ValueError) as err:
        call()
    assert str(err.value) == message


def test_fresh_images_and_statistics():
    assert CountMinSketch(2, 1).to_bytes() == count_min_image(2, 1, [0, 0]) == bytes([2, 1, 2, 0, 0, 0])
    assert CountSketch(2, 2).to_bytes() == count_sketch_image(2, 2, [[0, 0], [0, 0]])
    assert list(CountMinSketch(4, 3).statistics().items()) == [
        ("width", 4), ("depth", 3), ("total_cells", 12), ("non_zero_cells", 0), ("fill_ratio", 0.0),
        ("total_count", 0), ("max_count", 0), ("min_count", 0), ("conservative_update", False)]
    for eps, width, depth in [(0.01, 272, 5), (0.001, 2719, 7)]:
        s = CountMinSketch.with_error_bounds(eps, eps, True).statistics()
        assert (s["width"], s["depth"], s["conservative_update"]) == (width, depth, True)


def test_never_undercounts_and_conservative_counts_less():
    rng, exact = random.Random(1), Counter()
    plain, conservative = CountMinSketch(200, 4), CountMinSketch(200, 4, True)
    for word in skewed_stream(20000, 3000, seed=7):
        count = rng.choice([1, 1, 1, 2, 5, 40])
        plain.update(word, count)
        conservative.update(word, count)
        exact[word] += count
    overcounts = [sum(s.estimate(w) - c for w, c in exact.items()) for s in (plain, conservative)]
    assert all(s.estimate(w) >= c for w, c in exact.items() for s in (plain, conservative))
    assert 0 < overcounts[1] < overcounts[0]
    assert plain.total_count() == sum(exact.values())
    assert plain.statistics()["total_count"] == 4 * sum(exact.values())


def test_conservative_update_lifts_a_partly_shared_item():
    # x shares one of its two cells with y: its cells are (3, 0) before its own update.
    for i in range(1000):
        x, y = f"x{i}", f"y{i}"
        probe = fill(CountMinSketch(2, 2), (y, 3), (x, 10))
        if probe.estimate(x) == 10 and probe.statistics()["max_count"] == 13:
            break
    else:
        pytest.fail("no partly shared pair found")
    assert fill(CountMinSketch(2, 2, True), (y, 3), (x, 10)).estimate(x) == 10
    s = fill(CountMinSketch(1, 2, True), ("a", 3), ("b", 2))
    assert s.estimate("a") == s.estimate("b") == 5


@pytest.mark.parametrize("conservative", [False, True])
def test_cells_saturate_and_depth_is_unlimited(conservative):
    s = fill(CountMinSketch(8, 100, conservative), ("x", MAX), ("x", MAX))
    s.merge(s.from_bytes(s.to_bytes()))
    assert s.estimate("x") == MAX and s.heavy_hitters(1) == [MAX]


def test_heavy_hitters_clear_and_merge():
    assert CountMinSketch(10, 2).heavy_hitters(0) == [0]
    s = fill(CountMinSketch(100, 3, True), ("a", 6))
    s.increment("a")
    assert s.heavy_hitters(1) == [7] and s.heavy_hitters(8) == []
    s.clear()
    assert s.estimate("a") == 0 and s.to_bytes() == CountMinSketch(100, 3, True).to_bytes()
    a = fill(CountMinSketch(100, 5), ("x", 3))
    a.merge(fill(CountMinSketch(100, 5, True), ("x", 4)))
    assert a.estimate("x") == 7 and a.statistics()["conservative_update"] is False
    with pytest.raises(ValueError, match="^Sketches must have the same dimensions$"):
        a.merge(CountMinSketch(100, 4))
    assert a.estimate("x") == 7


@pytest.mark.parametrize("width, depth", [(1, 1), (1, 4), (7, 2), (16, 80)])
def test_count_sketch_single_item_is_exact(width, depth):
    assert fill(CountSketch(width, depth), ("a", 5), ("a", -2)).estimate("a") == 3


@pytest.mark.parametrize("depth", [2, 3, 4, 5])
def test_count_sketch_estimate_is_the_reading_at_half_depth(depth):
    items = {"a": 5, "b": 3, "c": -11, "d": 2}
    signs = {item: row_signs(item, depth) for item in items}
    s = fill(CountSketch(1, depth), *items.items())
    cells = [sum(signs[i][r] * c for i, c in items.items()) for r in range(depth)]
    for item in items:
        assert s.estimate(item) == sorted(signs[item][r] * cells[r] for r in range(depth))[depth // 2]


def test_count_sketch_counters_wrap_and_frequent_words_are_close():
    assert fill(CountSketch(10, 3), ("a", 2**63 - 1), ("a", 1)).estimate("a") == -2**63
    stream = skewed_stream(20000, 3000, seed=5)
    s = fill(CountSketch(500, 5), *((word, 1) for word in stream))
    assert all(abs(s.estimate(w) - c) <= 0.05 * c for w, c in Counter(stream).most_common(10))


@pytest.mark.parametrize("cls, image, reason", [
    *[(CountMinSketch, count_min_image(w, d, [1] * n), f"{n} cells for width {w} and depth {d}")
      for w, d, n in [(0, 1, 0), (1, 0, 0), (2, 2, 3), (2, 2, 5), (2**63, 2, 0)]],
    (CountSketch, count_sketch_image(2, 2, [[1, 2], [3]]), "row 1 holds 1 counters for width 2"),
    (CountSketch, count_sketch_image(2, 1, [[1, 2, 3]]), "row 0 holds 3 counters for width 2"),
    (CountSketch, count_sketch_image(0, 2, [[], []]), "0 cells for width 0 and depth 2"),
    (CountSketch, count_sketch_image(2, 3, [[0, 0], [0, 0]]), "4 cells for width 2 and depth 3"),
])
def test_shapes_that_disagree_are_refused(cls, image, reason):
    with pytest.raises(ValueError) as err:
        cls.from_bytes(image)
    assert str(err.value) == f"corrupt data: {cls.__name__} decode failed: {reason}"
