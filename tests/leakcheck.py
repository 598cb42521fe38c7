"""The measuring engine of the reference-leak sweep over every public function and
method of the native modules.

Each case is one call, valid or rejected (wrong type, overflow, bad value, an error
raised by a callback; wrong argument counts and keywords are generated for every
function from its signature), or one balanced cycle of a stateful object (insert
then delete, push then pop, ...). A case is run many
times; afterwards the number of interpreter blocks in use (``sys.getallocatedblocks``
after a collection) must not have grown, and neither may the reference counts of
the objects the call was given (arguments, ``self``, its class).

Native allocations made with ``new``/``malloc`` are invisible here; the sanitizer
run covers those (and runs the sweep too, so every rejected-call path is also
exercised under ASan/UBSan). A module that is not built skips its cases.

Each module's test file holds that module's table, ``leak_cases(m)``, and makes
its two sweep tests from it::

    test_no_leak = leakcheck.no_leak_test(QUALNAME, leak_cases)
    test_every_public_callable_has_a_leak_case = leakcheck.coverage_test(QUALNAME, leak_cases)

Adding a module is its table in its test file and one entry in ``TABLES``, which
the tools that run every table (test_reftotal.py, alloc_sweep.py) read.
"""
import contextlib
import gc
import importlib
import inspect
import logging
import pickle
import re
import sys
from typing import Callable, NamedTuple

import pytest

WARMUP = 100
CALLS = 1000         # calls per measured round
ROUNDS = 3           # a round over tolerance is measured again; the smallest growth counts
BLOCK_TOL = 25       # a leak of one block per call shows as CALLS blocks
REF_TOL = CALLS // 2

I32_OVER = 2**31
I64_OVER = 2**63
U64_OVER = 2**64


class Case(NamedTuple):
    label: str
    fn: Callable[[], object]
    watch: tuple
    calls: int = CALLS
    target: tuple = None     # (f, args, kwargs) of a single call, for the allocation-failure sweep


# ---- helpers that build cases -------------------------------------------------------

def _watch_of(f, args, kw):
    """The objects whose reference counts a call must leave as they were."""
    found = [f]
    owner = getattr(f, "__self__", None)
    if owner is not None and not isinstance(owner, type(sys)):
        found += [owner, type(owner)]
    found += list(args) + list(kw.values())
    return tuple(found)


def ok(label, f, *args, **kw):
    """A call that must succeed."""
    return Case(label, lambda: f(*args, **kw), _watch_of(f, args, kw), target=(f, args, kw))


def bad(label, exc, f, *args, **kw):
    """A call that must raise `exc`."""
    def call():
        try:
            f(*args, **kw)
        except exc:
            return
        raise AssertionError(f"{label}: expected {exc}")
    return Case(label, call, _watch_of(f, args, kw), target=(f, args, kw))


def cycle(label, fn, *watch, calls=CALLS):
    """A balanced sequence of valid calls that leaves the object as it found it."""
    return Case(label, fn, tuple(watch), calls)


def native_class_cases(cls, args=(), kw=None):
    """Construction, subclass construction and the pickling refusal of a native class."""
    kw = kw or {}
    sub = type("Sub" + cls.__name__, (cls,), {})
    inst = cls(*args, **kw)

    def self_cycle():
        x = sub(*args, **kw)
        x.me = x
    return [
        ok(f"{cls.__name__}() destroy", cls, *args, **kw),
        ok(f"{cls.__name__} subclass destroy", sub, *args, **kw),
        cycle(f"{cls.__name__} subclass in a reference cycle", self_cycle, sub),
        bad(f"{cls.__name__} pickle", TypeError, pickle.dumps, inst),
        bad(f"{cls.__name__}.__reduce_cython__", TypeError, inst.__reduce_cython__),
        bad(f"{cls.__name__}.__setstate_cython__", TypeError, inst.__setstate_cython__, None),
    ]


class BadInt:
    """`__int__` returns a non-int."""
    def __int__(self):
        return "x"


class RaisingNumber:
    """Every numeric conversion raises."""
    def __int__(self):
        raise ArithmeticError("no int")

    def __index__(self):
        raise ArithmeticError("no index")

    def __float__(self):
        raise ArithmeticError("no float")


class RaisingBool:
    def __bool__(self):
        raise ArithmeticError("no truth")


class RaisingEq:
    def __eq__(self, other):
        raise ArithmeticError("no eq")

    __hash__ = object.__hash__


class Obj:
    def __init__(self, **kw):
        self.__dict__.update(kw)


def patched(target, changes, f, *args):
    """`f(*args)` with attributes of `target` (keys, when it is a dict) replaced
    for the duration of the call."""
    get, put = ((target.get, target.__setitem__) if isinstance(target, dict)
                else (lambda k: getattr(target, k, None), lambda k, v: setattr(target, k, v)))

    def call():
        saved = {k: get(k) for k in changes}
        for k, v in changes.items():
            put(k, v)
        try:
            return f(*args)
        finally:
            for k, v in saved.items():
                if v is None and isinstance(target, dict):
                    target.pop(k, None)
                else:
                    put(k, v)
    return call


# ---- the tables -----------------------------------------------------------------------

# module short name -> (qualified name, the test module that holds its table)
TABLES = {
    "lockless_ops": ("korvane.memory.lockless_ops", "test_lockless_ops"),
    "block_index": ("korvane.memory.block_index", "test_block_index"),
    "slab_engine": ("korvane.memory.slab_engine", "test_slab_engine"),
    "compile_gate": ("korvane.jit.compile_gate", "test_compile_gate"),
    "hw_probe": ("korvane.native.hw_probe", "test_hw_probe"),
    "pattern_scoring": ("korvane.plugins.analyzer.pattern_scoring", "test_pattern_scoring"),
    "adaptation_rules": ("korvane.plugins.analyzer.adaptation_rules", "test_adaptation_rules"),
    "counter_hub": ("korvane.monitoring.counter_hub", "test_counter_hub"),
    "device_memory": ("korvane.gpu.device_memory", "test_device_memory"),
}

# Loggers that the calls of the tables write to.
LOGGERS = ("korvane.memory.slab_engine", "korvane.jit.compile_gate")


def _signature_rejections(name, f):
    """The argument-count and keyword errors that every function gets from the
    frame: too many positional arguments, a missing one, an unknown keyword, a
    keyword repeating a positional argument."""
    params = [p for p in inspect.signature(f).parameters.values()
              if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)]
    required = [p for p in params if p.default is p.empty]
    cases = [
        bad(f"{name}: too many arguments", TypeError, f, *[None] * (len(params) + 1)),
        bad(f"{name}: unexpected keyword", TypeError, f, *[None] * len(required), no_such_argument=1),
    ]
    if required:
        cases.append(bad(f"{name}: missing argument", TypeError, f))
    if params:
        cases.append(bad(f"{name}: repeated keyword", TypeError, f, None, **{params[0].name: None}))
    return cases


def frame_cases(module, cases):
    """Signature rejections for every module function, and for every method of one
    instance of each class of the module found among the objects the cases watch."""
    found = []
    for name, value in vars(module).items():
        if (callable(value) and not isinstance(value, type) and not name.startswith("__")
                and getattr(value, "__module__", None) == module.__name__):
            found += _signature_rejections(name, value)
    instances = {}
    for case in cases:
        for o in case.watch:
            if type(o).__module__ == module.__name__ and not isinstance(o, type):
                instances.setdefault(type(o), o)
    for cls, inst in instances.items():
        for name, value in vars(cls).items():
            if callable(value) and not name.startswith("__"):
                found += _signature_rejections(f"{cls.__name__}.{name}", getattr(inst, name))
    return found


_built = {}


def _build(qualname, table):
    """(module, the table's cases, those and the generated rejections), made once
    per module and shared by every test that runs them; the ImportError when the
    module is not built."""
    if qualname not in _built:
        try:
            module = importlib.import_module(qualname)
        except ImportError as exc:
            _built[qualname] = exc
            return exc
        cases = table(module)
        every = cases + frame_cases(module, cases)
        short = qualname.rsplit(".", 1)[1]
        seen = set()
        for case in every:
            assert case.label not in seen, f"{short}: duplicate label {case.label!r}"
            seen.add(case.label)
        _built[qualname] = (module, cases, every)
    return _built[qualname]


def params(qualname, table, prefix=""):
    """One pytest parameter per case, or one skipped parameter when the module is not built."""
    built = _build(qualname, table)
    if isinstance(built, ImportError):
        return [pytest.param(None, id=f"{prefix}not-built",
                             marks=pytest.mark.skip(reason=f"{qualname}: {built}"))]
    return [pytest.param(case, id=prefix + case.label) for case in built[2]]


def table_of(short):
    """The table function of a module, from its test module (imported by its name,
    as pytest imports it, so that a test module is never loaded twice)."""
    return importlib.import_module(TABLES[short][1]).leak_cases


def cases_of(short):
    """Every case of a module: its table's and the generated rejections."""
    qualname = TABLES[short][0]
    built = _build(qualname, table_of(short))
    if isinstance(built, ImportError):
        raise built
    return built[2]


def all_params():
    """Every module's parameters, named "short:label"."""
    found = []
    for short, (qualname, _) in TABLES.items():
        try:
            fn = table_of(short)
        except ImportError as exc:
            found.append(pytest.param(None, id=f"{short}:not-built",
                                      marks=pytest.mark.skip(reason=f"{qualname}: {exc}")))
            continue
        found += params(qualname, fn, prefix=f"{short}:")
    return found


# ---- the measurement ------------------------------------------------------------------

@contextlib.contextmanager
def quiet_loggers():
    """Records are built and handled, but nothing keeps them: pytest's capture
    handlers, which it also hangs on loggers that do not propagate, are taken off
    for the measurement."""
    saved = []
    for name in LOGGERS:
        lg = logging.getLogger(name)
        saved.append((lg, lg.handlers, lg.propagate, lg.level))
        lg.handlers = [logging.NullHandler()]
        lg.propagate = False
        lg.setLevel(logging.DEBUG)
    try:
        yield
    finally:
        for lg, handlers, propagate, level in saved:
            lg.handlers = handlers
            lg.propagate = propagate
            lg.setLevel(level)


@contextlib.contextmanager
def young_collections():
    """Automatic collection off, so that every object a round makes stays in the
    youngest generation: a collection of that generation then finds the garbage
    the round made, at a fraction of the cost of a full collection."""
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if was_enabled:
            gc.enable()


def _collect(full):
    if full or sys.version_info >= (3, 12):
        gc.collect()
    else:
        gc.collect(0)


def measure(case):
    """Smallest growth of (blocks, reference counts) over the rounds. The first
    round collects the youngest generation only, which can leave a few dozen
    blocks of bookkeeping behind whatever the number of calls; a round over the
    tolerance is measured again with full collections."""
    for _ in range(WARMUP):
        case.fn()
    best = None
    for attempt in range(ROUNDS):
        _collect(full=attempt > 0)
        refs = [sys.getrefcount(o) for o in case.watch]
        blocks = sys.getallocatedblocks()
        for _ in range(case.calls):
            case.fn()
        _collect(full=attempt > 0)
        grown_blocks = sys.getallocatedblocks() - blocks
        # a count that falls is as wrong as one that grows (a reference given up twice)
        grown_refs = max([abs(sys.getrefcount(o) - r) for o, r in zip(case.watch, refs)], default=0)
        if best is None:
            best = (grown_blocks, grown_refs)
        best = (min(best[0], grown_blocks), min(best[1], grown_refs))
        if best[0] <= BLOCK_TOL and best[1] <= REF_TOL * case.calls // CALLS:
            break
    return best


blocks_counted = pytest.mark.skipif(
    not hasattr(sys, "getallocatedblocks") or sys.getallocatedblocks() == 0,
    reason="sys.getallocatedblocks() is not meaningful with this allocator")


def no_leak_test(qualname, table):
    """The sweep of one module: a test per case of `table(module)` and per
    generated rejection."""
    @blocks_counted
    @pytest.mark.timeout(60)
    @pytest.mark.parametrize("case", params(qualname, table))
    def test_no_leak(case):
        with quiet_loggers(), young_collections():
            blocks, refs = measure(case)
        per_call = blocks / case.calls
        assert blocks <= BLOCK_TOL, (
            f"{case.label}: {blocks} blocks more after {case.calls} calls ({per_call:.2f} per call)")
        assert refs <= REF_TOL * case.calls // CALLS, (
            f"{case.label}: an argument's reference count changed by {refs} over {case.calls} calls")
    return test_no_leak


def public_callables(module):
    """Functions of the module and methods of its classes (single-underscore names
    included: several are part of the interface), as groups of names bound to one
    object (``py_load`` is ``load``)."""
    groups = {}
    for name, value in vars(module).items():
        if name.startswith("__") or getattr(value, "__module__", None) != module.__name__:
            continue
        if isinstance(value, type):
            for k, v in vars(value).items():
                if not k.startswith("__") and callable(v) and not isinstance(v, type):
                    groups.setdefault((name, id(v)), set()).add(k)
        if callable(value):
            groups.setdefault(id(value), set()).add(name)
    return groups.values()


def coverage_test(qualname, table):
    """Each function and method of the module is named by a case of `table`."""
    short = qualname.rsplit(".", 1)[1]

    @blocks_counted
    def test_every_public_callable_has_a_leak_case():
        module = pytest.importorskip(qualname)
        words = {w for case in _build(qualname, table)[1] for w in re.findall(r"\w+", case.label)}
        missing = sorted(min(names) for names in public_callables(module) if not names & words)
        assert not missing, f"{short}: no leak case names {missing}"
    return test_every_public_callable_has_a_leak_case
