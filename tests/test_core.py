"""Builds and runs the C++ checks of the shared core pieces that the Python
surface cannot fully reach."""

import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
SOURCES = ["tests/cpp/core_test.cpp", "src/encoding/encoding.cpp", "src/codec/codec.cpp", "src/common/format.cpp"]


@pytest.mark.skipif(shutil.which("g++") is None, reason="needs a C++ compiler")
def test_core_checks(tmp_path):
    binary = tmp_path / "core_test"
    subprocess.run(["g++", "-std=c++20", "-O1", "-Wall", "-Wextra", "-Werror", f"-I{ROOT / 'src'}",
                    *(str(ROOT / s) for s in SOURCES), "-o", str(binary)], check=True)
    result = subprocess.run([str(binary)], capture_output=True, text=True)
    assert result.returncode == 0, result.stdout
