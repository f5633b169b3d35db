"""Project-level promises: the version has one source, the Python code passes the linter and the C++ code
keeps its format."""

import importlib.util
import os
import pathlib
import re
import subprocess
import sys

import pytest

import quillo

ROOT = pathlib.Path(__file__).resolve().parents[1]


def test_module_version_is_the_project_version():
    declared = re.search(r'^version = "([^"]+)"$', (ROOT / "pyproject.toml").read_text(), re.M).group(1)
    assert quillo.__version__ == declared


@pytest.mark.skipif(importlib.util.find_spec("ruff") is None, reason="the linter comes with the test extras")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="not under the sanitizer preload")
def test_python_code_passes_the_linter():
    result = subprocess.run([sys.executable, "-m", "ruff", "check", "--no-cache", str(ROOT)],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr


CPP_DIRS = ("src", "tests/cpp", "fuzz", "tools")


@pytest.mark.skipif(importlib.util.find_spec("clang_format") is None, reason="the formatter comes with the test extras")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="not under the sanitizer preload")
def test_cpp_code_is_formatted():
    sources = sorted(str(p) for d in CPP_DIRS for p in (ROOT / d).rglob("*.[ch]pp"))
    result = subprocess.run([sys.executable, "-c", "import clang_format; clang_format.clang_format()",
                             "--dry-run", "--Werror", *sources], capture_output=True, text=True, cwd=ROOT)
    assert result.returncode == 0, "run `make format`:\n" + result.stderr[-4000:]
