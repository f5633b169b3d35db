"""Shared summaries hammered from several Python threads: every call succeeds
or meets a borrow conflict, and what the successful calls did is what a serial
replay of them does. Thread-bound samplers refuse every other thread."""

import sys
import threading
import time

import pytest

import quillo
from registry import CASES, ids

THREADS, CALLS = 4, 150
SWITCH = 1e-5


@pytest.fixture(autouse=True)
def frequent_switches():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def run_threads(*targets):
    """Runs each target on its own thread; an unexpected exception in one fails the test."""
    errors = []

    def guarded(target):
        try:
            target()
        except BaseException as err:  # noqa: B902 - reported on the test's thread
            errors.append(f"{type(err).__name__}: {err}")

    threads = [threading.Thread(target=guarded, args=(t,)) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


def writers(write):
    """THREADS targets, thread t calling write(t, i) for each i below CALLS."""
    return [lambda t=t: [write(t, i) for i in range(CALLS)] for t in range(THREADS)]


def conflicts(call):
    """Calls ``call``; True when it met a borrow conflict instead."""
    try:
        call()
    except RuntimeError as err:
        assert str(err) in ("Already borrowed", "Already mutably borrowed")
        return True
    return False


def hammer(write, queries):
    """The writers of ``write`` beside a reader cycling through ``queries``; returns the reader's conflicts."""
    refused = []

    def reader():
        refused.extend(i for i in range(CALLS) if conflicts(queries[i % len(queries)]))

    run_threads(reader, *writers(write))
    return len(refused)


def outcome(call, *args):
    """None, or the type and text of what ``call`` raised (a thread refusal is a BaseException)."""
    try:
        call(*args)
    except BaseException as err:  # noqa: B902
        return (type(err).__name__, str(err))


class Converting:
    """A number whose conversion, which runs while the summary is borrowed, first calls ``hook``."""

    def __init__(self, value, hook):
        self.value, self.hook = value, hook

    def __float__(self):
        self.hook()
        return float(self.value)

    def __index__(self):
        return int(self.__float__())


# Classes whose state does not depend on the order of their string updates.
ORDER_FREE = {
    "BloomFilter": (lambda: quillo.BloomFilter(500, 0.01), "add"),
    "CountingBloomFilter": (lambda: quillo.CountingBloomFilter(500, 0.01, 15), "add"),
    "CountMinSketch": (lambda: quillo.CountMinSketch(64, 4), "increment"),
    "HllPlusPlusSketch": (lambda: quillo.HllPlusPlusSketch(10), "update"),
    "HllPlusPlusSparseSketch": (lambda: quillo.HllPlusPlusSparseSketch(10), "update"),
    "LinearCounter": (lambda: quillo.LinearCounter(4096), "update"),
}


@pytest.mark.parametrize("name", ORDER_FREE)
def test_string_updates_from_many_threads_equal_a_serial_replay(name):
    make, method = ORDER_FREE[name]
    shared, replay, done, refused = make(), make(), [], []

    def write(t, i):
        item = f"t{t}-{i % 97}"
        (refused if conflicts(lambda: getattr(shared, method)(item)) else done).append(item)

    hammer(write, (shared.to_bytes,))
    for item in done:
        getattr(replay, method)(item)
    assert shared.to_bytes() == replay.to_bytes()
    assert len(done) + len(refused) == THREADS * CALLS


# Classes with a number among the update's arguments, so the conversion can
# log the exact order in which the updates ran.
NUMERIC = {
    "KllSketch": (lambda: quillo.KllSketch(8), lambda s, t, x: s.update(x)),
    "ReqSketch": (lambda: quillo.ReqSketch(4), lambda s, t, x: s.update(x)),
    "TDigest": (lambda: quillo.TDigest(20), lambda s, t, x: s.add(x)),
    "StreamingTDigest": (lambda: quillo.StreamingTDigest(20, 8), lambda s, t, x: s.add(x)),
    "TupleSketch": (lambda: quillo.TupleSketch(16), lambda s, t, x: s.update(f"i{t % 40}", x)),
    "CountMinSketch": (lambda: quillo.CountMinSketch(16, 3, True), lambda s, t, x: s.update(f"i{t % 23}", x)),
    "CountSketch": (lambda: quillo.CountSketch(16, 3), lambda s, t, x: s.update(f"i{t % 23}", x)),
}


@pytest.mark.parametrize("name", NUMERIC)
def test_updates_that_yield_while_borrowed_equal_a_serial_replay(name):
    make, update = NUMERIC[name]
    shared, replay, log, refused = make(), make(), [], []

    def write(t, i):
        key = t * CALLS + i
        # The conversion logs the update and hands the interpreter to other
        # threads: a real sleep, since before 3.11 a zero sleep seldom switches.
        logged = Converting(key % 37, lambda: (log.append((key, key % 37)), time.sleep(SWITCH)))
        if conflicts(lambda: update(shared, key, logged)):
            refused.append(key)

    # Only queries that never change the state: the streaming digest's
    # quantile queries flush its buffer, which a replay would not do.
    reader_refused = hammer(write, (shared.to_bytes, shared.__reduce__))
    assert reader_refused or refused, "no call met a borrow conflict"
    assert len(log) + len(refused) == THREADS * CALLS
    for key, value in log:
        update(replay, key, value)
    assert shared.to_bytes() == replay.to_bytes()


ORDER_DEPENDENT = {
    "HllSketch": lambda: quillo.HllSketch(12), "HllSketchMode": lambda: quillo.HllSketchMode(12),
    "CpcSketch": lambda: quillo.CpcSketch(10), "ThetaSketch": lambda: quillo.ThetaSketch(4096),
    "HybridCounter": lambda: quillo.HybridCounter(256, 12, 100), "HllUnion": lambda: quillo.HllUnion(12),
}


@pytest.mark.parametrize("name", ORDER_DEPENDENT)
def test_order_dependent_summaries_stay_sound_under_threads(name):
    shared = ORDER_DEPENDENT[name]()
    run_threads(*writers(lambda t, i: (shared.update(f"t{t}-{i}"), shared.estimate())))
    assert abs(shared.estimate() - THREADS * CALLS) < 0.1 * THREADS * CALLS
    if hasattr(shared, "to_bytes"):
        assert type(shared).from_bytes(shared.to_bytes()).to_bytes() == shared.to_bytes()


def test_varopt_totals_under_threads():
    shared = quillo.VarOptSketch(32)
    run_threads(*writers(lambda t, i: shared.update(f"t{t}-{i}", 1.0 + i % 3)))
    assert shared.count() == THREADS * CALLS
    assert shared.get_total_weight() == THREADS * sum(1.0 + i % 3 for i in range(CALLS))
    assert shared.get_num_samples() == 32


def test_reentrant_conversion_meets_a_conflict_and_the_call_completes():
    sketch = quillo.KllSketch(8)
    for v in range(20):
        sketch.update(float(v))
    seen = []
    assert sketch.quantile(Converting(0.5, lambda: seen.append(outcome(sketch.update, 1.0)))) == sketch.quantile(0.5)
    sketch.update(Converting(100.0, lambda: seen.append(outcome(sketch.count))))
    assert seen == [("RuntimeError", "Already borrowed"), ("RuntimeError", "Already mutably borrowed")]
    assert sketch.count() == 21 and sketch.max() == 100.0


THREAD_BOUND = [c for c in CASES if c.name in ("ReservoirSamplerA", "ReservoirSamplerR",
                                               "WeightedReservoirSampler", "StreamSampler")]
ARGUMENTS = {"add": ("x",), "add_weighted": ("x", 1.0), "push_batch": (["x"],), "add_many": (["x"],),
             "add_weighted_many": (["x"], [1.0])}


@pytest.mark.parametrize("case", THREAD_BOUND, ids=ids(THREAD_BOUND))
def test_thread_bound_samplers_refuse_every_method_elsewhere(case):
    obj = case.make()
    before, outcomes = obj.to_bytes(), {}

    def elsewhere():
        for name in (n for n in dir(obj) if not n.startswith("_") and n not in ("from_bytes", "merge")):
            outcomes[name] = outcome(getattr(obj, name), *ARGUMENTS.get(name, ()))
        if case.merge is not None:
            outcomes["merge"] = outcome(case.merge, obj, obj)

    run_threads(elsewhere)
    refusal = ("PanicException", f"quillo::{case.name} is unsendable, but sent to another thread")
    assert outcomes and set(outcomes.values()) == {refusal}
    assert obj.to_bytes() == before


@pytest.mark.parametrize("case", THREAD_BOUND, ids=ids(THREAD_BOUND))
def test_a_decoded_sampler_belongs_to_the_decoding_thread(case):
    image = case.make().to_bytes()
    made = []
    run_threads(lambda: made.append(case.cls.from_bytes(image)))
    with pytest.raises(BaseException, match="is unsendable, but sent to another thread"):
        case.mutate(made[0])
    reports = []
    hook, sys.unraisablehook = sys.unraisablehook, lambda args: reports.append(str(args.exc_value))
    try:
        made.clear()
    finally:
        sys.unraisablehook = hook
    assert reports == [f"quillo::{case.name} is unsendable, but is being dropped on another thread"]


def test_many_samplers_dropped_on_other_threads_report_each_one():
    reports = []
    hook, sys.unraisablehook = sys.unraisablehook, lambda args: reports.append(args.exc_type)
    try:
        samplers = [quillo.ReservoirSamplerA(4) for _ in range(50)]
        for sampler in samplers:
            sampler.add("x")
        del sampler
        run_threads(samplers.clear)
    finally:
        sys.unraisablehook = hook
    assert reports == [RuntimeError] * 50
