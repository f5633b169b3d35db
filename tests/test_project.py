"""Project-level promises: the version has one source."""

import pathlib
import re

import quillo

ROOT = pathlib.Path(__file__).resolve().parents[1]


def test_module_version_is_the_project_version():
    declared = re.search(r'^version = "([^"]+)"$', (ROOT / "pyproject.toml").read_text(), re.M).group(1)
    assert quillo.__version__ == declared
