"""The type stub matches the module: stubtest compares names, parameters and
defaults; the argument-free queries return what the stub annotates."""

import ast
import os
import pathlib
import subprocess
import sys
import types
import typing

import pytest

import quillo
from registry import CASES, ids

STUB_DIR = pathlib.Path(__file__).resolve().parents[1] / "src" / "python"


def test_stubtest_finds_no_difference(tmp_path):
    env = dict(os.environ, MYPYPATH=str(STUB_DIR), MYPY_CACHE_DIR=str(tmp_path / "cache"))
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "quillo"],
                            capture_output=True, text=True, env=env, cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


# {class name: {method name: return annotation text}} for the methods that take only self.
RETURNS = {
    node.name: {f.name: ast.unparse(f.returns) for f in node.body if isinstance(f, ast.FunctionDef)
                and [a.arg for a in f.args.args] == ["self"] and not f.name.startswith("__")}
    for node in ast.parse((STUB_DIR / "quillo.pyi").read_text()).body if isinstance(node, ast.ClassDef)}
NAMESPACE = {"_FrequentRow": tuple[str, int, int, int], **vars(quillo)}


def conforms(value, hint):
    origin, args = typing.get_origin(hint), typing.get_args(hint)
    if hint is None:
        return value is None
    if origin in (typing.Union, types.UnionType):
        return any(conforms(value, a) for a in args)
    if origin is list:
        return isinstance(value, list) and all(conforms(v, args[0]) for v in value)
    if origin is tuple:
        return isinstance(value, tuple) and len(value) == len(args) and all(map(conforms, value, args))
    if origin is dict:
        return isinstance(value, dict) and all(conforms(k, args[0]) and conforms(v, args[1]) for k, v in value.items())
    if hint is float:
        return isinstance(value, float)
    return isinstance(value, hint) and not (hint is int and isinstance(value, bool))


# Empty summaries answer some queries with None.
EMPTY = {"KllSketch": quillo.KllSketch, "ReqSketch": lambda: quillo.ReqSketch(12), "TDigest": quillo.TDigest,
         "StreamingTDigest": quillo.StreamingTDigest, "AodSketch": quillo.AodSketch}


@pytest.mark.parametrize("case", CASES, ids=ids(CASES))
def test_query_results_have_the_stubbed_types(case):
    for instance in [case.make()] + ([EMPTY[case.name]()] if case.name in EMPTY else []):
        for name, text in RETURNS[case.name].items():
            result = getattr(instance, name)()
            hint = eval(text, NAMESPACE)  # noqa: S307 - the stub is our own file
            assert conforms(result, hint), f"{case.name}.{name}() -> {result!r}, stub says {text}"
