"""AodSketch: entries with value arrays, trimming, bounds, column queries, union, the image."""

import collections
import itertools
import math

import pytest
import xxhash

from quillo import AodSketch
from wire import f64, sequence, varint

PREFIX = "corrupt data: AOD decode failed: "


def key_hash(key):
    return xxhash.xxh3_128_intdigest(key.encode(), seed=9001) >> 64


def encode(capacity, num_values, theta, entries, is_empty):
    return (varint(capacity) + varint(num_values) + f64(theta)
            + sequence(entries, lambda e: varint(e[0]) + sequence(e[1], f64)) + bytes([is_empty]))


def filled(keys, capacity=4096, num_values=1):
    s = AodSketch(capacity, num_values)
    for n, key in enumerate(keys):
        s.update(key, [float(n + c) for c in range(num_values)])
    return s


def keys(prefix, n, start=0):
    return [f"{prefix}{i}" for i in range(start, start + n)]


def raises(exc, text, fn, *args):
    with pytest.raises(exc) as err:
        fn(*args)
    assert str(err.value) == text


def test_defaults_fresh_state_and_bad_arguments():
    s = AodSketch()
    assert list(s.statistics().items()) == [
        ("capacity", 4096), ("num_values", 1), ("theta", 1.0), ("is_empty", True), ("current_size", 0),
        ("estimated_cardinality", 0.0), ("memory_usage", 0)]
    assert (s.estimate(), s.upper_bound(None), s.lower_bound(0.99)) == (0.0, 0.0, 0.0)
    assert (s.column_sums(), s.column_means(), s.get_entries(), s.len()) == ([0.0], [0.0], [], 0)
    assert AodSketch(None, None).to_bytes() == s.to_bytes()
    raises(TypeError, "AodSketch.upper_bound() missing 1 required positional argument: 'confidence'", s.upper_bound)
    raises(ValueError, "capacity must be greater than 0", AodSketch, 0, 0)
    raises(ValueError, "num_values must be greater than 0", AodSketch, 5, 0)
    raises(ValueError, "num_values must be at most 1048576", AodSketch, 5, 2**20 + 1)


def test_same_key_keeps_the_last_array():
    s = AodSketch(num_values=2)
    raises(ValueError, "Expected 2 values, got 3", s.update, "k", [1.0, 2.0, 3.0])
    raises(TypeError, "argument 'values': Can't extract `str` to `Vec`", s.update, "k", "ab")
    assert s.is_empty()
    s.update("k", [1.0, 2.0])
    s.update(key="k", values=(5, 6))
    assert (s.get_entries(), s.estimate()) == ([(key_hash("k"), [5.0, 6.0])], 1.0)


# A trim keeps at least two entries: the estimate counts those below theta.
@pytest.mark.parametrize("capacity, n, kept", [(4, 5, 3), (1, 2, 2), (1, 20, 2), (2, 3, 2), (3, 4, 2), (16, 17, 12)])
def test_overflow_trims_to_three_quarters_and_lowers_theta(capacity, n, kept):
    s = filled(keys("t", n), capacity=capacity)
    ordered = sorted(key_hash(k) for k in keys("t", n))
    assert sorted(h for h, _ in s.get_entries()) == ordered[:kept]
    assert s.theta() == ordered[kept - 1] * 2.0**-64
    assert s.estimate() == (kept - 1) / s.theta() > 0
    before = s.to_bytes()
    s.update(next(k for k in keys("z", 100) if key_hash(k) * 2.0**-64 > s.theta()), [1.0])
    assert s.to_bytes() == before


def test_exact_mode():
    s = filled(keys("e", 10), num_values=3)
    assert s.estimate() == s.upper_bound(0.99) == s.lower_bound(None) == 10
    assert (s.column_sums(), s.column_means()) == ([45.0, 55.0, 65.0], [4.5, 5.5, 6.5])
    assert s.statistics()["memory_usage"] == 10 * (8 * 3 + 8)


def test_estimation_mode_bounds_and_means():
    s = filled(keys("b", 3000), capacity=512, num_values=2)
    theta, e = s.theta(), (s.len() - 1) / s.theta()
    assert s.estimate() == e and abs(e / 3000 - 1) < 0.2
    for confidence, z in [(None, 1.96), (0.95, 1.96), (0.5, 1.0), (0.9, 1.645), (0.99, 2.576), (1.0, 2.576)]:
        spread = z * math.sqrt((1 - theta) * e / theta)
        assert s.upper_bound(confidence) == pytest.approx(e + spread, rel=1e-12)
        assert s.lower_bound(confidence) == pytest.approx(max(e - spread, 0.0), rel=1e-12)
    sums = s.column_sums()
    assert s.column_means() == [x / s.len() for x in sums]
    assert sums[0] == sum(values[0] for _, values in s.get_entries())


# Streams of distinct keys just past a trim (or a few). A sketch trimmed to
# two entries estimates 1 / (second smallest fraction), which is unbiased but
# heavy-tailed: capacity 2 needs many streams for its mean to settle.
@pytest.mark.parametrize("capacity, streams, n, tolerance", [
    (2, 200_000, 3, 0.02), (4, 50_000, 5, 0.02), (16, 4_000, 17, 0.02), (None, 2_000, 4097, 0.005)])
def test_estimate_is_unbiased(capacity, streams, n, tolerance):
    suffixes, one = [str(i) for i in range(n)], [1.0]
    total = 0.0
    for stream in range(streams):
        s = AodSketch(capacity)
        collections.deque(map(s.update, map(f"{stream}:".__add__, suffixes), itertools.repeat(one)), maxlen=0)
        total += s.estimate()
    assert s.theta() < 1.0
    assert abs(total / streams / n - 1) < tolerance


def test_means_of_a_sample_are_the_means_of_its_entries():
    s = AodSketch(16, 2)
    for i in range(110):
        s.update(f"m{i}", [1.0, i % 2])
    assert s.theta() < 1.0 and s.column_means()[0] == 1.0
    assert s.column_means()[1] == pytest.approx(0.5, abs=0.3)


def test_union():
    a = filled(keys("w", 5), num_values=2)
    raises(ValueError, "Cannot union sketches with different number of values", a.union, filled(keys("w", 5), 64, 3))
    assert a.to_bytes() == filled(keys("w", 5), num_values=2).to_bytes()
    a, b = filled(keys("u", 10)), filled(keys("u", 10, start=5))
    other = b.to_bytes()
    a.union(b)
    assert a.len() == 15 and dict(a.get_entries())[key_hash("u7")] == [2.0]
    assert b.to_bytes() == other
    empty = AodSketch()
    empty.union(AodSketch())
    assert empty.is_empty() and empty.estimate() == 0.0


def test_union_with_lower_theta_filters_and_trims_to_the_receivers_capacity():
    a, b = filled(keys("x", 100)), filled(keys("y", 400), capacity=64)
    a.union(b)
    assert not a.is_empty() and a.theta() == b.theta() >= max(h * 2.0**-64 for h, _ in a.get_entries())
    a, b = filled(keys("p", 8), capacity=8), filled(keys("q", 8), capacity=100)
    a.union(b)
    assert (a.len(), a.theta() < 1.0) == (6, True)


def test_compact_copies_and_clear_keeps_the_shape():
    s = filled(keys("c", 50), capacity=16, num_values=2)
    copy = s.compact()
    s.clear()
    assert s.to_bytes() == AodSketch(16, 2).to_bytes()
    assert copy.len() >= 12 and copy.theta() < 1.0


def test_layout():
    s = AodSketch(5, 1)
    s.update("a", [2.5])
    assert s.to_bytes() == encode(5, 1, 1.0, [(key_hash("a"), [2.5])], False)
    assert AodSketch.from_bytes(bytes=s.to_bytes()).get_entries() == s.get_entries()


@pytest.mark.parametrize("state, reason", [
    ((4, 1, 1.0, [], 2), "Found a bool that wasn't 0 or 1"),
    ((4, 2, 0.5, [(7, [1.0])], False), "an entry does not hold num_values values"),
    ((4, 1, 0.5, [(7, [1.0, 2.0])], False), "an entry does not hold num_values values"),
    ((0, 1, 1.0, [], True), "capacity is 0"),
    ((4, 0, 1.0, [], True), "num_values=0"),
    ((4, 2**40, 1.0, [], True), "num_values=1099511627776"),
    *[((4, 1, theta, [], True), "theta is outside [0, 1]") for theta in (-0.5, 1.5, math.nan)],
    ((4, 1, 0.5, [(2**63 + 2**12, [1.0])], False), "an entry lies above theta"),
    ((4, 1, 5e-324, [(0, [1.0]), (3, [1.0])], False), "an entry lies above theta"),
    ((4, 1, 1.0, [(7, [1.0])], True), "is_empty disagrees with the entries"),
    ((4, 1, 1.0, [], False), "is_empty disagrees with the entries"),
])
def test_unsound_states_are_refused(state, reason):
    raises(ValueError, PREFIX + reason, AodSketch.from_bytes, encode(*state))


# Every entry at or below theta keeps the answers finite: the estimate divides
# by theta only with an entry above hash 0, so theta is at least 2^-64 then.
@pytest.mark.parametrize("state", [
    (4, 1, 0.0, [(0, [1.0])], False), (4, 1, 0.0, [], True), (4, 1, 2.0**-64, [(0, [1.0]), (1, [2.0])], False),
    (2, 1, 0.5, [(5, [1.0])], False), (3, 2, 0.25, [(9, [1.0, 2.0]), (2**62, [3.0, 4.0])], False),
])
def test_decoded_answers_stay_finite_and_ordered(state):
    s = AodSketch.from_bytes(encode(*state))
    answers = [s.lower_bound(0.99), s.estimate(), s.upper_bound(0.99)]
    assert all(math.isfinite(x) for x in answers + s.column_means()) and 0 <= answers[0] <= answers[1] <= answers[2]
    s.update("k", [1.0] * s.num_values())
    assert AodSketch.from_bytes(s.to_bytes()).to_bytes() == s.to_bytes()
