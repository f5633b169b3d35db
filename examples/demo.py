"""Streams the words and lines of the installed Python standard library's
source through every quillo summary and prints each answer beside the exact
one.

Each family's part of the demo is a module in ``examples/sections/`` with a
``run(corpus, report)`` function; they run in file-name order. The last one
draws the accuracy curves into build/demo.png.
"""

import importlib
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).parent))

from demo_support import Report, load_corpus  # noqa: E402


def main():
    corpus = load_corpus()
    report = Report()
    print(f"corpus: {len(corpus.words):,} words, {len(corpus.lines):,} lines "
          f"from {corpus.files:,} files of the standard library\n")
    for path in sorted((pathlib.Path(__file__).parent / "sections").glob("*.py")):
        importlib.import_module(f"sections.{path.stem}").run(corpus, report)


if __name__ == "__main__":
    main()
