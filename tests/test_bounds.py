"""Confidence bounds of the distinct counters: argument checks, bracketing, widening with the confidence,
the regimes where the state proves the count, merged and decoded sketches, and a small coverage run."""

import math
import pickle

import pytest

import quillo

CONFIDENCES = (0.5, 0.68, 0.95, 0.99, 0.999)

# name: (factory, how the class merges two sketches into a new or updated one, or None)
FACTORIES = {
    "ThetaSketch": (lambda: quillo.ThetaSketch(64), lambda a, b: a.union(b)),
    "TupleSketch": (lambda: quillo.TupleSketch(64), None),
    "HllSketch": (lambda: quillo.HllSketch(6), lambda a, b: (a.merge(b), a)[1]),
    "HllSketchMode": (lambda: quillo.HllSketchMode(8), None),
    "HllUnion": (lambda: quillo.HllUnion(8), None),
    "HllPlusPlusSketch": (lambda: quillo.HllPlusPlusSketch(6), lambda a, b: (a.merge(b), a)[1]),
    "HllPlusPlusSparseSketch": (lambda: quillo.HllPlusPlusSparseSketch(6), lambda a, b: (a.merge(b), a)[1]),
    "LinearCounter": (lambda: quillo.LinearCounter(1024), lambda a, b: (a.merge(b), a)[1]),
    "HybridCounter": (lambda: quillo.HybridCounter(1024, 6, 60), None),
    "CpcSketch": (lambda: quillo.CpcSketch(6), lambda a, b: (a.merge(b), a)[1]),
}
NAMES = sorted(FACTORIES)


def fill(sketch, count, prefix="i"):
    for i in range(count):
        if isinstance(sketch, quillo.TupleSketch):
            sketch.update(f"{prefix}{i}", 1.0)
        else:
            sketch.update(f"{prefix}{i}")
    return sketch


def make(name, count, prefix="i"):
    return fill(FACTORIES[name][0](), count, prefix)


def interval(sketch, confidence):
    return sketch.lower_bound(confidence), sketch.upper_bound(confidence)


@pytest.mark.parametrize("name", NAMES)
def test_confidence_outside_the_open_unit_interval_is_refused(name):
    sketch = make(name, 100)
    for bad in (0.0, 1.0, -0.5, 1.5, math.nan, math.inf):
        for method in (sketch.lower_bound, sketch.upper_bound):
            with pytest.raises(ValueError, match="^Confidence must be between 0 and 1$"):
                method(bad)
    with pytest.raises(TypeError):
        sketch.lower_bound("0.9")
    with pytest.raises(TypeError):
        sketch.upper_bound()
    assert interval(sketch, None) == interval(sketch, 0.95)


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("count", [1, 30, 300, 3000, 30000])
def test_bounds_bracket_the_estimate_and_widen_with_confidence(name, count):
    sketch = make(name, count)
    estimate = sketch.estimate()
    previous = (estimate, estimate)
    for confidence in CONFIDENCES:
        lower, upper = interval(sketch, confidence)
        assert 0.0 <= lower <= estimate <= upper
        assert lower <= previous[0] and upper >= previous[1]
        previous = (lower, upper)
    # Far from every exact regime the interval is neither empty nor absurd.
    if count == 3000:
        lower, upper = interval(sketch, 0.95)
        assert lower < estimate < upper < 3 * estimate


@pytest.mark.parametrize("name", NAMES)
def test_an_empty_sketch_is_bounded_to_zero(name):
    sketch = FACTORIES[name][0]()
    for confidence in CONFIDENCES:
        assert interval(sketch, confidence) == (0.0, 0.0)


def test_exact_theta_and_tuple_samples_bound_to_their_count():
    for factory in (lambda: quillo.ThetaSketch(64), lambda: quillo.TupleSketch(64)):
        sketch = fill(factory(), 100)  # the table holds 120 before its first cut
        for confidence in CONFIDENCES:
            assert interval(sketch, confidence) == (100.0, 100.0)
    # Set operations on exact sketches are exact too.
    a, b = fill(quillo.ThetaSketch(256), 100), fill(quillo.ThetaSketch(256), 100, prefix="i1")
    for result, count in ((a.union(b), 190), (a.intersect(b), 10), (a.difference(b), 90)):
        assert interval(result, 0.99) == (count, count) == (result.estimate(),) * 2


def test_theta_set_operation_results_bracket_the_true_count():
    # 3000 items each, 1500 shared: every result is sampled.
    a, b = make("ThetaSketch", 3000), make("ThetaSketch", 3000, prefix="i1500-")
    for i in range(1500):
        b.update(f"i{i}")
    for result, truth in ((a.union(b), 4500), (a.intersect(b), 1500), (a.difference(b), 1500)):
        lower, upper = interval(result, 0.999)
        assert lower <= result.estimate() <= upper
        assert lower <= truth <= upper
        assert lower >= 0.0


def test_a_full_linear_counter_is_bounded_from_below_only():
    counter = make("LinearCounter", 20000)
    assert counter.fill_ratio() == 1.0
    lower, upper = interval(counter, 0.95)
    assert lower == counter.estimate() and upper == math.inf


def test_a_linear_counter_lower_bound_is_at_least_the_bits_set():
    counter = make("LinearCounter", 400)
    bits = counter.statistics()["bits_set"]
    assert counter.lower_bound(0.999999) >= bits


@pytest.mark.parametrize("name", [n for n in NAMES if hasattr(getattr(quillo, n), "from_bytes")])
def test_bounds_survive_a_round_trip(name):
    for count in (5, 500, 5000):
        sketch = make(name, count)
        for copy in (type(sketch).from_bytes(sketch.to_bytes()), pickle.loads(pickle.dumps(sketch))):
            for confidence in (0.68, 0.99):
                assert interval(copy, confidence) == interval(sketch, confidence)


@pytest.mark.parametrize("name", [n for n in NAMES if FACTORIES[n][1]])
def test_merged_sketches_bracket_the_true_count(name):
    merge = FACTORIES[name][1]
    for count in (40, 400, 4000):
        merged = merge(make(name, count), make(name, count, prefix=f"i{count // 2}-"))
        # The second stream repeats none of the first: 2 * count in all.
        lower, upper = interval(merged, 0.999)
        assert lower <= merged.estimate() <= upper
        assert lower <= 2 * count <= upper


def test_hll_union_bounds_follow_its_gadget_through_every_mode():
    union = quillo.HllUnion(10)
    for count, prefix in ((5, "a"), (60, "b"), (3000, "c")):
        union.update_with_sketch(make("HllSketchMode", count, prefix))
    lower, upper = interval(union, 0.999)
    assert lower <= union.estimate() <= upper and lower <= 3065 <= upper
    # A merged HLL sketch answers from its registers, with bounds of the same order.
    a, b = make("HllSketch", 3000, "x"), make("HllSketch", 3000, "y")
    before = interval(a, 0.95)
    a.merge(b)
    after = interval(a, 0.95)
    assert after[0] <= 6000 <= after[1] and (after[1] - after[0]) < 4 * (before[1] - before[0]) * 2


# A reduced coverage run (the full one is tools/calibrate_bounds.sh): streams of fixed items; the share of
# intervals holding the true count must lie within about three standard deviations of the confidence.
COVERAGE_STREAMS = 150


@pytest.mark.parametrize("name,count,merged", [
    ("ThetaSketch", 1500, False), ("TupleSketch", 1500, False), ("HllSketch", 1200, False),
    ("HllSketch", 1200, True), ("HllSketchMode", 800, False), ("HllPlusPlusSketch", 1000, False),
    ("LinearCounter", 900, False), ("HybridCounter", 700, False), ("CpcSketch", 1000, False),
    ("CpcSketch", 1000, True)])
def test_coverage_is_near_the_confidence(name, count, merged):
    hits = {0.68: 0, 0.95: 0}
    for stream in range(COVERAGE_STREAMS):
        if merged:  # the halves of the stream merged: the register or coupon-count estimate answers
            half = count // 2
            first, second = make(name, half, prefix=f"{stream}:"), make(name, count - half, prefix=f"{stream}/")
            sketch = FACTORIES[name][1](first, second)
        else:
            sketch = make(name, count, prefix=f"{stream}:")
        for confidence in hits:
            lower, upper = interval(sketch, confidence)
            hits[confidence] += lower <= count <= upper
    for confidence, hit in hits.items():
        spread = 3 * math.sqrt(confidence * (1 - confidence) / COVERAGE_STREAMS)
        assert abs(hit / COVERAGE_STREAMS - confidence) <= spread + 0.01, (confidence, hit)
