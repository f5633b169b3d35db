"""Summaries built per partition in the worker processes of a real Dask
cluster, shipped back as bytes or pickles and merged on the client, agree
with the summaries built serially: image for image where merging is
order-independent, within their error bounds elsewhere."""

import bisect
import collections
import pathlib
import random
import sys

import distributed
import pytest

import quillo

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "examples"))
import dask_partitions as example  # noqa: E402

PARTITIONS = 6
WORKERS = 3


def make_partitions():
    rng = random.Random(12)
    # Zipf-like words, so that partitions overlap and one word dominates.
    words = [f"w{int(rng.paretovariate(1.1)) % 20000}" for _ in range(60_000)]
    values = [rng.gauss(0.0, 1.0) for _ in words]
    size = len(words) // PARTITIONS
    return [(words[i:i + size], values[i:i + size]) for i in range(0, len(words), size)]


def hll_of(words):
    sketch = quillo.HllSketch(12)
    for word in words:
        sketch.update(word)
    return sketch


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=WORKERS, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as c:
        yield c


@pytest.fixture(scope="module")
def results(client):
    partitions = make_partitions()
    futures = client.map(example.summarize_partition, *zip(*partitions), pure=False)
    images = client.gather(futures)
    workers = {who for who_has in client.who_has(futures).values() for who in who_has}
    words = [w for part, _ in partitions for w in part]
    values = [v for _, part in partitions for v in part]
    return example.merge_images(images), example.summarize_serially(words, values), words, values, workers


def test_partitions_ran_in_several_worker_processes(results):
    *_, workers = results
    assert len(workers) > 1


@pytest.mark.parametrize("name", [n for n, s in example.RECIPES.items() if s.exact_image])
def test_order_independent_summaries_merge_to_the_serial_image(results, name):
    merged, serial, *_ = results
    assert merged[name].to_bytes() == serial[name].to_bytes()
    assert example.answer(name, merged[name]) == example.answer(name, serial[name])


def test_order_dependent_summaries_stay_within_their_bounds(results):
    merged, _, words, values, _ = results
    distinct = len(set(words))
    counts = collections.Counter(words)
    assert abs(merged["AodSketch"].estimate() - distinct) < 0.05 * distinct
    assert merged["AodSketch"].column_sums()[0] == pytest.approx(distinct, rel=0.05)
    assert merged["FrequentStringsSketch"].get_top_k(1)[0][0] == counts.most_common(1)[0][0]
    assert merged["FrequentStringsSketch"].get_stream_length() == len(words)
    ordered = sorted(values)
    for name in ("KllSketch", "TDigest"):
        rank = bisect.bisect_left(ordered, merged[name].quantile(0.5)) / len(ordered)
        assert abs(rank - 0.5) < 0.02, name
    sample = merged["ReservoirSamplerA"].sample()
    assert len(sample) == 20 and set(sample) <= counts.keys()
    # A merge offers the other's sample item by item, so only those count as seen.
    assert merged["ReservoirSamplerA"].items_seen() == PARTITIONS * 20


def test_pickled_summaries_travel_like_images(client):
    partitions = [words for words, _ in make_partitions()]
    # Here dask pickles the sketches themselves through __reduce__.
    sketches = client.gather(client.map(hll_of, partitions, pure=False))
    total = quillo.HllSketch(12)
    for sketch in sketches:
        total.merge(sketch)
    serial = quillo.HllSketch(12)
    serial.merge(hll_of([w for part in partitions for w in part]))
    assert total.to_bytes() == serial.to_bytes()
