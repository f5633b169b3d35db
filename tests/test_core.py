"""Builds and runs the C++ checks of the shared core pieces that the Python
surface cannot fully reach."""

from cpp_checks import run_checks


def test_core_checks(tmp_path_factory):
    run_checks(tmp_path_factory, "tests/cpp/core_test.cpp", "src/encoding/encoding.cpp", "src/codec/codec.cpp",
               "src/common/format.cpp")
