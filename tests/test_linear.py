"""LinearCounter and HybridCounter: sizing, estimates, the switch, merging, statistics, images."""

import functools
import math
import pathlib
import re
import sysconfig

import pytest
import xxhash

from quillo import HllSketch, HybridCounter, LinearCounter
from wire import option, sequence, varint


def linear_image(words, num_bits, bits_set):
    return sequence(words, varint) + varint(num_bits) + varint(bits_set)


def hybrid_image(linear, hll, threshold, lg_k):
    def part(image):
        return option(image, lambda data: varint(len(data)) + data)
    return part(linear) + part(hll) + varint(threshold) + bytes([lg_k])


HYBRID, LINEAR = "corrupt data: HybridCounter decode failed: ", "corrupt data: LinearCounter decode failed: "


def items(n):
    return [f"item-{i}" for i in range(n)]


def fed(counter, batch):
    for item in batch:
        counter.update(item)
    return counter


@functools.cache
def stdlib_words(limit):  # distinct identifiers of the standard library, first-seen order
    paths = sorted(pathlib.Path(sysconfig.get_paths()["stdlib"]).glob("*.py"))
    text = " ".join(path.read_text(encoding="utf-8", errors="replace") for path in paths)
    return list(dict.fromkeys(re.findall(r"[A-Za-z_]\w*", text)))[:limit]


def bits_set(counter):
    return counter.statistics()["bits_set"]


@pytest.mark.parametrize("args, bits", [((1,), 64), ((65,), 128), ((100, 0.5), 1024), ((200, 0.9), 1600),
                                        ((1000, 0.01), 10_000_000), ((10000, 0.05), 4_000_000)])
def test_sizes(args, bits):
    stats = (LinearCounter(*args) if len(args) == 1 else LinearCounter.with_expected_cardinality(*args)).statistics()
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
    assert LinearCounter(1024).estimate() == 0.0
    c = fed(LinearCounter(1024), ["a"])
    assert c.estimate() == pytest.approx(-1024 * math.log(1023 / 1024))
    before = c.to_bytes()
    c.update("a")
    assert c.to_bytes() == before
    full = fed(LinearCounter(64), items(2000))
    assert (bits_set(full), full.estimate(), full.fill_ratio()) == (64, 64 * math.log(64), 1.0)
    sized = fed(LinearCounter.with_expected_cardinality(10000, 0.05), stdlib_words(5000))
    assert sized.estimate() == pytest.approx(5000, rel=0.02)


def test_estimate_never_falls_and_a_full_bitmap_reads_as_one_clear_bit():
    c, estimates = LinearCounter(4096), []
    for item in items(60000):
        c.update(item)
        estimates.append(c.estimate())
    assert estimates == sorted(estimates) and bits_set(c) == 4096
    assert estimates[-1] == 4096 * math.log(4096) == c.statistics()["estimated_cardinality"]
    assert estimates[-1] == -4096 * math.log(1 / 4096)


def test_merge():
    a, union = fed(LinearCounter(1024), items(300)), fed(LinearCounter(1024), items(500))
    a.merge(fed(LinearCounter(1024), items(500)[200:]))
    assert a.to_bytes() == union.to_bytes()
    with pytest.raises(ValueError, match="^Cannot merge counters with different bit array sizes$"):
        a.merge(LinearCounter(2048))
    assert a.to_bytes() == union.to_bytes()


def test_clear_keeps_size_and_statistics_order():
    c = fed(LinearCounter(100), items(50))
    c.clear()
    assert c.to_bytes() == LinearCounter(128).to_bytes()
    assert list(c.statistics().items()) == [("num_bits", 128), ("bits_set", 0), ("fill_ratio", 0.0),
                                            ("estimated_cardinality", 0.0), ("should_transition", False),
                                            ("memory_usage", 16)]


def test_image_layout():
    assert LinearCounter(64).to_bytes() == linear_image([0], 64, 0)
    bit = 1 << xxhash.xxh3_64_intdigest(b"a", seed=9001) % 128
    words = [bit & (2**64 - 1), bit >> 64]
    assert fed(LinearCounter(65), ["a"]).to_bytes() == linear_image(words, 128, 1)


@pytest.mark.parametrize("image, reason", [
    (linear_image([0], 0, 0), "num_bits is 0"),
    (linear_image([], 64, 0), "0 words do not match 64 bits"),
    (linear_image([0], 65, 0), "1 words do not match 65 bits"),
    (linear_image([0, 0, 2**64 - 1], 100, 0), "3 words do not match 100 bits"),
    (varint(2**40) + b"\x00" * 8, "Hit the end of buffer, expected more data"),
    # A count that disagrees with the bitmap, or bits no update can reach,
    # would let the estimate and fill ratio pass the bitmap's size.
    (linear_image([0, 1 << 36], 100, 1), "bits are set past num_bits"),
    (linear_image([7], 64, 2), "bits_set=2 but 3 bits are set"),
    (linear_image([0], 64, 65), "bits_set=65 but 0 bits are set"),
])
def test_decoder_refuses_bitmaps_it_cannot_index_or_count(image, reason):
    with pytest.raises(ValueError) as err:
        LinearCounter.from_bytes(image)
    assert str(err.value) == LINEAR + reason


def test_decoded_bitmap_of_odd_size_stays_in_bounds():
    odd = fed(LinearCounter.from_bytes(linear_image([0, 0], 100, 0)), items(500))
    other = LinearCounter.from_bytes(linear_image([2**64 - 1, 0], 100, 64))
    other.merge(odd)
    assert bits_set(odd) == bits_set(other) == 100 and other.fill_ratio() == 1.0


def test_constructor_checks_in_order():
    with pytest.raises(ValueError, match="^linear_bits must be greater than 0$"):
        HybridCounter(0, 3, 10)
    for lg_k, error in ((3, ValueError), (22, ValueError), (-1, OverflowError), (256, OverflowError)):
        with pytest.raises(error, match=rf"^lg_k must be in 4..=21, got {lg_k}$" if error is ValueError else None):
            HybridCounter(64, lg_k, 10)


@pytest.mark.parametrize("m, bits, threshold, lg_k", [
    (0, 1024, 102, 10), (999, 1024, 102, 10), (1000, 1024, 102, 12), (9999, 1024, 102, 12),
    (10000, 1024, 102, 14), (100000, 10048, 1000, 14), (10**9, 16384, 1638, 14), (2**64 - 1, 16384, 1638, 14),
])
def test_with_range_parameters_and_new_image(m, bits, threshold, lg_k):
    image = hybrid_image(LinearCounter(bits).to_bytes(), HllSketch(lg_k).to_bytes(), threshold, lg_k)
    assert HybridCounter.with_range(m).to_bytes() == image
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
    # The linear counter's own rule first holds at 98 of 1024 bits.
    rule = threshold == 1000
    assert (bits_set(shadow), shadow.should_transition_to_hll(), shadow.statistics()["should_transition"]) == (
        switch_at, rule, rule)


def linear_estimate(bits, num_bits):
    return -num_bits * math.log(max(num_bits - bits, 1) / num_bits) if bits else 0.0


# The switch comes at the first bit count where the bitmap's own rule (a
# tenth of its size, or 30% full) or the threshold holds, with thresholds the
# bitmap can and cannot reach.
@pytest.mark.parametrize("linear_bits, threshold", [(64, 2**64 - 1), (64, 3), (1024, 2**40), (4096, 300)])
def test_switch_follows_the_rule(linear_bits, threshold):
    def due(bits):
        e = linear_estimate(bits, linear_bits)
        return bits / linear_bits > 0.3 or e > 0.1 * linear_bits or int(e) > threshold
    hybrid, shadow = HybridCounter(linear_bits, 10, threshold), LinearCounter(linear_bits)
    for item in items(10 * linear_bits):
        hybrid.update(item)
        shadow.update(item)
        if hybrid.mode() == "HyperLogLog":
            break
    switched_at = bits_set(shadow)
    assert due(switched_at) and not any(due(bits) for bits in range(switched_at))


@pytest.mark.parametrize("hll", [None, HllSketch(12).to_bytes()])
def test_decoded_full_bitmap_switches_at_the_next_update(hll):
    hybrid = HybridCounter.from_bytes(hybrid_image(linear_image([2**64 - 1], 64, 64), hll, 2**64 - 1, 12))
    assert (hybrid.mode(), hybrid.estimate()) == ("Linear Counter", 64 * math.log(64))
    hybrid.update("a")
    assert (hybrid.mode(), hybrid.estimate()) == ("HyperLogLog", 1.0)


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
    hybrid, sketch = fed(HybridCounter(1024, 11, 50), items(3000)), fed(HllSketch(11), items(3000))
    assert hybrid.to_bytes() == hybrid_image(None, sketch.to_bytes(), 50, 11)
    assert hybrid.estimate() == sketch.estimate()


def test_image_without_hll_part_restarts_at_the_switch():
    hybrid = HybridCounter.from_bytes(hybrid_image(LinearCounter(1024).to_bytes(), None, 100, 12))
    assert hybrid.statistics()["memory_usage"] == 128
    for item in items(1000):
        hybrid.update(item)
        if hybrid.mode() == "HyperLogLog":
            break
    assert hybrid.estimate() == 1.0
    assert hybrid.to_bytes() == hybrid_image(None, fed(HllSketch(12), [item]).to_bytes(), 100, 12)


def test_statistics_by_mode():
    hybrid = fed(HybridCounter(100, 12, 1000), ["a"])
    assert list(hybrid.statistics().items()) == [
        ("mode", "Linear Counter"), ("estimated_cardinality", hybrid.estimate()), ("memory_usage", 16 + 4096),
        ("transition_threshold", 1000), ("fill_ratio", 1 / 128), ("bits_set", 1)]
    fed(hybrid, items(200))
    assert list(hybrid.statistics().items()) == [
        ("mode", "HyperLogLog"), ("estimated_cardinality", hybrid.estimate()), ("memory_usage", 4096),
        ("transition_threshold", 1000)]
    empty = fed(HybridCounter.from_bytes(hybrid_image(None, None, 7, 9)), ["a"])
    assert (empty.estimate(), empty.mode(), empty.to_bytes()) == (0.0, "HyperLogLog", hybrid_image(None, None, 7, 9))
    assert list(empty.statistics().items()) == [("mode", "Empty"), ("estimated_cardinality", 0.0),
                                                ("memory_usage", 0), ("transition_threshold", 7)]


@pytest.mark.parametrize("image, message", [
    (hybrid_image(None, None, 1, 3), HYBRID + "lg_k must be in 4..=21, got 3"),
    (hybrid_image(None, None, 1, 22), HYBRID + "lg_k must be in 4..=21, got 22"),
    (hybrid_image(linear_image([], 64, 0), None, 1, 12), LINEAR + "0 words do not match 64 bits"),
    (hybrid_image(linear_image([1], 64, 0), None, 1, 12), LINEAR + "bits_set=0 but 1 bits are set"),
    (hybrid_image(b"", None, 1, 12), LINEAR + "Hit the end of buffer, expected more data"),
    (hybrid_image(None, b"KS\x01", 1, 12), "invalid preamble: bad magic bytes"),
    (b"\x02", HYBRID + "Found an Option discriminant that wasn't 0 or 1"),
])
def test_hybrid_decoder_errors(image, message):
    with pytest.raises(ValueError) as err:
        HybridCounter.from_bytes(image)
    assert str(err.value) == message
