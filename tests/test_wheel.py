"""`pip wheel .` builds a wheel that installs into a fresh virtual environment
and imports there, with its stub visible to a type checker.

The wheel is built without build isolation in a build folder of its own, so
after the first run only changed sources recompile; ccache, when present,
serves objects that other builds of the same sources already compiled."""

import os
import pathlib
import shutil
import subprocess
import sys
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
BUILD_DIR = ROOT / "build" / "wheel-test"
PIP = [sys.executable, "-m", "pip", "--disable-pip-version-check", "--no-input"]

# Under the sanitizer run every child process, the compiler included, would
# carry the preloaded sanitizer runtime; the wheel is checked in normal runs.
pytestmark = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                reason="builds a wheel; not under the sanitizer preload")


def run(command, **kwargs):
    result = subprocess.run(command, capture_output=True, text=True, **kwargs)
    assert result.returncode == 0, f"{command}\n{result.stdout}\n{result.stderr}"
    return result.stdout


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    out = tmp_path_factory.mktemp("wheel")
    settings = [f"--config-settings=build-dir={BUILD_DIR}"]
    if shutil.which("ccache"):
        settings.append("--config-settings=cmake.define.CMAKE_CXX_COMPILER_LAUNCHER=ccache")
    run(PIP + ["wheel", str(ROOT), "--no-deps", "--no-build-isolation", "--wheel-dir", str(out), *settings])
    (path,) = out.glob("quillo-*.whl")
    return path


@pytest.fixture(scope="module")
def venv_python(wheel, tmp_path_factory):
    venv = tmp_path_factory.mktemp("venv")
    # A venv without pip starts in a fraction of the time; the outer pip installs into it.
    run([sys.executable, "-m", "venv", "--without-pip", str(venv)])
    python = venv / "bin" / "python"
    run(PIP + ["--python", str(python), "install", "--no-deps", "--no-index", str(wheel)])
    return python


def test_wheel_holds_the_module_and_both_stubs(wheel):
    names = zipfile.ZipFile(wheel).namelist()
    assert "quillo.pyi" in names
    assert "quillo-stubs/__init__.pyi" in names
    assert any(n.startswith("quillo.") and n.endswith(".so") for n in names)


def test_installed_wheel_imports_and_round_trips(venv_python):
    script = (
        "import pickle, quillo\n"
        "s = quillo.HllSketch(12)\n"
        "for i in range(1000): s.update(str(i))\n"
        "t = pickle.loads(pickle.dumps(s))\n"
        "print(quillo.__file__, len(quillo.__all__), round(t.estimate()))\n")
    # Run outside the source tree so that nothing but the venv can supply the module.
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    out = run([str(venv_python), "-c", script], cwd=venv_python.parent, env=env)
    location, count, estimate = out.split()
    assert location.startswith(str(venv_python.parents[1]))
    assert count == "26"
    assert abs(int(estimate) - 1000) < 60


def test_type_checker_reads_the_installed_stub(venv_python, tmp_path):
    program = tmp_path / "use.py"
    program.write_text(
        "import quillo\n"
        "median: float = quillo.KllSketch().median()\n"
        "quillo.HllSketch().update(3)\n")
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--python-executable", str(venv_python), "--no-incremental",
         "--cache-dir", str(tmp_path / "cache"), str(program)],
        capture_output=True, text=True, cwd=tmp_path)
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    assert len(errors) == 2, result.stdout
    assert '"float | None"' in errors[0]
    assert 'has incompatible type "int"; expected "str"' in errors[1]
