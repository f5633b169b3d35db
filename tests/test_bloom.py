import math

import pytest

import quillo

BloomFilter = quillo.BloomFilter


def _words(prefix, n):
    return [f"{prefix}-{i}" for i in range(n)]


def _varint(v):
    out = bytearray()
    while v >= 0x80:
        out.append(v & 0x7F | 0x80)
        v >>= 7
    out.append(v)
    return bytes(out)


def _read_varint(data, pos):
    value = shift = 0
    while True:
        byte = data[pos]
        value |= (byte & 0x7F) << shift
        pos += 1
        if byte < 0x80:
            return value, pos
        shift += 7


def _image(words, num_bits, k):
    """The general encoding of a Bloom filter state, written by hand."""
    return _varint(len(words)) + b"".join(_varint(w) for w in words) + _varint(num_bits) + _varint(k)


class TestBloomSizing:
    @pytest.mark.parametrize("capacity, rate, bits, k", [
        (1000, None, 9586, 7), (100, 0.01, 959, 7), (10000, 0.001, 143776, 10), (1, 0.5, 2, 1)])
    def test_sizes(self, capacity, rate, bits, k):
        stats = BloomFilter(capacity, rate).statistics()
        assert (stats["num_bits"], stats["num_hash_functions"]) == (bits, k)
        assert len(BloomFilter(capacity, rate).to_bytes()) >= math.ceil(bits / 64)

    def test_fresh_image_and_statistics(self):
        f = BloomFilter(1, 0.5)
        assert f.to_bytes() == b"\x01\x00\x02\x01"
        assert list(f.statistics().items()) == [
            ("num_bits", 2), ("num_hash_functions", 1), ("bits_set", 0), ("fill_ratio", 0.0),
            ("false_positive_probability", 0.0)]

    @pytest.mark.parametrize("args, message", [
        ((0,), "capacity must be greater than 0"),
        ((0, 2.0), "capacity must be greater than 0"),
        ((10, 1.0), "error_rate must be in (0, 1), got 1"),
        ((10, 0.0), "error_rate must be in (0, 1), got 0"),
        ((10, 1e-7 - 1), "error_rate must be in (0, 1), got -0.9999999"),
        ((10, float("nan")), "error_rate must be in (0, 1), got NaN"),
        ((10, float("inf")), "error_rate must be in (0, 1), got inf"),
    ])
    def test_bad_arguments(self, args, message):
        with pytest.raises(ValueError) as err:
            BloomFilter(*args)
        assert str(err.value) == message

    def test_negative_capacity_overflows(self):
        with pytest.raises(OverflowError):
            BloomFilter(-1)


class TestBloomMembership:
    def test_no_false_negatives_and_bounded_false_positives(self):
        f = BloomFilter(2000, 0.01)
        added = _words("in", 2000)
        for w in added:
            f.add(w)
        assert all(f.contains(w) for w in added)
        false_positives = sum(f.contains(w) for w in _words("out", 20000))
        assert false_positives / 20000 < 0.02
        assert 0.003 < f.false_positive_probability() < 0.02

    def test_adding_twice_sets_no_new_bits(self):
        f = BloomFilter(100)
        f.add("x")
        before = f.statistics()["bits_set"]
        assert 1 <= before <= 7
        f.add("x")
        assert f.statistics()["bits_set"] == before

    def test_clear_empties_but_keeps_size(self):
        f = BloomFilter(100)
        for w in _words("w", 50):
            f.add(w)
        f.clear()
        stats = f.statistics()
        assert stats["bits_set"] == 0 and stats["num_bits"] == 959
        assert not f.contains("w-1")
        assert f.false_positive_probability() == 0.0

    def test_false_positive_probability_follows_fill(self):
        f = BloomFilter(500, 0.05)
        for w in _words("w", 300):
            f.add(w)
        s = f.statistics()
        k, m, x = s["num_hash_functions"], s["num_bits"], s["bits_set"]
        assert s["fill_ratio"] == x / m
        assert s["false_positive_probability"] == pytest.approx((x / m) ** k, rel=1e-12)

    def test_more_than_64_hash_functions(self):
        f = BloomFilter(100, 1e-30)
        assert f.statistics()["num_hash_functions"] == 100
        for w in _words("w", 100):
            f.add(w)
        assert all(f.contains(w) for w in _words("w", 100))
        assert not any(f.contains(w) for w in _words("out", 200))

    def test_items_are_utf8_strings(self):
        f = BloomFilter(10)
        f.add("")
        f.add("é")
        assert f.contains("") and f.contains("é") and not f.contains("e\u0301")
        with pytest.raises(TypeError, match="^argument 'item': 'bytes' object cannot be converted to 'PyString'$"):
            f.add(b"x")


class TestBloomImage:
    def test_round_trip_answers_alike(self):
        f = BloomFilter(300, 0.1)
        for w in _words("w", 300):
            f.add(w)
        g = BloomFilter.from_bytes(f.to_bytes())
        probes = _words("w", 300) + _words("out", 500)
        assert [g.contains(w) for w in probes] == [f.contains(w) for w in probes]
        assert g.statistics() == f.statistics()

    def test_hand_written_image_is_read(self):
        f = BloomFilter.from_bytes(_image([0b101], 3, 1))
        assert f.statistics()["bits_set"] == 2

    @pytest.mark.parametrize("words, bits, k, reason", [
        ([], 0, 1, "no positions"),
        ([0], 0, 1, "no positions"),
        ([1], 64, 65, "65 hash functions for 64 positions"),
        ([1], 2**64 - 1, 2**64 - 1, "1 words for 18446744073709551615 bits"),
        ([1], 65, 1, "1 words for 65 bits"),
        ([0, 0, 0], 65, 1, "3 words for 65 bits"),
        ([4], 2, 1, "bits set beyond num_bits"),
    ])
    def test_inconsistent_images_are_refused(self, words, bits, k, reason):
        with pytest.raises(ValueError) as err:
            BloomFilter.from_bytes(_image(words, bits, k))
        assert str(err.value) == f"corrupt data: BloomFilter decode failed: {reason}"

    def test_huge_word_count_fails_before_allocating(self):
        with pytest.raises(ValueError, match="Hit the end of buffer"):
            BloomFilter.from_bytes(b"\xff\xff\xff\xff\x0f")


CountingBloomFilter = quillo.CountingBloomFilter


def _counting_image(counters, positions, k, max_count):
    return _varint(len(counters)) + bytes(counters) + _varint(positions) + _varint(k) + bytes([max_count])


def _counters(f):
    """The counters of a filter, read from its image."""
    image = f.to_bytes()
    n, start = _read_varint(image, 0)
    return list(image[start:start + n])


class TestCountingBloom:
    def test_sizing_and_fresh_image(self):
        f = CountingBloomFilter(1000)
        assert len(_counters(f)) == 9586
        f.add("a")
        assert sum(_counters(f)) == 7
        assert CountingBloomFilter(1, 0.5).to_bytes() == bytes([2, 0, 0, 2, 1, 255])
        assert CountingBloomFilter(1, 0.5, 9).to_bytes()[-1] == 9

    @pytest.mark.parametrize("args, message", [
        ((0,), "capacity must be greater than 0"),
        ((0, 2.0), "capacity must be greater than 0"),
        ((10, 1.0), "error_rate must be in (0, 1), got 1"),
        ((10, float("nan")), "error_rate must be in (0, 1), got NaN"),
    ])
    def test_bad_arguments(self, args, message):
        with pytest.raises(ValueError) as err:
            CountingBloomFilter(*args)
        assert str(err.value) == message

    @pytest.mark.parametrize("max_count", [-1, 256])
    def test_max_count_is_one_byte(self, max_count):
        with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
            CountingBloomFilter(10, max_count=max_count)

    def test_add_contains_remove(self):
        f = CountingBloomFilter(1000)
        words = _words("w", 500)
        for w in words:
            f.add(w)
        assert all(f.contains(w) for w in words)
        assert all(f.remove(w) for w in words[:250])
        assert all(f.contains(w) for w in words[250:])
        assert sum(f.contains(w) for w in words[:250]) < 10
        assert sum(f.contains(w) for w in _words("never", 1000)) < 20

    def test_remove_of_absent_item_changes_nothing(self):
        f = CountingBloomFilter(100)
        for w in _words("w", 20):
            f.add(w)
        before = f.to_bytes()
        absent = next(w for w in _words("out", 100) if not f.contains(w))
        assert f.remove(absent) is False
        assert f.to_bytes() == before

    def test_counters_saturate_at_max_count(self):
        f = CountingBloomFilter(10, 0.1, 2)
        for _ in range(5):
            f.add("x")
        assert max(_counters(f)) == 2
        f = CountingBloomFilter(10, 0.1, 1)
        f.add("x")
        f.add("x")
        assert f.remove("x") and not f.contains("x")

    def test_max_count_zero_holds_nothing(self):
        f = CountingBloomFilter(10, 0.1, 0)
        f.add("x")
        assert not f.contains("x") and f.remove("x") is False
        assert set(_counters(f)) == {0}

    def test_more_than_64_hash_functions(self):
        f = CountingBloomFilter(50, 1e-30)
        f.add("a")
        assert sum(_counters(f)) == 100
        assert f.contains("a") and f.remove("a") and not f.contains("a")
        assert sum(_counters(f)) == 0

    def test_round_trip(self):
        f = CountingBloomFilter(200, 0.05, 3)
        for w in _words("w", 200):
            f.add(w)
        g = CountingBloomFilter.from_bytes(f.to_bytes())
        probes = _words("w", 200) + _words("out", 300)
        assert [g.contains(w) for w in probes] == [f.contains(w) for w in probes]
        assert g.to_bytes() == f.to_bytes()

    @pytest.mark.parametrize("counters, positions, k, reason", [
        ([], 0, 1, "no positions"),
        ([1, 1], 2, 3, "3 hash functions for 2 positions"),
        ([1, 1], 3, 1, "2 counters for 3 positions"),
        ([1, 1, 1], 2, 1, "3 counters for 2 positions"),
        ([1], 2**64 - 1, 1, "1 counters for 18446744073709551615 positions"),
    ])
    def test_inconsistent_images_are_refused(self, counters, positions, k, reason):
        with pytest.raises(ValueError) as err:
            CountingBloomFilter.from_bytes(_counting_image(counters, positions, k, 255))
        assert str(err.value) == f"corrupt data: CountingBloomFilter decode failed: {reason}"
