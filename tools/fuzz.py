#!/usr/bin/env python3
"""Long fuzz run of every decoder: damaged real images and random bytes.

    python3 tools/fuzz.py [--seconds 60] [--classes A,B] [--out build/fuzz-findings] [--seed N]
    python3 tools/fuzz.py --atheris CLASS [libFuzzer flags]

The default driver gives each class its own worker process, which writes the
input it is about to try to a file first; when the worker dies (a crash, an
abort, a hang past the watchdog) the driver keeps that input under --out and
starts a new worker on the next seed. Each worker runs under an address-space
limit, so a decoder that tries a giant allocation shows as a MemoryError
finding instead of taking the machine's memory. Exit status 1 if anything was
found. With --atheris the libFuzzer engine drives one class instead.

Against the sanitizer build, which catches reads past a buffer that do not
crash, run it with the environment of `make sanitize`:

    PYTHONPATH=build/sanitize LD_PRELOAD="$(g++ -print-file-name=libasan.so) \
      $(g++ -print-file-name=libubsan.so)" ASAN_OPTIONS=detect_leaks=0:\
      allocator_may_return_null=1:max_allocation_size_mb=2048 \
      UBSAN_OPTIONS=halt_on_error=1 python3 tools/fuzz.py
"""

import argparse
import faulthandler
import os
import pathlib
import random
import resource
import subprocess
import struct
import sys
import time
import traceback

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

import test_fuzz  # noqa: E402
from registry import BYTE_CASES  # noqa: E402

MEMORY_LIMIT = 2 << 30
HANG_SECONDS = 20
BATCH = 200
COUNTS = 16


def case_named(name):
    return next(c for c in BYTE_CASES if c.name == name)


def limit_memory():
    # The sanitizer reserves terabytes of shadow address space; its own
    # allocation limit (max_allocation_size_mb) stands in for this one.
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        resource.setrlimit(resource.RLIMIT_AS, (MEMORY_LIMIT, MEMORY_LIMIT))


def work(name, seed, seconds, current):
    """Worker: fuzz one class until time runs out. Its slot file holds the
    counts so far and the input being tried, or the final counts alone."""
    limit_memory()
    case = case_named(name)
    rng = random.Random(f"{name}-{seed}")
    images = test_fuzz.seed_images(case)
    deadline = time.monotonic() + seconds
    tried = decoded = 0
    with open(current, "wb", buffering=0) as slot:
        while time.monotonic() < deadline:
            for _ in range(BATCH):
                data = test_fuzz.damaged(images, rng)
                tried += 1
                slot.seek(0)
                slot.truncate()
                slot.write(struct.pack("<QQ", tried, decoded) + data)
                faulthandler.dump_traceback_later(HANG_SECONDS, exit=True)
                try:
                    decoded += test_fuzz.decode_and_use(case, data)
                except BaseException:  # noqa: B902 - every other outcome is a finding
                    traceback.print_exc()
                    return 3
                finally:
                    faulthandler.cancel_dump_traceback_later()
        slot.seek(0)
        slot.truncate()
        slot.write(struct.pack("<QQ", tried, decoded))
    return 0


def fuzz_class(name, seconds, out, seed):
    """Driver for one class: runs workers until the time is spent; returns (tried, decoded, findings)."""
    current = out / f".{name}.current"
    deadline = time.monotonic() + seconds
    tried = decoded = findings = 0
    while (left := deadline - time.monotonic()) > 1:
        worker = subprocess.run([sys.executable, __file__, "--worker", name, str(seed), str(left), str(current)],
                                capture_output=True, text=True)
        slot = current.read_bytes()
        worker_tried, worker_decoded = struct.unpack_from("<QQ", slot)
        tried += worker_tried
        decoded += worker_decoded
        if worker.returncode != 0:
            findings += 1
            kept = out / f"{name}-{seed}.bin"
            kept.write_bytes(slot[COUNTS:])
            kept.with_suffix(".log").write_text(worker.stderr)
            print(f"  {name}: finding (exit {worker.returncode}) kept in {kept}", flush=True)
        seed += 1
    current.unlink(missing_ok=True)
    return tried, decoded, findings


def run_atheris(name, argv, out):
    """libFuzzer mutations from the class's real images. The extension carries
    no coverage instrumentation, so the only feedback is the Python code that
    decodes and exercises (which methods refuse, which succeed)."""
    import atheris

    case = case_named(name)
    corpus = out / f"corpus-{name}"
    corpus.mkdir(parents=True, exist_ok=True)
    for i, image in enumerate(test_fuzz.seed_images(case)):
        (corpus / f"seed-{i}").write_bytes(image)

    def one_input(data):
        test_fuzz.decode_and_use(case, data)

    limit_memory()
    for helper in ("decode_and_use", "exercise"):
        setattr(test_fuzz, helper, atheris.instrument_func(getattr(test_fuzz, helper)))
    atheris.Setup([sys.argv[0], *argv, str(corpus)], one_input)
    atheris.Fuzz()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=60, help="time per class")
    parser.add_argument("--classes", help="comma-separated class names (default: every class with an image)")
    parser.add_argument("--out", default="build/fuzz-findings", help="folder for the inputs that caused findings")
    parser.add_argument("--seed", type=int, default=0, help="first worker seed; runs with other seeds try other inputs")
    parser.add_argument("--atheris", metavar="CLASS", help="drive CLASS with atheris instead")
    parser.add_argument("--worker", nargs=4, help=argparse.SUPPRESS)
    args, rest = parser.parse_known_args()
    if args.worker:
        name, seed, seconds, current = args.worker
        return work(name, int(seed), float(seconds), current)
    out = pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    if args.atheris:
        return run_atheris(args.atheris, rest, out)
    names = args.classes.split(",") if args.classes else [c.name for c in BYTE_CASES]
    total_findings = 0
    print(f"{'class':26} {'inputs':>9} {'decoded':>8} {'findings':>8}")
    for name in names:
        tried, decoded, findings = fuzz_class(name, args.seconds, out, args.seed)
        total_findings += findings
        print(f"{name:26} {tried:9} {decoded:8} {findings:8}", flush=True)
    return 1 if total_findings else 0


if __name__ == "__main__":
    sys.exit(main())
