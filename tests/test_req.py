"""ReqSketch: construction rules, compaction with a protected end in both
modes, rank/quantile/CDF queries and the image."""

import random
import struct
import subprocess
import sys

import pytest

from quillo import ReqSketch


def varint(n):
    out = bytearray()
    while n >= 0x80:
        out.append(n & 0x7F | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


class Image:
    """Reads the fields of a ReqSketch image."""

    def __init__(self, data):
        self.data, self.pos = data, 0
        self.k = self.varint()
        self.lra = self.data[self.pos] == 1
        self.pos += 1
        self.compactors = [self.compactor() for _ in range(self.varint())]
        self.n = self.varint()

    def varint(self):
        value = shift = 0
        while True:
            byte = self.data[self.pos]
            self.pos += 1
            value |= (byte & 0x7F) << shift
            shift += 7
            if byte < 0x80:
                return value

    def compactor(self):
        level = self.varint()
        items = [struct.unpack_from("<d", self.data, self.pos + 8 * i)[0] for i in range(self.varint())]
        self.pos += 8 * len(items)
        return level, items, self.varint(), self.varint()


def image(k, compactors, n=1, lra=False):
    out = varint(k) + bytes([lra]) + varint(len(compactors))
    for level, items, capacity in compactors:
        out += varint(level) + varint(len(items)) + struct.pack(f"<{len(items)}d", *items)
        out += varint(capacity) + varint(0)
    return out + varint(n) + b"\x01" + struct.pack("<d", 0.0) + b"\x01" + struct.pack("<d", 1.0) + varint(99)


def filled(values, k=12, mode=None):
    s = ReqSketch(k, mode)
    for v in values:
        s.update(float(v))
    return s


class TestConstruction:
    def test_valid_arguments(self):
        assert ReqSketch(4).mode() == "HRA"
        assert ReqSketch(8, None).mode() == "HRA"
        assert ReqSketch(k=8, mode="LRA").mode() == "LRA"

    def test_k_is_checked_before_the_mode(self):
        with pytest.raises(ValueError, match="^k must be at least 4, got 3$"):
            ReqSketch(3, "nope")
        with pytest.raises(ValueError) as err:
            ReqSketch(8, "hra")
        assert str(err.value) == "Unknown mode 'hra', use 'HRA' or 'LRA'"

    def test_mode_must_be_a_string(self):
        with pytest.raises(TypeError, match="^argument 'mode': 'int' object cannot be converted to 'PyString'$"):
            ReqSketch(3, 5)


class TestCompaction:
    @pytest.mark.parametrize("mode, kept", [("HRA", [4.0, 5.0]), ("LRA", [1.0, 2.0])])
    def test_fifth_update_protects_one_end(self, mode, kept):
        s = filled([3, 1, 5, 2, 4], k=4, mode=mode)
        (level0, items0, capacity0, compactions0), (level1, items1, capacity1, compactions1) = Image(
            s.to_bytes()).compactors
        assert (level0, items0, capacity0, compactions0) == (0, kept, 4, 1)
        assert (level1, capacity1, compactions1) == (1, 8, 0)
        rest = sorted(set([1.0, 2.0, 3.0, 4.0, 5.0]) - set(kept))
        assert items1 in ([rest[0], rest[2]], [rest[1]])

    def test_compactor_capacities_double(self):
        compactors = Image(filled(range(5000), k=4).to_bytes()).compactors
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
    def test_empty_sketch(self):
        s = ReqSketch(8)
        assert s.quantile(0.5) is None and s.rank(1.0) == 0.0
        assert s.get_cdf([]) == [0.0] and s.get_cdf([1.0, 2.0]) == [0.0, 0.0, 0.0]
        assert s.is_empty() and s.count() == 0

    def test_exact_answers_before_compaction(self):
        s = filled([4, 1, 3, 2], k=8)
        assert s.quantile(0.5) == 2.0 and s.quantile(0.51) == 3.0
        assert s.get_cdf([2.5, 0.0, 4.0]) == [0.5, 0.0, 1.0, 1.0]
        assert s.get_cdf([]) == [1.0]

    def test_extremes_are_exact(self):
        values = list(range(3000))
        random.Random(2).shuffle(values)
        s = filled(values, k=4)
        assert (s.quantile(0.0), s.quantile(1.0)) == (0.0, 2999.0)
        assert s.count() == 3000

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
        exact = ordered[int(q * len(ordered))]
        assert abs(s.rank(exact) - q) < 0.0005
        assert abs(s.rank(ordered[len(ordered) // 2]) - 0.5) < 0.02


class TestImage:
    def test_round_trip_continues_the_generator(self):
        values = [random.random() for _ in range(3000)]
        s = filled(values[:2000], k=6)
        back = ReqSketch.from_bytes(s.to_bytes())
        assert back.to_bytes() == s.to_bytes()
        for v in values[2000:]:
            s.update(v)
            back.update(v)
        assert back.to_bytes() == s.to_bytes()

    def test_stored_fields_are_taken_as_they_are(self):
        s = ReqSketch.from_bytes(image(2, [(0, [1.0, 2.0], 3)], n=2))
        assert Image(s.to_bytes()).k == 2
        assert s.quantile(0.5) == 1.0
        s.update(0.5)
        s.update(3.0)
        assert s.count() == 4

    def test_levels_that_would_overflow_a_weight_are_refused(self):
        assert ReqSketch.from_bytes(image(4, [(63, [1.0], 4)])).rank(1.0) == 1.0
        with pytest.raises(ValueError, match="^corrupt data: ReqSketch decode failed: "):
            ReqSketch.from_bytes(image(4, [(64, [1.0], 4)]))

    def test_absurd_counts_fail_before_allocating(self):
        data = varint(4) + b"\x00" + varint(2**62)
        with pytest.raises(ValueError, match="Hit the end of buffer"):
            ReqSketch.from_bytes(data)
