"""Inputs from the fuzzing harness (fuzz/fuzz_korvane.py), kept as plain tests.

The harness feeds objects that change the container they sit in while native
code converts them, and subclasses whose methods answer oddly when a module
calls them back. Each case must end in a result or a documented exception,
never in a crash or a SystemError; run under scripts/sanitize-test they also
catch reads of freed memory.
"""
import importlib
import math

import pytest

EXPECTED = (TypeError, ValueError, OverflowError, IndexError, AttributeError, KeyError,
            ZeroDivisionError)


def _module(name):
    try:
        return importlib.import_module(name)
    except ImportError:
        pytest.skip(f"{name} is not built")


class Boom(Exception):
    pass


class Shrinker:
    """A number that empties (or floods) its container when it is converted."""

    def __init__(self, box, value=1.0, flood=False):
        self.box, self.value, self.flood = box, value, flood

    def _hit(self):
        box, self.box = self.box, None
        if box is None:
            return
        if self.flood:
            if isinstance(box, dict):
                box.update((f"k{i}", i) for i in range(100))
            else:
                box.extend([(1.0, 2.0)] * 100)
        else:
            box.clear()

    def __float__(self):
        self._hit()
        return self.value

    def __index__(self):
        self._hit()
        return int(self.value)

    def __int__(self):
        return self.__index__()

    def __radd__(self, other):      # the workload sums use plain addition
        self._hit()
        return other + self.value

    __add__ = __radd__


class ShrinkingName(str):
    """A pattern name whose comparison or hash empties the list it came from."""
    box = None

    def _hit(self):
        box, type(self).box = type(self).box, None
        if box is not None:
            box.clear()

    def __eq__(self, other):
        self._hit()
        return str.__eq__(self, other)

    def __hash__(self):
        self._hit()
        return str.__hash__(self)


def _history(flood, where):
    box = [(float(i), 10.0 + i) for i in range(8)]
    bad = Shrinker(box, 12.0, flood)
    box[where] = (5.0, bad) if where % 2 else (bad, 11.0)
    return box


def _patterns(flood, where):
    keys = ("parallelization_potential", "cpu_intensity", "memory_intensity")
    box = [dict.fromkeys(keys, 0.5) for _ in range(8)]
    box[where]["cpu_intensity"] = Shrinker(box, 0.9, flood)
    return box


def _names(flood, where):
    box = ["cpu", "io", "cpu", "gpu", "cpu", "io"]
    ShrinkingName.box = box
    box[where % len(box)] = ShrinkingName("cpu")
    return box


RULES = "korvane.plugins.analyzer.adaptation_rules"
CASES = [
    (RULES, "calculate_performance_trend", _history, lambda h: (h, 0.0)),
    (RULES, "detect_performance_degradation", _history, lambda h: (h, 100.0, 0.1, 0.0)),
    (RULES, "predict_resource_requirements", _history, lambda h: (h, 60.0)),
    (RULES, "detect_workload_characteristics_change", _patterns, lambda h: (h, 0.3)),
    (RULES, "detect_dominant_pattern", _names, lambda h: (h, 5)),
]


@pytest.mark.parametrize("where", [0, 3, 7])
@pytest.mark.parametrize("flood", [False, True], ids=["emptied", "flooded"])
@pytest.mark.parametrize("modname, func, make, args", CASES,
                         ids=[c[1] for c in CASES])
def test_container_changed_while_read(modname, func, make, args, flood, where):
    fn = getattr(_module(modname), func)
    try:
        fn(*args(make(flood, where)))
    except EXPECTED:
        pass


@pytest.mark.parametrize("func, args", [
    ("estimate_allocation_bytes", lambda: ((4, Shrinker([], 3.0), 2), 8, 1.0)),
    ("compute_chunk_shapes", lambda: ((4, Shrinker([], 3.0), 2), 8, 64)),
    ("decide_allocation_strategy", lambda: (Shrinker([], 2.0**70), 100, 0.5, True)),
    ("calculate_optimal_chunks", lambda: (10**6, 1000, math.nan, -5, Shrinker([], -1))),
])
def test_device_memory_odd_numbers(func, args):
    fn = getattr(_module("korvane.gpu.device_memory"), func)
    try:
        fn(*args())
    except EXPECTED:
        pass


def _odd_answers():
    def raising(*args, **kwargs):
        raise Boom("override")
    return [raising, lambda *a, **k: None, lambda *a, **k: "x", lambda *a, **k: 2**80,
            lambda *a, **k: math.nan, lambda *a, **k: -1]


CALLBACKS = [
    # (module, class, overridden method, constructor args, calls that reach it)
    ("korvane.memory.block_index", "FastRedBlackTree", "_sanitize_size", (),
     lambda t, block: (t.insert(64, block), t.find_best_fit(10), t.delete(64, block),
                       t.remove_ge(1), t.find_all_exact(64))),
    ("korvane.memory.slab_engine", "FastBucketAllocator", "_init_buckets", (8, 64, 128),
     lambda a, block: (a.add_to_bucket(0, 64), a.find_best_fit_bucket(8, 8))),
    ("korvane.memory.lockless_ops", "AtomicCounter", "py_increment", (),
     lambda c, block: _wrapped(c).increment(3)),
]


def _wrapped(counter):
    w = _module("korvane.memory.lockless_ops").AtomicCounterWrapper()
    w._counter = counter
    return w


def _block():
    try:
        from korvane.memory.block_record import MemoryBlock
    except ImportError:
        return object()
    return MemoryBlock(0, 64)


@pytest.mark.parametrize("answer", range(6))
@pytest.mark.parametrize("modname, cls, meth, cargs, calls", CALLBACKS,
                         ids=[c[1] + "." + c[2] for c in CALLBACKS])
def test_overrides_called_back(modname, cls, meth, cargs, calls, answer):
    mod = _module(modname)
    sub = type("Sub", (getattr(mod, cls),), {meth: staticmethod(_odd_answers()[answer])
                                             if meth == "_sanitize_size" else
                                             _odd_answers()[answer]})
    try:
        obj = sub(*cargs)
        calls(obj, _block())
    except EXPECTED + (Boom,):
        pass
