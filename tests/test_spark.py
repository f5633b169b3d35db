"""The Spark example in local mode: summaries built by `mapInArrow` from the
Arrow batches of every partition and merged on the driver equal one summary
of all rows, image for image where merging is order-independent."""

import bisect
import os
import pathlib
import sys

import pyarrow as pa
import pytest
from pyspark.sql import SparkSession

EXAMPLES = str(pathlib.Path(__file__).resolve().parents[1] / "examples")
sys.path.insert(0, EXAMPLES)
import spark_partitions as example  # noqa: E402

ROWS = 20_000
PARTITIONS = 4

# The JVM does not start with the sanitizer runtime preloaded, and the Python
# workers it starts could not load the sanitizer build without it.
pytestmark = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                reason="Spark's JVM does not run under the sanitizer preload")


@pytest.fixture(scope="module")
def spark():
    # The Python workers run this interpreter and find the module under test
    # and the example, whose functions they unpickle by reference.
    os.environ["PYSPARK_PYTHON"] = sys.executable
    os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [EXAMPLES, os.environ.get("PYTHONPATH")]))
    session = (SparkSession.builder.master("local[2]").appName("quillo-test")
               .config("spark.ui.enabled", "false").config("spark.sql.shuffle.partitions", "2")
               .getOrCreate())
    yield session
    session.stop()


@pytest.fixture(scope="module")
def merged_and_rows(spark):
    df = example.example_frame(spark, ROWS, PARTITIONS)
    # The same rows on the driver, as one Arrow batch.
    rows = pa.RecordBatch.from_pylist([row.asDict() for row in df.collect()])
    return example.summarize(df), rows


def serial_summaries(batch):
    serial = {}
    for name, (make, feed) in example.SUMMARIES.items():
        summary = make()
        feed(summary, batch)
        serial[name] = example.COMBINE[name](make(), summary)
    return serial


@pytest.mark.parametrize("name", ["HllSketch", "CpcSketch", "ThetaSketch", "CountMinSketch"])
def test_partition_images_merge_to_the_image_of_all_rows(merged_and_rows, name):
    merged, batch = merged_and_rows
    assert merged[name].to_bytes() == serial_summaries(batch)[name].to_bytes()


def test_merged_quantiles_stay_within_their_bounds(merged_and_rows):
    merged, batch = merged_and_rows
    ordered = sorted(batch.column("latency").to_pylist())
    rank = bisect.bisect_left(ordered, merged["KllSketch"].quantile(0.5)) / len(ordered)
    assert abs(rank - 0.5) < 0.02
    assert merged["KllSketch"].count() == ROWS
    assert merged["HllSketch"].estimate() == pytest.approx(len(set(batch.column("word").to_pylist())), rel=0.05)
