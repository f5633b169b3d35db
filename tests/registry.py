"""The shared registry of classes under test.

Each family lists its classes in a ``tests/cases_<family>.py`` module as
``CASES = [Case(...), ...]``; the shared checks in ``test_common.py`` then
cover pickling, copying, decoding failures, finality and borrow conflicts for
every registered class.
"""

import importlib
import pathlib
from dataclasses import dataclass
from typing import Callable, Optional


@dataclass(frozen=True)
class Case:
    cls: type
    # Builds a non-trivial instance (one that has seen some input).
    make: Callable[[], object]
    # Name carried by general-encoding decode errors; None for images with a
    # preamble of their own (and for classes without a byte image).
    decode_name: Optional[str]
    # A mutating call on an instance, e.g. ``lambda s: s.update("x")``.
    mutate: Callable[[object], object]
    # ``lambda a, b: a.merge(b)`` where the class merges another of its kind.
    merge: Optional[Callable[[object, object], object]] = None
    has_bytes: bool = True

    @property
    def name(self):
        return self.cls.__name__


def all_cases():
    cases = []
    for path in sorted(pathlib.Path(__file__).parent.glob("cases_*.py")):
        cases.extend(importlib.import_module(path.stem).CASES)
    return cases


CASES = all_cases()
BYTE_CASES = [c for c in CASES if c.has_bytes]
GENERAL_CASES = [c for c in BYTE_CASES if c.decode_name is not None]
MERGE_CASES = [c for c in CASES if c.merge is not None]


def ids(cases):
    return [c.name for c in cases]
