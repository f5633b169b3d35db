"""ReqSketch: construction rules, compaction with a protected end in both
modes, rank/quantile/CDF queries and the image."""

import random
import subprocess
import sys

import pytest
from wire import Reader, boolean, f64, option, sequence, varint

from quillo import ReqSketch


def read_image(data):
    """(k, lra, [(level, items, capacity, compactions)], n) of an image."""
    r = Reader(data)
    k, lra = r.varint(), r.boolean()
    compactors = r.sequence(lambda: (r.varint(), r.sequence(r.f64), r.varint(), r.varint()))
    return k, lra, compactors, r.varint()


def image(k, compactors, n=1, lra=False):
    body = sequence(compactors, lambda c: varint(c[0]) + sequence(c[1], f64) + varint(c[2]) + varint(0))
    return varint(k) + boolean(lra) + body + varint(n) + option(0.0, f64) + option(1.0, f64) + varint(99)


def filled(values, k=12, mode=None):
    s = ReqSketch(k, mode)
    for v in values:
        s.update(float(v))
    return s


def test_construction_rules():
    assert ReqSketch(4).mode() == ReqSketch(8, None).mode() == "HRA"
    assert ReqSketch(k=8, mode="LRA").mode() == "LRA"
    with pytest.raises(ValueError, match="^k must be at least 4, got 3$"):
        ReqSketch(3, "nope")  # k is checked before the mode
    with pytest.raises(ValueError, match=r"^Unknown mode 'hra', use 'HRA' or 'LRA'$"):
        ReqSketch(8, "hra")
    with pytest.raises(TypeError, match="^argument 'mode': 'int' object cannot be converted to 'PyString'$"):
        ReqSketch(3, 5)


class TestCompaction:
    @pytest.mark.parametrize("mode, kept", [("HRA", [4.0, 5.0]), ("LRA", [1.0, 2.0])])
    def test_fifth_update_protects_one_end(self, mode, kept):
        (c0, c1) = read_image(filled([3, 1, 5, 2, 4], k=4, mode=mode).to_bytes())[2]
        assert c0 == (0, kept, 4, 1)
        assert (c1[0], c1[2], c1[3]) == (1, 8, 0)
        rest = sorted({1.0, 2.0, 3.0, 4.0, 5.0} - set(kept))
        assert c1[1] in ([rest[0], rest[2]], [rest[1]])

    def test_compactor_capacities_double(self):
        compactors = read_image(filled(range(5000), k=4).to_bytes())[2]
        assert [c[0] for c in compactors] == list(range(len(compactors)))
        assert [c[2] for c in compactors] == [4 * 2**i for i in range(len(compactors))]
        assert all(len(items) <= capacity for _, items, capacity, _ in compactors)

    def test_images_agree_across_processes(self):
        script = ("import quillo\ns = quillo.ReqSketch(6, 'LRA')\n"
                  "for i in range(4000): s.update(float((i * 7919) % 1009))\nprint(s.to_bytes().hex())")
        other = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
        here = filled(((i * 7919) % 1009 for i in range(4000)), k=6, mode="LRA")
        assert other.stdout.strip() == here.to_bytes().hex()


class TestQueries:
    def test_empty_and_exact_answers(self):
        s = ReqSketch(8)
        assert s.quantile(0.5) is None and s.rank(1.0) == 0.0
        assert s.get_cdf([]) == [0.0] and s.get_cdf([1.0, 2.0]) == [0.0, 0.0, 0.0]
        assert s.is_empty() and s.count() == 0
        s = filled([4, 1, 3, 2], k=8)
        assert s.quantile(0.5) == 2.0 and s.quantile(0.51) == 3.0
        assert s.get_cdf([2.5, 0.0, 4.0]) == [0.5, 0.0, 1.0, 1.0]
        assert s.get_cdf([]) == [1.0]

    def test_extremes_are_exact(self):
        values = list(range(3000))
        random.Random(2).shuffle(values)
        s = filled(values, k=4)
        assert (s.quantile(0.0), s.quantile(1.0), s.count()) == (0.0, 2999.0, 3000)

    def test_rank_out_of_range_is_an_internal_failure(self):
        s = filled([1.0])
        for q in (-0.1, 1.5, float("nan")):
            with pytest.raises(BaseException) as err:
                s.quantile(q)
            assert type(err.value).__name__ == "PanicException"
            assert str(err.value) == "Rank must be between 0.0 and 1.0"

    @pytest.mark.parametrize("mode, q", [("HRA", 0.999), ("LRA", 0.001)])
    def test_protected_end_is_accurate(self, mode, q):
        rng = random.Random(9)
        values = [rng.expovariate(1.0) for _ in range(40_000)]
        s = filled(values, k=12, mode=mode)
        ordered = sorted(values)
        assert abs(s.rank(ordered[int(q * len(ordered))]) - q) < 0.0005
        assert abs(s.rank(ordered[len(ordered) // 2]) - 0.5) < 0.02


class TestImage:
    def test_round_trip_continues_the_generator(self):
        values = [random.random() for _ in range(3000)]
        s = filled(values[:2000], k=6)
        back = ReqSketch.from_bytes(s.to_bytes())
        for v in values[2000:]:
            s.update(v)
            back.update(v)
        assert back.to_bytes() == s.to_bytes()

    def test_stored_fields_are_taken_as_they_are(self):
        s = ReqSketch.from_bytes(image(2, [(0, [1.0, 2.0], 3)], n=2))
        assert read_image(s.to_bytes())[0] == 2
        assert s.quantile(0.5) == 1.0
        s.update(0.5)
        s.update(3.0)
        assert s.count() == 4

    @pytest.mark.parametrize("compactors, why", [
        ([], "no compactors"),
        ([(63, [1.0], 4)], "compactor level differs from its position"),  # each update would weigh 2^63
        ([(0, [], 4), (2, [1.0], 8)], "compactor level differs from its position"),
        ([(0, [1.0], 1)], "compactor capacity below 2"),  # compactions would cascade past level 63
        ([(i, [1.0] if i == 63 else [], 4) for i in range(64)], "retained weight reaches 2\\^63"),
        ([(i, [1.0] * (i > 61), 4) for i in range(64)], "retained weight reaches 2\\^63"),
    ])
    def test_refusals(self, compactors, why):
        with pytest.raises(ValueError, match=f"^corrupt data: ReqSketch decode failed: {why}$"):
            ReqSketch.from_bytes(image(4, compactors))

    def test_the_heaviest_accepted_state_keeps_ranks_in_range(self):
        s = ReqSketch.from_bytes(image(4, [(i, [float(i)] * (i in (61, 62)), 2) for i in range(63)]))
        for v in range(200):
            s.update(float(v % 70))
        assert all(0.0 <= r <= 1.0 for r in s.ranks([float(v) for v in range(-1, 80)]))
        assert s.rank(61.5) == pytest.approx(1 / 3, abs=1e-12) and s.cdf([100.0]) == [1.0, 1.0]
        with pytest.raises(ValueError, match="Hit the end of buffer"):
            ReqSketch.from_bytes(varint(4) + b"\x00" + varint(2**62))  # fails before allocating
