"""Project-level promises: the version has one source, and the Python code passes the linter."""

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
