"""Shared summaries hammered from several Python threads: every call succeeds
or meets a borrow conflict, and what the successful calls did is what a serial
replay of them does. Thread-bound samplers refuse every other thread."""

import sys
import threading
import time

import pytest

import quillo
from registry import CASES, ids

THREADS = 4
CALLS = 150


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
        def run():
            try:
                target()
            except BaseException as err:  # noqa: B902 - reported on the test's thread
                errors.append(f"{type(err).__name__}: {err}")
        return run

    threads = [threading.Thread(target=guarded(t)) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


def borrow_conflict(err):
    return str(err) in ("Already borrowed", "Already mutably borrowed")


class Logged:
    """A number whose conversion, which runs while the summary is borrowed,
    records the call and hands the interpreter to other threads."""

    def __init__(self, value, log, key):
        self.value, self.log, self.key = value, log, key

    def _record(self):
        self.log.append((self.key, self.value))
        time.sleep(0)

    def __float__(self):
        self._record()
        return float(self.value)

    def __index__(self):
        self._record()
        return int(self.value)


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
    shared = make()
    done, conflicts = [], []

    def writer(t):
        def run():
            for i in range(CALLS):
                item = f"t{t}-{i % 97}"
                try:
                    getattr(shared, method)(item)
                    done.append(item)
                except RuntimeError as err:
                    assert borrow_conflict(err)
                    conflicts.append(item)
        return run

    def reader():
        for _ in range(CALLS):
            try:
                shared.to_bytes()
            except RuntimeError as err:
                assert borrow_conflict(err)

    run_threads(reader, *(writer(t) for t in range(THREADS)))
    replay = make()
    for item in done:
        getattr(replay, method)(item)
    assert shared.to_bytes() == replay.to_bytes()
    assert len(done) + len(conflicts) == THREADS * CALLS


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
    shared = make()
    log, refused = [], []
    # Only calls that never change the state: the streaming digest's
    # quantile queries flush its buffer, which a replay would not do.
    queries = (shared.to_bytes, shared.__reduce__)

    def writer(t):
        def run():
            for i in range(CALLS):
                key = t * CALLS + i
                try:
                    update(shared, key, Logged(key % 37, log, key))
                except RuntimeError as err:
                    assert borrow_conflict(err)
                    refused.append(key)
        return run

    def reader():
        for i in range(CALLS):
            try:
                queries[i % len(queries)]()
            except RuntimeError as err:
                assert borrow_conflict(err)
                refused.append(None)

    run_threads(reader, *(writer(t) for t in range(THREADS)))
    assert refused, "no call met a borrow conflict"
    assert len(log) + len([r for r in refused if r is not None]) == THREADS * CALLS
    replay = make()
    for key, value in log:
        update(replay, key, value)
    assert shared.to_bytes() == replay.to_bytes()


ORDER_DEPENDENT = {
    "HllSketch": lambda: quillo.HllSketch(12),
    "HllSketchMode": lambda: quillo.HllSketchMode(12),
    "CpcSketch": lambda: quillo.CpcSketch(10),
    "ThetaSketch": lambda: quillo.ThetaSketch(4096),
    "HybridCounter": lambda: quillo.HybridCounter(256, 12, 100),
    "HllUnion": lambda: quillo.HllUnion(12),
}
ESTIMATE_TOLERANCE = 0.1


@pytest.mark.parametrize("name", ORDER_DEPENDENT)
def test_order_dependent_summaries_stay_sound_under_threads(name):
    shared = ORDER_DEPENDENT[name]()
    distinct = THREADS * CALLS

    def writer(t):
        def run():
            for i in range(CALLS):
                shared.update(f"t{t}-{i}")
                shared.estimate()
        return run

    run_threads(*(writer(t) for t in range(THREADS)))
    assert abs(shared.estimate() - distinct) < ESTIMATE_TOLERANCE * distinct
    if hasattr(shared, "to_bytes"):
        assert type(shared).from_bytes(shared.to_bytes()).to_bytes() == shared.to_bytes()


def test_varopt_totals_under_threads():
    shared = quillo.VarOptSketch(32)

    def writer(t):
        def run():
            for i in range(CALLS):
                shared.update(f"t{t}-{i}", 1.0 + i % 3)
        return run

    run_threads(*(writer(t) for t in range(THREADS)))
    assert shared.count() == THREADS * CALLS
    assert shared.get_total_weight() == THREADS * sum(1.0 + i % 3 for i in range(CALLS))
    assert shared.get_num_samples() == 32


def test_reentrant_conversion_meets_a_conflict_and_the_call_completes():
    sketch = quillo.KllSketch(8)
    for v in range(20):
        sketch.update(float(v))
    seen = []

    class Calling:
        def __init__(self, value, call):
            self.value, self.call = value, call

        def __float__(self):
            try:
                self.call()
            except RuntimeError as err:
                seen.append(str(err))
            return self.value

    assert sketch.quantile(Calling(0.5, lambda: sketch.update(1.0))) == sketch.quantile(0.5)
    sketch.update(Calling(100.0, sketch.count))
    assert seen == ["Already borrowed", "Already mutably borrowed"]
    assert sketch.count() == 21 and sketch.max() == 100.0


THREAD_BOUND = [c for c in CASES if c.name in ("ReservoirSamplerA", "ReservoirSamplerR",
                                               "WeightedReservoirSampler", "StreamSampler")]


def call_everything(obj):
    """Outcome of each public method of ``obj`` called on this thread."""
    arguments = {"add": ("x",), "add_weighted": ("x", 1.0), "push_batch": (["x"],)}
    outcomes = {}
    for name in (n for n in dir(obj) if not n.startswith("_") and n not in ("from_bytes", "merge")):
        try:
            getattr(obj, name)(*arguments.get(name, ()))
            outcomes[name] = None
        except BaseException as err:  # the refusal is a BaseException
            outcomes[name] = (type(err).__name__, str(err))
    return outcomes


@pytest.mark.parametrize("case", THREAD_BOUND, ids=ids(THREAD_BOUND))
def test_thread_bound_samplers_refuse_every_method_elsewhere(case):
    obj = case.make()
    before = obj.to_bytes()
    outcomes = {}
    run_threads(lambda: outcomes.update(call_everything(obj)))
    refusal = ("PanicException", f"quillo::{case.name} is unsendable, but sent to another thread")
    assert outcomes and set(outcomes.values()) == {refusal}
    assert obj.to_bytes() == before
    if case.merge is not None:
        run_threads(lambda: outcomes.update(merge=call_merge(case, obj)))
        assert outcomes["merge"] == refusal


def call_merge(case, obj):
    try:
        case.merge(obj, obj)
    except BaseException as err:
        return (type(err).__name__, str(err))


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

        def drop():
            samplers.clear()
        run_threads(drop)
    finally:
        sys.unraisablehook = hook
    assert reports == [RuntimeError] * 50
