import pytest

import quillo

BloomFilter, CountingBloomFilter = quillo.BloomFilter, quillo.CountingBloomFilter
BOTH = [BloomFilter, CountingBloomFilter]


def words(prefix, n):
    return [f"{prefix}-{i}" for i in range(n)]


def varint(v):
    out = bytearray()
    while v >= 0x80:
        out.append(v & 0x7F | 0x80)
        v >>= 7
    return bytes(out + bytes([v]))


def bloom_image(words_, num_bits, k):
    return varint(len(words_)) + b"".join(map(varint, words_)) + varint(num_bits) + varint(k)


def counting_image(counters, positions, k, max_count=255):
    return varint(len(counters)) + bytes(counters) + varint(positions) + varint(k) + bytes([max_count])


def counters(f):
    """The counters of a counting filter, read from its image."""
    image, n, shift, pos = f.to_bytes(), 0, 0, 0
    while True:
        n |= (image[pos] & 0x7F) << shift
        pos, shift = pos + 1, shift + 7
        if image[pos - 1] < 0x80:
            return list(image[pos:pos + n])


@pytest.mark.parametrize("cls", BOTH)
@pytest.mark.parametrize("args, message", [
    ((0, 2.0), "capacity must be greater than 0"),
    ((10, 1.0), "error_rate must be in (0, 1), got 1"),
    ((10, 1e-7 - 1), "error_rate must be in (0, 1), got -0.9999999"),
    ((10, float("nan")), "error_rate must be in (0, 1), got NaN"),
])
def test_bad_arguments(cls, args, message):
    with pytest.raises(ValueError) as err:
        cls(*args)
    assert str(err.value) == message


@pytest.mark.parametrize("capacity, rate, bits, k", [
    (1000, None, 9586, 7), (100, 0.01, 959, 7), (10000, 0.001, 143776, 10), (1, 0.5, 2, 1)])
def test_sizing(capacity, rate, bits, k):
    stats = BloomFilter(capacity, rate).statistics()
    assert (stats["num_bits"], stats["num_hash_functions"]) == (bits, k)
    f = CountingBloomFilter(capacity, rate)
    f.add("a")
    assert (len(counters(f)), sum(counters(f))) == (bits, k)


class TestBloomFilter:
    def test_fresh_image_and_statistics(self):
        f = BloomFilter(1, 0.5)
        assert f.to_bytes() == bloom_image([0], 2, 1)
        assert list(f.statistics().items()) == [
            ("num_bits", 2), ("num_hash_functions", 1), ("bits_set", 0), ("fill_ratio", 0.0),
            ("false_positive_probability", 0.0)]

    def test_no_false_negatives_and_a_truthful_false_positive_rate(self):
        f = BloomFilter(2000, 0.01)
        for w in words("in", 2000):
            f.add(w)
        assert all(map(f.contains, words("in", 2000)))
        measured = sum(map(f.contains, words("out", 20000))) / 20000
        assert 0.003 < measured < 0.02
        assert f.false_positive_probability() == pytest.approx(measured, rel=0.3)
        s = f.statistics()
        assert s["fill_ratio"] == s["bits_set"] / s["num_bits"]
        assert s["false_positive_probability"] == pytest.approx(s["fill_ratio"] ** 7, rel=1e-12)

    def test_repeated_add_and_clear(self):
        f = BloomFilter(100)
        f.add("x")
        before = f.statistics()["bits_set"]
        f.add("x")
        assert f.statistics()["bits_set"] == before
        f.clear()
        assert f.statistics()["bits_set"] == 0 and f.statistics()["num_bits"] == 959
        assert not f.contains("x") and f.false_positive_probability() == 0.0

    def test_round_trip_answers_alike(self):
        f = BloomFilter(300, 0.1)
        for w in words("w", 300):
            f.add(w)
        g = BloomFilter.from_bytes(f.to_bytes())
        probes = words("w", 300) + words("out", 500)
        assert list(map(g.contains, probes)) == list(map(f.contains, probes))

    @pytest.mark.parametrize("words_, bits, k, reason", [
        ([], 0, 1, "no positions"),
        ([1], 64, 65, "65 hash functions for 64 positions"),
        ([1], 2**64 - 1, 2**64 - 1, "1 words for 18446744073709551615 bits"),
        ([1], 65, 1, "1 words for 65 bits"),
        ([0, 0, 0], 65, 1, "3 words for 65 bits"),
        ([4], 2, 1, "bits set beyond num_bits"),
    ])
    def test_inconsistent_images_are_refused(self, words_, bits, k, reason):
        with pytest.raises(ValueError) as err:
            BloomFilter.from_bytes(bloom_image(words_, bits, k))
        assert str(err.value) == f"corrupt data: BloomFilter decode failed: {reason}"


class TestCountingBloomFilter:
    def test_fresh_image(self):
        assert CountingBloomFilter(1, 0.5).to_bytes() == counting_image([0, 0], 2, 1)
        assert CountingBloomFilter(1, 0.5, 9).to_bytes() == counting_image([0, 0], 2, 1, 9)
        with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
            CountingBloomFilter(10, max_count=256)

    def test_add_contains_remove(self):
        f = CountingBloomFilter(1000)
        for w in words("w", 500):
            f.add(w)
        before = f.to_bytes()
        absent = next(w for w in words("out", 100) if not f.contains(w))
        assert f.remove(absent) is False and f.to_bytes() == before
        assert all(map(f.remove, words("w", 250)))
        assert all(map(f.contains, words("w", 500)[250:]))
        assert sum(map(f.contains, words("w", 250))) < 10

    def test_counters_saturate_at_max_count(self):
        f = CountingBloomFilter(10, 0.1, 2)
        for _ in range(5):
            f.add("x")
        assert max(counters(f)) == 2
        f = CountingBloomFilter(10, 0.1, 1)
        f.add("x")
        f.add("x")
        assert f.remove("x") and not f.contains("x")
        f = CountingBloomFilter(10, 0.1, 0)
        f.add("x")
        assert not f.contains("x") and f.remove("x") is False and set(counters(f)) == {0}

    @pytest.mark.parametrize("counters_, positions, k, reason", [
        ([], 0, 1, "no positions"),
        ([1, 1], 2, 3, "3 hash functions for 2 positions"),
        ([1, 1], 3, 1, "2 counters for 3 positions"),
        ([1], 2**64 - 1, 1, "1 counters for 18446744073709551615 positions"),
    ])
    def test_inconsistent_images_are_refused(self, counters_, positions, k, reason):
        with pytest.raises(ValueError) as err:
            CountingBloomFilter.from_bytes(counting_image(counters_, positions, k))
        assert str(err.value) == f"corrupt data: CountingBloomFilter decode failed: {reason}"


@pytest.mark.parametrize("cls", BOTH)
def test_more_than_64_hash_functions(cls):
    f = cls(100, 1e-30)
    for w in words("w", 100):
        f.add(w)
    assert all(map(f.contains, words("w", 100)))
    assert not any(map(f.contains, words("out", 200)))
    g = cls.from_bytes(f.to_bytes())
    assert all(map(g.contains, words("w", 100)))
