"""Batch queries of the quantile summaries (quantiles, ranks, cdf, pmf): every
answer is the single query's; the sorted view that KLL and REQ keep between
changes answers as the plain walk over their retained values does; every
mutation makes it forget."""

import array
import copy
import functools
import operator
import pathlib
import random
import shutil
import struct
import subprocess
import sys

import pytest
from wire import Reader

from quillo import KllSketch, ReqSketch, TDigest

ROOT = pathlib.Path(__file__).resolve().parent.parent
NAN = float("nan")
SPLIT_ERROR = "^split points must be unique, increasing and not NaN$"
RANKS = [i / 64 for i in range(65)] + [0.001, 0.999, 0.5 + 1e-12]


def same(a, b):
    """Equal answers: None alike, NaN equal to NaN, 0.0 apart from -0.0."""
    if a is None or b is None:
        return a is b
    return struct.pack("<d", a) == struct.pack("<d", b)


def all_same(xs, ys):
    return len(xs) == len(ys) and all(same(x, y) for x, y in zip(xs, ys))


def kll_pairs(sketch):
    """(value, weight) of every retained value, lowest level first, from the image."""
    data = sketch.to_bytes()
    levels = data[4]
    offsets = struct.unpack_from(f"<{levels + 1}I", data, 16)
    values = struct.unpack_from(f"<{offsets[-1]}d", data, 16 + 4 * (levels + 1))
    return [(values[j], 2**i) for i in range(levels) for j in range(offsets[i], offsets[i + 1])]


def req_pairs(sketch):
    r = Reader(sketch.to_bytes())
    r.varint(), r.boolean()
    compactors = r.sequence(lambda: (r.varint(), r.sequence(r.f64), r.varint(), r.varint()))
    return [(v, 2**level) for level, items, _, _ in compactors for v in items]


def walk_quantile(pairs, q, low, high):
    """The plain walk: stable sort by value, first running weight reaching q of the total."""
    if q == 0.0:
        return low
    if q == 1.0:
        return high
    if not pairs:
        return low
    ordered = sorted(pairs, key=lambda p: p[0])  # exact only without NaN
    target, running = q * float(sum(w for _, w in pairs)), 0.0
    for value, weight in ordered:
        running += float(weight)
        if running >= target:
            return value
    return high


def walk_rank(pairs, x):
    total = sum(w for _, w in pairs) % 2**64
    below = sum(w for v, w in pairs if not v > x) % 2**64
    return float(below) / float(total) if total else 0.0


def values(rng, count, with_nan):
    pool = [rng.uniform(-10, 10) for _ in range(30)] + [0.0, -0.0, float("inf")]
    out = [rng.choice(pool) if rng.random() < 0.5 else rng.gauss(0, 5) for _ in range(count)]
    if with_nan:
        for i in rng.sample(range(count), max(1, count // 50)):
            out[i] = NAN
    return out


def kll(rng, with_nan):
    s = KllSketch(rng.choice([8, 16, 200]))
    for v in values(rng, rng.randrange(1, 3000), with_nan):
        s.update(v)
    if rng.random() < 0.5:
        other = KllSketch(rng.choice([8, 50]))
        for v in values(rng, rng.randrange(1, 3000), with_nan):
            other.update(v)
        s.merge(other)
    return s, kll_pairs


def req(rng, with_nan):
    s = ReqSketch(rng.choice([4, 6, 12]), rng.choice(["HRA", "LRA"]))
    for v in values(rng, rng.randrange(1, 4000), with_nan):
        s.update(v)
    return s, req_pairs


def split_points(rng, pairs):
    finite = {v for v, _ in pairs if abs(v) < float("inf")} | {rng.uniform(-20, 20) for _ in range(10)}
    points = sorted(finite)
    return [float("-inf")] + points[::max(1, len(points) // 40)] + [float("inf")]


@pytest.mark.parametrize("make", [kll, req], ids=["KllSketch", "ReqSketch"])
class TestCompactorSketches:
    def test_cached_answers_are_the_walks(self, make):
        rng = random.Random(make.__name__)
        for round_ in range(30):
            s, pairs_of = make(rng, with_nan=round_ % 3 == 0)
            pairs = pairs_of(s)
            has_nan = any(v != v for v, _ in pairs)
            points = split_points(rng, pairs) + [NAN]
            singles = [s.quantile(q) for q in RANKS]
            if not has_nan:  # with NaN the stable sort's arrangement is the C++ sort's own
                assert all_same(singles, [walk_quantile(pairs, q, s.quantile(0.0), s.quantile(1.0)) for q in RANKS])
            assert all_same(s.quantiles(RANKS), singles)
            shuffled = rng.sample(RANKS, len(RANKS))
            assert all_same(s.quantiles(shuffled), [s.quantile(q) for q in shuffled])
            expected = [walk_rank(pairs, x) for x in points]
            assert all_same([s.rank(x) for x in points], expected)
            assert all_same(s.ranks(points), expected)
            assert all_same(s.ranks(points[::-1]), expected[::-1])
            assert all_same(s.cdf(points[:-1]), expected[:-1] + [1.0])
            pmf = s.pmf(points[:-1])
            assert len(pmf) == len(points) and min(pmf) >= 0.0 and sum(pmf) == pytest.approx(1.0, abs=1e-12)

    def test_every_mutation_refreshes_the_answers(self, make):
        rng = random.Random(1)
        s, _ = make(rng, with_nan=False)
        for step in range(12):
            before = (s.quantiles(RANKS), s.ranks([0.0, 1.0, 5.0]))
            kept = copy.copy(s)
            if step % 2 and isinstance(s, KllSketch):
                other, _ = make(rng, with_nan=False)
                s.merge(other)
            elif step % 3:
                for _ in range(step * 37 + 1):
                    s.update(rng.uniform(-30, 30))
            else:
                s.update_many([rng.uniform(-30, 30) for _ in range(step * 37 + 1)])
            fresh = type(s).from_bytes(s.to_bytes())  # decoded levels as stored, no view yet
            assert all_same(s.quantiles(RANKS), fresh.quantiles(RANKS))
            assert all_same(s.ranks([0.0, 1.0, 5.0]), fresh.ranks([0.0, 1.0, 5.0]))
            assert (kept.quantiles(RANKS), kept.ranks([0.0, 1.0, 5.0])) == before
            assert s.quantile(0.5) == fresh.quantile(0.5) and s.rank(2.0) == fresh.rank(2.0)

    def test_empty_single_and_exact(self, make):
        s = KllSketch() if make is kll else ReqSketch(16)  # both exact for ten values
        assert s.quantiles([0.0, 0.5, 1.0]) == [None] * 3 and s.ranks([1.0, NAN]) == [0.0, 0.0]
        assert s.cdf([1.0, 2.0]) == [] and s.pmf([]) == [] and s.quantiles([]) == []
        s.update(5.0)
        assert s.quantiles([0.0, 0.3, 1.0]) == [5.0] * 3 and s.ranks([4.0, 5.0, 6.0]) == [0.0, 1.0, 1.0]
        assert s.cdf([]) == [1.0] and s.pmf([5.0]) == [1.0, 0.0]
        for v in range(2, 11):
            s.update(float(v))  # 2..10 and 5: rank counts the value itself
        assert s.cdf([2.5, 5.0, 10.0]) == [0.1, 0.5, 1.0, 1.0]
        assert s.pmf([2.5, 5.0, 10.0]) == [0.1, 0.4, 0.5, 0.0]
        assert s.quantiles((0.1, 0.5, 0.55)) == [2.0, 5.0, 6.0]

    def test_refusals(self, make):
        s, _ = make(random.Random(2), with_nan=False)
        for points in ([2.0, 1.0], [1.0, 1.0], [NAN], [0.0, NAN], [-0.0, 0.0]):
            for method in (s.cdf, s.pmf):
                with pytest.raises(ValueError, match=SPLIT_ERROR):
                    method(points)
        with pytest.raises(ValueError, match=SPLIT_ERROR):
            type(s).from_bytes(type(s)(8).to_bytes()).cdf([1.0, 1.0])  # empty or not
        for ranks in ([0.5, 1.5], [-0.1], [0.2, NAN]):
            with pytest.raises(BaseException) as err:
                s.quantiles(ranks)
            assert type(err.value).__name__ == "PanicException"
            assert str(err.value) == "Rank must be between 0.0 and 1.0"
        with pytest.raises(TypeError):
            s.ranks(["1.0"])


def test_req_get_cdf_keeps_its_rules():
    s = ReqSketch(8)
    assert s.get_cdf([2.0, 1.0]) == [0.0, 0.0, 0.0]
    for v in (4.0, 1.0, 3.0, 2.0):
        s.update(v)
    assert s.get_cdf([2.5, 0.0, 4.0]) == [0.5, 0.0, 1.0, 1.0] == s.ranks([2.5, 0.0, 4.0]) + [1.0]


class TestTDigest:
    def digests(self):
        rng = random.Random(4)
        for round_ in range(25):
            t = TDigest(rng.choice([0, 5, 20, 100]))
            for _ in range(rng.randrange(1, 5)):
                t.add_batch(values(rng, rng.randrange(1, 2000), with_nan=False))
                t.add(rng.gauss(0, 3))
            if round_ % 2:
                other = TDigest(30)
                other.add_batch(values(rng, 500, with_nan=False))
                t.merge(other)
            yield rng, t

    def test_batches_are_the_single_queries(self):
        qs = RANKS + [-1.0, 2.0, NAN]
        for rng, t in self.digests():
            points = sorted({rng.uniform(-15, 15) for _ in range(40)} | {t.min(), t.max()})
            assert all_same(t.quantiles(qs), [t.quantile(q) for q in qs])
            probe = points + [NAN, float("inf")]
            assert all_same(t.ranks(probe), [t.rank(x) for x in probe])
            cdf = t.cdf(points)
            assert all_same(cdf, [t.rank(x) for x in points] + [1.0])
            pmf = t.pmf(points)
            assert min(pmf) >= 0.0 and sum(pmf) == pytest.approx(1.0, abs=1e-12)
            assert all_same(pmf, [cdf[0]] + [b - a for a, b in zip(cdf, cdf[1:])])
            trimmed = [v for v in (t.quantile(0.1 + 0.8 / 1000 * i) for i in range(1001)) if v is not None]
            # Added left to right, as the digest does (sum() compensates from Python 3.12 on).
            assert t.trimmed_mean(0.1, 0.9) == functools.reduce(operator.add, trimmed, 0.0) / len(trimmed)

    def test_every_mutation_shows(self):
        t = TDigest(20)
        assert t.cdf([1.0]) == [] and t.pmf([]) == [] and t.ranks([1.0]) == [0.0] and t.quantiles([0.5]) == [None]
        t.add(5.0)  # the rank of the minimum is 0.0, of the maximum 1.0
        assert t.ranks([4.0, 5.0, 6.0]) == [0.0, 0.0, 1.0] and t.cdf([5.0]) == [0.0, 1.0]
        steps = [lambda: t.add(9.0), lambda: t.add_batch([1.0, 2.0, 3.0]), lambda: t.merge(TDigest.from_bytes(
            t.to_bytes())), t.clear, lambda: t.add_batch([7.0])]
        seen = []
        for step in steps:
            step()
            seen.append(t.ranks([2.0, 6.0, 8.0]))
            assert seen[-1] == [t.rank(2.0), t.rank(6.0), t.rank(8.0)] and t.quantiles([0.3]) == [t.quantile(0.3)]
        assert seen[0] != seen[1] != seen[2] and seen[3:] == [[0.0] * 3, [0.0, 0.0, 1.0]]
        for points in ([2.0, 1.0], [1.0, 1.0], [NAN]):
            with pytest.raises(ValueError, match=SPLIT_ERROR):
                t.pmf(points)


def filled_summaries():
    kll_sketch, req_sketch, digest = KllSketch(), ReqSketch(12), TDigest(50)
    for v in range(-300, 700):
        kll_sketch.update(v / 8)
        req_sketch.update(v / 8)
        digest.add(v / 8)
    return kll_sketch, req_sketch, digest


# Numbers exact in every dtype below: ranks in [0, 1], split points increasing.
BATCHES = {"ranks": [i / 64 for i in range(65)], "points": [float(v) for v in range(-40, 90, 3)]}
METHODS = [("quantiles", "ranks"), ("ranks", "points"), ("cdf", "points"), ("pmf", "points")]


def every_form(numbers):
    """The numbers as a list and in every other form a batch query reads."""
    np = pytest.importorskip("numpy")
    forms = {
        "tuple": tuple(numbers),
        "list with an int": [int(numbers[0])] + numbers[1:] if numbers[0].is_integer() else numbers,
        "array.array": array.array("d", numbers),
        "memoryview": memoryview(struct.pack(f"<{len(numbers)}d", *numbers)).cast("d"),
        "float64": np.array(numbers),
        "float32": np.array(numbers, dtype=np.float32),
        "strided": np.repeat(np.array(numbers), 2)[::2],
        "big-endian": np.array(numbers, dtype=">f8"),
        "reversed twice": np.array(numbers[::-1])[::-1],
    }
    if all(v.is_integer() for v in numbers):
        forms["int64"] = np.array(numbers, dtype=np.int64)
        forms["big-endian int32"] = np.array(numbers, dtype=">i4")
    return forms


@pytest.mark.parametrize("summary", range(3), ids=["KllSketch", "ReqSketch", "TDigest"])
def test_every_input_form_answers_as_the_list(summary):
    s = filled_summaries()[summary]
    for method, batch in METHODS:
        numbers = BATCHES[batch]
        expected = getattr(s, method)(numbers)
        assert len(expected) >= len(numbers)
        for form, given in every_form(numbers).items():
            assert all_same(getattr(s, method)(given), expected), (method, form)
    many = [i / 999 for i in range(1000)]  # more than a batch keeps on the stack
    np = pytest.importorskip("numpy")
    assert all_same(s.quantiles(np.array(many, dtype=np.float32)), s.quantiles([float(np.float32(r)) for r in many]))
    assert all_same(s.ranks(np.arange(-500, 500)), s.ranks([float(v) for v in range(-500, 500)]))
    assert s.quantiles(np.array([])) == [] and s.cdf(np.array([], dtype=np.int8)) == [1.0]


@pytest.mark.parametrize("summary", range(3), ids=["KllSketch", "ReqSketch", "TDigest"])
def test_bad_elements_are_refused_as_before(summary):
    np = pytest.importorskip("numpy")
    s = filled_summaries()[summary]
    names = {"quantiles": "ranks" if summary < 2 else "qs", "ranks": "values", "cdf": "split_points"}
    for method, name in names.items():
        call = getattr(s, method)
        # A float list that turns out to hold something else, early or late, a tuple and an object array.
        for given in ([0.5, "x"], ["x", 0.5], [0.25] * 200 + ["x"], (0.5, "x"), np.array([0.5, "x"], dtype=object)):
            with pytest.raises(TypeError, match=f"^argument '{name}': must be real number, not str$"):
                call(given)
        with pytest.raises(TypeError, match=f"^argument '{name}': must be real number, not NoneType$"):
            call([0.5, None])
        with pytest.raises(TypeError, match=f"^argument '{name}': 'float' object cannot be converted to 'Sequence'$"):
            call(0.5)
        with pytest.raises(TypeError, match=f"^argument '{name}': "):
            call(np.zeros((2, 2)))  # not one-dimensional: element by element, as before
    for method in (s.cdf, s.pmf):
        for points in (np.array([1.0, NAN]), np.array([3, 2], dtype=">i8"), array.array("f", [1.0, 1.0])):
            with pytest.raises(ValueError, match=SPLIT_ERROR):
                method(points)
    if summary < 2:
        for ranks in (np.array([0.5, 1.5]), np.array([0.5, NAN], dtype=np.float32), np.array([2], dtype=np.uint8)):
            with pytest.raises(BaseException) as err:
                s.quantiles(ranks)
            assert type(err.value).__name__ == "PanicException"
            assert str(err.value) == "Rank must be between 0.0 and 1.0"


@pytest.mark.skipif(shutil.which("g++") is None, reason="needs a C++ compiler")
def test_views_match_the_walks_and_threads_agree_in_cpp(tmp_path):
    """The NaN arrangement of the C++ sort, and threads free of the interpreter lock."""
    sources = ["tests/cpp/quantile_search_test.cpp", "src/quantiles/sorted_view.cpp", "src/quantiles/kll_sketch.cpp",
               "src/quantiles/rank_error_table.cpp"]
    binary = tmp_path / "quantile_search_test"
    subprocess.run(["g++", "-std=c++20", "-O1", "-Wall", "-Wextra", "-Werror", "-pthread", f"-I{ROOT / 'src'}",
                    *(str(ROOT / s) for s in sources), "-o", str(binary)], check=True)
    result = subprocess.run([str(binary)], capture_output=True, text=True)
    assert result.returncode == 0, result.stdout


@pytest.mark.parametrize("make, pairs", [(lambda: KllSketch(200), kll_pairs), (lambda: ReqSketch(12), req_pairs)],
                         ids=["kll", "req"])
def test_memory_accounting_counts_the_view_while_it_is_kept(make, pairs):
    sketch = make()
    for i in range(50_000):
        sketch.update(float(i % 977))
    without_view = sys.getsizeof(sketch)
    sketch.quantile(0.5)
    # At least the sorted values and their running weights.
    assert sys.getsizeof(sketch) >= without_view + 16 * len(pairs(sketch))
    sketch.update(1.0)
    assert sys.getsizeof(sketch) < without_view + 16 * len(pairs(sketch))
