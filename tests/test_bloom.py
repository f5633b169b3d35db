import pytest

import quillo
from cpp_checks import run_checks
from wire import Reader, sequence, varint

BloomFilter, CountingBloomFilter = quillo.BloomFilter, quillo.CountingBloomFilter
BOTH = [BloomFilter, CountingBloomFilter]


def words(prefix, n):
    return [f"{prefix}-{i}" for i in range(n)]


def bloom_image(words_, num_bits, k):
    return sequence(words_, varint) + varint(num_bits) + varint(k)


def counting_image(counters_, positions, k, max_count=255):
    return sequence(counters_, lambda c: bytes([c])) + varint(positions) + varint(k) + bytes([max_count])


def counters(f):
    r = Reader(f.to_bytes())
    return r.sequence(r.u8)


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


def test_fresh_images_and_statistics():
    assert BloomFilter(1, 0.5).to_bytes() == bloom_image([0], 2, 1)
    assert list(BloomFilter(1, 0.5).statistics().items()) == [
        ("num_bits", 2), ("num_hash_functions", 1), ("bits_set", 0), ("fill_ratio", 0.0),
        ("false_positive_probability", 0.0)]
    assert CountingBloomFilter(1, 0.5).to_bytes() == counting_image([0, 0], 2, 1)
    assert CountingBloomFilter(1, 0.5, 9).to_bytes() == counting_image([0, 0], 2, 1, 9)
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        CountingBloomFilter(10, max_count=256)


def test_no_false_negatives_and_a_truthful_false_positive_rate():
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


def test_repeated_add_and_clear():
    f = BloomFilter(100)
    f.add("x")
    before = f.to_bytes()
    f.add("x")
    assert f.to_bytes() == before
    f.clear()
    assert f.to_bytes() == BloomFilter(100).to_bytes() and not f.contains("x")


def test_counting_add_contains_remove():
    f = CountingBloomFilter(1000)
    for w in words("w", 500):
        f.add(w)
    before = f.to_bytes()
    absent = next(w for w in words("out", 100) if not f.contains(w))
    assert f.remove(absent) is False and f.to_bytes() == before
    assert all(map(f.remove, words("w", 250)))
    assert all(map(f.contains, words("w", 500)[250:]))
    assert sum(map(f.contains, words("w", 250))) < 10


@pytest.mark.parametrize("max_count, adds, top, removed", [(2, 5, 2, True), (1, 2, 1, True)])
def test_counters_saturate_at_max_count(max_count, adds, top, removed):
    f = CountingBloomFilter(10, 0.1, max_count)
    for _ in range(adds):
        f.add("x")
    assert max(counters(f)) == top
    assert f.remove("x") is removed and not (max_count < 2 and f.contains("x"))


def test_counters_that_cannot_rise_are_refused():
    with pytest.raises(ValueError, match="^max_count must be greater than 0$"):
        CountingBloomFilter(100, 0.01, 0)
    with pytest.raises(ValueError, match="^capacity must be greater than 0$"):
        CountingBloomFilter(0, 0.01, 0)


@pytest.mark.parametrize("cls, state, reason", [
    (BloomFilter, ([], 0, 1), "no positions"),
    (BloomFilter, ([1], 64, 65), "65 hash functions for 64 positions"),
    (BloomFilter, ([1], 2**64 - 1, 2**64 - 1), "1 words for 18446744073709551615 bits"),
    (BloomFilter, ([1], 65, 1), "1 words for 65 bits"),
    (BloomFilter, ([0, 0, 0], 65, 1), "3 words for 65 bits"),
    (BloomFilter, ([4], 2, 1), "bits set beyond num_bits"),
    (CountingBloomFilter, ([], 0, 1), "no positions"),
    (CountingBloomFilter, ([1, 1], 2, 3), "3 hash functions for 2 positions"),
    (CountingBloomFilter, ([1, 1], 3, 1), "2 counters for 3 positions"),
    (CountingBloomFilter, ([1], 2**64 - 1, 1), "1 counters for 18446744073709551615 positions"),
    (CountingBloomFilter, ([0, 0], 2, 1, 0), "max_count 0 counts nothing"),
])
def test_inconsistent_images_are_refused(cls, state, reason):
    with pytest.raises(ValueError) as err:
        cls.from_bytes((bloom_image if cls is BloomFilter else counting_image)(*state))
    assert str(err.value) == f"corrupt data: {cls.__name__} decode failed: {reason}"


@pytest.mark.parametrize("cls", BOTH)
def test_more_than_64_hash_functions(cls):
    f = cls(100, 1e-30)
    for w in words("w", 100):
        f.add(w)
    assert all(map(f.contains, words("w", 100)))
    assert not any(map(f.contains, words("out", 200)))
    assert all(map(cls.from_bytes(f.to_bytes()).contains, words("w", 100)))


def test_positions_reduce_by_reciprocal_to_the_remainder(tmp_path_factory):
    run_checks(tmp_path_factory, "tests/cpp/bloom_reduction_test.cpp")
