"""Summaries built per partition in the worker processes of a real Dask cluster and merged on the client
agree with serial ones: image for image where merging is order-independent, within error bounds elsewhere."""

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

RNG = random.Random(12)
# Zipf-like words, so that partitions overlap and one word dominates.
WORDS = [f"w{int(RNG.paretovariate(1.1)) % 20000}" for _ in range(60_000)]
VALUES = [RNG.gauss(0.0, 1.0) for _ in WORDS]
PARTS = [slice(i, i + 10_000) for i in range(0, len(WORDS), 10_000)]


def hll_of(words):
    sketch = quillo.HllSketch(12)
    for word in words:
        sketch.update(word)
    return sketch


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=3, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as c:
        yield c


@pytest.fixture(scope="module")
def results(client):
    futures = client.map(example.summarize_partition, [WORDS[p] for p in PARTS], [VALUES[p] for p in PARTS], pure=False)
    merged = example.merge_images(client.gather(futures))
    workers = {who for who_has in client.who_has(futures).values() for who in who_has}  # after the gather
    return merged, example.summarize_serially(WORDS, VALUES), workers


@pytest.mark.parametrize("name", [n for n, s in example.RECIPES.items() if s.exact_image])
def test_order_independent_summaries_merge_to_the_serial_image(results, name):
    merged, serial, *_ = results
    assert merged[name].to_bytes() == serial[name].to_bytes()
    assert example.answer(name, merged[name]) == example.answer(name, serial[name])


def test_order_dependent_summaries_stay_within_their_bounds(results):
    merged, _, workers = results
    assert len(workers) > 1, "the partitions all ran in one worker process"
    distinct, counts, ordered = len(set(WORDS)), collections.Counter(WORDS), sorted(VALUES)
    assert abs(merged["AodSketch"].estimate() - distinct) < 0.05 * distinct
    assert merged["AodSketch"].column_sums()[0] == pytest.approx(distinct, rel=0.05)
    assert merged["FrequentStringsSketch"].get_top_k(1)[0][0] == counts.most_common(1)[0][0]
    assert merged["FrequentStringsSketch"].get_stream_length() == len(WORDS)
    for name in ("KllSketch", "TDigest"):
        rank = bisect.bisect_left(ordered, merged[name].quantile(0.5)) / len(ordered)
        assert abs(rank - 0.5) < 0.02, name
    sample = merged["ReservoirSamplerA"].sample()
    assert len(sample) == 20 and set(sample) <= counts.keys()
    # The merged sample stands for every partition's items.
    assert merged["ReservoirSamplerA"].items_seen() == len(WORDS)


def test_pickled_summaries_travel_like_images(client):
    # Here dask pickles the sketches themselves through __reduce__.
    total, serial = quillo.HllSketch(12), quillo.HllSketch(12)
    for sketch in client.gather(client.map(hll_of, [WORDS[p] for p in PARTS], pure=False)):
        total.merge(sketch)
    serial.merge(hll_of(WORDS))
    assert total.to_bytes() == serial.to_bytes()
