"""VarOptSketch: heavy and light regions, its seeded generator, the image and
unbiased subset sums."""

import hashlib
import math
import random
import subprocess
import sys

import pytest

from cpp_checks import run_checks
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
          rng_state=1, total=None, count=None):
    weights, heavy = weights or [1.0] * len(items), heavy or [False] * len(items)
    num_heavy = sum(heavy) if num_heavy is None else num_heavy
    total = sum(weights) if total is None else total
    count = len(items) if count is None else count
    return (varint(k) + sequence(items, string) + sequence(weights, f64) + sequence(heavy, boolean)
            + f64(tau) + f64(total) + f64(heavy_weight) + varint(count) + varint(num_heavy)
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


def test_count_saturates():
    s = VarOptSketch.from_bytes(image(3, ["a"], count=U64))
    s.update("b", 1.0)
    assert s.count() == U64 and VarOptSketch.from_bytes(s.to_bytes()).count() == U64


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
    (dict(k=3, items=["a"], heavy=[True], heavy_weight=1.0), "heavy items before the sample fills"),
    (dict(k=3, items=["a"], heavy_weight=-5.0), "heavy items before the sample fills"),
    (dict(k=3, items=["a"], weights=[-1.0], total=5.0), "weights must be positive"),
    (dict(k=3, items=["a"], weights=[math.nan], total=5.0), "weights must be positive"),
    (dict(k=2, items=["a", "b"], weights=[2.0, 1.0], is_full=True, total=1.0), "total weight below a sampled weight"),
    (dict(k=2, total=-1.0), "total weight must not be negative"),
    (dict(k=3, items=["a", "b"], count=1), "fewer items offered than sampled"),
    (dict(k=3, rng_state=0), "generator state must not be zero"),
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


def stream_weights(kind, n, rnd):
    if kind == "alternating":
        return [1.0 if i % 2 == 0 else 1e6 for i in range(n)]
    if kind == "uniform":
        return [rnd.uniform(0.01, 10.0) for _ in range(n)]
    if kind == "pareto":
        return [rnd.paretovariate(0.8) for _ in range(n)]
    if kind == "rising":
        return [1.001 ** i for i in range(n)]
    if kind == "ties":
        return [float(1 + rnd.randrange(4)) for _ in range(n)]
    if kind == "spikes":
        return [1e12 if rnd.random() < 0.05 else rnd.choice([1e-300, 5e-324, 1.0]) for _ in range(n)]
    assert kind == "infinite"
    return [math.inf if i == n // 2 else 1.0 + i % 3 for i in range(n)]


# Digests of the images the sketch wrote for these streams when every update
# still scanned and shifted the whole sample: the faster structures must make
# the same decisions, draws and bytes.
RECORDED_IMAGES = {
    "1-alternating": "320add00f37c3221", "1-uniform": "0173a1107c21b2bf", "1-pareto": "120818c5142f136e",
    "1-rising": "3a619d3c3628da22", "1-ties": "2dcc000a4cae8d5e", "1-spikes": "b3e321e70dac03c4",
    "1-infinite": "69ae0267c35a59bb", "2-alternating": "59bc2f97dda4c6b8", "2-uniform": "7eb5857560a73c99",
    "2-pareto": "b2c28e784d13793c", "2-rising": "059edbc471df9d5b", "2-ties": "d7424b5a5625f721",
    "2-spikes": "9982c38a8af073fc", "2-infinite": "736107f65bba8905", "3-alternating": "89ab57cc5387f4c6",
    "3-uniform": "c781fb9fafe86198", "3-pareto": "ca76dae9436ffe23", "3-rising": "c6c8d0e70b43f772",
    "3-ties": "b7a19da958e830ea", "3-spikes": "d4382955d5690316", "3-infinite": "834fd4a1a6f6af7a",
    "7-alternating": "f75060d0d58026e3", "7-uniform": "5b757c536ab776a7", "7-pareto": "30f63ae80bda9999",
    "7-rising": "b9c870eb1f1063ee", "7-ties": "48e1108f53c209b8", "7-spikes": "8ffbc0ea7675e145",
    "7-infinite": "eaa6ff90374ff6df", "64-alternating": "c9a2ff08953b30f1", "64-uniform": "dbda214b2065e555",
    "64-pareto": "4d2d3ba34fcb4eaa", "64-rising": "8ac03f51e5eb4d58", "64-ties": "4aa2cc1e5792ef11",
    "64-spikes": "2458a2fabc1a5a84", "64-infinite": "dcfda2e4c2eea1ed", "500-alternating": "53745057e4fe3f11",
    "500-uniform": "af2a6ea5f574b6a7", "500-pareto": "e26110978e53bb08", "500-rising": "3a884c8a799ac849",
    "500-ties": "93d287ca9650ebef", "500-spikes": "d766d07bcc2979da", "500-infinite": "26d7c461b47f6185",
    "4000-alternating": "dc2e18054afcdfa9", "4000-pareto": "f999a19903bd7083", "4000-rising": "3ad3160bfdcbc35b",
}


@pytest.mark.parametrize("case", RECORDED_IMAGES)
def test_images_match_the_recorded_ones(case):
    k, kind = case.split("-")
    k, rnd = int(k), random.Random(case)
    n = 3 * k + 400
    s = VarOptSketch.from_bytes(image(k, rng_state=rnd.getrandbits(64) | 1))
    digest = hashlib.sha256()
    for i, w in enumerate(stream_weights(kind, n, rnd)):
        s.update(f"{kind}{i}", w)
        if i % max(1, n // 17) == 0 or i == k - 1:
            digest.update(s.to_bytes())
    digest.update(s.to_bytes())
    assert digest.hexdigest()[:16] == RECORDED_IMAGES[case]


def test_countdown_and_position_counts_match_plain_loops(tmp_path_factory):
    run_checks(tmp_path_factory, "tests/cpp/countdown_test.cpp", "src/varopt/countdown.cpp",
               "src/varopt/position_counts.cpp")
