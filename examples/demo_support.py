"""The demo's corpus and its table and progress-bar printing."""

import pathlib
import re
import sys
import sysconfig
import time
from dataclasses import dataclass

WORD = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
MAX_WORDS = 2_000_000


@dataclass
class Corpus:
    words: list
    lines: list
    files: int


def load_corpus():
    root = pathlib.Path(sysconfig.get_paths()["stdlib"])
    words, lines, files = [], [], 0
    for path in sorted(root.rglob("*.py")):
        if "site-packages" in path.parts:
            continue
        try:
            text = path.read_text(encoding="utf-8")
        except (UnicodeDecodeError, OSError):
            continue
        files += 1
        lines.extend(line for line in text.splitlines() if line.strip())
        words.extend(WORD.findall(text))
        if len(words) >= MAX_WORDS:
            break
    return Corpus(words[:MAX_WORDS], lines, files)


class Report:
    BAR = 30

    def stream(self, label, items, update):
        """Feeds every item to ``update``; returns updates per second."""
        return self._slices(label, len(items), lambda i, j: [update(item) for item in items[i:j]])

    def columns(self, label, items, update_many, *others):
        """Feeds ``items`` (and the columns of ``others`` beside them) to a bulk
        method in 50 slices; returns rows per second."""
        return self._slices(label, len(items), lambda i, j: update_many(items[i:j], *(o[i:j] for o in others)))

    def _slices(self, label, total, feed):
        """Runs ``feed(i, j)`` over 50 slices of ``total`` rows, with a progress
        bar on a terminal only; returns rows per second."""
        step = max(1, total // 50)
        bar = sys.stderr.isatty()
        start = time.perf_counter()
        for i in range(0, total, step):
            done = min(total, i + step)
            feed(i, done)
            if bar:
                filled = self.BAR * done // total
                sys.stderr.write(f"\r  {label:<28} [{'#' * filled}{'.' * (self.BAR - filled)}] {done:>9,}")
                sys.stderr.flush()
        elapsed = time.perf_counter() - start
        if bar:
            sys.stderr.write("\r" + " " * (self.BAR + 52) + "\r")
        return total / elapsed if elapsed > 0 else float("inf")

    def table(self, title, headers, rows):
        cells = [[self._cell(v) for v in row] for row in rows]
        widths = [max(len(h), *(len(r[i]) for r in cells)) if cells else len(h) for i, h in enumerate(headers)]
        print(title)
        print("  " + "  ".join(h.ljust(w) for h, w in zip(headers, widths)))
        print("  " + "  ".join("-" * w for w in widths))
        for row in cells:
            print("  " + "  ".join(c.rjust(w) for c, w in zip(row, widths)))
        print()

    @staticmethod
    def _cell(value):
        if isinstance(value, float):
            return f"{value:,.4f}" if abs(value) < 10 else f"{value:,.1f}"
        if isinstance(value, int):
            return f"{value:,}"
        return str(value)


def relative_error(estimate, exact):
    return abs(estimate - exact) / exact if exact else 0.0
