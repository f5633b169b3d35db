"""Every Python block in the README runs as written."""

import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

README = pathlib.Path(__file__).resolve().parents[1] / "README.md"
BLOCKS = [textwrap.dedent(block) for block in re.findall(r"^ *```python\n(.*?)^ *```", README.read_text(), re.M | re.S)]


@pytest.mark.parametrize("block", BLOCKS, ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_readme_block_runs(block, tmp_path):
    # A script of its own, so that blocks using multiprocessing can import their main module.
    script = tmp_path / "block.py"
    script.write_text(block)
    result = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, cwd=tmp_path, timeout=120)
    assert result.returncode == 0, result.stderr
