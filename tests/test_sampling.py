"""Reservoir samplers R and A, the weighted reservoir sampler and the stream
sampler: exact structure, images, and the randomness of their samples.

Statistical checks use bounds that hold for every run but about one in a
million: Bernstein's inequality for counts, the Dvoretzky-Kiefer-Wolfowitz
inequality for distributions.
"""

import bisect
import math
import os
import pathlib
import shutil
import struct
import subprocess
from collections import deque

import pytest

from quillo import ReservoirSamplerA, ReservoirSamplerR, StreamSampler, WeightedReservoirSampler

RESERVOIRS = [ReservoirSamplerR, ReservoirSamplerA]
FAILURE_RATE = 1e-6
U64_MAX = 2**64 - 1
ROOT = pathlib.Path(__file__).resolve().parents[1]


def varint(n):
    out = bytearray()
    while n >= 0x80:
        out.append((n & 0x7F) | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


def string(s):
    data = s.encode()
    return varint(len(data)) + data


def strings(items):
    return varint(len(items)) + b"".join(string(s) for s in items)


def last_varint(image):
    start = len(image) - 1
    while start > 0 and image[start - 1] & 0x80:
        start -= 1
    return sum((b & 0x7F) << (7 * i) for i, b in enumerate(image[start:]))


def feed(add, items):
    deque(map(add, items), maxlen=0)


def bernstein_bound(trials, variance, spread, tests):
    """Deviation of a sum of `trials` independent terms (each within `spread`
    of its mean) exceeded with probability below FAILURE_RATE / tests."""
    log_term = math.log(2 * tests / FAILURE_RATE)
    return spread * log_term / 3 + math.sqrt((spread * log_term / 3) ** 2 + 2 * trials * variance * log_term)


def dkw_bound(draws, tests):
    return math.sqrt(math.log(2 * tests / FAILURE_RATE) / (2 * draws))


def max_cdf_distance(sample, cdf):
    """Largest gap between the empirical and the given CDF over the integers."""
    sample = sorted(sample)
    n = len(sample)
    worst, previous = 0.0, -1
    for value in sorted(set(sample)):
        below = bisect.bisect_left(sample, value) / n
        for s in {previous + 1, value - 1}:
            if previous < s < value:
                worst = max(worst, abs(below - cdf(s)))
        worst = max(worst, abs(bisect.bisect_right(sample, value) / n - cdf(value)))
        previous = value
    return worst


# ---------------------------------------------------------------- generator


def chacha_block(key_words, tail_words, rounds):
    mask = 0xFFFFFFFF
    state = [0x61707865, 0x3320646E, 0x79622D32, 0x6B206574, *key_words, *tail_words]
    x = list(state)

    def rotl(v, n):
        return ((v << n) | (v >> (32 - n))) & mask

    def quarter(a, b, c, d):
        x[a] = (x[a] + x[b]) & mask
        x[d] = rotl(x[d] ^ x[a], 16)
        x[c] = (x[c] + x[d]) & mask
        x[b] = rotl(x[b] ^ x[c], 12)
        x[a] = (x[a] + x[b]) & mask
        x[d] = rotl(x[d] ^ x[a], 8)
        x[c] = (x[c] + x[d]) & mask
        x[b] = rotl(x[b] ^ x[c], 7)

    for _ in range(rounds // 2):
        quarter(0, 4, 8, 12), quarter(1, 5, 9, 13), quarter(2, 6, 10, 14), quarter(3, 7, 11, 15)
        quarter(0, 5, 10, 15), quarter(1, 6, 11, 12), quarter(2, 7, 8, 13), quarter(3, 4, 9, 14)
    return [(a + b) & mask for a, b in zip(x, state)]


def test_reference_chacha_matches_the_published_20_round_block():
    key = struct.unpack("<8I", bytes(range(32)))
    block = struct.pack("<16I", *chacha_block(key, [1, 0x09000000, 0x4A000000, 0], 20))
    assert block.hex() == (
        "10f1e7e4d13b5915500fdd1fa32071c4c7d1f4c733c068030422aa9ac3d46c4e"
        "d2826446079faa0914c2d705d98b02a2b5129cd1de164eb9cbd083e8a2503c4e")


@pytest.mark.skipif(shutil.which("c++") is None, reason="needs a C++ compiler")
def test_chacha12_block_matches_the_reference(tmp_path):
    program = tmp_path / "chacha_block"
    subprocess.run(["c++", "-std=c++20", "-O1", f"-I{ROOT / 'src'}", str(ROOT / "tests/cpp/chacha_block.cpp"),
                    str(ROOT / "src/sampling/random.cpp"), "-o", str(program)], check=True)
    cases = [(list(range(8)), 0, 0),
             (list(struct.unpack("<8I", bytes(range(32)))), 0x0900000000000001, 0x4A000000),
             ([0xFFFFFFFF, 0x12345678, 0, 1, 0xDEADBEEF, 7, 0x80000000, 3], 0xFFFFFFFF00000002, 0x0123456789ABCDEF)]
    for key, counter, stream in cases:
        args = [f"{w:x}" for w in key] + [f"{counter:x}", f"{stream:x}"]
        output = subprocess.run([str(program), *args], check=True, capture_output=True, text=True).stdout
        tail = [counter & 0xFFFFFFFF, counter >> 32, stream & 0xFFFFFFFF, stream >> 32]
        assert [int(w, 16) for w in output.split()] == chacha_block(key, tail, 12)


def test_forked_child_draws_its_own_stream():
    # One replacement after 10**15 items draws a skip of that order: equal
    # skips in parent and child would mean shared generator output.
    image = strings(["x"]) + varint(1) + varint(10**15) + varint(0)

    def skip():
        s = ReservoirSamplerA.from_bytes(image)
        s.add("y")
        return last_varint(s.to_bytes())

    skip()  # the parent's generator is keyed and holds buffered words
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.write(write_end, str(skip()).encode())
        os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end) as pipe:
        child = int(pipe.read())
    os.waitpid(pid, 0)
    assert child != skip()


# ---------------------------------------------------------------- reservoir samplers: structure


@pytest.mark.parametrize("cls", RESERVOIRS)
class TestReservoirStructure:
    def test_fill_phase_keeps_every_item_in_order(self, cls):
        s = cls(3)
        s.add("a")
        s.add("b")
        assert (s.sample(), s.is_full(), s.items_seen(), s.capacity()) == (["a", "b"], False, 2, 3)
        s.add("c")
        assert s.sample() == ["a", "b", "c"] and s.is_full()

    def test_zero_capacity_counts_but_keeps_nothing(self, cls):
        s = cls(0)
        assert s.is_full()
        feed(s.add, map(str, range(100)))
        assert (s.sample(), s.items_seen()) == ([], 100)

    def test_sample_holds_distinct_stream_items(self, cls):
        s = cls(10)
        feed(s.add, map(str, range(10_000)))
        sample = s.sample()
        assert len(set(sample)) == 10 and all(0 <= int(x) < 10_000 for x in sample)
        assert s.items_seen() == 10_000

    def test_merge_offers_the_other_reservoir(self, cls):
        source = cls(5)
        feed(source.add, ["v", "w", "x", "y", "z"])
        before = source.to_bytes()
        target = cls(10)
        target.merge(source)
        assert (target.sample(), target.items_seen()) == (["v", "w", "x", "y", "z"], 5)
        assert source.to_bytes() == before
        full = cls(2)
        full.merge(source)
        assert full.items_seen() == 5 and len(full.sample()) == 2 and set(full.sample()) <= set("vwxyz")

    def test_clear_returns_to_filling(self, cls):
        s = cls(4)
        feed(s.add, map(str, range(50)))
        s.clear()
        assert (s.sample(), s.items_seen(), s.capacity(), s.is_full()) == ([], 0, 4, False)
        s.add("again")
        assert s.sample() == ["again"]

    def test_decode_error_names_the_class(self, cls):
        with pytest.raises(ValueError, match=f"^corrupt data: {cls.__name__} decode failed: Hit the end"):
            cls.from_bytes(b"\x05a")

    def test_decoded_extreme_counters_do_not_fail(self, cls):
        tail = varint(0) if cls is ReservoirSamplerA else b""
        for capacity, seen in ((0, 0), (1, U64_MAX), (1, 0), (3, U64_MAX - 1)):
            s = cls.from_bytes(strings(["a"] * max(capacity, 1)) + varint(capacity) + varint(seen) + tail)
            feed(s.add, ["b", "c", "d"])
            assert s.items_seen() == min(seen + 3, U64_MAX)
            assert len(s.sample()) == max(capacity, 1)

def test_image_layouts():
    r = ReservoirSamplerR(3)
    feed(r.add, ["ab", "c"])
    assert r.to_bytes() == strings(["ab", "c"]) + varint(3) + varint(2)
    a = ReservoirSamplerA(3)
    feed(a.add, ["ab", "c"])
    assert a.to_bytes() == strings(["ab", "c"]) + varint(3) + varint(2) + varint(0)
    assert ReservoirSamplerA(0).to_bytes() == strings([]) + varint(0) + varint(0) + varint(U64_MAX)


def test_sampler_a_replaces_only_after_its_pending_skip():
    s = ReservoirSamplerA(4)
    feed(s.add, map(str, range(200)))
    for round_ in range(20):
        skip, before = last_varint(s.to_bytes()), s.sample()
        feed(s.add, ["skipped"] * skip)
        assert s.sample() == before and last_varint(s.to_bytes()) == 0
        s.add(f"new-{round_}")
        changed = [new for old, new in zip(before, s.sample()) if old != new]
        assert changed == [f"new-{round_}"]


def test_sampler_a_clear_and_zero_capacity_keep_skipping():
    s = ReservoirSamplerA(0)
    s.add("x")
    assert last_varint(s.to_bytes()) == U64_MAX - 1
    s.clear()
    assert last_varint(s.to_bytes()) == U64_MAX
    pending = ReservoirSamplerA(2)
    feed(pending.add, ["a", "b", "c"])
    pending.clear()
    assert last_varint(pending.to_bytes()) == 0


# ---------------------------------------------------------------- reservoir samplers: randomness


def group_inclusion_counts(cls, length, capacity, trials, groups):
    counts = [0] * groups
    group_size = length // groups
    stream = [str(i) for i in range(length)]
    for _ in range(trials):
        s = cls(capacity)
        feed(s.add, stream)
        for item in s.sample():
            counts[int(item) // group_size] += 1
    return counts


@pytest.mark.parametrize("cls", RESERVOIRS)
@pytest.mark.parametrize("length, capacity, trials", [(60, 6, 12_000), (300, 3, 6_000)])
def test_every_position_is_kept_with_equal_probability(cls, length, capacity, trials):
    groups = 6
    counts = group_inclusion_counts(cls, length, capacity, trials, groups)
    # Per trial, the items kept from one group follow a hypergeometric law.
    share = 1 / groups
    variance = capacity * share * (1 - share) * (length - capacity) / (length - 1)
    bound = bernstein_bound(trials, variance, capacity, tests=4 * groups)
    expected = trials * capacity / groups
    assert all(abs(c - expected) <= bound for c in counts), (counts, expected, bound)


def skip_survival(seen, slots, s):
    """P(skip >= s) after item `seen` with a full reservoir of `slots`."""
    p = 1.0
    for j in range(slots):
        p *= (seen - j) / (seen + s - j)
    return p


SKIP_CONFIGS = [(1, 2), (3, 4), (3, 60), (3, 70), (50, 1000), (2, 10**6), (1, 10**15)]


@pytest.mark.parametrize("slots, seen", SKIP_CONFIGS)
def test_sampler_a_skips_follow_the_exact_law(slots, seen):
    # A full reservoir that has seen `seen - 1` items replaces on the next add
    # and then draws its skip after item `seen`.
    image = strings(["x"] * slots) + varint(slots) + varint(seen - 1) + varint(0)
    draws = 15_000
    skips = []
    for _ in range(draws):
        s = ReservoirSamplerA.from_bytes(image)
        s.add("y")
        skips.append(last_varint(s.to_bytes()))
    distance = max_cdf_distance(skips, lambda s: 1 - skip_survival(seen, slots, s + 1))
    assert distance <= dkw_bound(draws, tests=len(SKIP_CONFIGS))


# ---------------------------------------------------------------- weighted reservoir sampler

def weighted_entries(image):
    """(item, weight, key) of each entry of a weighted sampler image."""
    pos, entries = 0, []

    def read_varint():
        nonlocal pos
        value, shift = 0, 0
        while True:
            byte = image[pos]
            pos += 1
            value |= (byte & 0x7F) << shift
            shift += 7
            if byte < 0x80:
                return value

    for _ in range(read_varint()):
        size = read_varint()
        item = image[pos:pos + size].decode()
        pos += size
        weight, key = struct.unpack_from("<dd", image, pos)
        pos += 16
        entries.append((item, weight, key))
    return entries


def weighted_image(entries, capacity, total):
    body = b"".join(string(item) + struct.pack("<dd", weight, key) for item, weight, key in entries)
    return varint(len(entries)) + body + varint(capacity) + struct.pack("<d", total)


class TestWeightedStructure:
    def test_arrival_order_while_filling_then_key_order(self):
        s = WeightedReservoirSampler(3)
        s.add("z")
        s.add("y")
        assert s.sample() == ["z", "y"] and s.total_weight() == 2.0
        s.add("x")
        keys = [key for _, _, key in weighted_entries(s.to_bytes())]
        assert keys == sorted(keys, reverse=True) and sorted(s.sample()) == ["x", "y", "z"]

    def test_non_positive_weights_change_nothing(self):
        s = WeightedReservoirSampler(2)
        s.add("a")
        before = s.to_bytes()
        s.add_weighted("c", 0.0)
        s.add_weighted("c", -1.0)
        s.add_weighted("c", -math.inf)
        assert s.to_bytes() == before

    def test_nan_weight_is_refused(self):
        s = WeightedReservoirSampler(2)
        s.add("a")
        before = s.to_bytes()
        with pytest.raises(ValueError, match="^weight must not be NaN$"):
            s.add_weighted("c", math.nan)
        assert s.to_bytes() == before

    def test_sample_with_weights_reports_the_given_weights(self):
        s = WeightedReservoirSampler(3)
        s.add_weighted("a", 2.5)
        s.add_weighted("b", 0.25)
        s.add("c")
        assert sorted(s.sample_with_weights()) == [("a", 2.5), ("b", 0.25), ("c", 1.0)]
        assert s.total_weight() == 3.75

    def test_stays_sorted_while_replacing(self):
        s = WeightedReservoirSampler(8)
        for i in range(2000):
            s.add_weighted(str(i), 1 + i % 7)
        entries = weighted_entries(s.to_bytes())
        assert len(entries) == 8 and s.capacity() == 8
        assert [k for *_, k in entries] == sorted((k for *_, k in entries), reverse=True)
        assert s.sample() == [item for item, *_ in entries]
        assert s.total_weight() == sum(1 + i % 7 for i in range(2000))

    def test_extreme_weights(self):
        s = WeightedReservoirSampler(1)
        s.add_weighted("tiny", 5e-324)
        s.add_weighted("huge", math.inf)
        assert s.sample() == ["huge"] and s.total_weight() == math.inf
        assert weighted_entries(s.to_bytes())[0][2] == 1.0

    def test_clear(self):
        s = WeightedReservoirSampler(4)
        for i in range(100):
            s.add_weighted(str(i), i + 0.5)
        s.clear()
        assert (s.sample(), s.total_weight(), s.capacity()) == ([], 0.0, 4)

    def test_zero_capacity_counts_weight_and_keeps_nothing(self):
        s = WeightedReservoirSampler(0)
        for i in range(10):
            s.add(str(i))
        assert (s.sample(), s.total_weight()) == ([], 10.0)

    def test_decoded_odd_entries_are_handled(self):
        odd = [("n", 1.0, math.nan), ("a", 1.0, 0.2), ("b", 1.0, 0.9), ("m", 1.0, math.nan)]
        for capacity in (0, 2, 4):
            s = WeightedReservoirSampler.from_bytes(weighted_image(odd, capacity, 4.0))
            for i in range(200):
                s.add(str(i))
            assert len(s.sample()) == 4 and s.total_weight() == 204.0

def successive_inclusion(weights, index):
    """P(item `index` is among two drawn without replacement, each draw in
    proportion to the weights left)."""
    total = sum(weights)
    p = weights[index] / total
    for j, w in enumerate(weights):
        if j != index:
            p += w / total * weights[index] / (total - w)
    return p


@pytest.mark.parametrize("capacity", [1, 2])
def test_weighted_inclusion_follows_the_weights(capacity):
    weights = [1.0, 2.0, 3.0, 4.0, 10.0]
    trials = 20_000
    counts = dict.fromkeys(range(len(weights)), 0)
    for _ in range(trials):
        s = WeightedReservoirSampler(capacity)
        for i, w in enumerate(weights):
            s.add_weighted(str(i), w)
        for item in s.sample():
            counts[int(item)] += 1
    for i, count in counts.items():
        p = weights[i] / sum(weights) if capacity == 1 else successive_inclusion(weights, i)
        bound = bernstein_bound(trials, p * (1 - p), 1, tests=2 * len(weights))
        assert abs(count - trials * p) <= bound, (i, count, trials * p, bound)


# ---------------------------------------------------------------- stream sampler


class TestStreamSampler:
    def test_batches_hand_over_and_flush(self):
        s = StreamSampler(10, 3)
        s.push_batch(["a", "b", "c", "d", "e"])
        assert s.stats() == {"items_processed": 3, "sample_size": 3, "capacity": 10, "buffer_size": 2}
        assert list(s.stats()) == ["items_processed", "sample_size", "capacity", "buffer_size"]
        assert s.sample() == ["a", "b", "c"]
        s.flush()
        assert s.stats() == {"items_processed": 5, "sample_size": 5, "capacity": 10, "buffer_size": 0}
        assert s.sample() == ["a", "b", "c", "d", "e"]

    def test_empty_push_changes_nothing(self):
        s = StreamSampler(4, 2)
        s.push_batch(["x"])
        before = s.to_bytes()
        s.push_batch([])
        assert s.to_bytes() == before

    def test_zero_batch_size_is_refused(self):
        with pytest.raises(ValueError, match="^batch_size must be greater than 0$"):
            StreamSampler(5, 0)
        image = strings([]) + varint(5) + varint(0) + varint(0) + varint(0) + strings(["a"])
        with pytest.raises(ValueError, match="^corrupt data: StreamSampler decode failed: batch_size must be "
                                             "greater than 0$"):
            StreamSampler.from_bytes(image)

    def test_image_layout_and_round_trip_keep_the_buffer(self):
        s = StreamSampler(2, 4)
        s.push_batch(["p", "q", "r", "s", "t", "u"])
        image = s.to_bytes()
        assert image.endswith(varint(4) + strings(["t", "u"]))
        copy = StreamSampler.from_bytes(image)
        assert copy.to_bytes() == image and copy.stats() == s.stats()
        copy.flush()
        assert copy.stats()["items_processed"] == 6

    def test_items_argument_is_checked_before_anything_changes(self):
        s = StreamSampler(5, 2)
        with pytest.raises(TypeError, match="^argument 'items': Can't extract `str` to `Vec`$"):
            s.push_batch("abc")
        with pytest.raises(TypeError, match="^argument 'items': 'int' object cannot be converted to 'PyString'$"):
            s.push_batch(["a", 1])
        assert s.stats()["buffer_size"] == 0

    def test_items_made_during_iteration_are_kept(self):
        class Fresh:
            def __len__(self):
                return 3

            def __getitem__(self, i):
                if i >= 3:
                    raise IndexError
                return "fresh-" + str(i) * 40

        s = StreamSampler(5, 1)
        s.push_batch(Fresh())
        assert s.sample() == ["fresh-" + str(i) * 40 for i in range(3)]
