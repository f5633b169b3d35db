"""Builds a C++ check under tests/cpp with the doctest runner and runs it."""

import functools
import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
COMPILER = "c++"
FLAGS = ["-std=c++20", "-O1", "-Wall", "-Wextra", "-Werror", f"-I{ROOT / 'src'}"]


@functools.cache
def have_doctest():
    if shutil.which(COMPILER) is None:
        return False
    probe = subprocess.run([COMPILER, "-E", "-x", "c++", "-"], input="#include <doctest/doctest.h>\n",
                           capture_output=True, text=True)
    return probe.returncode == 0


@functools.cache
def runner_object(directory):
    """The runner takes longer to compile than any check, so it is built once per session."""
    target = pathlib.Path(directory) / "doctest_main.o"
    subprocess.run([COMPILER, *FLAGS, "-c", str(ROOT / "tests/cpp/main.cpp"), "-o", str(target)], check=True)
    return target


def run_checks(tmp_path_factory, check, *sources):
    """Builds `check` with `sources` and asserts that all its checks pass, showing doctest's report if not."""
    if not have_doctest():
        pytest.skip("needs a C++ compiler and the doctest header (make headers installs it)")
    runner = runner_object(str(tmp_path_factory.getbasetemp()))
    program = tmp_path_factory.mktemp("cpp") / pathlib.Path(check).stem
    subprocess.run([COMPILER, *FLAGS, *(str(ROOT / s) for s in (check, *sources)), str(runner), "-o", str(program)],
                   check=True)
    result = subprocess.run([str(program)], capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
