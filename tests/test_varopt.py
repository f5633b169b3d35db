"""VarOptSketch: heavy and light regions, its seeded generator, the image and
unbiased subset sums."""

import math
import random
import subprocess
import sys

import pytest

from quillo import VarOptSketch
from wire import Reader, boolean, f64, sequence, string, varint

U64 = (1 << 64) - 1
FIRST_COUNTER = 0xDEADBEEFCAFEBABE


def xorshift(x):
    x ^= (x << 13) & U64
    x ^= x >> 7
    x ^= (x << 17) & U64
    return x


def image(k, items=(), weights=None, heavy=None, tau=0.0, heavy_weight=0.0, num_heavy=None, is_full=False,
          rng_state=1):
    weights, heavy = weights or [1.0] * len(items), heavy or [False] * len(items)
    num_heavy = sum(heavy) if num_heavy is None else num_heavy
    return (varint(k) + sequence(items, string) + sequence(weights, f64) + sequence(heavy, boolean)
            + f64(tau) + f64(sum(weights)) + f64(heavy_weight) + varint(len(items)) + varint(num_heavy)
            + boolean(is_full) + varint(rng_state))


def bernstein_bound(trials, variance, spread, tests):
    log_term = math.log(2 * tests / 1e-6)
    return spread * log_term / 3 + math.sqrt((spread * log_term / 3) ** 2 + 2 * trials * variance * log_term)


def rng_state(sketch):
    r = Reader(sketch.to_bytes())
    r.varint(), r.sequence(r.string), r.sequence(r.f64), r.sequence(r.boolean)
    r.f64(), r.f64(), r.f64(), r.varint(), r.varint(), r.boolean()
    return r.varint()


def test_filling_reports_raw_weights_then_heavy_arrival_enters():
    with pytest.raises(ValueError, match="^k must be at least 1$"):
        VarOptSketch(0)
    for _ in range(20):
        s = VarOptSketch(3)
        for item, weight in (("a", 1.0), ("b", 2.0), ("c", 3.0)):
            s.update(item, weight)
        assert s.get_samples() == [("a", 1.0), ("b", 2.0), ("c", 3.0)]
        assert (s.get_num_samples(), s.count(), s.get_total_weight()) == (3, 3, 6.0)
        s.update("big", 100.0)
        samples = dict(s.get_samples())
        assert samples.pop("big") == 100.0
        # The light items share the rest of the total equally.
        assert len(samples) == 2 and set(samples.values()) == {3.0}


def test_adjusted_weights_add_up_to_the_total():
    s, total = VarOptSketch(10), 0.0
    for i in range(500):
        weight = 1.0 + (i * 37 % 11) + (200.0 if i % 97 == 0 else 0.0)
        s.update(f"i{i}", weight)
        total += weight
    assert (s.get_num_samples(), s.count(), s.get_total_weight()) == (10, 500, total)
    assert math.isclose(sum(w for _, w in s.get_samples()), total, rel_tol=1e-12)


@pytest.mark.parametrize("weight, text", [(0.0, "0"), (-1.0, "-1"), (math.nan, "NaN"), (-math.inf, "-inf"),
                                          (-1e-7, "-0.0000001")])


def test_non_positive_weight_panics_and_changes_nothing(weight, text):
    s = VarOptSketch(2)
    s.update("a", 1.0)
    before = s.to_bytes()
    with pytest.raises(BaseException) as err:
        s.update("x", weight)
    assert type(err.value).__name__ == "PanicException"
    assert str(err.value) == "Weight must be positive, got " + text
    assert s.to_bytes() == before


def test_heavy_item_falling_under_the_threshold_competes_by_its_weight():
    # After "c" the threshold is 3: "b" stays, "a" with probability 1/3, "c" with 2/3.
    seeds, kept, trials = random.Random(), {"a": 0, "c": 0}, 3000
    for _ in range(trials):
        s = VarOptSketch.from_bytes(image(2, rng_state=seeds.getrandbits(64) | 1))
        for item, weight in (("a", 1.0), ("b", 3.0), ("c", 2.0)):
            s.update(item, weight)
        samples = dict(s.get_samples())
        assert samples.pop("b") == 3.0 and list(samples.values()) == [3.0]
        kept[next(iter(samples))] += 1
    bound = bernstein_bound(trials, 2 / 9, 1, tests=2)
    assert abs(kept["a"] - trials / 3) <= bound and abs(kept["c"] - 2 * trials / 3) <= bound


def test_sketches_of_a_process_take_successive_fixed_seeds():
    code = "from quillo import VarOptSketch as V; a, b = V(1), V(1); print(a.to_bytes().hex(), b.to_bytes().hex())"
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True).stdout.split()
    for i, data in enumerate(out):
        assert bytes.fromhex(data) == image(1, rng_state=xorshift(FIRST_COUNTER + i))


def test_decoded_sketch_continues_identically():
    s = VarOptSketch(5)
    for i in range(50):
        s.update(str(i), 1.0 + i % 4)
    copy = VarOptSketch.from_bytes(s.to_bytes())
    for i in range(200):
        s.update(f"n{i}", 0.5 + i % 9)
        copy.update(f"n{i}", 0.5 + i % 9)
    assert copy.get_samples() == s.get_samples() and copy.to_bytes() == s.to_bytes()
    assert rng_state(s) != 0


def test_image_layout():
    s = VarOptSketch.from_bytes(image(3, rng_state=12345))
    s.update("ab", 2.5)
    assert s.to_bytes() == image(3, ["ab"], [2.5], rng_state=12345)


@pytest.mark.parametrize("kwargs, reason", [
    (dict(k=0), "k must be at least 1"),
    (dict(k=3, items=["a", "b"], weights=[1.0]), "items, weights and heavy flags differ in length"),
    (dict(k=3, items=["a"], heavy=[False, True]), "items, weights and heavy flags differ in length"),
    (dict(k=3, items=["a", "b"], heavy=[True, False], num_heavy=0), "heavy flags disagree with num_heavy"),
    (dict(k=3, items=["a", "b"], num_heavy=5), "heavy flags disagree with num_heavy"),
    (dict(k=3, items=["a", "b"], is_full=True), "sample size disagrees with k"),
    (dict(k=2, items=["a", "b"]), "sample size disagrees with k"),
])


def test_inconsistent_fields_are_refused(kwargs, reason):
    with pytest.raises(ValueError) as err:
        VarOptSketch.from_bytes(image(**kwargs))
    assert str(err.value) == f"corrupt data: VarOptSketch decode failed: {reason}"


def test_all_heavy_sample_and_infinite_weight_keep_working():
    s = VarOptSketch.from_bytes(image(2, ["a", "b"], [5.0, 6.0], [True, True], math.inf, 11.0, is_full=True))
    for i in range(20):
        s.update(str(i), 100.0)
    assert s.get_num_samples() == 2 and s.count() == 22
    s = VarOptSketch(3)
    for item, weight in [(str(i), 1.0) for i in range(5)] + [("inf", math.inf), ("after", 1.0)]:
        s.update(item, weight)
    assert s.get_num_samples() == 3 and s.count() == 7


def test_subset_sums_are_unbiased():
    weights = [1.0 + i % 6 for i in range(40)] + [40.0, 40.0]
    subsets = {"light classes": lambda i: i < 40 and weights[i] <= 2, "first half": lambda i: i < 21,
               "heavy classes": lambda i: i < 40 and weights[i] >= 5, "big items": lambda i: i >= 40}
    truth = {name: sum(w for i, w in enumerate(weights) if member(i)) for name, member in subsets.items()}
    trials, estimates, seeds = 8_000, {name: [] for name in subsets}, random.Random()
    for _ in range(trials):
        s = VarOptSketch.from_bytes(image(8, rng_state=seeds.getrandbits(64) | 1))
        for i, w in enumerate(weights):
            s.update(str(i), w)
        samples = [(int(item), adjusted) for item, adjusted in s.get_samples()]
        for name, member in subsets.items():
            estimates[name].append(sum(adjusted for i, adjusted in samples if member(i)))
    # Estimates lie in [0, total]: empirical Bernstein bound (Maurer-Pontil), one in a million.
    spread, log_term = sum(weights), math.log(2 * 2 * len(subsets) / 1e-6)
    for name, values in estimates.items():
        mean = sum(values) / trials
        variance = sum((v - mean) ** 2 for v in values) / (trials - 1)
        bound = math.sqrt(2 * variance * log_term / trials) + 7 * spread * log_term / (3 * (trials - 1))
        assert abs(mean - truth[name]) <= bound, (name, mean, truth[name], bound)
