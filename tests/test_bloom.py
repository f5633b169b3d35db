import math

import pytest

import quillo

BloomFilter = quillo.BloomFilter


def _words(prefix, n):
    return [f"{prefix}-{i}" for i in range(n)]


def _image(words, num_bits, k):
    """The general encoding of a Bloom filter state, written by hand."""
    def varint(v):
        out = bytearray()
        while v >= 0x80:
            out.append(v & 0x7F | 0x80)
            v >>= 7
        out.append(v)
        return bytes(out)
    return varint(len(words)) + b"".join(varint(w) for w in words) + varint(num_bits) + varint(k)


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
