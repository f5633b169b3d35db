"""The calling frame, exercised mostly through HllSketch: argument parsing,
conversions, docstrings, error mapping, numbers in messages, and instances and
the module across threads and interpreters (in child processes)."""

import os
import subprocess
import sys
import textwrap

import pytest

import quillo
from quillo import HllSketch


def raises(exc, text, fn, *args, **kwargs):
    with pytest.raises(exc) as err:
        fn(*args, **kwargs)
    assert type(err.value) is exc
    assert str(err.value) == text


class TestArgumentParsing:
    def test_positional_and_keyword_are_the_same_call(self):
        assert HllSketch(12).to_bytes() == HllSketch(lg_k=12).to_bytes()
        assert HllSketch(lg_k=None).to_bytes() == HllSketch().to_bytes() == HllSketch(None).to_bytes()

    def test_declared_defaults_fill_omitted_and_none_arguments(self):
        A = quillo.AodSketch
        assert A.__text_signature__ == "(capacity=None, num_values=None)"
        assert repr(A(num_values=3)) == "AodSketch(capacity=4096, num_values=3, estimate≈0.0)"
        assert repr(A(64)) == repr(A(64, None)) == "AodSketch(capacity=64, num_values=1, estimate≈0.0)"
        assert repr(quillo.HllUnion()) == "HllUnion(lg_max_k=12, estimate≈0.0)"
        raises(TypeError, "argument 'capacity': 'float' object cannot be interpreted as an integer", A, 1.5)
        # A required parameter may still let None stand for its default.
        assert quillo.ThetaSketch.__text_signature__ == "(k)"
        theta = "ThetaSketch(k=4096, estimate≈0.0)"
        assert repr(quillo.ThetaSketch(None)) == repr(quillo.ThetaSketch(k=4096)) == theta
        raises(TypeError, "ThetaSketch.__new__() missing 1 required positional argument: 'k'", quillo.ThetaSketch)

    def test_too_many_positional(self):
        raises(TypeError, "HllSketch.__new__() takes from 0 to 1 positional arguments but 2 were given",
               HllSketch, 1, 2)
        s = HllSketch()
        raises(TypeError, "HllSketch.update() takes 1 positional arguments but 2 were given", s.update, "a", "b")
        raises(TypeError, "HllSketch.estimate() takes 0 positional arguments but 1 was given", s.estimate, 1)

    def test_keywords(self):
        s = HllSketch()
        raises(TypeError, "HllSketch.__new__() got an unexpected keyword argument 'k'", HllSketch, k=4)
        raises(TypeError, "HllSketch.__new__() got multiple values for argument 'lg_k'", HllSketch, 12, lg_k=12)
        raises(TypeError, "HllSketch.update() missing 1 required positional argument: 'item'", s.update)
        s.update(item="a")
        assert s.estimate() == 1.0
        raises(TypeError, "HllSketch.from_bytes() missing 1 required positional argument: 'data'",
               HllSketch.from_bytes)

    def test_keywords_built_at_run_time_match_by_text(self):
        class Key(str):
            pass

        name = "lg_k_"[:-1]  # equal to the parameter's name, but another object
        for key in (name, Key("lg_k")):
            assert HllSketch(**{key: 5}).to_bytes() == HllSketch(5).to_bytes()
            s = quillo.KllSketch()
            s.update(**{key.replace("lg_k", "value"): 2.0})
            assert s.count() == 1
        raises(TypeError, "HllSketch.__new__() got multiple values for argument 'lg_k'", HllSketch, 4, **{name: 5})
        raises(TypeError, "HllSketch.__new__() got an unexpected keyword argument 'lg_kk'", HllSketch,
               **{name + "k": 5})
        with pytest.raises(UnicodeEncodeError):
            HllSketch(**{"\ud800": 1})

    def test_integer_conversions(self):
        raises(OverflowError, "out of range integral type conversion attempted", HllSketch, -1)
        raises(OverflowError, "out of range integral type conversion attempted", HllSketch, 300)
        with pytest.raises(OverflowError):
            HllSketch(2**70)
        raises(ValueError, "lg_k must be in 4..=18, got 40", HllSketch, 40)
        raises(TypeError, "argument 'lg_k': 'float' object cannot be interpreted as an integer", HllSketch, 12.0)
        raises(TypeError, "argument 'lg_k': 'str' object cannot be interpreted as an integer", HllSketch, "12")

        class Index:
            def __index__(self):
                return 5

        assert HllSketch(Index()).to_bytes()[5] == 5

    def test_item_and_data_conversions(self):
        s = HllSketch()
        for bad, name in ((5, "int"), (b"a", "bytes"), (1.5, "float"), (None, "NoneType")):
            raises(TypeError, f"argument 'item': '{name}' object cannot be converted to 'PyString'", s.update, bad)
        with pytest.raises(UnicodeEncodeError):
            s.update("\ud800")
        assert s.estimate() == 0.0
        raises(TypeError, "argument 'data': 'bytearray' object cannot be converted to 'PyBytes'",
               HllSketch.from_bytes, bytearray(5))
        raises(TypeError, "argument 'other': 'str' object cannot be converted to 'HllSketch'", s.merge, "x")


class TestClassObjects:
    def test_docstrings_and_signatures(self):
        assert HllSketch.__doc__ == "Python binding for HyperLogLog sketch."
        assert HllSketch.__text_signature__ == "(lg_k=None)"
        assert HllSketch.update.__doc__ == "Update the sketch with a string item."
        assert HllSketch.update.__text_signature__ == "($self, item)"
        assert HllSketch.from_bytes.__text_signature__ == "(data)"
        assert HllSketch.__reduce__.__doc__ == "Support pickling via the from_bytes reconstructor."

    def test_static_method_through_instance(self):
        s = HllSketch()
        s.update("x")
        assert s.from_bytes(s.to_bytes()).estimate() == 1.0

    def test_final_and_closed(self):
        with pytest.raises(TypeError):
            class Sub(HllSketch):
                pass
        with pytest.raises(AttributeError):
            HllSketch().foo = 1


def test_numbers_in_messages_have_their_shortest_digits_without_exponent():
    raises(ValueError, "epsilon must be in (0, 1), got 1" + "0" * 300, quillo.CountMinSketch.with_error_bounds,
           1e300, 0.5)
    raises(ValueError, "delta must be in (0, 1), got -0.0000125", quillo.CountMinSketch.with_error_bounds, 0.5,
           -1.25e-5)
    raises(ValueError, "error_rate must be in (0, 1), got 1" + "0" * 23, quillo.BloomFilter, 10, 1e23)
    raises(ValueError, "error_rate must be in (0, 1), got 1.5", quillo.BloomFilter, 10, 1.5)


class TestAccess:
    def test_merge_self_conflict_leaves_object_usable(self):
        s = HllSketch()
        s.update("a")
        raises(RuntimeError, "Already mutably borrowed", s.merge, s)
        s.update("b")
        assert s.estimate() > 1.0

    def test_shared_borrows_nest(self):
        a, b = HllSketch(), HllSketch()
        b.update("z")
        a.merge(b)
        b.merge(a)
        assert a.to_bytes()[8:-25] == b.to_bytes()[8:-25]


def run_child(source):
    """Runs `source` in a fresh interpreter that imports this build of quillo."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(source)], env=env, capture_output=True, text=True,
                          timeout=120)


def test_sub_interpreters_are_refused_and_never_lock_the_main_one_out():
    pytest.importorskip("_testcapi")
    child = run_child("""
        import _testcapi
        attempt = (
            "try:\\n"
            "    import quillo\\n"
            "    print('sub imported', flush=True)\\n"
            "except ImportError as e:\\n"
            "    print('sub refused:', e, flush=True)\\n"
        )
        _testcapi.run_in_subinterp(attempt)
        import quillo
        print("main imported", quillo.HllSketch(12).estimate(), flush=True)
        _testcapi.run_in_subinterp(attempt)
    """)
    assert child.returncode == 0, child.stderr
    refused = "sub refused: quillo does not support sub-interpreters"
    assert child.stdout.split("\n") == [refused, "main imported 0.0", refused, ""]


THREAD_BOUND_SAMPLERS = {"ReservoirSamplerA": "(4)", "ReservoirSamplerR": "(4)", "WeightedReservoirSampler": "(4)",
                         "StreamSampler": "(4, 2)"}


@pytest.mark.parametrize("name", THREAD_BOUND_SAMPLERS)
def test_a_sampler_dropped_elsewhere_during_an_exception_keeps_that_exception(name):
    child = run_child(f"""
        import threading, quillo

        class HashFails:
            def __hash__(self):
                raise LookupError("no hash")

        shapes = {{
            "list": lambda held: [held.pop(), 1 / 0],
            "hash": lambda held: hash((held.pop(), HashFails())),
            "sorted": lambda held: sorted([held.pop(), 1]),
        }}
        for shape, fn in shapes.items():
            held = [quillo.{name}{THREAD_BOUND_SAMPLERS[name]}]
            def work():
                try:
                    fn(held)
                except BaseException as e:
                    print(shape, type(e).__name__, flush=True)
            t = threading.Thread(target=work)
            t.start()
            t.join()
    """)
    assert child.returncode == 0, child.stderr
    assert child.stdout.split("\n") == ["list ZeroDivisionError", "hash LookupError", "sorted TypeError", ""]
    report = f"RuntimeError: quillo::{name} is unsendable, but is being dropped on another thread"
    assert child.stderr.count(report) == 3


def test_every_class_of_the_table_is_exported_under_its_own_name():
    from test_common import TABLE_ORDER

    assert quillo.__all__ == TABLE_ORDER + ["__version__"]
    for name in TABLE_ORDER:
        cls = getattr(quillo, name)
        assert cls.__name__ == name and cls.__module__ == "quillo"
