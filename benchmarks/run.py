"""Runs every benchmark script in this folder (bench_*.py, in name order).

Each compares quillo with the peer libraries on the same items in the same
run and prints ns per call and the ratio peer / quillo (above 1: quillo is
faster)."""

import importlib
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).parent))

from support import print_header  # noqa: E402


def main():
    print_header()
    for path in sorted(pathlib.Path(__file__).parent.glob("bench_*.py")):
        importlib.import_module(path.stem).run()


if __name__ == "__main__":
    main()
