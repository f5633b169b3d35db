"""TDigest and StreamingTDigest: the digest engine's folding and
interpolation, the object rules around it, the buffer, and the images."""

import random
import subprocess
import sys

import pytest
from wire import Reader, f64, sequence, varint

from quillo import StreamingTDigest, TDigest


def centroids(digest):
    """The (mean, weight) pairs at the start of an image."""
    r = Reader(digest.to_bytes())
    return r.sequence(lambda: (r.f64(), r.f64()))


def batch(values, compression=None):
    t = TDigest(compression)
    t.add_batch([float(v) for v in values])
    return t


class TestEngine:
    @pytest.mark.parametrize("values, compression, expected", [
        ([4, 2, 3, 1], None, [(1.0, 1.0), (2.0, 1.0), (3.0, 1.0), (4.0, 1.0)]),
        (range(1, 11), 2, [(3.0, 5.0), (8.0, 5.0)]),  # limits 0.5 and 1.0 of the total weight
        ([1, 2, 3, 4], 2, [(1.5, 2.0), (3.5, 2.0)]),
    ])
    def test_scale_limits_fold_values(self, values, compression, expected):
        assert centroids(batch(values, compression)) == expected

    def test_interpolation_and_digest_merge(self):
        t = batch([4, 2, 3, 1])
        assert t.median() == t.quantile(0.5) == 2.5 and t.p75() == 3.5
        a = batch([1, 2, 3, 4], 2)
        a.merge(batch([5, 6, 7, 8], 2))  # the merge repeats the first limit
        assert centroids(a) == [(2.5, 4.0), (5.5, 2.0), (7.5, 2.0)] and a.count() == 8

    def test_compression_bounds_the_centroids(self):
        rng = random.Random(7)
        assert len(centroids(batch([rng.random() for _ in range(20_000)], 50))) < 60

    def test_estimates_are_accurate(self):
        rng = random.Random(11)
        values = [rng.gauss(10, 3) for _ in range(50_000)]
        t = TDigest()
        for i in range(0, len(values), 1000):
            t.add_batch(values[i:i + 1000])
        ordered = sorted(values)
        for q in (0.01, 0.1, 0.5, 0.9, 0.99):
            exact = ordered[int(q * len(ordered))]
            assert t.quantile(q) == pytest.approx(exact, abs=0.05)
            assert t.rank(exact) == pytest.approx(q, abs=0.005)


class TestObject:
    def test_fresh_object_and_single_value(self):
        t = TDigest()
        assert t.quantile(0.5) is None and t.median() is None and t.p999() is None
        assert t.rank(1.0) == 0.0 and t.trimmed_mean(0.1, 0.9) is None
        assert list(t.statistics().items()) == [
            ("count", 0), ("compression", 100), ("min_value", None), ("max_value", None), ("memory_usage", 1712)]
        assert t.is_empty() and t.min() is None and TDigest().quantiles([0.5]) == [None]
        t.add(5.0)
        assert (t.quantile(0.5), t.median(), t.rank(5.0), t.rank(6.0), t.statistics()["min_value"]) == (5, 5, 0, 1, 5)
        t = batch([3, 1, 2])  # out-of-range ranks clamp to the extremes
        assert (t.quantile(-1.0), t.quantile(2.0)) == (1.0, 3.0)
        assert t.quantiles([0.0, 0.5, 1.0]) == [1.0, 2.0, 3.0]

    @pytest.mark.parametrize("error, compression", [
        (0.01, 50), (0.0001, 2000), (0.001, 250), (0.003, 83), (0.0, 2000), (float("nan"), 0)])
    def test_with_accuracy(self, error, compression):
        assert TDigest.with_accuracy(error).statistics()["compression"] == compression

    def test_trimmed_mean(self):
        t = batch(range(1, 101))
        assert t.trimmed_mean(0.5, 0.5) is None and t.trimmed_mean(0.6, 0.4) is None
        expected = [t.quantile(i / 1000) for i in range(1001)]
        assert t.trimmed_mean(0.0, 1.0) == pytest.approx(sum(expected) / 1001)
        assert expected[0] == 1.0 and expected[-1] == 100.0

    def test_add_batch_rules(self):
        t = batch([1, 2])
        before = t.to_bytes()
        t.add_batch([])
        with pytest.raises(BaseException) as err:
            t.add_batch([1.0, float("nan")])
        assert type(err.value).__name__ == "PanicException"
        assert t.to_bytes() == before
        t.add_batch([float("nan")])
        assert (t.count(), t.max()) == (3, 2.0)
        first = batch([float("nan")])
        first.add(1.0)
        assert first.min() != first.min()  # a stored NaN extreme is never replaced
        t = batch(range(10), 30)
        t.clear()
        assert t.to_bytes() == TDigest(30).to_bytes()


def test_merge_keeps_the_receivers_compression():
    a, b = TDigest(500), batch(range(100), 20)
    before = b.to_bytes()
    a.merge(b)
    assert a.statistics()["compression"] == 500 and b.to_bytes() == before
    assert a.count() == 100 and (a.min(), a.max()) == (0.0, 99.0)
    r = Reader(a.to_bytes())
    r.sequence(lambda: (r.f64(), r.f64()))
    assert r.varint() == 500  # the stored compression follows the centroids
    a = TDigest()
    a.add(float("nan"))
    a.merge(batch([4, 2]))  # a NaN extreme yields to the other's
    assert (a.min(), a.max(), a.count()) == (2.0, 4.0, 3)


class TestStreaming:
    def test_defaults_and_queries_flush(self):
        s = StreamingTDigest()
        assert list(s.statistics().items()) == [
            ("count", 0), ("compression", 100), ("min_value", None), ("max_value", None), ("memory_usage", 9712)]
        assert s.quantile(0.5) is None and s.median() is None
        s.add(3.0)
        assert s.quantile(0.5) == 3.0 and s.statistics()["count"] == 1
        before = s.to_bytes()
        s.flush()
        assert s.to_bytes() == before

    def test_buffer_flushes_when_full(self):
        s = StreamingTDigest()
        for i in range(999):
            s.add(float(i))
        assert s.to_bytes().startswith(TDigest().to_bytes() + varint(999))
        s.add(999.0)
        assert s.to_bytes() == batch(range(1000)).to_bytes() + varint(0) + varint(1000)
        s, reference = StreamingTDigest(10, 0), batch([1.0], 10)
        reference.add_batch([2.0])
        s.add(1.0)
        s.add(2.0)  # buffer size 0 flushes every add
        assert s.to_bytes() == reference.to_bytes() + varint(0) + varint(0)

    def test_nan_is_refused_and_harmless(self):
        s = StreamingTDigest(buffer_size=4)
        s.add(1.0)
        before = s.to_bytes()
        with pytest.raises(ValueError, match="^StreamingTDigest cannot add NaN$"):
            s.add(float("nan"))
        assert s.to_bytes() == before
        for v in (2.0, 3.0, 4.0):
            s.add(v)
        assert (s.median(), s.statistics()["count"]) == (2.5, 4)

    def test_decoded_buffer(self):
        image = TDigest().to_bytes() + sequence([1.0, float("nan")], f64) + varint(5)
        with pytest.raises(ValueError, match="^corrupt data: StreamingTDigest decode failed: "):
            StreamingTDigest.from_bytes(image)
        s = StreamingTDigest.from_bytes(TDigest().to_bytes() + sequence([1.0, 2.0, 3.0], f64) + varint(2))
        s.add(4.0)  # an overfull decoded buffer flushes on the next add
        assert s.to_bytes().endswith(varint(0) + varint(2))


def test_images_agree_across_processes():
    code = ("import quillo\nt, s = quillo.TDigest(40), quillo.StreamingTDigest(40, 64)\n"
            "vals = [float((i * 7919) % 1009) for i in range(3000)]\n"
            "t.add_batch(vals)\n[t.add(v) for v in vals[:200]]\n[s.add(v) for v in vals]\n"
            "out = t.to_bytes().hex() + ' ' + s.to_bytes().hex()\n")
    other = subprocess.run([sys.executable, "-c", code + "print(out)"], capture_output=True, text=True, check=True)
    here = {}
    exec(code, here)
    assert other.stdout.strip() == here["out"]


def digest_image(centroids, digest_count, count, extremes=(0.0, 9.0)):
    """A TDigest image: centroids, size limit 100, sum, digest count and extremes, then the object fields."""
    low, high = extremes
    return (sequence(centroids, lambda c: f64(c[0]) + f64(c[1])) + varint(100) + f64(0.0) + f64(digest_count)
            + f64(high) + f64(low) + varint(count) + b"\x01" + f64(low) + b"\x01" + f64(high) + varint(100))


class TestDecodedStates:
    NAN, INF = float("nan"), float("inf")

    @pytest.mark.parametrize("centroids, digest_count, count, why", [
        ([(1.0, 0.0), (2.0, 1.0)], 1.0, 1, "centroid weight not positive and finite"),  # divides by zero
        ([(1.0, -2.0), (2.0, 3.0)], 1.0, 1, "centroid weight not positive and finite"),
        ([(1.0, NAN)], 1.0, 1, "centroid weight not positive and finite"),
        ([(1.0, INF)], 1.0, 1, "centroid weight not positive and finite"),
        ([(2.0, 1.0), (1.0, 1.0)], 2.0, 2, "centroids out of order"),
        ([(NAN, 1.0), (1.0, 1.0)], 2.0, 2, "centroids out of order"),
        ([(1.0, 1.0)], NAN, 1, "total weight negative or not finite"),  # NaN estimates
        ([(1.0, 1.0)], INF, 1, "total weight negative or not finite"),
        ([(1.0, 1.0)], -1.0, 1, "total weight negative or not finite"),
        ([], 0.0, 5, "count without centroids"),  # a median of 0.0 for values never seen
        ([(1.0, 1.0)], 1.0, 2**62 + 1, "count exceeds 2\\^62"),
        # a merge with itself would overflow the total, or the centroid weights, to infinity
        ([(1.0, 1.0)], 2.0**128 * 1.5, 1, "total weight exceeds 2\\^128"),
        ([(1.0, 1e308)], 1.0, 1, "centroid weight beyond the total weight"),
        ([(1.0, 1.0), (2.0, 3.0)], 2.0, 2, "centroid weight beyond the total weight"),
    ])
    def test_refusals(self, centroids, digest_count, count, why):
        data = digest_image(centroids, digest_count, count)
        with pytest.raises(ValueError, match=f"^corrupt data: TDigest decode failed: {why}$"):
            TDigest.from_bytes(data)
        with pytest.raises(ValueError, match=f"^corrupt data: StreamingTDigest decode failed: {why}$"):
            StreamingTDigest.from_bytes(data + varint(0) + varint(10))

    def test_a_merge_past_the_largest_total_weight_is_refused(self):
        image = digest_image([(1.0, 2.0**127), (2.0, 2.0**127)], 2.0**128, 2)
        heavy = TDigest.from_bytes(image)
        with pytest.raises(ValueError, match="^the merged total weight would exceed 2\\^128$"):
            heavy.merge(TDigest.from_bytes(image))
        heavy.add_batch([5.0] * 3000)  # values cannot carry it past the bound
        assert TDigest.from_bytes(heavy.to_bytes()).to_bytes() == heavy.to_bytes()

    def test_the_count_stops_at_2_to_the_62_instead_of_wrapping(self):
        image = digest_image([(1.0, 1.0)], 1.0, 2**62 - 1)
        crowded = TDigest.from_bytes(image)
        crowded.merge(TDigest.from_bytes(image))  # the sum, 2^63 - 2, stops at the bound
        assert crowded.count() == 2**62
        crowded.add(5.0)
        crowded.add_batch([6.0, 7.0])
        assert crowded.count() == 2**62
        assert TDigest.from_bytes(crowded.to_bytes()).to_bytes() == crowded.to_bytes()

    def test_what_objects_write_is_accepted(self):
        t = batch([1.0, 2.0, 3.0])
        t.add(float("nan"))  # a NaN centroid sorts last
        t.merge(batch(range(100), 5))
        for digest in (t, TDigest(), batch([7.0])):
            assert TDigest.from_bytes(digest.to_bytes()).to_bytes() == digest.to_bytes()
        t.clear()
        assert TDigest.from_bytes(t.to_bytes()).to_bytes() == t.to_bytes()
        # a digest whose centroids are not counted still answers sensibly
        assert TDigest.from_bytes(digest_image([(1.0, 1.0), (3.0, 1.0)], 2.0, 0)).quantiles([0.5]) == [None]
