"""LinearCounter and HybridCounter: sizing, estimates, the switch to
HyperLogLog, merging, statistics and their images."""

import math
import pathlib
import re
import sysconfig

import pytest
import xxhash

from quillo import HllSketch, HybridCounter, LinearCounter


def varint(value):
    out = bytearray()
    while value >= 0x80:
        out.append(value & 0x7F | 0x80)
        value >>= 7
    return bytes(out + bytes([value]))


def linear_image(words, num_bits, bits_set):
    return varint(len(words)) + b"".join(map(varint, words)) + varint(num_bits) + varint(bits_set)


def hybrid_image(linear, hll, threshold, lg_k):
    def part(image):
        return b"\x00" if image is None else b"\x01" + varint(len(image)) + image
    return part(linear) + part(hll) + varint(threshold) + bytes([lg_k])


def items(n):
    return [f"item-{i}" for i in range(n)]


def stdlib_words(limit):
    """Distinct identifiers of the standard library's source, in first-seen order."""
    seen = {}
    for path in sorted(pathlib.Path(sysconfig.get_paths()["stdlib"]).glob("*.py")):
        for word in re.findall(r"[A-Za-z_]\w*", path.read_text(encoding="utf-8", errors="replace")):
            seen.setdefault(word)
            if len(seen) == limit:
                return list(seen)
    return list(seen)


def bits_set(counter):
    return counter.statistics()["bits_set"]


# ---------------------------------------------------------------- LinearCounter

@pytest.mark.parametrize("make, bits", [
    (lambda: LinearCounter(1), 64), (lambda: LinearCounter(65), 128),
    (lambda: LinearCounter.with_expected_cardinality(100, 0.5), 1024),
    (lambda: LinearCounter.with_expected_cardinality(200, 0.9), 1600),
    (lambda: LinearCounter.with_expected_cardinality(1000, 0.01), 10_000_000),
    (lambda: LinearCounter.with_expected_cardinality(10000, 0.05), 4_000_000),
])
def test_sizes(make, bits):
    stats = make().statistics()
    assert (stats["num_bits"], stats["memory_usage"]) == (bits, bits // 8)


@pytest.mark.parametrize("e, shown", [(0.0, "0"), (1.0, "1"), (1.5, "1.5"), (2, "2"), (-0.25, "-0.25"),
                                      (math.nan, "NaN"), (math.inf, "inf")])
def test_sizing_rejects_error_rates_outside_unit_interval(e, shown):
    with pytest.raises(ValueError, match=rf"^error_rate must be in \(0, 1\), got {shown}$"):
        LinearCounter.with_expected_cardinality(10, e)
    with pytest.raises(ValueError, match="^expected_cardinality must be greater than 0$"):
        LinearCounter.with_expected_cardinality(0, e)


def test_sizes_beyond_64_bits_raise_memory_error():
    with pytest.raises(ValueError, match="^num_bits must be greater than 0$"):
        LinearCounter(0)
    for make in (lambda: LinearCounter(2**64 - 1),
                 lambda: LinearCounter.with_expected_cardinality(2**64 - 1, 0.5),  # n * 8 overflows
                 lambda: LinearCounter.with_expected_cardinality(1, 1e-300),
                 lambda: HybridCounter(2**64 - 1, 12, 10)):
        with pytest.raises(MemoryError):
            make()


# AddressSanitizer's allocator aborts on a huge request instead of failing it.
@pytest.mark.skipif("libasan" in pathlib.Path("/proc/self/maps").read_text(), reason="sanitizer build")
def test_failed_bitmap_allocation_raises_memory_error():
    with pytest.raises(MemoryError):
        LinearCounter(2**64 - 64)


def test_estimates_from_empty_to_full():
    c = LinearCounter(1024)
    assert c.estimate() == 0.0
    c.update("a")
    assert c.estimate() == pytest.approx(-1024 * math.log(1023 / 1024))
    before = c.to_bytes()
    c.update("a")
    assert c.to_bytes() == before
    full = LinearCounter(64)
    for item in items(2000):
        full.update(item)
    assert (bits_set(full), full.estimate(), full.fill_ratio()) == (64, 96.0, 1.0)
    words = stdlib_words(5000)
    sized = LinearCounter.with_expected_cardinality(10000, 0.05)
    for word in words:
        sized.update(word)
    assert sized.estimate() == pytest.approx(len(words), rel=0.02)


def test_transition_rule_first_holds_at_98_of_1024_bits():
    c, seen = LinearCounter(1024), {}
    for item in items(400):
        c.update(item)
        seen.setdefault(bits_set(c), c.should_transition_to_hll())
    assert (seen[97], seen[98], c.statistics()["should_transition"]) == (False, True, True)


def test_merge():
    a, b, union = LinearCounter(1024), LinearCounter(1024), LinearCounter(1024)
    for item in items(300):
        a.update(item)
    for item in items(500)[200:]:
        b.update(item)
    for item in items(500):
        union.update(item)
    a.merge(b)
    assert a.to_bytes() == union.to_bytes()
    with pytest.raises(ValueError, match="^Cannot merge counters with different bit array sizes$"):
        a.merge(LinearCounter(2048))
    assert a.to_bytes() == union.to_bytes()


def test_clear_keeps_size_and_statistics_order():
    c = LinearCounter(100)
    for item in items(50):
        c.update(item)
    c.clear()
    assert c.to_bytes() == LinearCounter(128).to_bytes()
    assert list(c.statistics().items()) == [("num_bits", 128), ("bits_set", 0), ("fill_ratio", 0.0),
                                            ("estimated_cardinality", 0.0), ("should_transition", False),
                                            ("memory_usage", 16)]


def test_image_layout():
    assert LinearCounter(64).to_bytes() == linear_image([0], 64, 0)
    c = LinearCounter(65)
    c.update("a")
    bit = xxhash.xxh3_64_intdigest(b"a", seed=9001) % 128
    words = [0, 0]
    words[bit // 64] = 1 << (bit % 64)
    assert c.to_bytes() == linear_image(words, 128, 1)


@pytest.mark.parametrize("image, reason", [
    (linear_image([0], 0, 0), "num_bits is 0"),
    (linear_image([], 64, 0), "0 words cannot hold 64 bits"),
    (linear_image([0], 65, 0), "1 words cannot hold 65 bits"),
    (varint(2**40) + b"\x00" * 8, "Hit the end of buffer, expected more data"),
])
def test_decoder_refuses_bitmaps_it_cannot_index(image, reason):
    with pytest.raises(ValueError) as err:
        LinearCounter.from_bytes(image)
    assert str(err.value) == f"corrupt data: LinearCounter decode failed: {reason}"


def test_decoded_bitmap_with_spare_words_stays_in_bounds():
    odd = LinearCounter.from_bytes(linear_image([0, 0, 2**64 - 1], 100, 0))
    for item in items(500):
        odd.update(item)
    other = LinearCounter.from_bytes(linear_image([0, 0], 100, 0))
    other.merge(odd)
    assert bits_set(odd) == bits_set(other) == 100


# ---------------------------------------------------------------- HybridCounter

def test_constructor_checks_in_order():
    with pytest.raises(ValueError, match="^linear_bits must be greater than 0$"):
        HybridCounter(0, 3, 10)
    for lg_k in (3, 22):
        with pytest.raises(ValueError, match=rf"^lg_k must be in 4..=21, got {lg_k}$"):
            HybridCounter(64, lg_k, 10)
    for lg_k in (-1, 256):
        with pytest.raises(OverflowError):
            HybridCounter(64, lg_k, 10)


@pytest.mark.parametrize("m, bits, threshold, lg_k", [
    (0, 1024, 102, 10), (999, 1024, 102, 10), (1000, 1024, 102, 12), (9999, 1024, 102, 12),
    (10000, 1024, 102, 14), (100000, 10048, 1000, 14), (10**9, 16384, 1638, 14), (2**64 - 1, 16384, 1638, 14),
])
def test_with_range_parameters_and_new_image(m, bits, threshold, lg_k):
    counter = HybridCounter.with_range(m)
    image = hybrid_image(LinearCounter(bits).to_bytes(), HllSketch(lg_k).to_bytes(), threshold, lg_k)
    assert counter.to_bytes() == image
    assert HybridCounter.from_bytes(image).mode() == "Linear Counter"


@pytest.mark.parametrize("threshold, switch_at", [(100, 97), (1000, 98)])
def test_switch_point(threshold, switch_at):
    hybrid, shadow = HybridCounter(1024, 12, threshold), LinearCounter(1024)
    for item in items(1000):
        hybrid.update(item)
        shadow.update(item)
        if hybrid.mode() == "HyperLogLog":
            break
        assert hybrid.estimate() == shadow.estimate()
    assert bits_set(shadow) == switch_at


@pytest.mark.parametrize("m, rel", [(100000, 0.03), (5000, 0.05)])
def test_estimate_continues_across_the_switch(m, rel):
    hybrid, previous = HybridCounter.with_range(m), None
    for count, word in enumerate(stdlib_words(5000), 1):
        hybrid.update(word)
        if previous is not None and hybrid.mode() == "HyperLogLog":
            assert hybrid.estimate() == pytest.approx(previous, rel=rel)
        previous = hybrid.estimate() if hybrid.mode() == "Linear Counter" else None
        if count % 500 == 0:
            assert hybrid.estimate() == pytest.approx(count, rel=rel)
    assert hybrid.mode() == "HyperLogLog"


def test_hll_part_sees_every_item():
    hybrid, sketch = HybridCounter(1024, 11, 50), HllSketch(11)
    for item in items(3000):
        hybrid.update(item)
        sketch.update(item)
    assert hybrid.to_bytes() == hybrid_image(None, sketch.to_bytes(), 50, 11)
    assert hybrid.estimate() == sketch.estimate()


def test_image_without_hll_part_restarts_at_the_switch():
    hybrid = HybridCounter.from_bytes(hybrid_image(LinearCounter(1024).to_bytes(), None, 100, 12))
    assert hybrid.statistics()["memory_usage"] == 128
    for item in items(1000):
        hybrid.update(item)
        if hybrid.mode() == "HyperLogLog":
            break
    fresh = HllSketch(12)
    fresh.update(item)
    assert hybrid.estimate() == 1.0
    assert hybrid.to_bytes() == hybrid_image(None, fresh.to_bytes(), 100, 12)


def test_statistics_by_mode():
    hybrid = HybridCounter(100, 12, 1000)
    hybrid.update("a")
    assert list(hybrid.statistics().items()) == [
        ("mode", "Linear Counter"), ("estimated_cardinality", hybrid.estimate()), ("memory_usage", 16 + 4096),
        ("transition_threshold", 1000), ("fill_ratio", 1 / 128), ("bits_set", 1)]
    for item in items(200):
        hybrid.update(item)
    assert list(hybrid.statistics().items()) == [
        ("mode", "HyperLogLog"), ("estimated_cardinality", hybrid.estimate()), ("memory_usage", 4096),
        ("transition_threshold", 1000)]
    empty = HybridCounter.from_bytes(hybrid_image(None, None, 7, 9))
    empty.update("a")
    assert (empty.estimate(), empty.mode(), empty.to_bytes()) == (0.0, "HyperLogLog", hybrid_image(None, None, 7, 9))
    assert list(empty.statistics().items()) == [("mode", "Empty"), ("estimated_cardinality", 0.0),
                                                ("memory_usage", 0), ("transition_threshold", 7)]


@pytest.mark.parametrize("image, message", [
    (hybrid_image(None, None, 1, 3), "corrupt data: HybridCounter decode failed: lg_k must be in 4..=21, got 3"),
    (hybrid_image(None, None, 1, 22), "corrupt data: HybridCounter decode failed: lg_k must be in 4..=21, got 22"),
    (hybrid_image(linear_image([], 64, 0), None, 1, 12),
     "corrupt data: LinearCounter decode failed: 0 words cannot hold 64 bits"),
    (hybrid_image(b"", None, 1, 12),
     "corrupt data: LinearCounter decode failed: Hit the end of buffer, expected more data"),
    (hybrid_image(None, b"KS\x01", 1, 12), "invalid preamble: bad magic bytes"),
    (b"\x02", "corrupt data: HybridCounter decode failed: Found an Option discriminant that wasn't 0 or 1"),
])
def test_hybrid_decoder_errors(image, message):
    with pytest.raises(ValueError) as err:
        HybridCounter.from_bytes(image)
    assert str(err.value) == message
