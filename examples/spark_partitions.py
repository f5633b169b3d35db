"""Summaries built per partition in Spark with `mapInArrow`, straight from the
Arrow record batches, shipped to the driver as bytes and merged there.

Each task feeds its batches' columns to the bulk methods (no Python object per
row), writes one row per summary holding its image, and the driver merges the
images of every partition. Distinct counts and Count-Min merge exactly: the
merged image is byte for byte the one a single summary of all rows would write.

    python3 examples/spark_partitions.py     (Spark in local mode; needs pyspark and Java)
"""

import sys

import pyarrow as pa

import quillo

# The summaries every partition builds: name -> (factory, feed(summary, batch)).
SUMMARIES = {
    "HllSketch": (lambda: quillo.HllSketch(12), lambda s, b: s.update_many(b.column("word"))),
    "CpcSketch": (lambda: quillo.CpcSketch(11), lambda s, b: s.update_many(b.column("word"))),
    "ThetaSketch": (lambda: quillo.ThetaSketch(4096), lambda s, b: s.update_many(b.column("word"))),
    "CountMinSketch": (lambda: quillo.CountMinSketch(2048, 4),
                       lambda s, b: s.update_many(b.column("word"), b.column("count"))),
    "KllSketch": (lambda: quillo.KllSketch(200), lambda s, b: s.update_many(b.column("latency"))),
}


def _merge(total, part):
    total.merge(part)
    return total


def _union(total, part):
    return total.union(part)


# How the driver folds a partition's summary into the total.
COMBINE = {"HllSketch": _merge, "CpcSketch": _merge, "ThetaSketch": _union, "CountMinSketch": _merge,
           "KllSketch": _merge}
IMAGE_SCHEMA = "name string, image binary"


def summarize_batches(batches):
    """Runs in each task: every summary of the partition's batches, one row per summary."""
    summaries = {name: make() for name, (make, _) in SUMMARIES.items()}
    for batch in batches:
        for name, (_, feed) in SUMMARIES.items():
            feed(summaries[name], batch)
    yield pa.RecordBatch.from_pydict({
        "name": list(summaries),
        "image": [s.to_bytes() for s in summaries.values()],
    })


def merge_images(rows):
    """Runs on the driver: the union of every partition's summary, per class."""
    totals = {name: make() for name, (make, _) in SUMMARIES.items()}
    for row in rows:
        part = getattr(quillo, row["name"]).from_bytes(bytes(row["image"]))
        totals[row["name"]] = COMBINE[row["name"]](totals[row["name"]], part)
    return totals


def summarize(df):
    """The merged summaries of a DataFrame with columns word (string), count (long), latency (double)."""
    return merge_images(df.mapInArrow(summarize_batches, IMAGE_SCHEMA).collect())


def example_frame(spark, rows=200_000, partitions=8):
    from pyspark.sql import functions as F
    return (spark.range(rows, numPartitions=partitions)
            .select(F.concat(F.lit("user-"), (F.col("id") % 50_000).cast("string")).alias("word"),
                    (F.col("id") % 3 + 1).alias("count"),
                    (F.col("id") % 1000 / 10.0).alias("latency")))


def main():
    from pyspark.sql import SparkSession

    spark = (SparkSession.builder.master("local[2]").appName("quillo-summaries")
             .config("spark.ui.enabled", "false").getOrCreate())
    try:
        df = example_frame(spark)
        merged = summarize(df)
        print(f"{df.count():,} rows in {df.rdd.getNumPartitions()} partitions")
        print(f"  distinct words     exact 50,000   HllSketch {merged['HllSketch'].estimate():,.0f}   "
              f"CpcSketch {merged['CpcSketch'].estimate():,.0f}   ThetaSketch {merged['ThetaSketch'].estimate():,.0f}")
        print(f"  count of user-7    exact {sum(i % 3 + 1 for i in range(7, 200_000, 50_000))}   "
              f"CountMinSketch {merged['CountMinSketch'].estimate('user-7')}")
        print(f"  median latency     exact 49.95   KllSketch {merged['KllSketch'].quantile(0.5)}")
    finally:
        spark.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
