import random
from collections import Counter

import pytest

import quillo
from wire import sequence, varint

Sketch = quillo.FrequentStringsSketch


def image(max_map_size, stream_length, offset, entries):
    return (varint(max_map_size) + varint(stream_length) + varint(offset)
            + sequence(entries, lambda e: varint(len(e[0])) + e[0] + varint(e[1])))


def fed(size, words):
    s = Sketch(size, None)
    for w in words:
        s.update(w)
    return s


def skewed_stream(n, distinct, seed):
    rng = random.Random(seed)
    return [f"w{int(rng.paretovariate(1.0)) % distinct}" for _ in range(n)]


class Model:
    """The purge rule applied literally: one purge per overflowing insert, and
    purges one after another until the map fits after a merge."""

    def __init__(self, size, stream_length=0, offset=0, counts=()):
        self.size, self.stream_length, self.offset, self.counts = size, stream_length, offset, dict(counts)

    @classmethod
    def decoded(cls, size, stream_length, offset, entries):
        return cls(size, stream_length, offset, entries), Sketch.from_bytes(
            image(size, stream_length, offset, [(item.encode(), count) for item, count in entries]))

    def purge(self):
        smallest = min(self.counts.values())
        self.offset += smallest
        self.counts = {item: count - smallest for item, count in self.counts.items() if count > smallest}

    def update(self, item):
        self.stream_length += 1
        self.counts[item] = self.counts.get(item, 0) + 1
        if len(self.counts) > self.size:
            self.purge()

    def merge(self, other):
        self.stream_length += other.stream_length
        self.offset += other.offset
        for item, count in other.counts.items():
            self.counts[item] = self.counts.get(item, 0) + count
        while len(self.counts) > self.size:
            self.purge()

    def image(self):
        entries = sorted((item.encode(), count) for item, count in self.counts.items())
        return image(self.size, self.stream_length, self.offset, entries)


def distinct_counts(size, prefix, shift=0):
    """A decoded map in which item i was seen i + shift times."""
    entries = [(f"{prefix}{i}", i + shift) for i in range(1, size + 1)]
    return Model.decoded(size, sum(count for _, count in entries), 0, entries)


def test_panics():
    for call, message in [
        (lambda: Sketch(0, None), "Max map size must be positive"),
        (lambda: Sketch.with_error_rate(0.0, 0.5, None), "Error rate must be between 0 and 1"),
        (lambda: Sketch.with_error_rate(float("nan"), 0.5, None), "Error rate must be between 0 and 1"),
        (lambda: Sketch.with_error_rate(0.1, 1.0, None), "Confidence must be between 0 and 1"),
        *[(lambda bad=bad: fed(10, "a").get_frequent_items_by_fraction(bad),
           "Threshold fraction must be between 0 and 1") for bad in (1.5, -0.1, float("nan"))],
    ]:
        with pytest.raises(BaseException) as err:  # the internal-failure exception is no Exception
            call()
        assert type(err.value).__name__ == "PanicException" and not isinstance(err.value, Exception)
        assert str(err.value) == message


@pytest.mark.parametrize("rate, size", [(0.01, 350), (0.001, 3500), (0.3, 12), (1e-300, 2**64 - 1)])
def test_with_error_rate_sizes(rate, size):
    assert Sketch.with_error_rate(rate, 0.99, True).statistics()["max_map_size"] == size


def test_use_reservoir_is_required_and_boolean():
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'use_reservoir'$"):
        Sketch(3)
    with pytest.raises(TypeError, match=r"^argument 'use_reservoir': 'int' object cannot be converted to 'PyBool'$"):
        Sketch(3, 1)
    assert list(Sketch(5, True).statistics().items()) == [
        ("max_map_size", 5), ("current_map_size", 0), ("stream_length", 0), ("total_tracked_frequency", 0),
        ("offset", 0), ("memory_usage", 48)]


def test_purge_on_overflow():
    s = fed(2, ["a", "a", "b"])
    assert s.get_top_k(5) == [("a", 2, 2, 2), ("b", 1, 1, 1)]
    s.update("c")
    assert (s.get_estimate("a"), s.get_bounds("a")) == (1, (1, 2))  # the true count, 2, is inside
    assert s.get_estimate("b") is None and s.get_bounds("c") is None
    assert (s.get_stream_length(), s.statistics()["offset"]) == (4, 1)
    assert s.get_top_k(5) == [("a", 1, 1, 2)]


@pytest.mark.parametrize("size", [5, 20, 100])
def test_bounds_contain_the_true_count(size):
    stream = skewed_stream(20000, 2000, seed=size)
    exact, s = Counter(stream), fed(size, stream)
    stats = s.statistics()
    assert stats["current_map_size"] <= size and stats["offset"] > 0
    for item, estimate, lower, upper in s.get_top_k(size):
        assert lower == estimate and upper == estimate + stats["offset"]
        assert lower <= exact[item] <= upper
        assert s.get_bounds(item) == (lower, upper)
    top_word, top_count = exact.most_common(1)[0]
    assert s.get_top_k(1)[0][0] == top_word
    assert top_count - stats["offset"] <= s.get_estimate(top_word) <= top_count


def test_thresholds_and_top_k():
    s = fed(10, ["a"] * 5 + ["b"] * 2 + ["c"])
    for rows, names in [(s.get_frequent_items(1), "ab"), (s.get_frequent_items(0), "abc"),
                        (s.get_frequent_items_by_fraction(0.0), "abc"), (s.get_frequent_items_by_fraction(1.0), ""),
                        (s.get_frequent_items_by_fraction(0.25), "a")]:  # count > 2
        assert "".join(r[0] for r in rows) == names
    s = fed(10, ["a"] * 3 + ["b"] * 7 + ["c"] * 5)
    assert s.get_top_k(0) == []
    assert s.get_top_k(100) == [("b", 7, 7, 7), ("c", 5, 5, 5), ("a", 3, 3, 3)]
    assert s.get_top_k(2) == s.get_top_k(100)[:2]


def test_is_empty_and_clear():
    s = fed(1, ["a", "b"])  # the second update purges both
    assert not s.is_empty() and s.get_top_k(5) == []
    s.clear()
    assert s.is_empty() and s.to_bytes() == Sketch(1, None).to_bytes()


def test_merge_adds_and_stays_bounded():
    left_words, right_words = skewed_stream(5000, 500, seed=1), skewed_stream(5000, 500, seed=2)
    exact = Counter(left_words + right_words)
    left, right = fed(30, left_words), fed(30, right_words)
    offsets = left.statistics()["offset"] + right.statistics()["offset"]
    left.merge(right)
    stats = left.statistics()
    assert stats["stream_length"] == 10000 and stats["current_map_size"] <= 30 and stats["offset"] >= offsets
    for item, _, lower, upper in left.get_top_k(30):
        assert lower <= exact[item] <= upper
    with pytest.raises(ValueError, match="^Cannot merge sketches with different map sizes$"):
        left.merge(Sketch(20, None))
    assert left.get_stream_length() == 10000


@pytest.mark.parametrize("size", [1, 3, 16])
def test_updates_and_merges_follow_the_purge_rule(size):
    rng = random.Random(size)
    model, sketch = Model(size), Sketch(size, None)
    for step in range(60):
        for word in skewed_stream(rng.randrange(200), 4 * size, seed=step):
            model.update(word)
            sketch.update(word)
        if step % 3 == 0:  # another stream
            other_model, other = Model(size), Sketch(size, None)
            for word in skewed_stream(rng.randrange(300), 5 * size, seed=1000 + step):
                other_model.update(word)
                other.update(word)
        elif step % 3 == 1:  # a decoded map with zero counts and repeated counts
            entries = [(f"w{rng.randrange(6 * size)}", rng.choice([0, 0, 1, 2, 2, 7])) for _ in range(size)]
            other_model, other = Model.decoded(size, 10_000, rng.randrange(5), entries)
        else:  # a copy of itself
            other_model, other = Model(size, model.stream_length, model.offset, model.counts), Sketch.from_bytes(
                sketch.to_bytes())
        model.merge(other_model)
        sketch.merge(other)
        assert sketch.to_bytes() == model.image()
        assert Sketch.from_bytes(sketch.to_bytes()).to_bytes() == model.image()
    assert sketch.statistics()["total_tracked_frequency"] == sum(model.counts.values())
    for item, count in model.counts.items():
        assert sketch.get_bounds(item) == (count, count + model.offset)


def test_merge_of_distinct_counts_cuts_once():
    for size in [2, 7, 300]:
        for other_prefix, shift in [("b", 0), ("a", 1), ("b", 5)]:
            model, sketch = distinct_counts(size, "a")
            other_model, other = distinct_counts(size, other_prefix, shift)
            model.merge(other_model)
            sketch.merge(other)
            assert sketch.to_bytes() == model.image()


def test_large_merge_of_distinct_counts():
    size = 32_768
    (_, left), (_, right) = distinct_counts(size, "a"), distinct_counts(size, "b")
    left.merge(right)
    # The counts 1, 1, 2, 2, ...: purging until `size` entries remain lowers them all by size / 2.
    stats = left.statistics()
    assert (stats["current_map_size"], stats["offset"]) == (size, size // 2)
    assert sorted(left.get_top_k(2)) == [(p + str(size), size // 2, size // 2, size) for p in "ab"]
    assert left.get_estimate(f"a{size // 2}") is None and left.get_bounds(f"b{size // 2 + 1}") == (1, size // 2 + 1)


def test_hand_written_image():
    assert fed(2, ["b", "a", "a"]).to_bytes() == image(2, 3, 0, [(b"a", 2), (b"b", 1)])
    s = Sketch.from_bytes(image(3, 9, 2, [(b"x", 1), (b"y", 0), (b"x", 5)]))
    assert s.get_bounds("x") == (5, 7) and s.get_estimate("y") == 0
    s.update("z")
    s.update("w")  # the fourth entry purges only the zero count
    assert (s.get_estimate("y"), s.get_estimate("x"), s.statistics()["offset"]) == (None, 5, 2)
    s = Sketch.from_bytes(image(2**64 - 1, 0, 0, []))  # a huge map size is harmless
    s.update("a")
    assert s.get_estimate("a") == 1
    # Duplicates that leave the map within its bound, and counts that fill the stream exactly.
    s = Sketch.from_bytes(image(2, 9, 3, [(b"a", 1), (b"b", 1), (b"a", 5)]))
    assert (s.get_top_k(3), s.get_bounds("b")) == ([("a", 5, 5, 8), ("b", 1, 1, 4)], (1, 4))


def test_counts_saturate_instead_of_wrapping():
    top = 2**64 - 1
    s = Sketch.from_bytes(image(2, top, top, [(b"a", top)]))  # a saturated stream length holds anything
    s.update("a")
    s.update("b")
    assert s.get_top_k(2) == [("a", top, top, top), ("b", 1, 1, top)]
    assert s.statistics()["total_tracked_frequency"] == top and not s.is_empty()
    s.merge(Sketch.from_bytes(s.to_bytes()))
    assert (s.get_stream_length(), s.statistics()["offset"], s.get_estimate("a")) == (top, top, top)


@pytest.mark.parametrize("data, text", [
    (image(3, 1, 0, [(b"\xff", 1)]), "Tried to parse invalid utf-8"),
    (varint(3) + b"\x00\x00" + varint(2**40), "Hit the end of buffer, expected more data"),
    (b"\xff" * 11, "Found a varint that didn't terminate. Is the usize too big for this platform?"),
    (image(0, 5, 0, []), "max_map_size is 0"),
    (image(2, 9, 0, [(b"a", 1), (b"b", 1), (b"c", 1)]), "3 entries exceed max_map_size 2"),
    (image(2, 9, 3, [(b"a", 5), (b"b", 2)]), "counts and offset sum to more than the stream length"),
    (image(2, 9, 10, []), "counts and offset sum to more than the stream length"),
    (image(2, 2**64 - 2, 0, [(b"a", 2**64 - 1), (b"b", 1)]), "counts and offset sum to more than the stream length"),
])
def test_decode_failures(data, text):
    with pytest.raises(ValueError) as err:
        Sketch.from_bytes(data)
    assert str(err.value) == f"corrupt data: FrequentItemsSketch decode failed: {text}"
