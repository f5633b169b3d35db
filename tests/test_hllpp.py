"""HllPlusPlusSketch and HllPlusPlusSparseSketch: construction, the shared
bias-corrected estimator, merging, and both byte images."""

import functools
import math
import pathlib
import shutil
import subprocess
import sys

import pytest
import xxhash
from wire import sequence, varint

from quillo import HllPlusPlusSketch as Dense
from quillo import HllPlusPlusSparseSketch as Sparse
from quillo import HllSketch

BOTH = [Dense, Sparse]
THRESHOLDS = dict(zip(range(4, 19), [10, 20, 40, 80, 220, 400, 900, 1800, 3100, 6500, 11500, 20000, 50000,
                                     120000, 350000]))


def raises(exc, text, fn, *args):
    with pytest.raises(exc) as err:
        fn(*args)
    assert str(err.value) == text


def fed(cls, p, items):
    sketch = cls(p)
    for item in items:
        sketch.update(item)
    return sketch


def sparse_image(p, m, entries):
    return bytes([p]) + varint(m) + sequence(entries, lambda e: varint(e[0]) + bytes([e[1]]))


def register_of(item, p):
    h = xxhash.xxh3_64_intdigest(item.encode(), seed=9001)
    rest = (h << p) & (2**64 - 1)
    rho = min(64 - rest.bit_length(), 63)
    return h >> (64 - p), rho + 1


def uncorrected_estimate(image):
    """The register formula with linear counting and no bias correction."""
    p, registers = image[3], image[8:]
    m = len(registers)
    alpha = {16: 0.673, 32: 0.697, 64: 0.709}.get(m, 0.7213 / (1 + 1.079 / m))
    raw = alpha * m * m / sum(2.0 ** -r for r in registers)
    zeros = registers.count(0)
    if zeros and m * math.log(m / zeros) <= THRESHOLDS[p]:
        return m * math.log(m / zeros)
    return raw


@pytest.mark.parametrize("cls", BOTH)
def test_precision_range_default_and_linear_counting(cls):
    for bad in (0, 3, 19, 255):
        raises(ValueError, f"lg_k must be in 4..=18, got {bad}", cls, bad)
    for bad in (-1, 256):
        raises(OverflowError, "out of range integral type conversion attempted", cls, bad)
    assert cls().to_bytes() == cls(None).to_bytes() == cls(lg_k=12).to_bytes()
    assert cls().estimate() == 0.0
    assert fed(cls, 4, ["a"]).estimate() == 16 * math.log(16 / 15)
    assert fed(cls, 12, ["a", "a"]).estimate() == 4096 * math.log(4096 / 4095)


class TestEstimate:
    @pytest.mark.parametrize("p", [4, 7, 12, 16])
    def test_dense_and_sparse_agree_exactly(self, p):
        dense, sparse = Dense(p), Sparse(p)
        n = 6 * (1 << p) if p < 16 else 20000
        for i in range(n):
            dense.update(f"agree-{i}")
            sparse.update(f"agree-{i}")
            if i % 97 == 0:
                assert dense.estimate() == sparse.estimate()
            if i == n // 3:
                # a decoded copy carries on exactly like the original
                sparse = Sparse.from_bytes(sparse.to_bytes())
        assert dense.estimate() == sparse.estimate()
        registers = dense.to_bytes()[8:]
        assert sparse.to_bytes() == sparse_image(p, 1 << p, [(i, r) for i, r in enumerate(registers) if r])

    def test_switches_from_linear_counting_past_the_threshold(self):
        sketch, seen = Dense(8), set()
        for i in range(2000):
            sketch.update(f"switch-{i}")
            seen.add(register_of(f"switch-{i}", 8)[0])
            lc = 256 * math.log(256 / (256 - len(seen))) if len(seen) < 256 else math.inf
            if lc > THRESHOLDS[8]:
                assert sketch.estimate() != lc
                break
            assert sketch.estimate() == lc
        else:
            pytest.fail("linear counting never passed its threshold")

    def test_mean_relative_error_within_one_percent_up_to_ten_m(self):
        # Fixed streams at precision 8; the uncorrected formula runs about 40% high here.
        p, m, runs = 8, 256, 320
        checkpoints = list(range(m // 16, 10 * m + 1, m // 16))
        errors, worst_uncorrected = [0.0] * len(checkpoints), 0.0
        for run in range(runs):
            sketch, seen = Dense(p), 0
            for j, n in enumerate(checkpoints):
                for i in range(seen, n):
                    sketch.update(f"mre-{run}-{i}")
                seen = n
                errors[j] += sketch.estimate() / n - 1
                if run == 0:
                    worst_uncorrected = max(worst_uncorrected, uncorrected_estimate(sketch.to_bytes()) / n - 1)
        assert max(abs(e) / runs for e in errors) < 0.01 and worst_uncorrected > 0.2

    def test_no_jump_where_linear_counting_hands_over(self):
        # On the first state where linear counting passes its threshold, the
        # corrected register formula answers about what linear counting would.
        p, m, runs = 10, 1024, 48
        steps, uncorrected_steps = [], []
        for run in range(runs):
            sketch, touched, i = Dense(p), set(), 0
            while True:
                item, i = f"jump-{run}-{i}", i + 1
                sketch.update(item)
                touched.add(register_of(item, p)[0])
                lc = m * math.log(m / (m - len(touched)))
                if lc > THRESHOLDS[p]:
                    steps.append(sketch.estimate() / lc - 1)
                    uncorrected_steps.append(uncorrected_estimate(sketch.to_bytes()) / lc - 1)
                    break
        assert abs(sum(steps) / runs) < 0.01 and sum(uncorrected_steps) / runs > 0.3


@pytest.mark.parametrize("cls, message", [
    (Dense, "cannot merge HLL++ sketches with different precision"),
    (Sparse, "cannot merge sparse HLL++ sketches with different precision"),
])
def test_merge(cls, message):
    left, right = [f"l{i}" for i in range(3000)] + ["shared"], [f"r{i}" for i in range(500)] + ["shared"]
    a, both = fed(cls, 10, left), fed(cls, 10, left + right)
    a.merge(fed(cls, 10, right))
    assert a.to_bytes() == both.to_bytes() and a.estimate() == both.estimate()
    before = a.to_bytes()
    raises(ValueError, message, a.merge, fed(cls, 11, ["z"]))
    assert a.to_bytes() == before
    with pytest.raises(TypeError, match="cannot be converted to 'HllPlusPlus"):
        a.merge((Sparse if cls is Dense else Dense)())


class TestDenseImage:
    def test_layout(self):
        image = Dense().to_bytes()
        assert len(image) == 4104 and image[:8] == bytes([1, 1, 7, 12, 0, 4, 0, 1])
        image = fed(Dense, 4, [f"i{i}" for i in range(200)]).to_bytes()
        assert len(image) == 8 + 16 and image[5] == 0 and image[6] == min(image[8:]) > 0

    def test_decoding_failures_and_lenient_fields(self):
        good = fed(Dense, 12, ["a", "b"]).to_bytes()
        for cut, have in ((0, 0), (7, 7), (8, 8), (-1, 4103)):
            needed = 8 if have < 8 else 4104
            raises(ValueError, f"insufficient data: needed {needed} bytes, have {have}", Dense.from_bytes, good[:cut])
        lg_k = [(3, p, f"corrupt data: lg_k={p} out of HLL++ range [4, 18]") for p in (3, 19, 0, 255)]
        for offset, value, text in [(0, 2, "invalid preamble: expected preamble_ints=1, found 2"),
                                    (1, 3, "version mismatch: expected 1, found 3"),
                                    (2, 1, "family mismatch: expected 7, found 1")] + lg_k:
            raises(ValueError, text, Dense.from_bytes, good[:offset] + bytes([value]) + good[offset + 1:])
        lenient = good[:4] + b"\x09" + good[5:6] + b"\x33\x44" + good[8:] + b"trailing"
        assert Dense.from_bytes(lenient).to_bytes() == good
        # The empty flag wins over whatever follows the preamble.
        empty = Dense.from_bytes(good[:5] + b"\x04" + good[6:8])
        assert empty.to_bytes() == Dense().to_bytes()

    def test_register_values_beyond_sixty_four_are_kept(self):
        sketch = Dense.from_bytes(Dense(4).to_bytes()[:5] + b"\x00" + Dense(4).to_bytes()[6:8] + bytes([255] * 16))
        assert math.isfinite(sketch.estimate())
        sketch.update("x")
        assert sketch.to_bytes()[8:] == bytes([255] * 16)


class TestSparseImage:
    def test_layout(self):
        assert Sparse().to_bytes() == bytes([0x0C, 0x80, 0x20, 0x00])
        expected = sorted(dict(register_of(x, 6) for x in "abc").items())
        assert fed(Sparse, 6, ["a", "b", "a", "c"]).to_bytes() == sparse_image(6, 64, expected)
        assert fed(Sparse, 12, ["same", "same"]).to_bytes() == fed(Sparse, 12, ["same"]).to_bytes()
        # a repeated index in an image keeps the last value
        assert Sparse.from_bytes(sparse_image(8, 256, [(3, 9), (3, 2)])).to_bytes() == sparse_image(8, 256, [(3, 2)])

    def test_decoding_failures(self):
        for data, text in [
            (sparse_image(12, 4096, [(1, 2), (5, 3)])[:-2], "Hit the end of buffer, expected more data"),
            (bytes([12]) + varint(4096) + varint(2**62), "Hit the end of buffer, expected more data"),
            (bytes([12]) + b"\xff" * 10 + b"\x01",
             "Found a varint that didn't terminate. Is the usize too big for this platform?"),
        ]:
            raises(ValueError, "corrupt data: HllPlusPlusSparseSketch decode failed: " + text, Sparse.from_bytes, data)

    @pytest.mark.parametrize("image, text", [
        (HllSketch(12).to_bytes(), "precision outside 4..=18"),
        (bytes([64]) + varint(2**64 - 1) + b"\0", "precision outside 4..=18"),
        (sparse_image(3, 8, [(1, 1)]), "precision outside 4..=18"),
        (sparse_image(19, 2**19, []), "precision outside 4..=18"),
        (sparse_image(12, 0, [(7, 3)]), "register count is not 2^precision"),
        (sparse_image(4, 2**4 + 1, []), "register count is not 2^precision"),
        (sparse_image(4, 16, [(i, 1) for i in range(17)]), "register index beyond the register count"),
        (sparse_image(12, 4096, [(99999, 64)]), "register index beyond the register count"),
        (sparse_image(12, 4096, [(5, 0)]), "register value outside 1..=64"),
        (sparse_image(12, 4096, [(5, 65)]), "register value outside 1..=64"),
    ])
    def test_states_no_update_makes_are_refused(self, image, text):
        raises(ValueError, "corrupt data: HllPlusPlusSparseSketch decode failed: " + text, Sparse.from_bytes, image)

    def test_extreme_images_round_trip_and_stay_sound(self):
        full = sparse_image(4, 16, [(i, 64) for i in range(16)])
        sketch = Sparse.from_bytes(full)
        assert sketch.to_bytes() == full and sketch.estimate() > 0
        # The dense form with the same registers answers the same.
        dense = Dense.from_bytes(bytes([1, 1, 7, 4, 0, 0, 64, 1]) + bytes([64] * 16))
        assert sketch.estimate() == dense.estimate()
        for i in range(1000):
            sketch.update(f"s{i}")
        assert sketch.to_bytes() == full


@functools.lru_cache(maxsize=None)
def new_register_items(p, count, prefix):
    """`count` items, each setting a register that no earlier one set."""
    items, seen, i = [], set(), 0
    while len(items) < count:
        item, i = f"{prefix}-{i}", i + 1
        index = register_of(item, p)[0]
        if index not in seen:
            seen.add(index)
            items.append(item)
    return tuple(items)


def image_from_registers(p, dense):
    return sparse_image(p, 1 << p, [(i, r) for i, r in enumerate(dense.to_bytes()[8:]) if r])


class TestSparseTable:
    """The entries live in a table that grows once more than three quarters
    full: fourfold while it stays within half the dense form's bytes, then
    twofold. Once it has 16,384 slots (past 6,144 entries), updates wait in a
    queue of 32 before they reach it. Neither may show in an answer or an
    image, and the table stays smaller than the dense registers while fewer
    than about a tenth of them are set."""

    P = 14
    # Entry counts on both sides of every step up to 16,384 slots (16 -> 64 ->
    # 256 -> 1,024 -> 2,048 -> 4,096 -> 8,192 -> 16,384), and a run across the
    # first queued updates (a whole queue and then some).
    GROWTH = {n + d for n in (12, 48, 192, 768, 1536, 3072, 6144) for d in (0, 1)}
    QUEUED = set(range(6140, 6185))

    def test_answers_and_images_follow_the_registers_at_every_step(self):
        sketch, dense = Sparse(self.P), Dense(self.P)
        for n, item in enumerate(new_register_items(self.P, 6185, "step"), 1):
            sketch.update(item)
            dense.update(item)
            if n in self.GROWTH or n in self.QUEUED:
                image = sketch.to_bytes()
                assert image == image_from_registers(self.P, dense), n
                assert sketch.estimate() == dense.estimate()
                copy = Sparse.from_bytes(image)
                assert copy.to_bytes() == image and copy.estimate() == sketch.estimate()
                if n <= 1536:
                    assert sys.getsizeof(sketch) < sys.getsizeof(dense)

    def test_queued_updates_raise_lower_and_repeat_registers(self):
        base = new_register_items(self.P, 6200, "base")
        # base[0] went into the table before the queue began; find items for
        # its register with a larger and with another value.
        target, stored = register_of(base[0], self.P)
        by_value, i = {}, 0
        while len(by_value) < 2 or max(by_value) <= stored:
            index, value = register_of(f"raise-{i}", self.P)
            if index == target:
                by_value.setdefault(value, f"raise-{i}")
            i += 1
        low, high = min(by_value), max(by_value)
        # Each step is checked while it is still queued.
        steps = [by_value[high], by_value[low], base[0], by_value[high], "fresh-item", "fresh-item"]
        sketch, dense = fed(Sparse, self.P, base), fed(Dense, self.P, base)
        for item in steps:
            sketch.update(item)
            dense.update(item)
            assert sketch.to_bytes() == image_from_registers(self.P, dense)
            assert sketch.estimate() == dense.estimate()

    @pytest.mark.parametrize("left", [0, 40, 6150, 6177])
    @pytest.mark.parametrize("right", [0, 7, 6145, 6160])
    def test_merge_in_every_state(self, left, right):
        """Empty, direct, and queued (partly filled, and just emptied) on both sides."""
        a_items, b_items = new_register_items(self.P, left, "a"), new_register_items(self.P, right, "b")
        a, b = fed(Sparse, self.P, a_items), fed(Sparse, self.P, b_items)
        b_image = b.to_bytes()
        a.merge(b)
        union = fed(Dense, self.P, a_items + b_items)
        assert a.to_bytes() == image_from_registers(self.P, union) and a.estimate() == union.estimate()
        assert b.to_bytes() == b_image
        b.merge(a)
        assert b.to_bytes() == a.to_bytes()


ROOT = pathlib.Path(__file__).resolve().parent.parent


@pytest.mark.skipif(shutil.which("g++") is None or not (ROOT / "tools").is_dir(),
                    reason="needs the source tree and a C++ compiler")
def test_bias_table_regenerates_exactly(tmp_path):
    output = tmp_path / "table.cpp"
    subprocess.run(["sh", str(ROOT / "tools" / "gen_hllpp_bias.sh"), str(output)], check=True,
                   capture_output=True)
    assert output.read_bytes() == (ROOT / "src" / "hll" / "hllpp_bias_table.cpp").read_bytes()
