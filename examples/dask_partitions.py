"""Summaries built per partition on a Dask cluster, shipped to the client as
bytes, merged there, and compared with the same summaries built serially.

Each worker process reads its own share of the standard library's files and
summarises their words and line lengths; only the summaries' images travel
back. Hashes use fixed seeds and images fixed layouts, so the client merges
images written by other processes exactly as if it had built them itself.

    python3 examples/dask_partitions.py [workers]

(The file is not called distributed.py: run as a script, that name would
shadow the `distributed` package for every import in this folder.)
"""

import collections
import pathlib
import re
import sys
import sysconfig
from dataclasses import dataclass
from typing import Callable

import quillo

WORD = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")


@dataclass(frozen=True)
class Recipe:
    make: Callable[[], object]
    # Feeds one partition's words and values into a summary.
    feed: Callable[[object, list, list], None]
    # Folds ``other`` into ``total``; returns the result (a new summary for
    # the classes whose union returns one).
    combine: Callable[[object, object], object]
    # True when merging partitions gives byte for byte the image of the union
    # of the serial summary: the order-independent, deterministic classes.
    exact_image: bool


def _words(method="update_many"):
    def feed(summary, words, values):
        getattr(summary, method)(words)
    return feed


def _values(s, words, values):
    s.update_many(values)


def _merge(total, other):
    total.merge(other)
    return total


def _union(total, other):
    return total.union(other)


def _union_in_place(total, other):
    total.union(other)
    return total


def _aod_feed(s, words, values):
    s.update_many(words, [[1.0, float(len(word))] for word in words])


def _digest_feed(s, words, values):
    s.add_batch(values)


RECIPES = {
    "HllSketch": Recipe(lambda: quillo.HllSketch(12), _words(), _merge, True),
    "HllPlusPlusSketch": Recipe(lambda: quillo.HllPlusPlusSketch(12), _words(), _merge, True),
    "HllPlusPlusSparseSketch": Recipe(lambda: quillo.HllPlusPlusSparseSketch(12), _words(), _merge, True),
    "CpcSketch": Recipe(lambda: quillo.CpcSketch(11), _words(), _merge, True),
    "ThetaSketch": Recipe(lambda: quillo.ThetaSketch(4096), _words(), _union, True),
    "LinearCounter": Recipe(lambda: quillo.LinearCounter(1 << 20), _words(), _merge, True),
    "CountMinSketch": Recipe(lambda: quillo.CountMinSketch(4096, 4), _words(), _merge, True),
    "AodSketch": Recipe(lambda: quillo.AodSketch(4096, 2), _aod_feed, _union_in_place, False),
    "FrequentStringsSketch": Recipe(lambda: quillo.FrequentStringsSketch(256, None), _words(), _merge, False),
    "KllSketch": Recipe(lambda: quillo.KllSketch(200), _values, _merge, False),
    "TDigest": Recipe(lambda: quillo.TDigest(100), _digest_feed, _merge, False),
    "ReservoirSamplerA": Recipe(lambda: quillo.ReservoirSamplerA(20), _words("add_many"), _merge, False),
}


def summarize_partition(words, values):
    """Runs on a worker: every summary of one partition, as {class name: image}.

    The images are taken on the worker thread that built the summaries: the
    reservoir samplers are bound to the thread that creates them, so they
    travel as bytes and are rebuilt on the thread that merges them."""
    images = {}
    for name, recipe in RECIPES.items():
        summary = recipe.make()
        recipe.feed(summary, words, values)
        images[name] = summary.to_bytes()
    return images


def merge_images(partition_images):
    """Runs on the client: the union of every partition's summary, per class."""
    merged = {}
    for name, recipe in RECIPES.items():
        total = recipe.make()
        for images in partition_images:
            total = recipe.combine(total, getattr(quillo, name).from_bytes(images[name]))
        merged[name] = total
    return merged


def summarize_serially(words, values):
    """The same summaries over the whole stream in one process, passed through
    one union each so that they compare with the merged ones image for image."""
    serial = {}
    for name, recipe in RECIPES.items():
        summary = recipe.make()
        recipe.feed(summary, words, values)
        serial[name] = recipe.combine(recipe.make(), summary)
    return serial


def answer(name, summary):
    """One comparable answer per class."""
    if name == "CountMinSketch":
        return summary.estimate("self")
    if name == "FrequentStringsSketch":
        return summary.get_top_k(1)[0][0]
    if name == "KllSketch" or name == "TDigest":
        return summary.quantile(0.5)
    if name == "ReservoirSamplerA":
        return len(summary.sample())
    return summary.estimate()


def exact_answers(words, values):
    """What ``answer`` estimates, computed exactly."""
    distinct = len(set(words))
    counts = collections.Counter(words)
    exact = {name: distinct for name in RECIPES}
    exact["CountMinSketch"] = counts["self"]
    exact["FrequentStringsSketch"] = counts.most_common(1)[0][0]
    exact["KllSketch"] = exact["TDigest"] = sorted(values)[len(values) // 2]
    exact["ReservoirSamplerA"] = min(20, len(words))
    return exact


def read_partition(paths):
    """Runs on a worker: the words and line lengths of its share of the files."""
    words, values = [], []
    for path in paths:
        try:
            text = pathlib.Path(path).read_text(encoding="utf-8")
        except (UnicodeDecodeError, OSError):
            continue
        words.extend(WORD.findall(text))
        values.extend(float(len(line)) for line in text.splitlines() if line.strip())
    return words, values


def build_on_worker(paths):
    words, values = read_partition(paths)
    return summarize_partition(words, values)


def stdlib_files(limit=400):
    root = pathlib.Path(sysconfig.get_paths()["stdlib"])
    files = [str(p) for p in sorted(root.rglob("*.py")) if "site-packages" not in p.parts]
    return files[:limit]


def main(workers=3):
    from dask.distributed import Client, LocalCluster

    files = stdlib_files()
    partitions = [files[i::8] for i in range(8)]
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        images = client.gather(client.map(build_on_worker, partitions))
    merged = merge_images(images)
    words, values = read_partition(files)
    serial = summarize_serially(words, values)
    exact = exact_answers(words, values)
    print(f"{len(files)} files in {len(partitions)} partitions on {workers} worker processes: "
          f"{len(words):,} words\n")
    print(f"  {'class':<24} {'exact':>10} {'merged':>10} {'serial':>10}  images")
    for name, recipe in RECIPES.items():
        same = merged[name].to_bytes() == serial[name].to_bytes()
        verdict = ("identical" if same else "DIFFER") if recipe.exact_image else "order-dependent"
        print(f"  {name:<24} {_show(exact[name]):>10} {_show(answer(name, merged[name])):>10} "
              f"{_show(answer(name, serial[name])):>10}  {verdict}")
    bad = [n for n, s in RECIPES.items() if s.exact_image and merged[n].to_bytes() != serial[n].to_bytes()]
    return 1 if bad else 0


def _show(value):
    if isinstance(value, float):
        return f"{value:,.1f}"
    return f"{value:,}" if isinstance(value, int) else str(value)


if __name__ == "__main__":
    sys.exit(main(*(int(a) for a in sys.argv[1:])))
