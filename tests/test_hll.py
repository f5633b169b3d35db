"""HllSketch: hashing, HIP and register estimates, merge, image and decoding."""

import math
import struct

import pytest
import xxhash

from quillo import HllSketch

SEED = 9001


def register_of(item, lg_k):
    """Independent model of one update: (register index, register value)."""
    h = xxhash.xxh3_64_intdigest(item.encode("utf-8"), seed=SEED)
    w = (h << lg_k) & (2**64 - 1)
    rho = min(64 - w.bit_length(), 63)
    return h >> (64 - lg_k), rho + 1


def model_image(items, lg_k):
    """The image an in-order sketch must write, built from the definition."""
    m = 1 << lg_k
    registers = [0] * m
    hip, kxq0, kxq1 = 0.0, float(m), 0.0
    for item in items:
        index, new = register_of(item, lg_k)
        old = registers[index]
        if old > new - 1:
            continue
        registers[index] = new
        if kxq0 + kxq1 > 0:
            hip += m / (kxq0 + kxq1)
        if old < 32:
            kxq0 -= 2.0**-old
        else:
            kxq1 -= 2.0**-old
        if new < 32:
            kxq0 += 2.0**-new
        else:
            kxq1 += 2.0**-new
    empty = not any(registers)
    smallest = min((r for r in registers if r), default=0)
    return (b"SK" + bytes([1, 1, 4 if empty else 0, lg_k, smallest, 0]) + bytes(registers)
            + struct.pack("<ddd", hip, kxq0, kxq1) + b"\x00")


def sketch_of(items, lg_k=12):
    s = HllSketch(lg_k)
    for item in items:
        s.update(item)
    return s


class TestHashingAndUpdate:
    def test_image_matches_model_byte_for_byte(self):
        items = [f"w{i}" for i in range(3000)] + ["", "é", "x" * 300, "e\u0301"]
        for lg_k in (4, 11):
            assert sketch_of(items, lg_k).to_bytes() == model_image(items, lg_k)

    def test_item_bytes_are_utf8_of_the_text(self):
        class Text(str):
            pass

        assert sketch_of([Text("é")]).to_bytes() == sketch_of(["é"]).to_bytes()
        assert sketch_of(["é"]).to_bytes() != sketch_of(["e\u0301"]).to_bytes()
        long_item = "ü" * 200  # 400 bytes: the long-input path of the hash
        index, value = register_of(long_item, 12)
        assert sketch_of([long_item]).to_bytes()[8 + index] == value

    def test_first_update_and_repeats(self):
        s = HllSketch()
        assert s.estimate() == 0.0
        s.update("a")
        assert s.estimate() == 1.0
        image = s.to_bytes()
        s.update("a")
        assert s.to_bytes() == image

    def test_accuracy_within_three_standard_errors(self):
        n = 50_000
        for lg_k in (10, 14):
            error = abs(sketch_of((str(i) for i in range(n)), lg_k).estimate() / n - 1)
            assert error < 3 * 1.04 / math.sqrt(1 << lg_k)


class TestConstructionAndMerge:
    def test_lg_k_range(self):
        assert len(HllSketch(None).to_bytes()) == 4096 + 33
        for lg_k in (3, 19):
            with pytest.raises(ValueError, match=rf"^lg_k must be in 4..=18, got {lg_k}$"):
                HllSketch(lg_k)
        assert len(HllSketch(4).to_bytes()) == 16 + 33
        assert len(HllSketch(18).to_bytes()) == (1 << 18) + 33

    def test_merge_switches_to_register_estimate(self):
        s = sketch_of(["a"])
        s.merge(HllSketch())
        m = 4096
        assert s.estimate() == pytest.approx(m * math.log(m / (m - 1)), rel=1e-12)
        assert s.to_bytes()[-1] == 1

    def test_merge_takes_register_maxima(self):
        left, right = [f"l{i}" for i in range(2000)], [f"r{i}" for i in range(2000)]
        a, b = sketch_of(left), sketch_of(right)
        a.merge(b)
        both = sketch_of(left + right)
        assert a.to_bytes()[8:8 + 4096] == both.to_bytes()[8:8 + 4096]
        assert a.estimate() == pytest.approx(4000, rel=0.05)

    def test_merge_of_different_precision_changes_nothing(self):
        a = sketch_of(["x", "y"], 4)
        before = a.to_bytes()
        with pytest.raises(ValueError, match="^cannot merge HLL sketches with different precision$"):
            a.merge(HllSketch(5))
        assert a.to_bytes() == before


def corrupt(image, offset, value):
    return image[:offset] + bytes([value]) + image[offset + 1:]


class TestDecoding:
    def error(self, data):
        with pytest.raises(ValueError) as err:
            HllSketch.from_bytes(data)
        return str(err.value)

    def test_round_trips(self):
        fresh = HllSketch().to_bytes()
        assert len(fresh) == 4129 and fresh[4] == 4 and fresh[6] == 0
        assert HllSketch.from_bytes(fresh).to_bytes() == fresh
        merged = sketch_of(["a", "b", "c"])
        merged.merge(sketch_of(["d"]))
        image = merged.to_bytes()
        again = HllSketch.from_bytes(image)
        assert again.to_bytes() == image and again.estimate() == merged.estimate()

    def test_preamble_failures(self):
        image = sketch_of(["a"]).to_bytes()
        assert self.error(b"") == "insufficient data: needed 0 bytes, have 0"
        assert self.error(b"KS" + image[2:]) == "invalid preamble: bad magic bytes"
        for family in (0, 9):
            assert self.error(corrupt(image, 2, family)) == f"corrupt data: unknown sketch family byte: {family}"
        assert self.error(corrupt(image, 2, 2)) == "corrupt data: wrong sketch family: expected Hll, found Theta"
        assert self.error(corrupt(image, 2, 6)) == "corrupt data: wrong sketch family: expected Hll, found Cpc"
        assert self.error(b"SK\x02") == "insufficient data: needed 0 bytes, have 0"
        assert self.error(image[:6]) == "insufficient data: needed 0 bytes, have 0"

    def test_truncated_payload(self):
        image = sketch_of(["a"]).to_bytes()
        assert self.error(image[:100]) == "insufficient data: needed 4096 bytes, have 92"
        assert self.error(image[:-5]) == "insufficient data: needed 0 bytes, have 0"
        assert HllSketch.from_bytes(image + b"tail").to_bytes() == image

    def test_lg_k_limits(self):
        image = HllSketch(4).to_bytes()
        assert self.error(corrupt(image, 5, 27)) == "corrupt data: lg_k=27 exceeds maximum of 26"
        for lg_k in range(4):
            assert self.error(corrupt(image, 5, lg_k)).startswith(f"corrupt data: lg_k={lg_k} ")
        wide = b"SK\x01\x01\x00\x14\x01\x00" + bytes([1]) * (1 << 20) + struct.pack("<ddd", 0.0, 1.0, 0.0) + b"\x01"
        s = HllSketch.from_bytes(wide)
        s.update("more")
        assert s.estimate() > 0 and len(s.to_bytes()) == len(wide)

    def test_unchecked_fields(self):
        image = sketch_of(["a", "b"]).to_bytes()
        assert HllSketch.from_bytes(corrupt(image, 3, 7)).to_bytes() == image
        assert HllSketch.from_bytes(corrupt(image, 7, 9)).estimate() == sketch_of(["a", "b"]).estimate()
        # The empty flag yields a fresh sketch whatever the registers say.
        assert HllSketch.from_bytes(corrupt(image, 4, 4)).to_bytes() == HllSketch().to_bytes()
        # An empty image may leave the registers out, up to the constructor's largest size.
        assert HllSketch.from_bytes(b"SK\x01\x01\x04\x0c\x00\x00" + bytes(25)).to_bytes() == HllSketch().to_bytes()
        assert self.error(b"SK\x01\x01\x04\x1a\x00\x00" + bytes(25)) == (
            f"insufficient data: needed {1 << 26} bytes, have 25")

    @staticmethod
    def with_totals(image, hip, kxq0, kxq1, out_of_order=0):
        return image[:-25] + struct.pack("<ddd", hip, kxq0, kxq1) + bytes([out_of_order])

    def test_running_totals_that_would_mislead_later_updates_are_refused(self):
        image = sketch_of([f"w{i}" for i in range(500)], 8).to_bytes()
        hip, kxq0, kxq1 = struct.unpack("<ddd", image[-25:-1])
        for bad in (-1.0, math.nan, math.inf):
            assert self.error(self.with_totals(image, bad, kxq0, kxq1)) == (
                "corrupt data: HIP estimate is negative or not finite")
        for bad in ((-1.0, kxq1), (kxq0, -0.5), (math.nan, kxq1), (kxq0, math.inf)):
            assert self.error(self.with_totals(image, hip, *bad)) == (
                "corrupt data: kxq sums are negative or not finite")
        # 1e-300 would make the next change add 2^8 / 1e-300 to the estimate.
        for bad in ((1e-300, 0.0), (kxq0 * 2, kxq1), (kxq0 + 0.001, kxq1)):
            assert self.error(self.with_totals(image, hip, *bad)) == (
                "corrupt data: kxq sums do not match the registers")
        # A merge leaves the running totals behind: out of order they are not checked.
        stale = self.with_totals(image, -1.0, 0.0, 0.0, out_of_order=1)
        assert HllSketch.from_bytes(stale).estimate() == pytest.approx(500, rel=0.2)

    def test_sums_split_unlike_the_registers_take_the_registers_split(self):
        # The whole total in kxq1 matches the registers, but the first update
        # would take 2^-0 from an empty kxq0 and leave a negative sum behind.
        image = sketch_of([f"w{i}" for i in range(40)], 8).to_bytes()
        hip, kxq0, kxq1 = struct.unpack("<ddd", image[-25:-1])
        s = HllSketch.from_bytes(self.with_totals(image, hip, 0.0, kxq0 + kxq1))
        assert s.to_bytes() == image
        for i in range(2000):
            s.update(f"more{i}")
        assert HllSketch.from_bytes(s.to_bytes()).to_bytes() == s.to_bytes()

    def test_in_order_images_of_every_kind_are_accepted(self):
        # Large register values sit in kxq1; the sums of a sketch of every size stay exact.
        for lg_k, n in ((4, 5000), (12, 12000), (18, 30000)):
            image = sketch_of([f"v{i}" for i in range(n)], lg_k).to_bytes()
            assert HllSketch.from_bytes(image).to_bytes() == image
        registers = [40] * 15 + [64]
        high = (b"SK\x01\x01\x00\x04\x28\x00" + bytes(registers)
                + struct.pack("<ddd", 9.0, 0.0, sum(2.0**-r for r in registers)) + b"\x00")
        s = HllSketch.from_bytes(high)
        s.update("x")
        assert s.estimate() >= 9.0 and HllSketch.from_bytes(s.to_bytes()).estimate() == s.estimate()
