"""The function objects of the native modules behave like Python's own
functions where callers can tell: they pickle and copy by reference, and the
type cannot be instantiated from Python."""
import copy
import importlib
import inspect
import pickle

import pytest

from korvane import NATIVE_MODULES

from korvane.plugins.analyzer import pattern_scoring

MODULES = list(NATIVE_MODULES)
FunctionType = type(pattern_scoring.score_indicators)


def is_native_function(obj):
    # Each extension links the frame on its own, so each has its own function type.
    return type(obj).__qualname__ == "native_function" and type(obj).__module__ == "korvane"


def native_functions():
    """(module, label, function) for every function of the modules and every method of their classes."""
    found = {}
    for name in MODULES:
        mod = importlib.import_module(name)
        for attr, value in vars(mod).items():
            if is_native_function(value):
                found[f"{name}.{attr}"] = (name, value)
            elif isinstance(value, type) and value.__module__ == name:
                for key, member in vars(value).items():
                    if is_native_function(member):
                        found[f"{name}.{attr}.{key}"] = (name, member)
    return [(label, f) for label, (_, f) in sorted(found.items())], {m for m, _ in found.values()}


FUNCTIONS, COVERED = native_functions()
FUNCTION_TYPES = sorted({type(f) for _, f in FUNCTIONS}, key=id)


def test_every_module_contributes():
    assert COVERED == set(MODULES)
    assert len(FUNCTIONS) > 100 and len(FUNCTION_TYPES) == len(MODULES)


@pytest.mark.parametrize("label, f", FUNCTIONS, ids=[label for label, _ in FUNCTIONS])
def test_pickles_and_copies_by_reference(label, f):
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(f, protocol)) is f, protocol
    assert copy.copy(f) is f and copy.deepcopy(f) is f


def test_pickled_function_names_module_and_qualname():
    data = pickle.dumps(pattern_scoring.score_indicators, 4)
    assert b"korvane.plugins.analyzer.pattern_scoring" in data and b"score_indicators" in data


@pytest.mark.subprocess
def test_works_across_processes():
    from concurrent.futures import ProcessPoolExecutor
    with ProcessPoolExecutor(1) as pool:
        got = list(pool.map(pattern_scoring.score_indicators, ["import numpy", "for x in y"], ["a", None]))
    assert got == [pattern_scoring.score_indicators("import numpy", "a"),
                   pattern_scoring.score_indicators("for x in y", None)]


def test_instances_of_native_classes_still_refuse_pickling():
    from korvane.memory.lockless_ops import AtomicCounter
    with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
        pickle.dumps(AtomicCounter())
    with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
        copy.copy(AtomicCounter())


@pytest.mark.parametrize("T", FUNCTION_TYPES)
def test_type_module_is_a_string_and_functions_keep_theirs(T):
    assert T.__module__ == "korvane" and T.__name__ == "native_function"
    f = pattern_scoring.score_indicators
    assert f.__module__ == "korvane.plugins.analyzer.pattern_scoring"


def test_module_attribute_can_be_set_and_deleted():
    from korvane.memory.lockless_ops import AtomicCounter
    f = AtomicCounter.__dict__["load"]
    saved = f.__module__
    try:
        f.__module__ = "elsewhere"
        assert f.__module__ == "elsewhere"
        del f.__module__
        assert f.__module__ is None
    finally:
        f.__module__ = saved
    assert pickle.loads(pickle.dumps(f)) is f


@pytest.mark.parametrize("make", [
    lambda T: T(),
    lambda T: T.__new__(T),
    lambda T: object.__new__(T),
    lambda T: type.__call__(T),
], ids=["call", "type-new", "object-new", "type-call"])
@pytest.mark.parametrize("T", FUNCTION_TYPES)
def test_function_type_cannot_be_instantiated(make, T):
    with pytest.raises(TypeError):
        make(T)


def test_function_type_refusal_message():
    with pytest.raises(TypeError, match=r"^cannot create 'korvane.native_function' instances$"):
        FunctionType()


@pytest.mark.parametrize("T", FUNCTION_TYPES)
def test_function_type_cannot_be_subclassed(T):
    with pytest.raises(TypeError):
        type("Sub", (T,), {})


@pytest.mark.parametrize("label, f", FUNCTIONS[:20], ids=[label for label, _ in FUNCTIONS[:20]])
def test_introspection_works(label, f):
    assert repr(f).startswith("<function ")
    inspect.signature(f)
