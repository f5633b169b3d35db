"""TDigest and StreamingTDigest: the digest engine's folding and
interpolation, the object rules around it, the buffer, and the images."""

import random
import struct
import subprocess
import sys

import pytest

from quillo import StreamingTDigest, TDigest


def panics(fn, *args):
    with pytest.raises(BaseException) as err:
        fn(*args)
    assert type(err.value).__name__ == "PanicException"


def varint(n):
    out = bytearray()
    while n >= 0x80:
        out.append(n & 0x7F | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


def centroids(digest):
    """The (mean, weight) pairs at the start of an image (fewer than 128)."""
    data = digest.to_bytes()
    count = data[0]
    assert count < 0x80
    return [struct.unpack_from("<2d", data, 1 + 16 * i) for i in range(count)]


def batch(values, compression=None):
    t = TDigest(compression)
    t.add_batch([float(v) for v in values])
    return t


class TestEngine:
    def test_small_stream_keeps_singletons_and_interpolates(self):
        t = batch([4, 2, 3, 1])
        assert centroids(t) == [(1.0, 1.0), (2.0, 1.0), (3.0, 1.0), (4.0, 1.0)]
        assert t.median() == 2.5
        assert t.p75() == 3.5
        assert t.quantile(0.5) == 2.5

    def test_scale_limits_fold_values(self):
        # compression 2: limits 0.5 and 1.0 of the total weight
        assert centroids(batch(range(1, 11), 2)) == [(3.0, 5.0), (8.0, 5.0)]

    def test_digest_merge_repeats_the_first_limit(self):
        a, b = batch([1, 2, 3, 4], 2), batch([5, 6, 7, 8], 2)
        assert centroids(a) == [(1.5, 2.0), (3.5, 2.0)]
        a.merge(b)
        assert centroids(a) == [(2.5, 4.0), (5.5, 2.0), (7.5, 2.0)]
        assert a.count() == 8

    def test_compression_bounds_the_centroids(self):
        rng = random.Random(7)
        t = batch([rng.random() for _ in range(20_000)], 50)
        assert len(t.to_bytes()) < 16 * 60 + 64

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
    def test_fresh_object(self):
        t = TDigest()
        assert t.quantile(0.5) is None and t.median() is None and t.p999() is None
        assert t.rank(1.0) == 0.0
        assert t.trimmed_mean(0.1, 0.9) is None
        assert list(t.statistics().items()) == [
            ("count", 0), ("compression", 100), ("min_value", None), ("max_value", None), ("memory_usage", 1712)]
        assert t.is_empty() and t.min() is None

    def test_single_value(self):
        t = TDigest()
        t.add(5.0)
        assert t.quantile(0.5) == t.median() == 5.0
        assert t.rank(5.0) == 0.0 and t.rank(6.0) == 1.0
        assert t.statistics()["min_value"] == 5.0

    def test_out_of_range_ranks_clamp_to_extremes(self):
        t = batch([3, 1, 2])
        assert (t.quantile(-1.0), t.quantile(2.0)) == (1.0, 3.0)
        assert t.quantiles([0.0, 0.5, 1.0]) == [1.0, 2.0, 3.0]
        assert TDigest().quantiles([0.5]) == [None]

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
        assert t.to_bytes() == before
        panics(t.add_batch, [1.0, float("nan")])
        assert t.to_bytes() == before
        t.add_batch([float("nan")])
        assert t.count() == 3 and t.max() == 2.0
        first = TDigest()
        first.add_batch([float("nan")])
        first.add(1.0)
        assert first.min() != first.min()  # a stored NaN extreme is never replaced

    def test_clear(self):
        t = batch(range(10), 30)
        t.clear()
        assert t.to_bytes() == TDigest(30).to_bytes()


class TestMerge:
    def test_merging_empty_objects_changes_nothing(self):
        a = TDigest()
        a.merge(TDigest(7))
        assert a.to_bytes() == TDigest().to_bytes()

    def test_receiver_keeps_its_compression(self):
        a, b = TDigest(500), batch(range(100), 20)
        before = b.to_bytes()
        a.merge(b)
        assert a.statistics()["compression"] == 500
        assert a.count() == 100 and (a.min(), a.max()) == (0.0, 99.0)
        assert b.to_bytes() == before
        # the digest's own limit is the receiver's too
        assert TDigest.from_bytes(a.to_bytes()).to_bytes() == a.to_bytes()
        assert varint(500) in a.to_bytes()[1 + 16 * a.to_bytes()[0]:][:3]

    def test_nan_extreme_yields_to_the_other(self):
        a = TDigest()
        a.add(float("nan"))
        a.merge(batch([4, 2]))
        assert (a.min(), a.max()) == (2.0, 4.0)
        assert a.count() == 3


class TestStreaming:
    def test_defaults(self):
        s = StreamingTDigest()
        assert list(s.statistics().items()) == [
            ("count", 0), ("compression", 100), ("min_value", None), ("max_value", None), ("memory_usage", 9712)]
        assert s.quantile(0.5) is None and s.median() is None

    def test_buffer_flushes_when_full(self):
        s = StreamingTDigest()
        for i in range(999):
            s.add(float(i))
        empty = TDigest().to_bytes()
        assert s.to_bytes().startswith(empty + varint(999))
        s.add(999.0)
        reference = batch(range(1000))
        assert s.to_bytes() == reference.to_bytes() + varint(0) + varint(1000)

    def test_queries_flush(self):
        s = StreamingTDigest()
        s.add(3.0)
        assert s.quantile(0.5) == 3.0
        assert s.statistics()["count"] == 1
        before = s.to_bytes()
        s.flush()
        assert s.to_bytes() == before

    def test_buffer_size_zero_flushes_every_add(self):
        s = StreamingTDigest(10, 0)
        s.add(1.0)
        s.add(2.0)
        reference = TDigest(10)
        reference.add_batch([1.0])
        reference.add_batch([2.0])
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

    def test_decoder_refuses_nan_in_the_buffer(self):
        image = TDigest().to_bytes() + varint(2) + struct.pack("<2d", 1.0, float("nan")) + varint(5)
        with pytest.raises(ValueError, match="^corrupt data: StreamingTDigest decode failed: "):
            StreamingTDigest.from_bytes(image)

    def test_overfull_decoded_buffer_flushes_on_next_add(self):
        image = TDigest().to_bytes() + varint(3) + struct.pack("<3d", 1.0, 2.0, 3.0) + varint(2)
        s = StreamingTDigest.from_bytes(image)
        s.add(4.0)
        assert s.to_bytes().endswith(varint(0) + varint(2))


def test_images_agree_across_processes():
    script = ("import quillo\nt = quillo.TDigest(40)\ns = quillo.StreamingTDigest(40, 64)\n"
              "vals = [float((i * 7919) % 1009) for i in range(3000)]\n"
              "t.add_batch(vals)\n[t.add(v) for v in vals[:200]]\n[s.add(v) for v in vals]\n"
              "print(t.to_bytes().hex(), s.to_bytes().hex())")
    other = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    vals = [float((i * 7919) % 1009) for i in range(3000)]
    t, s = TDigest(40), StreamingTDigest(40, 64)
    t.add_batch(vals)
    for v in vals[:200]:
        t.add(v)
    for v in vals:
        s.add(v)
    assert other.stdout.split() == [t.to_bytes().hex(), s.to_bytes().hex()]
