"""Reservoir, weighted and stream samplers. Statistical bounds fail about once
in a million runs (Bernstein for counts, Dvoretzky-Kiefer-Wolfowitz for CDFs)."""

import bisect
import math
import os
import pathlib
import shutil
import struct
import subprocess
from collections import deque

import pytest

from cpp_checks import run_checks
from quillo import ReservoirSamplerA, ReservoirSamplerR, StreamSampler, WeightedReservoirSampler
from wire import Reader, f64, sequence, string, varint

RESERVOIRS = [ReservoirSamplerR, ReservoirSamplerA]
FAILURE_RATE = 1e-6
U64_MAX = 2**64 - 1
ROOT = pathlib.Path(__file__).resolve().parents[1]


def strings(items):
    return sequence(items, string)


def pending_skip(sampler):
    r = Reader(sampler.to_bytes())
    r.sequence(r.string), r.varint(), r.varint()
    return r.varint()


def feed(add, items):
    deque(map(add, items), maxlen=0)


def bernstein_bound(trials, variance, spread, tests):
    """Deviation of a sum of independent terms, each within `spread` of its mean."""
    log_term = math.log(2 * tests / FAILURE_RATE)
    return spread * log_term / 3 + math.sqrt((spread * log_term / 3) ** 2 + 2 * trials * variance * log_term)


def dkw_bound(draws, tests):
    return math.sqrt(math.log(2 * tests / FAILURE_RATE) / (2 * draws))


def max_cdf_distance(sample, cdf):
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

    def quarter(a, b, c, d):
        for p, q, r, n in ((a, b, d, 16), (c, d, b, 12), (a, b, d, 8), (c, d, b, 7)):
            x[p] = (x[p] + x[q]) & mask
            v = x[r] ^ x[p]
            x[r] = ((v << n) | (v >> (32 - n))) & mask

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


def test_weighted_sampler_matches_the_sorted_array_reference(tmp_path_factory):
    run_checks(tmp_path_factory, "tests/cpp/weighted_test.cpp", "src/sampling/weighted_reservoir.cpp",
               "src/encoding/encoding.cpp", "src/codec/codec.cpp", "src/common/format.cpp")


def test_forked_child_draws_its_own_stream():
    # A skip drawn after 10**15 items is huge: equal ones mean shared generator output.
    image = strings(["x"]) + varint(1) + varint(10**15) + varint(0)

    def skip():
        s = ReservoirSamplerA.from_bytes(image)
        s.add("y")
        return pending_skip(s)

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
    def test_fill_phase_then_clear(self, cls):
        s = cls(3)
        feed(s.add, ["a", "b"])
        assert (s.sample(), s.is_full(), s.items_seen(), s.capacity()) == (["a", "b"], False, 2, 3)
        s.add("c")
        assert s.sample() == ["a", "b", "c"] and s.is_full()
        feed(s.add, map(str, range(50)))
        s.clear()
        assert (s.sample(), s.items_seen(), s.capacity(), s.is_full()) == ([], 0, 3, False)
        s.add("again")
        assert s.sample() == ["again"]

    def test_long_stream_and_zero_capacity(self, cls):
        s, empty = cls(10), cls(0)
        assert empty.is_full()
        feed(s.add, map(str, range(10_000)))
        feed(empty.add, map(str, range(100)))
        assert len(set(s.sample())) == 10 and all(0 <= int(x) < 10_000 for x in s.sample())
        assert (s.items_seen(), empty.sample(), empty.items_seen()) == (10_000, [], 100)

    def test_merge_offers_the_other_reservoir(self, cls):
        source, target, full = cls(5), cls(10), cls(2)
        feed(source.add, ["v", "w", "x", "y", "z"])
        before = source.to_bytes()
        target.merge(source)
        full.merge(source)
        assert (target.sample(), target.items_seen(), source.to_bytes()) == (list("vwxyz"), 5, before)
        assert full.items_seen() == 5 and len(full.sample()) == 2 and set(full.sample()) <= set("vwxyz")

    def test_decoded_extreme_counters_do_not_fail(self, cls):
        tail = varint(0) if cls is ReservoirSamplerA else b""
        for capacity, seen, kept in ((0, 0, 0), (0, 5, 0), (1, U64_MAX, 1), (3, U64_MAX - 1, 3), (4, 10, 2)):
            s = cls.from_bytes(strings(["a"] * kept) + varint(capacity) + varint(seen) + tail)
            feed(s.add, ["b", "c", "d"])
            assert s.items_seen() == min(seen + 3, U64_MAX)
            assert len(s.sample()) == kept

    def test_decoded_counts_no_sampler_reaches_are_refused(self, cls):
        tail = varint(0) if cls is ReservoirSamplerA else b""
        for kept, capacity, seen, reason in ((3, 2, 5, "sample larger than the capacity"),
                                             (2, 4, 1, "fewer items seen than sampled")):
            with pytest.raises(ValueError) as err:
                cls.from_bytes(strings(["a"] * kept) + varint(capacity) + varint(seen) + tail)
            assert str(err.value) == f"corrupt data: {cls.__name__} decode failed: {reason}"


def chi_square_limit(degrees):
    """Wilson-Hilferty upper quantile, about one false alarm in ten million."""
    z = 5.2
    return degrees * (1 - 2 / (9 * degrees) + z * math.sqrt(2 / (9 * degrees))) ** 3


def stream(tag, n):
    return [f"{tag}{i}" for i in range(n)]


# Each case: the capacities and stream lengths of the samplers merged into the
# first one in turn, then how many items that one takes afterwards.
UNION_CASES = {
    "equal streams": ([(10, 300), (10, 300)], 0),
    "short into long": ([(10, 2000), (10, 40)], 0),
    "long into short": ([(10, 40), (10, 2000)], 0),
    "other keeps fewer": ([(12, 300), (4, 500)], 0),
    "other keeps more": ([(4, 300), (12, 500)], 0),
    "chain": ([(8, 100), (8, 400), (6, 30), (8, 250)], 0),
    "other kept everything": ([(10, 400), (10, 7)], 0),
    "adds after a smaller union": ([(10, 200), (5, 300)], 500),
}


@pytest.mark.parametrize("cls", RESERVOIRS)
@pytest.mark.parametrize("case", UNION_CASES)
def test_merge_gives_a_uniform_sample_of_the_union(cls, case):
    sides, later = UNION_CASES[case]
    streams = [stream(f"{j}-", n) for j, (_, n) in enumerate(sides)] + [stream("later-", later)]
    union = [item for s in streams for item in s]
    groups = 12
    group_of = {item: i * groups // len(union) for i, item in enumerate(union)}
    trials, counts, size = 1200, [0] * groups, None
    for _ in range(trials):
        samplers = []
        for (capacity, _), items in zip(sides, streams):
            samplers.append(cls(capacity))
            feed(samplers[-1].add, items)
        target = samplers[0]
        for other in samplers[1:]:
            target.merge(other)
        feed(target.add, streams[-1])
        assert target.items_seen() == len(union)
        assert size in (None, len(target.sample()))
        size = len(target.sample())
        for item in target.sample():
            counts[group_of[item]] += 1
    # Fixed-size samples without replacement: Pearson's statistic shrinks by
    # the finite-population factor.
    expected = [trials * size * sum(1 for g in group_of.values() if g == j) / len(union) for j in range(groups)]
    statistic = sum((c - e) ** 2 / e for c, e in zip(counts, expected))
    statistic *= (len(union) - 1) / (len(union) - size)
    assert statistic <= chi_square_limit(groups - 1), (counts, expected)
    kept_by_side = [capacity if capacity < n else None for capacity, n in sides]
    assert size == min([sides[0][0]] + [k for k in kept_by_side if k is not None])


def test_image_layouts_and_pending_skip_after_clear():
    r, a = ReservoirSamplerR(3), ReservoirSamplerA(3)
    feed(r.add, ["ab", "c"])
    feed(a.add, ["ab", "c"])
    assert r.to_bytes() == strings(["ab", "c"]) + varint(3) + varint(2)
    assert a.to_bytes() == r.to_bytes() + varint(0)
    assert ReservoirSamplerA(0).to_bytes() == strings([]) + varint(0) + varint(0) + varint(U64_MAX)
    s = ReservoirSamplerA(0)
    s.add("x")
    assert pending_skip(s) == U64_MAX - 1
    s.clear()
    assert pending_skip(s) == U64_MAX
    feed(a.add, ["d", "e"])
    a.clear()
    assert pending_skip(a) == 0


def test_sampler_a_replaces_only_after_its_pending_skip():
    s = ReservoirSamplerA(4)
    feed(s.add, map(str, range(200)))
    for round_ in range(20):
        skip, before = pending_skip(s), s.sample()
        feed(s.add, ["skipped"] * skip)
        assert s.sample() == before and pending_skip(s) == 0
        s.add(f"new-{round_}")
        changed = [new for old, new in zip(before, s.sample()) if old != new]
        assert changed == [f"new-{round_}"]


# ---------------------------------------------------------------- reservoir samplers: randomness


@pytest.mark.parametrize("cls", RESERVOIRS)
@pytest.mark.parametrize("length, capacity, trials", [(60, 6, 12_000), (300, 3, 6_000)])
def test_every_position_is_kept_with_equal_probability(cls, length, capacity, trials):
    groups, stream, counts = 6, [str(i) for i in range(length)], [0] * 6
    for _ in range(trials):
        s = cls(capacity)
        feed(s.add, stream)
        for item in s.sample():
            counts[int(item) * groups // length] += 1
    # Items kept per group per trial are hypergeometric.
    share = 1 / groups
    variance = capacity * share * (1 - share) * (length - capacity) / (length - 1)
    bound = bernstein_bound(trials, variance, capacity, tests=4 * groups)
    expected = trials * capacity / groups
    assert all(abs(c - expected) <= bound for c in counts), (counts, expected, bound)


def skip_survival(seen, slots, s):  # P(skip >= s) after item `seen`, `slots` full
    p = 1.0
    for j in range(slots):
        p *= (seen - j) / (seen + s - j)
    return p


SKIP_CONFIGS = [(1, 2), (3, 4), (3, 60), (3, 70), (50, 1000), (2, 10**6), (1, 10**15)]


@pytest.mark.parametrize("slots, seen", SKIP_CONFIGS)
def test_sampler_a_skips_follow_the_exact_law(slots, seen):
    # Full after `seen - 1` items: the next add replaces and draws a skip.
    image, draws = strings(["x"] * slots) + varint(slots) + varint(seen - 1) + varint(0), 15_000
    skips = []
    for s in (ReservoirSamplerA.from_bytes(image) for _ in range(draws)):
        s.add("y")
        skips.append(pending_skip(s))
    distance = max_cdf_distance(skips, lambda s: 1 - skip_survival(seen, slots, s + 1))
    assert distance <= dkw_bound(draws, tests=len(SKIP_CONFIGS))


# ---------------------------------------------------------------- weighted reservoir sampler

def weighted_entries(image):
    r = Reader(image)
    return r.sequence(lambda: (r.string(), r.f64(), r.f64()))


def weighted_image(entries, capacity, total):
    return sequence(entries, lambda e: string(e[0]) + f64(e[1]) + f64(e[2])) + varint(capacity) + f64(total)


class TestWeightedStructure:
    def test_arrival_order_while_filling_then_key_order(self):
        s = WeightedReservoirSampler(3)
        s.add_weighted("z", 2.5)
        s.add_weighted("y", 0.25)
        assert s.sample() == ["z", "y"] and s.total_weight() == 2.75
        s.add("x")
        keys = [key for _, _, key in weighted_entries(s.to_bytes())]
        assert keys == sorted(keys, reverse=True)
        assert sorted(s.sample_with_weights()) == [("x", 1.0), ("y", 0.25), ("z", 2.5)]

    def test_non_positive_weights_change_nothing_and_nan_is_refused(self):
        s = WeightedReservoirSampler(2)
        s.add("a")
        before = s.to_bytes()
        for weight in (0.0, -1.0, -math.inf):
            s.add_weighted("c", weight)
        with pytest.raises(ValueError, match="^weight must not be NaN$"):
            s.add_weighted("c", math.nan)
        assert s.to_bytes() == before

    def test_stays_sorted_while_replacing(self):
        s = WeightedReservoirSampler(8)
        for i in range(2000):
            s.add_weighted(str(i), 1 + i % 7)
        entries = weighted_entries(s.to_bytes())
        assert len(entries) == s.capacity() == 8
        assert [k for *_, k in entries] == sorted((k for *_, k in entries), reverse=True)
        assert s.sample() == [item for item, *_ in entries]
        assert s.total_weight() == sum(1 + i % 7 for i in range(2000))

    def test_extreme_weights(self):
        s = WeightedReservoirSampler(1)
        s.add_weighted("tiny", 5e-324)
        s.add_weighted("huge", math.inf)
        assert s.sample() == ["huge"] and s.total_weight() == math.inf
        assert weighted_entries(s.to_bytes())[0][2] == 1.0

    def test_clear_and_zero_capacity(self):
        s, empty = WeightedReservoirSampler(4), WeightedReservoirSampler(0)
        for i in range(100):
            s.add_weighted(str(i), i + 0.5)
            empty.add(str(i))
        assert (empty.sample(), empty.total_weight()) == ([], 100.0)
        s.clear()
        assert (s.sample(), s.total_weight(), s.capacity()) == ([], 0.0, 4)

    @pytest.mark.parametrize("entries, capacity, total, reason", [
        ([("a", 1.0, 0.5)] * 3, 2, 3.0, "more entries than the capacity"),
        ([("a", 1.0, 0.5)], 0, 1.0, "more entries than the capacity"),
        ([("a", 0.0, 0.5)], 2, 1.0, "weights must be positive"),
        ([("a", math.nan, 0.5)], 2, 1.0, "weights must be positive"),
        ([("a", 1.0, math.nan)], 2, 1.0, "keys must lie in [0, 1]"),
        ([("a", 1.0, 1.5)], 2, 1.0, "keys must lie in [0, 1]"),
        ([("a", 1.0, -0.0 - 1e-9)], 2, 1.0, "keys must lie in [0, 1]"),
        ([("a", 2.0, 0.5)], 2, 1.0, "total weight below a sampled weight"),
        ([], 2, -1.0, "total weight must not be negative"),
        ([], 2, math.nan, "total weight must not be negative"),
        ([("a", 1.0, 0.2), ("b", 1.0, 0.9)], 2, 2.0, "full sample not ordered by key"),
    ])
    def test_decoded_states_no_sampler_reaches_are_refused(self, entries, capacity, total, reason):
        with pytest.raises(ValueError) as err:
            WeightedReservoirSampler.from_bytes(weighted_image(entries, capacity, total))
        assert str(err.value) == f"corrupt data: WeightedReservoirSampler decode failed: {reason}"

    def test_decoded_samples_continue_in_key_order(self):
        filling = [("p", 1.0, 0.1), ("q", 3.0, 0.9)]
        s = WeightedReservoirSampler.from_bytes(weighted_image(filling, 3, 4.0))
        assert s.sample() == ["p", "q"]
        s.add_weighted("r", 2.0)
        keys = [key for *_, key in weighted_entries(s.to_bytes())]
        assert keys == sorted(keys, reverse=True) and set(s.sample()) == {"p", "q", "r"}
        full = [("x", 1.0, 0.75), ("y", 1.0, 0.5), ("z", 1.0, 0.5)]
        s = WeightedReservoirSampler.from_bytes(weighted_image(full, 3, 3.0))
        assert s.to_bytes() == weighted_image(full, 3, 3.0)
        for i in range(300):
            s.add(str(i))
        entries = weighted_entries(s.to_bytes())
        assert [k for *_, k in entries] == sorted((k for *_, k in entries), reverse=True)


def successive_inclusion(weights, index):
    """P(item `index` is among two drawn in turn in proportion to the weights left)."""
    total = sum(weights)
    p = weights[index] / total
    for j, w in enumerate(weights):
        if j != index:
            p += w / total * weights[index] / (total - w)
    return p


@pytest.mark.parametrize("capacity", [1, 2])
def test_weighted_inclusion_follows_the_weights(capacity):
    weights, trials, counts = [1.0, 2.0, 3.0, 4.0, 10.0], 20_000, [0] * 5
    for _ in range(trials):
        s = WeightedReservoirSampler(capacity)
        for i, w in enumerate(weights):
            s.add_weighted(str(i), w)
        for item in s.sample():
            counts[int(item)] += 1
    for i, count in enumerate(counts):
        p = weights[i] / sum(weights) if capacity == 1 else successive_inclusion(weights, i)
        bound = bernstein_bound(trials, p * (1 - p), 1, tests=2 * len(weights))
        assert abs(count - trials * p) <= bound, (i, count, trials * p, bound)


# ---------------------------------------------------------------- stream sampler


class TestStreamSampler:
    def test_batches_hand_over_and_flush(self):
        s = StreamSampler(10, 3)
        s.push_batch(["a", "b", "c", "d", "e"])
        before = s.to_bytes()
        s.push_batch([])
        assert s.to_bytes() == before
        assert list(s.stats().items()) == [("items_processed", 3), ("sample_size", 3), ("capacity", 10),
                                           ("buffer_size", 2)]
        assert s.sample() == ["a", "b", "c"]
        s.flush()
        assert s.stats() == {"items_processed": 5, "sample_size": 5, "capacity": 10, "buffer_size": 0}
        assert s.sample() == ["a", "b", "c", "d", "e"]

    def test_decoded_inner_sampler_is_checked(self):
        with pytest.raises(ValueError, match="^corrupt data: StreamSampler decode failed: sample larger than the "):
            StreamSampler.from_bytes(strings(["a", "b"]) + varint(1) + varint(2) + varint(0) + varint(3) + strings([]))

    def test_zero_batch_size_is_refused(self):
        with pytest.raises(ValueError, match="^batch_size must be greater than 0$"):
            StreamSampler(5, 0)
        with pytest.raises(ValueError, match="^corrupt data: StreamSampler decode failed: batch_size must be "):
            StreamSampler.from_bytes(strings([]) + varint(5) + varint(0) * 3 + strings(["a"]))

    def test_image_layout_and_round_trip_keep_the_buffer(self):
        s = StreamSampler(2, 4)
        s.push_batch(["p", "q", "r", "s", "t", "u"])
        assert s.to_bytes().endswith(varint(4) + strings(["t", "u"]))
        copy = StreamSampler.from_bytes(s.to_bytes())
        assert copy.stats() == s.stats()
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
