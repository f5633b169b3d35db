"""repr() of every class: its sizing parameters and one headline figure that
follows the instance's state, and a plain placeholder where the state cannot
be read."""

import re
import threading

import pytest

import quillo as q
from registry import CASES, ids

FRESH = [
    (lambda: q.HllSketch(12), "HllSketch(lg_k=12, estimate≈0.0)"),
    (lambda: q.CpcSketch(11), "CpcSketch(lg_k=11, estimate≈0.0)"),
    (lambda: q.HllPlusPlusSketch(14), "HllPlusPlusSketch(lg_k=14, estimate≈0.0)"),
    (lambda: q.HllPlusPlusSparseSketch(12), "HllPlusPlusSparseSketch(lg_k=12, estimate≈0.0)"),
    (lambda: q.HllSketchMode(8), "HllSketchMode(lg_k=8, mode='LIST', estimate≈0.0)"),
    (lambda: q.HllUnion(9), "HllUnion(lg_max_k=9, estimate≈0.0)"),
    (lambda: q.ThetaSketch(1024), "ThetaSketch(k=1024, estimate≈0.0)"),
    (lambda: q.TupleSketch(512), "TupleSketch(k=512, estimate≈0.0)"),
    (lambda: q.AodSketch(128, 3), "AodSketch(capacity=128, num_values=3, estimate≈0.0)"),
    (lambda: q.LinearCounter(4096), "LinearCounter(num_bits=4096, estimate≈0.0)"),
    (lambda: q.HybridCounter(2048, 10, 500),
     "HybridCounter(lg_k=10, transition_threshold=500, mode='Linear Counter', estimate≈0.0)"),
    (lambda: q.BloomFilter(1000, 0.01),
     "BloomFilter(num_bits=9586, num_hash_functions=7, false_positive_probability≈0.0)"),
    (lambda: q.CountingBloomFilter(1000, 0.05, 7),
     "CountingBloomFilter(num_counters=6236, num_hash_functions=4, max_count=7, false_positive_probability≈0.0)"),
    (lambda: q.CountMinSketch(100, 5, True),
     "CountMinSketch(width=100, depth=5, conservative_update=True, total_count=0)"),
    (lambda: q.CountSketch(64, 3), "CountSketch(width=64, depth=3)"),
    (lambda: q.FrequentStringsSketch(32, None), "FrequentStringsSketch(max_map_size=32, stream_length=0)"),
    (lambda: q.KllSketch(200), "KllSketch(k=200, count=0)"),
    (lambda: q.ReqSketch(12, "HRA"), "ReqSketch(k=12, mode='HRA', count=0)"),
    (lambda: q.TDigest(100), "TDigest(compression=100, count=0)"),
    (lambda: q.StreamingTDigest(50, 10), "StreamingTDigest(compression=50, buffer_size=10, count=0)"),
    (lambda: q.ReservoirSamplerR(5), "ReservoirSamplerR(capacity=5, items_seen=0)"),
    (lambda: q.ReservoirSamplerA(6), "ReservoirSamplerA(capacity=6, items_seen=0)"),
    (lambda: q.WeightedReservoirSampler(7), "WeightedReservoirSampler(capacity=7, total_weight≈0.0)"),
    (lambda: q.StreamSampler(8, 3), "StreamSampler(capacity=8, batch_size=3, items_seen=0)"),
    (lambda: q.VarOptSketch(9), "VarOptSketch(k=9, count=0)"),
]


def test_every_class_shows_its_sizing_parameters():
    assert sorted(text.split("(")[0] for _, text in FRESH) == sorted(c for c in q.__all__ if c != "__version__")
    assert all(headline(text)[0] in HEADLINES for _, text in FRESH if not text.startswith("CountSketch"))
    for make, text in FRESH:
        assert repr(make()) == text


# The headline figure and the query that gives it.
HEADLINES = {
    "estimate": lambda s: s.estimate(),
    "count": lambda s: s.statistics()["count"] if isinstance(s, q.StreamingTDigest) else s.count(),
    "total_count": lambda s: s.total_count(),
    "stream_length": lambda s: s.get_stream_length(),
    "items_seen": lambda s: s.stats()["items_processed"] + s.stats()["buffer_size"]
    if isinstance(s, q.StreamSampler) else s.items_seen(),
    "total_weight": lambda s: s.total_weight(),
    "false_positive_probability": lambda s: s.false_positive_probability(),
}


def headline(text):
    name, sign, value = re.search(r"(\w+)([=≈])([^,]+)\)$", text).groups()
    return name, sign, value


# CountSketch keeps no total of its signed counts: it shows its sizes only.
HEADLINE_CASES = [c for c in CASES if c.name != "CountSketch"]


@pytest.mark.parametrize("case", HEADLINE_CASES, ids=ids(HEADLINE_CASES))
def test_the_headline_follows_the_state(case):
    s = case.make()
    text = repr(s)
    assert text.startswith(case.name + "(")
    name, sign, value = headline(text)
    assert value not in ("0", "0.0")
    if not isinstance(s, q.CountingBloomFilter):  # no query gives its figure
        expected = HEADLINES[name](s)
        if sign == "=":
            assert value == str(expected)
        elif name == "false_positive_probability":
            assert float(value) == pytest.approx(expected, rel=5e-3)
        else:
            assert value == repr(round(expected, 1))


def test_large_and_small_figures_keep_their_float_form():
    w = q.WeightedReservoirSampler(2)
    w.add_weighted("a", 1e300)
    assert repr(w) == "WeightedReservoirSampler(capacity=2, total_weight≈1e+300)"
    w.add_weighted("b", 0.25)
    assert repr(w) == "WeightedReservoirSampler(capacity=2, total_weight≈1e+300)"
    b = q.BloomFilter(1000, 0.01)
    for i in range(1000):
        b.add(str(i))
    fpp = float(headline(repr(b))[2])
    assert fpp == float(f"{b.false_positive_probability():.2e}")
    assert 0 < fpp < 0.05


class Reentrant:
    """A number whose conversion reads the repr of `target` mid-call."""

    def __init__(self, target):
        self.target = target
        self.seen = None

    def __float__(self):
        self.seen = repr(self.target)
        return 1.0


class TestUnreadableStates:
    def test_inside_a_mutation_the_repr_is_a_placeholder(self):
        s = q.KllSketch(200)
        value = Reentrant(s)
        s.update(value)
        assert value.seen == "<quillo.KllSketch mutably borrowed>"
        assert repr(s) == "KllSketch(k=200, count=1)"

    def test_inside_a_query_the_repr_is_read(self):
        s = q.KllSketch(200)
        s.update(3.0)
        value = Reentrant(s)
        s.rank(value)
        assert value.seen == "KllSketch(k=200, count=1)"

    @pytest.mark.parametrize("make", [lambda: q.ReservoirSamplerA(4), lambda: q.ReservoirSamplerR(4),
                                      lambda: q.WeightedReservoirSampler(4), lambda: q.StreamSampler(4, 2)])
    def test_a_thread_bound_sampler_elsewhere_is_a_placeholder(self, make):
        s = make()
        name = type(s).__name__
        seen = []
        t = threading.Thread(target=lambda: seen.append(repr(s)))
        t.start()
        t.join()
        assert seen == [f"<quillo.{name} bound to another thread>"]
        assert repr(s).startswith(name + "(capacity=4")
