"""ThetaSketch: sampling, rebuild, set operations, the compact ordered image, and the unbiased estimates
it shares with TupleSketch."""

import collections
import itertools
import struct

import pytest
import xxhash

from quillo import HllSketch, ThetaSketch, TupleSketch

MAX = 2**64 - 1


def item_hash(item):
    return (xxhash.xxh3_128_intdigest(item.encode(), seed=9001) >> 64) or 1


def parse(image):
    """(flags, lg_k, count, theta, hashes) of a compact ordered image."""
    count, _, theta = struct.unpack_from("<IIQ", image, 8)
    return image[4], image[5], count, theta, list(struct.unpack_from(f"<{count}Q", image, 24))


def image(lg_k, theta, hashes, flags=0x18, count=None):
    count = len(hashes) if count is None else count
    head = b"SK\x02\x01" + bytes([flags, lg_k]) + b"\xcc\x93" + struct.pack("<IIQ", count, 0, theta)
    return head + struct.pack(f"<{len(hashes)}Q", *hashes)


def sketch(prefix, n, k=4096, start=0):
    s = ThetaSketch(k)
    for i in range(start, start + n):
        s.update(f"{prefix}{i}")
    return s


@pytest.mark.parametrize("k, lg_k", [(None, 12), (0, 0), (1, 0), (2, 1), (3, 2), (1000, 10), (1024, 10), (1025, 11)])
def test_fresh_sketch_rounds_k_up_to_a_power_of_two(k, lg_k):
    s = ThetaSketch(k=k)
    assert (s.estimate(), s.sample_capacity(), s.to_bytes()) == (0.0, 2 ** (lg_k + 1), image(lg_k, MAX, [], 0x1C))


@pytest.mark.parametrize("k", [2**59 + 1, 2**64 - 1, 2**50])
def test_unbuildable_tables_are_refused(k):
    with pytest.raises(ValueError, match="^k"):
        ThetaSketch(k)


def test_exact_mode_keeps_every_distinct_hash():
    items = [f"w{i}" for i in range(500)] + ["", "é", "x" * 300]
    s = ThetaSketch(4096)
    for item in items + items[:100]:
        s.update(item)
    assert parse(s.to_bytes()) == (0x18, 12, len(items), MAX, sorted(map(item_hash, items)))
    assert s.estimate() == len(items)


def test_rebuild_cuts_to_k_smallest_and_ignores_hashes_above_theta():
    s = sketch("r", 1920, k=1024)
    assert parse(s.to_bytes())[2] == 1920
    s.update("r1920")
    ordered = sorted(item_hash(f"r{i}") for i in range(1921))
    assert parse(s.to_bytes())[2:] == (1024, (theta := ordered[1024]), ordered[:1024])
    assert s.estimate() == 1024 / (theta / 2**64)
    before = s.to_bytes()
    s.update(next(f"z{i}" for i in range(100) if item_hash(f"z{i}") >= theta))
    assert s.to_bytes() == before


def estimate_of(image):
    _, _, count, theta, _ = parse(image)
    return count / (theta / 2**64) if theta < MAX else float(count)


# Streams of distinct items past the first rebuild. The tuple sketch samples
# exactly as the theta sketch does, so both read the same streams.
@pytest.mark.parametrize("k, streams, n, tolerance", [
    (2, 40_000, 8, 0.02), (4, 20_000, 16, 0.02), (16, 4_000, 62, 0.02), (None, 2_000, 7681, 0.005)])
def test_estimates_are_unbiased(k, streams, n, tolerance):
    suffixes, totals = [str(i) for i in range(n)], [0.0, 0.0]
    for stream in range(streams):
        theta, tuple_ = ThetaSketch(k), TupleSketch(k)
        batch = list(map(f"{stream}:".__add__, suffixes))
        collections.deque(map(theta.update, batch), maxlen=0)
        collections.deque(map(tuple_.update, batch, itertools.repeat(1.0)), maxlen=0)
        totals[0] += theta.estimate()
        totals[1] += tuple_.estimate()
    assert parse(theta.to_bytes())[3] < MAX
    assert [abs(total / streams / n - 1) < tolerance for total in totals] == [True, True]


def test_k_of_one_estimates_from_its_retained_hash():
    theta, tuple_ = sketch("one", 20000, k=1), TupleSketch(1)
    for i in range(20000):
        tuple_.update(f"one{i}", 1.0)
    _, _, count, cut, _ = parse(theta.to_bytes())
    assert count == tuple_.num_retained() == 1
    assert theta.estimate() == tuple_.estimate() == 1 / (cut / 2**64) > 0


def test_set_operations_match_set_algebra():
    a, b = sketch("s", 300), sketch("s", 300, start=200)
    ha, hb = set(parse(a.to_bytes())[4]), set(parse(b.to_bytes())[4])
    images = a.to_bytes(), b.to_bytes()
    for result, expected in ((a.union(b), ha | hb), (a.intersect(b), ha & hb), (a.difference(b), ha - hb)):
        assert (set(parse(result.to_bytes())[4]), result.estimate()) == (expected, len(expected))
    assert (a.to_bytes(), b.to_bytes()) == images
    a, b = sketch("o", 40000), sketch("o", 40000, start=20000)
    for result, exact, tolerance in ((a, 40000, 0.05), (a.union(b), 60000, 0.06), (a.intersect(b), 20000, 0.15),
                                     (a.difference(b), 20000, 0.15)):
        assert abs(result.estimate() / exact - 1) < tolerance


def test_set_operation_sizes_and_thresholds():
    a, b = sketch("p", 1500, k=512), sketch("p", 5000, k=128)
    _, _, count, theta, ordered = parse(a.to_bytes())
    assert count > 512 and theta < MAX
    assert parse(ThetaSketch(256).union(a).to_bytes())[1:] == (8, 256, ordered[256], ordered[:256])
    for result in (a.intersect(a), a.union(a)):
        assert parse(result.to_bytes())[2:] == (512, ordered[512], ordered[:512])
    assert parse(a.difference(a).to_bytes())[:4] == (0x1C, 9, 0, theta)
    for result, lg_k in ((a.union(b), 9), (a.intersect(b), 7), (b.intersect(a), 7), (b.difference(a), 7)):
        _, rlg_k, _, theta, hashes = parse(result.to_bytes())
        assert rlg_k == lg_k and theta <= parse(b.to_bytes())[3] and all(h < theta for h in hashes)
        assert result.estimate() == estimate_of(result.to_bytes())


def test_union_and_intersection_are_unbiased():
    totals = [0.0, 0.0]
    for stream in range(10_000):
        a, b = sketch(f"{stream}:", 24, k=4), sketch(f"{stream}:", 24, k=4, start=12)
        totals[0] += a.union(b).estimate()
        totals[1] += a.intersect(b).estimate()
    assert abs(totals[0] / 10_000 / 36 - 1) < 0.03 and abs(totals[1] / 10_000 / 12 - 1) < 0.04


def test_lenient_reading():
    empty = sketch("d", 3000, k=64).difference(sketch("d", 3000, k=64))
    assert ThetaSketch.from_bytes(empty.to_bytes()).to_bytes() == ThetaSketch(64).to_bytes()
    s = ThetaSketch.from_bytes(image(4, MAX, [0, 5, 5, 9, 0]))
    assert (s.estimate(), parse(s.to_bytes())[4]) == (2.0, [5, 9])
    data = sketch("v", 50).to_bytes()
    assert ThetaSketch.from_bytes(data[:3] + b"\x07" + data[4:] + b"tail").to_bytes() == data


@pytest.mark.parametrize("data, text", [
    *[(image(4, MAX, [1, 2, 3])[:cut], "insufficient data: needed 0 bytes, have 0") for cut in (0, *range(5, 24))],
    (image(4, MAX, [1, 2, 3])[:24 + 13], "insufficient data: needed 24 bytes, have 13"),
    (image(4, MAX, [], count=2**32 - 1), f"insufficient data: needed {8 * (2**32 - 1)} bytes, have 0"),
    (b"KS\x02\x01\x1c", "invalid preamble: bad magic bytes"),
    (b"SK\x09\x01\x1c", "corrupt data: unknown sketch family byte: 9"),
    (HllSketch().to_bytes(), "corrupt data: wrong sketch family: expected Theta, found Hll"),
    (image(60, MAX, [], 0x1C), "corrupt data: lg_k=60 exceeds maximum of 59"),
    (image(55, MAX, [], 0x1C), "corrupt data: lg_k=55 needs a table that cannot be allocated"),
    (image(4, 0, [3]), "corrupt data: theta is 0 but the image holds hashes"),
])
def test_refused_images(data, text):
    with pytest.raises(ValueError) as err:
        ThetaSketch.from_bytes(data)
    assert str(err.value) == text
