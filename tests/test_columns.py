"""Bulk column methods: every input kind leaves the state the per-item loop
leaves, a refused column leaves the summary as it was, and the GIL is released
over native memory while the summary stays borrowed."""

import array
import struct
import threading

import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa
import pytest

import quillo

ITEMS = [f"item-{i % 1500}" for i in range(3000)] + ["", "é", "naïve café", "日本語", "🙂x", "a" * 40]
NULL_EVERY = 7


def state(x):
    """What two summaries must share to be in the same state."""
    if hasattr(x, "to_bytes"):
        return x.to_bytes()
    return (x.estimate(), x.mode())


# (factory, per-item method, bulk method) for every class fed one str per row.
STRING_CLASSES = [
    (lambda: quillo.HllSketch(10), "update", "update_many"),
    (lambda: quillo.HllSketchMode(10), "update", "update_many"),
    (lambda: quillo.HllUnion(10), "update", "update_many"),
    (lambda: quillo.HllPlusPlusSketch(12), "update", "update_many"),
    (lambda: quillo.HllPlusPlusSparseSketch(12), "update", "update_many"),
    (lambda: quillo.CpcSketch(10), "update", "update_many"),
    (lambda: quillo.ThetaSketch(512), "update", "update_many"),
    (lambda: quillo.LinearCounter(4096), "update", "update_many"),
    (lambda: quillo.HybridCounter(4096, 10, 500), "update", "update_many"),
    (lambda: quillo.FrequentStringsSketch(64, None), "update", "update_many"),
    (lambda: quillo.BloomFilter(2000, 0.01), "add", "add_many"),
    (lambda: quillo.CountingBloomFilter(2000, 0.01, 15), "add", "add_many"),
    (lambda: quillo.CountMinSketch(256, 4, True), "increment", "update_many"),
]
STRING_IDS = [f().__class__.__name__ for f, _, _ in STRING_CLASSES]


def with_nulls(items):
    return [None if i % NULL_EVERY == 3 else v for i, v in enumerate(items)]


# (name, column builder, the rows the column holds, nulls dropped)
STRING_INPUTS = [
    ("list", lambda: list(ITEMS), ITEMS),
    ("tuple", lambda: tuple(ITEMS), ITEMS),
    ("generator", lambda: (v for v in ITEMS), ITEMS),
    ("numpy-object", lambda: np.array(ITEMS, dtype=object), ITEMS),
    ("numpy-U", lambda: np.array(ITEMS), ITEMS),
    ("numpy-U-strided-big-endian", lambda: np.repeat(np.array(ITEMS, dtype=">U40"), 2)[::2], ITEMS),
    ("numpy-StringDType", lambda: np.array(ITEMS, dtype=np.dtypes.StringDType()), ITEMS),
    ("arrow-string", lambda: pa.array(with_nulls(ITEMS), pa.string()), with_nulls(ITEMS)),
    ("arrow-large-string", lambda: pa.array(with_nulls(ITEMS), pa.large_string()), with_nulls(ITEMS)),
    ("arrow-string-view", lambda: pa.array(with_nulls(ITEMS), pa.string_view()), with_nulls(ITEMS)),
    ("arrow-sliced", lambda: pa.array(with_nulls(ITEMS), pa.string()).slice(5, 2000), with_nulls(ITEMS)[5:2005]),
    ("arrow-view-sliced", lambda: pa.array(with_nulls(ITEMS), pa.string_view()).slice(9), with_nulls(ITEMS)[9:]),
    ("arrow-chunked", lambda: pa.chunked_array([ITEMS[:1000], [], ITEMS[1000:]]), ITEMS),
    ("polars", lambda: pl.Series(with_nulls(ITEMS)), with_nulls(ITEMS)),
]
# pandas columns speak the Arrow PyCapsule interface from pandas 3 on (pandas 2 on Python 3.10 does not).
if hasattr(pd.Series, "__arrow_c_stream__"):
    STRING_INPUTS.append(
        ("pandas-arrow", lambda: pd.Series(with_nulls(ITEMS), dtype="string[pyarrow]"), with_nulls(ITEMS)))


@pytest.mark.parametrize("factory, one, many", STRING_CLASSES, ids=STRING_IDS)
def test_string_columns_leave_the_state_of_the_per_item_loop(factory, one, many):
    for name, build, rows in STRING_INPUTS:
        expected = factory()
        for v in rows:
            if v is not None:
                getattr(expected, one)(v)
        got = factory()
        getattr(got, many)(build())
        assert state(got) == state(expected), name
    # A second column continues the first, as a longer loop would.
    more = factory()
    getattr(more, many)(ITEMS[:100])
    getattr(more, many)(pa.array(ITEMS[100:]))
    whole = factory()
    getattr(whole, many)(ITEMS)
    assert state(more) == state(whole)


def test_a_list_longer_than_a_large_page_is_copied_whole():
    # Several MiB of text and row index, past the size that goes on large pages.
    items = [f"{i}-ünï-{'x' * (i % 40)}" for i in range(120_000)]
    expected, got = quillo.HllSketch(14), quillo.HllSketch(14)
    for v in items:
        expected.update(v)
    got.update_many(items)
    assert got.to_bytes() == expected.to_bytes()


NUMBERS = np.random.default_rng(7).normal(size=5000) * 1000


# (name, column builder, the values the per-item loop sees, nulls dropped)
def number_inputs():
    ints = np.arange(-2500, 2500, dtype=np.int64)
    masked = [None if i % NULL_EVERY == 2 else float(v) for i, v in enumerate(NUMBERS)]
    return [
        ("list", lambda: list(NUMBERS), list(NUMBERS)),
        ("tuple-of-ints", lambda: tuple(range(100)), list(range(100))),
        ("generator", lambda: (float(v) for v in NUMBERS), list(NUMBERS)),
        ("float64", lambda: NUMBERS, list(NUMBERS)),
        ("float32", lambda: NUMBERS.astype(np.float32), list(NUMBERS.astype(np.float32))),
        ("float16", lambda: NUMBERS.astype(np.float16), list(NUMBERS.astype(np.float16))),
        ("int64", lambda: ints, list(ints)),
        ("int8", lambda: ints.astype(np.int8), list(ints.astype(np.int8))),
        ("uint64", lambda: np.arange(2**64 - 3000, 2**64 - 1, 7, dtype=np.uint64),
         list(np.arange(2**64 - 3000, 2**64 - 1, 7, dtype=np.uint64))),
        ("bool", lambda: NUMBERS > 0, list(NUMBERS > 0)),
        ("strided", lambda: NUMBERS[::3], list(NUMBERS[::3])),
        ("reversed", lambda: NUMBERS[::-1], list(NUMBERS[::-1])),
        ("big-endian", lambda: NUMBERS.astype(">f8"), list(NUMBERS)),
        ("big-endian-int32", lambda: ints.astype(">i4"), list(ints)),
        ("column-of-2d", lambda: np.stack([NUMBERS, NUMBERS * 2], axis=1)[:, 1], list(NUMBERS * 2)),
        ("array.array", lambda: array.array("d", NUMBERS), list(NUMBERS)),
        ("array.array-int", lambda: array.array("i", range(-50, 50)), list(range(-50, 50))),
        ("memoryview", lambda: memoryview(NUMBERS), list(NUMBERS)),
        ("numpy-object", lambda: np.array(list(NUMBERS), dtype=object), list(NUMBERS)),
        ("arrow-double-nulls", lambda: pa.array(masked), masked),
        ("arrow-int32", lambda: pa.array(ints.astype(np.int32)), list(ints)),
        ("arrow-float16", lambda: pa.array(NUMBERS.astype(np.float16)), list(NUMBERS.astype(np.float16))),
        ("arrow-sliced", lambda: pa.array(masked).slice(11, 3000), masked[11:3011]),
        ("arrow-chunked", lambda: pa.chunked_array([NUMBERS[:2000], NUMBERS[2000:]]), list(NUMBERS)),
        ("polars", lambda: pl.Series(masked), masked),
    ]


NUMBER_CLASSES = [
    (lambda: quillo.KllSketch(200), "update", "update_many"),
    (lambda: quillo.ReqSketch(12, "HRA"), "update", "update_many"),
    (lambda: quillo.StreamingTDigest(100, 64), "add", "add_many"),
]


@pytest.mark.parametrize("factory, one, many", NUMBER_CLASSES, ids=["KllSketch", "ReqSketch", "StreamingTDigest"])
def test_number_columns_leave_the_state_of_the_per_item_loop(factory, one, many):
    for name, build, values in number_inputs():
        expected = factory()
        for v in values:
            if v is not None:
                getattr(expected, one)(v)
        got = factory()
        getattr(got, many)(build())
        assert got.to_bytes() == expected.to_bytes(), name


def test_half_floats_convert_as_numpy_converts_them():
    halves = np.array([0.0, -0.0, 6e-8, 65504.0, -np.inf, np.nan, np.nan, 1 / 3], dtype=np.float16)
    halves.view(np.uint16)[6] = 0xFE01  # a negative NaN with a payload
    expected, got = quillo.KllSketch(200), quillo.KllSketch(200)
    for v in halves:
        expected.update(v)
    got.update_many(halves)
    assert got.to_bytes() == expected.to_bytes()


def test_tdigest_add_batch_reads_buffers_and_arrow_as_it_reads_lists():
    for name, build, values in number_inputs():
        if name == "generator":
            continue  # refused by add_batch, which takes sequences
        expected = quillo.TDigest(100)
        expected.add_batch([float(v) for v in values if v is not None])
        got = quillo.TDigest(100)
        got.add_batch(build())
        assert got.to_bytes() == expected.to_bytes(), name
    # Sequences keep their per-item conversion and its messages.
    with pytest.raises(TypeError, match="^argument 'values': must be real number, not str$"):
        quillo.TDigest(100).add_batch([1.0, "x"])
    with pytest.raises(TypeError, match="^argument 'values': Can't extract `str` to `Vec`$"):
        quillo.TDigest(100).add_batch("abc")


def test_paired_columns_leave_the_state_of_the_per_item_loop():
    counts = np.arange(len(ITEMS)) % 5
    masked_counts = [None if i % NULL_EVERY == 1 else int(c) for i, c in enumerate(counts)]
    weights = 1.0 + (np.arange(len(ITEMS)) % 9)
    for make, counts_input, pairs in [
        (lambda: quillo.CountMinSketch(128, 4), counts, zip(ITEMS, counts)),
        (lambda: quillo.CountMinSketch(128, 4, True), list(counts.astype(np.uint8)), zip(ITEMS, counts)),
        (lambda: quillo.CountMinSketch(128, 4), pa.array(masked_counts), zip(ITEMS, masked_counts)),
        (lambda: quillo.CountSketch(128, 5), -counts, zip(ITEMS, -counts)),
        (lambda: quillo.CountSketch(128, 5), pl.Series(masked_counts), zip(ITEMS, masked_counts)),
    ]:
        expected, got = make(), make()
        for item, count in pairs:
            if count is not None:
                expected.update(item, int(count))
        got.update_many(pa.array(ITEMS), counts_input)
        assert got.to_bytes() == expected.to_bytes()
        assert got.estimate_many(ITEMS[:50]) == [expected.estimate(v) for v in ITEMS[:50]]

    expected, got = quillo.TupleSketch(256), quillo.TupleSketch(256)
    for item, w in zip(ITEMS, weights):
        expected.update(item, w)
    got.update_many(np.array(ITEMS), weights)
    assert got.to_bytes() == expected.to_bytes()

    # VarOpt draws from its own generator: the same rows give the same totals.
    expected, got = quillo.VarOptSketch(32), quillo.VarOptSketch(32)
    for item, w in zip(ITEMS, weights):
        expected.update(item, w)
    got.update_many(pa.array(ITEMS), list(weights))
    assert (got.count(), got.get_total_weight(), got.get_num_samples()) == (
        expected.count(), expected.get_total_weight(), expected.get_num_samples())
    assert {item for item, _ in got.get_samples()} <= set(ITEMS)

    rows = np.arange(len(ITEMS) * 3, dtype=np.float64).reshape(-1, 3)
    for rows_input in (rows, np.asfortranarray(rows), rows.tolist(), [np.array(r) for r in rows]):
        expected, got = quillo.AodSketch(64, 3), quillo.AodSketch(64, 3)
        for item, row in zip(ITEMS, rows.tolist()):
            expected.update(item, row)
        got.update_many(ITEMS, rows_input)
        assert got.to_bytes() == expected.to_bytes()


def test_paired_columns_skip_rows_with_a_null_on_either_side():
    items = pa.array(["a", None, "c", "d"])
    weights = pa.array([1.0, 2.0, None, 4.0])
    expected, got = quillo.TupleSketch(64), quillo.TupleSketch(64)
    expected.update("a", 1.0)
    expected.update("d", 4.0)
    got.update_many(items, weights)
    assert got.to_bytes() == expected.to_bytes()


def test_samplers_take_every_item_of_a_column():
    for cls in (quillo.ReservoirSamplerR, quillo.ReservoirSamplerA):
        s = cls(50)
        s.add_many(pa.array(ITEMS[:30]))
        assert s.sample() == ITEMS[:30]  # not yet full: kept in order
        s.add_many(np.array(ITEMS[30:]))
        assert s.items_seen() == len(ITEMS)
        assert len(s.sample()) == 50 and set(s.sample()) <= set(ITEMS)

    w = quillo.WeightedReservoirSampler(20)
    w.add_weighted_many(ITEMS, [0.0 if i % 2 else 2.0 for i in range(len(ITEMS))])
    w.add_many(pa.array(["x", None, "y"]))
    assert w.total_weight() == 2.0 * ((len(ITEMS) + 1) // 2) + 2.0
    assert len(w.sample()) == 20 and set(w.sample()) <= set(ITEMS[::2]) | {"x", "y"}


def test_bloom_blocks_set_and_read_the_bits_of_the_per_item_loop():
    # Sizes that exercise the reduction of every position modulo the bit count.
    for capacity, rate in [(1, 0.5), (7, 0.3), (1000, 0.01), (4096, 0.001), (100_003, 1e-6)]:
        expected, got = quillo.BloomFilter(capacity, rate), quillo.BloomFilter(capacity, rate)
        for v in ITEMS:
            expected.add(v)
        got.add_many(ITEMS)
        assert got.to_bytes() == expected.to_bytes()
        probe = ITEMS[::3] + [f"absent-{i}" for i in range(500)]
        assert got.contains_many(probe) == [expected.contains(v) for v in probe]


def test_queries_answer_by_position_with_none_for_nulls():
    b, cb = quillo.BloomFilter(1000, 0.001), quillo.CountingBloomFilter(1000, 0.001, 15)
    b.add_many(ITEMS[:500])
    cb.add_many(ITEMS[:500])
    probe = ITEMS[400:600] + ["never-added-1", "never-added-2"]
    for f in (b, cb):
        assert f.contains_many(probe) == [f.contains(v) for v in probe]
        assert f.contains_many(pa.array(["item-1", None])) == [True, None]
        assert f.contains_many([]) == []
    c = quillo.CountSketch(64, 3)
    c.update_many(ITEMS)
    assert c.estimate_many(np.array(probe)) == [c.estimate(v) for v in probe]


def test_empty_columns_change_nothing():
    for factory, _, many in STRING_CLASSES:
        x = factory()
        before = state(x)
        for empty in ([], (), iter([]), np.array([], dtype=str), pa.array([], pa.string()),
                      pa.chunked_array([], pa.string()), pl.Series([], dtype=pl.String)):
            getattr(x, many)(empty)
        assert state(x) == before
    k = quillo.KllSketch(200)
    for empty in ([], np.array([]), pa.array([], pa.float64()), pa.chunked_array([], pa.int64())):
        k.update_many(empty)
    assert k.is_empty()


def assert_refused(x, call, error, message):
    """The call fails with `error` (a type or a type name) and `message`, and `x` is as it was."""
    before = state(x)
    # Only the type and text are kept: a kept exception would hold a cycle
    # through its traceback, and with it `x`, for the garbage collector to
    # drop on whatever thread it next runs on.
    try:
        call()
    except BaseException as err:  # PanicException is a BaseException
        raised, text = type(err), str(err)
    else:
        raise AssertionError("the call was not refused")
    assert raised.__name__ == error if isinstance(error, str) else issubclass(raised, error)
    assert text == message
    assert state(x) == before


def test_refused_columns_name_the_position_and_change_nothing():
    h = quillo.HllSketch(10)
    h.update_many(ITEMS[:10])
    assert_refused(h, lambda: h.update_many(["a", "b", "c", 4]), TypeError,
                   "items[3]: 'int' object cannot be converted to 'PyString'")
    assert_refused(h, lambda: h.update_many(np.array(["a", 1.5], dtype=object)), TypeError,
                   "items[1]: 'float' object cannot be converted to 'PyString'")
    assert_refused(h, lambda: h.update_many("abc"), TypeError, "items: expected a column of str, not 'str'")
    assert_refused(h, lambda: h.update_many(b"abc"), TypeError, "items: expected a column of str, not 'bytes'")
    assert_refused(h, lambda: h.update_many(5), TypeError, "items: expected a column of str, not 'int'")
    assert_refused(h, lambda: h.update_many(pa.array([1, 2])), TypeError,
                   "items: expected an Arrow string array, got format 'l'")
    assert_refused(h, lambda: h.update_many(np.array([1.0, 2.0])), TypeError,
                   "items[0]: 'float64' object cannot be converted to 'PyString'")
    assert_refused(h, lambda: h.update_many(pa.array(["a", "b", "a"]).dictionary_encode()), TypeError,
                   "items: dictionary-encoded Arrow arrays are not read; decode them first")
    not_utf8 = pa.Array.from_buffers(pa.string(), 2, [None, pa.py_buffer(np.array([0, 1, 3], np.int32)),
                                                     pa.py_buffer(b"a\xc3(")])
    assert_refused(h, lambda: h.update_many(not_utf8), ValueError, "items[1]: invalid UTF-8")
    assert_refused(h, lambda: h.update_many(np.array(["ok", "\ud800"])), ValueError,
                   "items[1]: surrogates not allowed")

    k = quillo.KllSketch(200)
    k.update_many([1.0, 2.0])
    assert_refused(k, lambda: k.update_many([1.0, "x"]), TypeError, "values[1]: must be real number, not str")
    assert_refused(k, lambda: k.update_many(np.ones((2, 2))), TypeError,
                   "values: expected a one-dimensional array, got 2 dimensions")
    assert_refused(k, lambda: k.update_many(pa.array([1.0, 2.0, 1.0]).dictionary_encode()), TypeError,
                   "values: dictionary-encoded Arrow arrays are not read; decode them first")
    assert_refused(k, lambda: k.update_many(pa.array(["a"])), TypeError,
                   "values: expected an Arrow numeric array, got format 'u'")

    s = quillo.StreamingTDigest(100, 4)
    s.add_many([1.0, 2.0, 3.0])
    assert_refused(s, lambda: s.add_many(np.array([5.0, 6.0, 7.0, 8.0, np.nan])), ValueError,
                   "values[4]: StreamingTDigest cannot add NaN")

    v = quillo.VarOptSketch(4)
    v.update_many(["a", "b"], [1.0, 2.0])
    assert_refused(v, lambda: v.update_many(list("cdefgh"), np.array([1, 2, 3, 4, 5, 0.0])),
                   "PanicException", "weights[5]: Weight must be positive, got 0")

    w = quillo.WeightedReservoirSampler(4)
    w.add_weighted_many(["a"], [1.0])
    assert_refused(w, lambda: w.add_weighted_many(["b", "c"], [1.0, float("nan")]), ValueError,
                   "weights[1]: weight must not be NaN")

    a = quillo.AodSketch(16, 2)
    a.update_many(["a"], [[1.0, 2.0]])
    assert_refused(a, lambda: a.update_many(["b", "c"], [[1.0, 2.0], [1.0]]), ValueError,
                   "rows[1]: Expected 2 values, got 1")
    assert_refused(a, lambda: a.update_many(["b", "c"], np.ones((2, 3))), ValueError,
                   "rows[0]: Expected 2 values, got 3")

    c = quillo.CountMinSketch(64, 2)
    c.update_many(["a"])
    assert_refused(c, lambda: c.update_many(["a", "b"], [1, -1]), OverflowError,
                   "counts[1]: can't convert negative int to unsigned")
    assert_refused(c, lambda: c.update_many(["a", "b"], np.array([1, -1])), OverflowError,
                   "counts[1]: can't convert negative int to unsigned")
    assert_refused(c, lambda: c.update_many(["a", "b"], np.array([1.0, 2.0])), TypeError,
                   "counts: expected integers, got floating-point numbers")
    assert_refused(c, lambda: c.update_many(["a", "b"], [1]), ValueError,
                   "items and counts differ in length: 2 and 1")
    cs = quillo.CountSketch(64, 3)
    assert_refused(cs, lambda: cs.update_many(["a"], np.array([2**63], dtype=np.uint64)), OverflowError,
                   "counts[0]: int too big to convert")


def string_view_array(length, buffer_index, offset, data=b"x" * 30):
    """A one-row string_view array whose view points where it is told."""
    view = struct.pack("<i4sii", length, data[:4], buffer_index, offset)
    return pa.Array.from_buffers(pa.string_view(), 1, [None, pa.py_buffer(view), pa.py_buffer(data)])


def test_malformed_arrow_arrays_are_refused_before_any_read():
    h = quillo.HllSketch(10)
    descending = pa.Array.from_buffers(pa.string(), 2, [None, pa.py_buffer(np.array([0, 5, 2], np.int32)),
                                                        pa.py_buffer(b"abcdef")])
    assert_refused(h, lambda: h.update_many(descending), ValueError,
                   "items: malformed Arrow array: offsets out of order")
    for buffer_index, offset in [(3, 0), (-1, 0), (0, 15), (0, -1)]:
        assert_refused(h, lambda: h.update_many(string_view_array(20, buffer_index, offset)), ValueError,
                       "items: malformed Arrow array: string view out of bounds")
    h.update_many(string_view_array(20, 0, 10))
    assert h.estimate() == 1.0


def test_long_arrow_arrays_are_checked_whole_before_any_row_counts():
    # Long arrays are scanned without the GIL; the refusals and positions are
    # those of short ones, null rows included in the count.
    rows = [f"row-{i}" for i in range(6000)]
    rows[100] = None
    text = b"".join(r.encode() for r in rows if r is not None)
    offsets = np.cumsum([0] + [0 if r is None else len(r) for r in rows]).astype(np.int32)
    validity = pa.array([r is not None for r in rows]).buffers()[1]
    bad_byte = offsets[5000] + 1
    bad_text = text[:bad_byte] + b"\xff" + text[bad_byte + 1:]
    not_utf8 = pa.Array.from_buffers(pa.string(), len(rows), [validity, pa.py_buffer(offsets), pa.py_buffer(bad_text)])
    h = quillo.HllSketch(10)
    h.update_many(rows[:10])
    assert_refused(h, lambda: h.update_many(not_utf8), ValueError, "items[5000]: invalid UTF-8")
    descending = offsets.copy()
    descending[5500] = descending[5499] - 1
    assert_refused(h, lambda: h.update_many(pa.Array.from_buffers(pa.string(), len(rows), [
        validity, pa.py_buffer(descending), pa.py_buffer(text)])), ValueError,
        "items: malformed Arrow array: offsets out of order")
    expected = quillo.HllSketch(10)
    expected.update_many(rows[:10])
    for r in rows:
        if r is not None:
            expected.update(r)
    h.update_many(pa.Array.from_buffers(pa.string(), len(rows), [validity, pa.py_buffer(offsets), pa.py_buffer(text)]))
    assert h.to_bytes() == expected.to_bytes()


def test_items_stay_alive_while_a_later_argument_empties_their_list():
    items = [f"w{i}" * 50 for i in range(1000)]

    def weights():
        items.clear()  # runs while the weights are read, after the items
        yield from [1.0] * 1000

    expected, got = quillo.TupleSketch(64), quillo.TupleSketch(64)
    for i in range(1000):
        expected.update(f"w{i}" * 50, 1.0)
    got.update_many(items, weights())
    assert got.to_bytes() == expected.to_bytes()


def test_broken_arrow_exporters_are_refused():
    class NoPair:
        def __arrow_c_array__(self, requested_schema=None):
            return 42

    class WrongCapsule:
        def __arrow_c_stream__(self, requested_schema=None):
            return pa.array(["a"]).__arrow_c_array__()[0]

    h = quillo.HllSketch(10)
    assert_refused(h, lambda: h.update_many(NoPair()), TypeError,
                   "__arrow_c_array__ must return a (schema, array) pair of capsules")
    with pytest.raises(ValueError):
        h.update_many(WrongCapsule())
    assert h.estimate() == 0


@pytest.mark.parametrize("make_column", [pa.array, list], ids=["arrow", "list"])
def test_a_column_runs_without_the_gil_and_keeps_the_summary_borrowed(make_column):
    # A list's bytes are copied first (several MiB here, so on large pages),
    # after which the loop needs no Python object either.
    column = make_column([f"x{i}" for i in range(200_000)])
    sketch = quillo.HllSketch(12)
    stop = threading.Event()

    def feed():
        while not stop.is_set():
            sketch.update_many(column)

    feeder = threading.Thread(target=feed)
    feeder.start()
    conflicts = set()
    try:
        # The main thread runs Python only while the feeder's loop has let go
        # of the GIL, and then meets the feeder's exclusive access.
        for _ in range(200_000):
            try:
                sketch.estimate()
            except RuntimeError as err:
                conflicts.add(str(err))
            try:
                sketch.update("y")
            except RuntimeError as err:
                conflicts.add(str(err))
            if len(conflicts) == 2:
                break
    finally:
        stop.set()
        feeder.join()
    assert conflicts == {"Already mutably borrowed", "Already borrowed"}


def test_threads_feeding_their_own_sketches_get_the_serial_results():
    columns = [np.random.default_rng(seed).random(50_000) for seed in range(4)]
    sketches = [quillo.KllSketch(200) for _ in columns]
    threads = [threading.Thread(target=s.update_many, args=(c,)) for s, c in zip(sketches, columns)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for s, c in zip(sketches, columns):
        serial = quillo.KllSketch(200)
        serial.update_many(c)
        assert s.to_bytes() == serial.to_bytes()


def test_thread_bound_samplers_refuse_columns_from_other_threads():
    s = quillo.ReservoirSamplerR(4)
    errors = []

    def feed():
        try:
            s.add_many(pa.array(["a"]))
        except BaseException as err:  # PanicException is a BaseException
            errors.append(type(err).__name__)

    t = threading.Thread(target=feed)
    t.start()
    t.join()
    assert errors == ["PanicException"]
    assert s.items_seen() == 0
