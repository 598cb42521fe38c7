#!/usr/bin/env python3
"""Coverage-guided fuzzing of korvane's native modules with atheris.

    python fuzz/fuzz_korvane.py --list
    python fuzz/fuzz_korvane.py --target NAME [libFuzzer options] [corpus dirs or input files]

Run it through scripts/fuzz, which builds the instrumented extensions and
preloads the sanitizer runtime. Each target turns the fuzzer's bytes into calls:

- ``args:<module>``: every function, constructor, method and property of the
  module, called with arbitrary Python values (huge and negative ints, nan and
  inf, text, bytes, None, nested containers, objects with odd number, equality,
  length and iteration methods, some of which mutate the container they sit in),
  with right and wrong argument counts and keywords, and with a wrong ``self``;
- focused targets for what comes from outside (slab headers read back from
  bytes, scoring of arbitrary source text, histories, extreme memory figures),
  which also check the documented result contracts and compare plain inputs
  with the pure-Python equivalents in korvane._baselines.

A Python exception of the kinds the modules document is an ordinary outcome.
A crash, a sanitizer report, a SystemError, any other exception or a broken
result contract is a finding.

A new module is one entry in MODULES (and optionally a focused target).
"""
from __future__ import annotations

import ast
import importlib
import importlib.util
import os
import inspect
import logging
import math
import re
import struct
import sys
import warnings
from dataclasses import dataclass, field
from typing import Any, Callable

import atheris

# Log lines (load messages, corruption warnings) are not findings; keep stderr readable.
logging.disable(logging.CRITICAL)
warnings.simplefilter("ignore")


class FuzzError(Exception):
    """Raised by the harness's odd objects; must come back out unchanged."""


# Outcomes that the modules document for bad arguments.
EXPECTED = (TypeError, ValueError, OverflowError, IndexError, ZeroDivisionError, KeyError,
            AttributeError, MemoryError, NotImplementedError, FuzzError)

MAX_STEPS = 12          # calls per input
MAX_DEPTH = 3           # nesting of generated containers
MAX_ITEMS = 8           # items per generated container
SKIP = object()         # a guard's verdict: do not make this call

INTS = (0, 1, -1, 2, 3, 5, 7, 8, 10, 16, 63, 64, 65, 100, 255, 256, 1000, 4096, 4097, 2**15,
        2**16, 2**31 - 1, 2**31, -2**31, -2**31 - 1, 2**32 - 1, 2**32, 2**53 + 1, 2**62,
        2**63 - 1, 2**63, -2**63, -2**63 - 1, 2**64 - 1, 2**64, -2**64, 10**30, -10**30, 10**100)
FLOATS = (0.0, -0.0, 0.1, 0.3, 0.5, 0.6, 0.8, 1.0, -1.0, 1.1, 1.5, 2.0, -2.5, 1e-10, 1e-300,
          5e-324, 1e308, -1e308, math.inf, -math.inf, math.nan, 2.0**31, 2.0**32, 2.0**63,
          -2.0**63, 2.0**64, 9.3e18, 1e19, -1e19)
WORDS = ("", "a", " ", "\x00", "é", "\U0001F600", "\ud800", "is_set", "set", "clear",
         "find_first", "zeros", "ones", "random.randn", "arange", "matmul", "fft", "sort",
         "numpy", "np.", "pandas", "pd.", "sklearn", "torch", "cuda", "memory", "out of memory",
         "OutOfMemoryError", "gpu", "allocation failed", "insufficient", "mixed",
         "parallelization_potential", "cpu_intensity", "memory_intensity", "for", "while",
         "range", "DataFrame", "fit", "predict", "lock", "global", "@", "**", "+", "-",
         "1e9", "gb", "workload", "map", "\\b", "(", "[", "*", "x" * 300)


def _vocabulary():
    words = list(WORDS)
    try:
        base = importlib.import_module("korvane._baselines.pattern_scoring")
        for name in dir(base):
            if name.endswith("_INDICATORS"):
                words.extend(getattr(base, name))
    except ImportError:
        pass
    return tuple(dict.fromkeys(words))


VOCAB = _vocabulary()


# ---------------------------------------------------------------- odd objects

def _outcome(spec):
    if spec is FuzzError:
        raise FuzzError("odd object")
    return spec


class OddBase:
    """Base of the generated odd classes; each instance carries its answers."""

    def __init__(self, answers, victim=None, action=0):
        self.answers = answers
        self.victim = victim
        self.action = action

    def _poke(self):
        # Mutate the container that holds this object while native code reads it.
        v, self.victim = self.victim, None
        if v is None:
            return
        if self.action == 1:
            v.clear()
        elif isinstance(v, list):
            v.extend([None] * 64 if self.action == 2 else [self])
        elif isinstance(v, dict):
            for i in range(64):
                v["k%d" % i] = i

    def peek_int(self):
        """The integer the object claims to be, for the harness's guards."""
        for key in ("__index__", "__int__"):
            value = self.answers.get(key)
            if isinstance(value, int):
                return value
        return None


def _method(name):
    if name == "__hash__":
        def hash_(self):
            self._poke()
            value = _outcome(self.answers[name])
            return value if isinstance(value, int) else 0
        return hash_
    if name == "__iter__":
        def iter_(self):
            self._poke()
            items = _outcome(self.answers[name])
            for item in items:
                yield _outcome(item)
        return iter_
    if name in ("__getitem__", "get_metrics", "lower", "__contains__"):
        def call(self, *args):
            self._poke()
            return _outcome(self.answers[name])
        return call

    def plain(self, *args):
        self._poke()
        return _outcome(self.answers[name])
    return plain


ODD_METHODS = ("__int__", "__index__", "__float__", "__eq__", "__lt__", "__le__", "__gt__",
               "__ge__", "__hash__", "__len__", "__iter__", "__bool__", "__getitem__",
               "get_metrics", "lower", "__contains__")
_odd_classes: dict[int, type] = {}


def odd_class(mask):
    cls = _odd_classes.get(mask)
    if cls is None:
        ns = {m: _method(m) for i, m in enumerate(ODD_METHODS) if mask >> i & 1}
        if "__eq__" in ns and "__hash__" not in ns:
            ns["__hash__"] = lambda self: 7
        cls = type("Odd%x" % mask, (OddBase,), ns)
        _odd_classes[mask] = cls
    return cls


class IntSub(int):
    def __index__(self):
        raise FuzzError("IntSub.__index__")

    def __int__(self):
        return 2**64


class FloatSub(float):
    def __float__(self):
        return math.nan


class StrSub(str):
    def lower(self):
        return 7

    def __eq__(self, other):
        raise FuzzError("StrSub.__eq__")

    __hash__ = str.__hash__


class ListSub(list):
    def __len__(self):
        return 10**6

    def __iter__(self):
        raise FuzzError("ListSub.__iter__")

    def __getitem__(self, i):
        raise FuzzError("ListSub.__getitem__")


class DictSub(dict):
    def __getitem__(self, key):
        raise FuzzError("DictSub.__getitem__")

    def __contains__(self, key):
        return True

    def get(self, key, default=None):
        return math.nan


class Plain:
    """An object with no protocol at all."""
    __slots__ = ()


def peek_int(x):
    """What a native integer conversion of x would see, or None if it would fail."""
    if isinstance(x, bool):
        return int(x)
    if isinstance(x, int):
        return int.__int__(x)
    if isinstance(x, float):
        return int(x) if math.isfinite(x) else None
    if isinstance(x, OddBase):
        return x.peek_int()
    return None


# ------------------------------------------------------------- value maker

class Maker:
    """Turns fuzzer bytes into Python values."""

    def __init__(self, fdp, extra=()):
        self.fdp = fdp
        self.extra = tuple(extra)
        self.instances: list[Any] = []

    def pick(self, seq):
        return seq[self.fdp.ConsumeIntInRange(0, len(seq) - 1)]

    def int_(self):
        k = self.fdp.ConsumeIntInRange(0, 3)
        if k == 0:
            return self.fdp.ConsumeIntInRange(-300, 300)
        if k == 1:
            return self.fdp.ConsumeInt(self.fdp.ConsumeIntInRange(1, 16))
        return self.pick(INTS)

    def float_(self):
        k = self.fdp.ConsumeIntInRange(0, 2)
        if k == 0:
            return self.fdp.ConsumeFloat()
        if k == 1:
            return self.fdp.ConsumeRegularFloat()
        return self.pick(FLOATS)

    def str_(self):
        k = self.fdp.ConsumeIntInRange(0, 2)
        if k == 0:
            return self.fdp.ConsumeUnicodeNoSurrogates(self.fdp.ConsumeIntInRange(0, 40))
        if k == 1:
            return self.pick(VOCAB)
        return self.fdp.ConsumeUnicode(self.fdp.ConsumeIntInRange(0, 20))

    def text(self, limit=400):
        """Source-like text: vocabulary words with random glue."""
        parts = []
        for _ in range(self.fdp.ConsumeIntInRange(0, 40)):
            k = self.fdp.ConsumeIntInRange(0, 3)
            if k == 0:
                parts.append(self.fdp.ConsumeUnicode(self.fdp.ConsumeIntInRange(0, 12)))
            else:
                parts.append(self.pick(VOCAB))
            parts.append(self.pick((" ", "", ".", "(", ")\n", "_", "  ", "\t", "=")))
        return "".join(parts)[:limit]

    def number(self):
        return self.int_() if self.fdp.ConsumeBool() else self.float_()

    def typed(self, kind):
        """A value of the kind a parameter declares, now and then anything at all."""
        if kind is None and self.extra and not self.fdp.ConsumeIntInRange(0, 2):
            return self.pick(self.extra)
        if kind is None or not self.fdp.ConsumeIntInRange(0, 7):
            return self.value()
        if kind == "int":
            return self.int_()
        if kind == "float":
            return self.number()
        if kind == "str":
            return self.str_() if self.fdp.ConsumeBool() else self.pick(VOCAB)
        if kind == "bool":
            return self.fdp.ConsumeBool()
        if kind == "tuple":
            return tuple(self.int_() if self.fdp.ConsumeIntInRange(0, 3) else
                         self.fdp.ConsumeIntInRange(0, 100)
                         for _ in range(self.fdp.ConsumeIntInRange(0, 4)))
        if kind == "bytes":
            return self.fdp.ConsumeBytes(16 if self.fdp.ConsumeBool() else
                                         self.fdp.ConsumeIntInRange(0, 40))
        if kind == "list":
            return [self.value(1) for _ in range(self.fdp.ConsumeIntInRange(0, MAX_ITEMS))]
        return self.value()

    def odd(self, parent=None):
        fdp = self.fdp
        mask = fdp.ConsumeIntInRange(0, (1 << len(ODD_METHODS)) - 1)
        answers = {}
        for i, name in enumerate(ODD_METHODS):
            if not mask >> i & 1:
                continue
            k = fdp.ConsumeIntInRange(0, 5)
            if k == 0:
                answers[name] = FuzzError
            elif name == "__iter__":
                answers[name] = [self.leaf() for _ in range(fdp.ConsumeIntInRange(0, 4))]
            elif name in ("__int__", "__index__", "__len__", "__hash__"):
                answers[name] = self.int_() if k < 4 else self.pick((1.5, "7", None, True))
            elif name == "__float__":
                answers[name] = self.float_() if k < 4 else self.pick((3, "7", None))
            elif name == "get_metrics":
                answers[name] = self.leaf() if k < 3 else self.odd()
            elif name == "lower":
                answers[name] = self.str_() if k < 4 else self.pick((None, 3, b"x"))
            else:
                answers[name] = self.pick((True, False, NotImplemented, 0, 1, None, "x"))
        victim = parent if parent is not None and fdp.ConsumeIntInRange(0, 3) == 0 else None
        return odd_class(mask)(answers, victim, fdp.ConsumeIntInRange(0, 2))

    def leaf(self):
        k = self.fdp.ConsumeIntInRange(0, 9)
        if k <= 2:
            return self.int_()
        if k <= 4:
            return self.float_()
        if k == 5:
            return self.str_()
        if k == 6:
            return self.pick((None, True, False))
        if k == 7:
            return self.fdp.ConsumeBytes(self.fdp.ConsumeIntInRange(0, 20))
        if k == 8:
            return self.pick((IntSub(5), FloatSub(0.5), StrSub("numpy"), Plain(), object(),
                              bytearray(b"x" * 16), (), [], {}))
        return self.pick(self.extra) if self.extra else self.int_()

    def value(self, depth=0, parent=None):
        k = self.fdp.ConsumeIntInRange(0, 15)
        if k <= 7 or depth >= MAX_DEPTH:
            return self.leaf()
        if k == 8:
            return self.odd(parent)
        if k == 9 and self.instances:
            return self.pick(self.instances)
        if k <= 11:
            out: list = []
            for _ in range(self.fdp.ConsumeIntInRange(0, MAX_ITEMS)):
                out.append(self.value(depth + 1, out))
            return out
        if k == 12:
            items = []
            for _ in range(self.fdp.ConsumeIntInRange(0, MAX_ITEMS)):
                items.append(self.value(depth + 1, parent))
            return tuple(items)
        if k == 13:
            d: dict = {}
            for _ in range(self.fdp.ConsumeIntInRange(0, 4)):
                key = self.pick(VOCAB) if self.fdp.ConsumeBool() else self.leaf()
                try:
                    d[key] = self.value(depth + 1, d)
                except (TypeError, FuzzError):   # unhashable or odd key
                    pass
            return d
        if k == 14:
            return self.pick((ListSub([1, 2]), DictSub(a=1), (1, 2, 3) * 3, list(range(20))))
        return self.odd(parent)


# ------------------------------------------------------------- module table

@dataclass
class Module:
    name: str
    # Callables called only with one argument too many (they reach the machine or
    # start processes when called correctly): qualified names within the module.
    rejected_only: frozenset = frozenset()
    # Guards: qualified name -> f(bound: dict) returning SKIP for calls whose cost
    # grows with an argument (huge tables, long result lists); they are not bugs.
    guards: dict = field(default_factory=dict)
    # Extra leaf values that this module's calls like to see.
    extra: Callable[[], tuple] = lambda: ()


def _int_at_most(limit, *names):
    def guard(bound):
        for n in names:
            v = peek_int(bound.get(n))
            if v is not None and abs(v) > limit:
                return SKIP
        return None
    return guard


def _bucket_guard(bound):
    # FastBucketAllocator builds one list per bucket size: cap the bucket count.
    step = peek_int(bound.get("bucket_size_step", 8))
    small = peek_int(bound.get("small_block_max", 256))
    medium = peek_int(bound.get("medium_block_max", 4096))
    if step is None or small is None or medium is None or step == 0:
        return None
    if max(abs(step), abs(small), abs(medium)) >= 2**31:
        return None         # rejected at conversion
    n = len(range(step, small + 1, step)) + len(range(small + step, medium + 1, step))
    return SKIP if n > 20000 else None


def _chunk_guard(bound):
    # compute_chunk_shapes returns one tuple per chunk: cap the first extent.
    shape = bound.get("shape")
    if isinstance(shape, OddBase):
        return SKIP
    if isinstance(shape, (tuple, list)):
        base = list if isinstance(shape, list) else tuple
        if base.__len__(shape):     # the items themselves, whatever a subclass says
            first = peek_int(base.__getitem__(shape, 0))
            if first is not None and 20000 < first < 2**31:
                return SKIP
    return None


def _memory_blocks():
    try:
        from korvane.memory.block_record import MemoryBlock
    except ImportError:
        return ()
    return (MemoryBlock(0, 64), MemoryBlock(64, 64), MemoryBlock(4096, 2**20, 3),
            MemoryBlock(-1, 2**70))


class FakeMetrics:
    """What a telemetry store hands out, with whatever field values."""

    def __init__(self, call_count, compile_count, avg_speedup):
        self.call_count = call_count
        self.compile_count = compile_count
        self.avg_speedup = avg_speedup
        self.last_compiled = avg_speedup


class FakeStore:
    def __init__(self, metrics):
        self.metrics = metrics

    def get_metrics(self, func_id):
        return self.metrics


def _telemetry_stores():
    stores = [FakeStore(FakeMetrics(c, k, s)) for c, k, s in (
        (0, 0, 1.0), (150, 1, 2.5), (2**31, 3, math.nan), (-1, -1, -math.inf),
        (10**6, 2**63, 1e308), (5.5, "x", None))]
    try:
        from korvane.jit.telemetry import TelemetryStore
        store = TelemetryStore()
        store.record_call("f", 1.0)
        store.record_compilation("f", 3.0)
        stores.append(store)
    except Exception:       # the store is optional here
        pass
    return tuple(stores) + ("f", None)


MODULES = [
    Module("korvane.memory.lockless_ops"),
    Module("korvane.memory.block_index", extra=_memory_blocks),
    Module("korvane.memory.slab_engine", guards={"FastBucketAllocator": _bucket_guard}),
    Module("korvane.jit.compile_gate", extra=_telemetry_stores),
    Module("korvane.native.hw_probe", rejected_only=frozenset({
        "detect_physical_cores", "detect_numa_nodes", "detect_gpu_backends",
        "detect_python_version", "detect_capabilities"})),
    Module("korvane.plugins.analyzer.pattern_scoring"),
    Module("korvane.plugins.analyzer.adaptation_rules"),
    Module("korvane.monitoring.counter_hub", guards={
        "CounterAggregator": _int_at_most(100000, "num_counters"),
        "create_aggregator": _int_at_most(100000, "num_counters")}),
    Module("korvane.gpu.device_memory", guards={"compute_chunk_shapes": _chunk_guard}),
]


def present(name):
    """A module counts when its native extension is on the path; then it must import."""
    try:
        spec = importlib.util.find_spec(name)
    except ImportError:
        return None
    if spec is None or not (spec.origin or "").endswith(".so"):
        return None
    return importlib.import_module(name)


# --------------------------------------------------------- call machinery

class Raised:
    """The outcome of a call that raised one of the documented exceptions."""
    __slots__ = ("exc",)

    def __init__(self, exc):
        self.exc = exc

    def __repr__(self):
        return f"raised {self.exc!r}"


def expect(fn, *args, **kwargs):
    """Call fn; documented exceptions are an ordinary outcome, the rest propagates."""
    try:
        return fn(*args, **kwargs)
    except SystemError:
        raise
    except EXPECTED as exc:
        return Raised(exc)


def _kind_of(text):
    """The kind of value an annotation asks for ("list[Mapping[str, float]]" is a list)."""
    for kind, marks in (("tuple", ("tuple", "Tuple")), ("list", ("list", "List")),
                        ("bytes", ("bytes",)), ("str", ("str",)), ("float", ("float", "Float")),
                        ("int", ("int", "Int", "_ByteCount")), ("bool", ("bool",))):
        if any(m in text for m in marks):
            return kind
    return None


def stub_kinds(mod):
    """{"func" or "Class.meth": {param: annotation text}} from the module's type stub."""
    path = os.path.join(os.path.dirname(mod.__file__), mod.__name__.rsplit(".", 1)[1] + ".pyi")
    out: dict = {}
    try:
        tree = ast.parse(open(path, encoding="utf-8").read())
    except (OSError, SyntaxError):
        return out

    def visit(body, prefix):
        for node in body:
            if isinstance(node, ast.ClassDef):
                visit(node.body, node.name + ".")
            elif isinstance(node, ast.FunctionDef):
                name = prefix + node.name
                if node.name in ("__new__", "__init__"):
                    name = prefix[:-1]
                out[name] = {a.arg: ast.unparse(a.annotation)
                             for a in node.args.args + node.args.kwonlyargs if a.annotation}
    visit(tree.body, "")
    return out


def params_of(fn, hints=None):
    """Parameter names, the number required, and the kind of value each declares."""
    try:
        sig = inspect.signature(fn)
    except (TypeError, ValueError):
        return None
    notes = dict(hints or {})
    notes.update(getattr(fn, "__annotations__", None) or {})
    names, kinds, required = [], [], 0
    for p in sig.parameters.values():
        if p.kind in (p.VAR_POSITIONAL, p.VAR_KEYWORD):
            continue
        names.append(p.name)
        note = notes.get(p.name)
        kind = _kind_of(note if isinstance(note, str) else getattr(note, "__name__", ""))
        if kind is None and p.default is not p.empty and p.default is not None:
            kind = _kind_of(type(p.default).__name__)
        kinds.append(kind)
        if p.default is p.empty:
            required += 1
    return names, kinds, required


@dataclass
class Callee:
    qualname: str
    fn: Any
    owner: type | None      # the class for methods (self comes from the pool)
    params: list
    required: int
    kind: str = "call"      # call | property
    kinds: list = field(default_factory=list)


def collect(mod):
    out = []
    hints = stub_kinds(mod)

    def add(qualname, fn, owner):
        pr = params_of(fn, hints.get(qualname))
        if pr is None and qualname in hints:     # native classes: the stub's __new__
            names = [n for n in hints[qualname] if n not in ("self", "cls")]
            pr = names, [_kind_of(hints[qualname][n]) for n in names], 0
        if pr is None:
            names, kinds, required = ["a", "b", "c"], [None] * 3, 0
        else:
            names, kinds, required = pr
        if owner is not None and names and names[0] == "self":
            names, kinds, required = names[1:], kinds[1:], max(required - 1, 0)
        out.append(Callee(qualname, fn, owner, names, required, kinds=kinds))

    for name, obj in sorted(vars(mod).items()):
        if name.startswith("__"):
            continue
        if isinstance(obj, type) and obj.__module__ == mod.__name__:
            add(name, obj, None)
            for mname, attr in sorted(vars(obj).items()):
                if mname in ("__new__", "__init__", "__class__", "__init_subclass__",
                             "__subclasshook__"):
                    continue
                if isinstance(attr, staticmethod):
                    add(f"{name}.{mname}", attr.__func__, None)
                elif inspect.isdatadescriptor(attr) and not callable(attr):
                    out.append(Callee(f"{name}.{mname}", mname, obj, [], 0, "property"))
                elif callable(attr):
                    add(f"{name}.{mname}", attr, obj)
        elif callable(obj) and getattr(obj, "__module__", None) == mod.__name__:
            add(name, obj, None)
    return out


def overriding_subclass(base):
    """A Python subclass of base whose public methods may return odd values or raise."""
    ns = {"__module__": __name__}
    for name, attr in vars(base).items():
        if name.startswith("__") or not callable(attr) or isinstance(attr, (staticmethod, type)):
            continue

        def override(self, *args, _name=name, **kwargs):
            maker = getattr(self, "_maker", None)
            if maker is None or maker.fdp.remaining_bytes() == 0 or maker.fdp.ConsumeBool():
                return getattr(super(sub, self), _name)(*args, **kwargs)
            if not maker.fdp.ConsumeIntInRange(0, 3):
                raise FuzzError("override of " + _name)
            return maker.value()
        ns[name] = override
    try:
        sub = type("Sub" + base.__name__, (base,), ns)
    except TypeError:       # not subclassable
        return None
    return sub


class ArgsTarget:
    """Every callable of one module, with arbitrary arguments."""

    def __init__(self, spec: Module, mod):
        self.spec = spec
        self.mod = mod
        self.callees = collect(mod)
        self.classes = [c for c in self.callees if isinstance(c.fn, type)]
        self.extra = spec.extra()
        self.subclasses = {c.fn: overriding_subclass(c.fn) for c in self.classes}

    def make_instances(self, maker):
        plain = {"int": 8, "float": 1.0, "str": "x", "bool": True, "tuple": (8,), "list": [],
                 "bytes": bytes(16)}
        for c in self.classes:
            if c.qualname in self.spec.rejected_only:
                continue
            # The class itself, and a subclass whose methods may answer oddly
            # when the module calls them back through attribute lookup.
            for cls in (c.fn, self.subclasses.get(c.fn)):
                if cls is None:
                    continue
                obj = expect(cls)
                if isinstance(obj, Raised):
                    obj = expect(cls, *[plain.get(k) for k in c.kinds])
                if isinstance(obj, Raised):
                    continue
                if cls is not c.fn:
                    obj._maker = maker
                maker.instances.append(obj)

    def arguments(self, maker, callee):
        fdp = maker.fdp
        n = len(callee.params)
        mode = fdp.ConsumeIntInRange(0, 5)
        if mode <= 2:       # a count the signature allows, positional, mostly well typed
            count = fdp.ConsumeIntInRange(callee.required, n)
            return [maker.typed(k) for k in callee.kinds[:count]], {}
        if mode == 3:       # any count
            return [maker.value() for _ in range(fdp.ConsumeIntInRange(0, n + 2))], {}
        # keywords, some valid, some unknown or repeating a positional
        npos = fdp.ConsumeIntInRange(0, n)
        args = [maker.value() for _ in range(npos)]
        kwargs = {}
        for _ in range(fdp.ConsumeIntInRange(0, n + 1)):
            if callee.params and fdp.ConsumeIntInRange(0, 4):
                key = maker.pick(callee.params)
            else:
                key = maker.pick(("x", "self", "", "é", "size"))
            kwargs[key] = maker.value() if key not in callee.params else \
                maker.typed(callee.kinds[callee.params.index(key)])
        return args, kwargs

    def bind(self, callee, args, kwargs):
        bound = dict(zip(callee.params, args))
        bound.update(kwargs)
        return bound

    def step(self, maker):
        fdp = maker.fdp
        callee = maker.pick(self.callees)
        if callee.kind == "property":
            self.poke_property(maker, callee)
            return
        args, kwargs = self.arguments(maker, callee)
        if callee.qualname in self.spec.rejected_only:
            args.append(None)
        guard = self.spec.guards.get(callee.qualname)
        if guard is not None and guard(self.bind(callee, args, kwargs)) is SKIP:
            return
        fn = callee.fn
        if callee.owner is not None:
            own = [o for o in maker.instances if isinstance(o, callee.owner)]
            if own and fdp.ConsumeIntInRange(0, 7):
                args.insert(0, maker.pick(own))
            else:           # a wrong self, or none at all
                if fdp.ConsumeBool():
                    args.insert(0, maker.value())
        result = expect(fn, *args, **kwargs)
        if isinstance(callee.fn, type) and not isinstance(result, Raised):
            maker.instances.append(result)

    def poke_property(self, maker, callee):
        own = [o for o in maker.instances if isinstance(o, callee.owner)]
        obj = maker.pick(own) if own else maker.value()
        k = maker.fdp.ConsumeIntInRange(0, 2)
        if k == 0:
            expect(getattr, obj, callee.fn)
        elif k == 1:
            expect(setattr, obj, callee.fn, maker.value())
        else:
            expect(delattr, obj, callee.fn)

    def __call__(self, data):
        fdp = atheris.FuzzedDataProvider(data)
        maker = Maker(fdp, self.extra)
        self.make_instances(maker)
        for _ in range(fdp.ConsumeIntInRange(1, MAX_STEPS)):
            if fdp.remaining_bytes() == 0:
                break
            self.step(maker)


# ------------------------------------------------------- focused targets

def _close(a, b):
    """Results equal, floats up to rounding (nan equals nan)."""
    if isinstance(a, float) and isinstance(b, float):
        if math.isnan(a) or math.isnan(b):
            return math.isnan(a) and math.isnan(b)
        return a == b or math.isclose(a, b, rel_tol=1e-9, abs_tol=1e-12)
    if isinstance(a, (tuple, list)) and isinstance(b, (tuple, list)):
        return type(a) is type(b) and len(a) == len(b) and all(map(_close, a, b))
    return type(a) is type(b) and a == b


def differential(native, baseline, *args):
    """Same result (or both rejecting) for native and baseline on plain inputs.

    The baselines convert with plain Python ints, so a native OverflowError for
    a number beyond the declared native width is no mismatch."""
    got = expect(native, *args)
    if baseline is None:
        return got
    want = expect(baseline, *args)
    if isinstance(got, Raised):
        if isinstance(want, Raised) or isinstance(got.exc, OverflowError):
            return got
    elif not isinstance(want, Raised) and _close(got, want):
        return got
    raise AssertionError(f"{native.__name__}{args!r}: native {got!r}, baseline {want!r}")


def _baseline(modname):
    short = modname.rsplit(".", 1)[1]
    try:
        return importlib.import_module("korvane._baselines." + short)
    except ImportError:
        return None


def crc16_modbus(data):
    # The pure-Python oracle's table-driven CRC, independent of the native table.
    from korvane._baselines.slab_engine import _crc16
    return _crc16(data)


def slab_header_target(mod):
    ops = mod.FastSlabHeaderOps

    def run(data):
        fdp = atheris.FuzzedDataProvider(data)
        m = Maker(fdp)
        h = expect(ops, m.int_(), m.int_())
        if isinstance(h, Raised):
            return
        for _ in range(fdp.ConsumeIntInRange(1, MAX_STEPS)):
            if fdp.remaining_bytes() == 0:
                break
            k = fdp.ConsumeIntInRange(0, 9)
            if k <= 4:
                raw = fdp.ConsumeBytes(16 if fdp.ConsumeIntInRange(0, 5) else
                                       fdp.ConsumeIntInRange(0, 40))
                form = fdp.ConsumeIntInRange(0, 5)
                arg = (raw, raw, bytearray(raw), memoryview(raw), raw.decode("latin-1"),
                       m.value())[form]
                if isinstance(expect(h.unpack_header, arg), Raised) or form > 3 or len(raw) != 16:
                    continue
                packed = h.pack_header()
                stored = struct.unpack_from("<H", raw, 6)[0]
                bad = 0x80 if stored != crc16_modbus(raw[:6]) else 0
                want = raw[:1] + bytes([raw[1] | bad]) + raw[2:6]
                assert packed[:6] == want and packed[8:] == raw[8:], (raw, packed)
            elif k <= 7:
                i = m.int_() if fdp.ConsumeBool() else fdp.ConsumeIntInRange(0, 70)
                fn = (h.py_allocate_object_at, h.py_deallocate_object_at, h.py_is_object_free)[k - 5]
                expect(fn, i)
            free = h.py_find_free_object()
            assert free == -1 or (0 <= free < 64 and h.py_is_object_free(free)), free
            packed = h.pack_header()
            assert len(packed) == 16 and \
                struct.unpack_from("<H", packed, 6)[0] == crc16_modbus(packed[:6]), packed
            bitmap = struct.unpack_from("<Q", packed, 8)[0]
            assert free == ((bitmap & -bitmap).bit_length() - 1 if bitmap else -1), (free, packed)
    return run


def scoring_target(mod):
    base = _baseline(mod.__name__)
    names = ("score_indicators", "score_framework_patterns", "quick_framework_score")

    def run(data):
        fdp = atheris.FuzzedDataProvider(data)
        m = Maker(fdp)
        for _ in range(fdp.ConsumeIntInRange(1, 4)):
            code = m.text() if fdp.ConsumeIntInRange(0, 4) else m.value()
            other = m.pick(("numpy", "pandas", "sklearn", "torch", None, "", "NUMPY")) \
                if fdp.ConsumeIntInRange(0, 4) else m.value()
            name = m.pick(names)
            fn = getattr(mod, name)
            args = (code,) if name == "score_framework_patterns" else (code, other)
            plain = all(type(a) in (str, type(None)) for a in args)
            got = differential(fn, getattr(base, name) if plain and base else None, *args)
            if isinstance(got, Raised):
                continue
            values = got if isinstance(got, tuple) else (got,)
            assert all(isinstance(v, (int, float)) and not (isinstance(v, float) and
                       math.isnan(v)) and v >= 0 for v in values), (name, args, got)
    return run


# The framework patterns as the module compiles them; the reference for its
# native matcher.
FRAMEWORK_PATTERNS = {
    "numpy": r"\b(numpy|np\.|ndarray|array|vectorize|matmul|linalg)\b",
    "pandas": r"\b(pandas|pd\.|DataFrame|Series|groupby|merge|pivot)\b",
    "sklearn": r"\b(sklearn|fit|predict|transform|GridSearchCV|RandomForest)\b",
}
# Word and non-word characters of every width, to stand next to the words.
NEIGHBOURS = (" ", ".", "_", "0", "x", "\n", "\u00e9", "\u00b2", "\u00aa", "\u00b7", "\u0301",
              "\u0345", "\u200d", "\u2014", "\u2160", "\u3000", "\u4e00", "\uff21",
              "\U0001d7d8", "\U0001f600", "\ud800", "\udfff", "\U0010ffff")


def framework_target(mod):
    """quick_framework_score(code, key) must be len(findall) / 10 (at most 1.0) of
    the key's pattern, for text made of the pattern words spelled with any
    characters that re matches to their letters, word and non-word neighbours
    of every width, and arbitrary code points."""
    patterns = {k: re.compile(p, re.IGNORECASE) for k, p in FRAMEWORK_PATTERNS.items()}
    words = [w.replace("\\", "") for p in FRAMEWORK_PATTERNS.values() for w in p[3:-3].split("|")]
    every = "".join(map(chr, range(0x110000)))
    spellings = {ch: sorted(set(re.findall(re.escape(ch), every, re.IGNORECASE)))
                 for ch in set("".join(words))}

    def run(data):
        fdp = atheris.FuzzedDataProvider(data)
        parts = []
        for _ in range(fdp.ConsumeIntInRange(0, 16)):
            k = fdp.ConsumeIntInRange(0, 4)
            if k <= 1:
                word = words[fdp.ConsumeIntInRange(0, len(words) - 1)]
                parts.append("".join(
                    spellings[ch][fdp.ConsumeIntInRange(0, len(spellings[ch]) - 1)] if k else ch
                    for ch in word))
            elif k == 2:
                parts.append(NEIGHBOURS[fdp.ConsumeIntInRange(0, len(NEIGHBOURS) - 1)])
            elif k == 3:
                parts.append(chr(fdp.ConsumeIntInRange(0, 0x10FFFF)))
            else:
                parts.append(fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 8)))
        code = "".join(parts)
        for key, pattern in patterns.items():
            want = min(1.0, len(pattern.findall(code)) / 10.0)
            got = mod.quick_framework_score(code, key)
            assert got == want, (key, ascii(code), got, want)
    return run


def history_target(mod):
    base = _baseline(mod.__name__)

    def entry(m, clean=False):
        fdp = m.fdp
        k = fdp.ConsumeIntInRange(0, 5 if clean else 9)
        if k <= 5:
            return (m.number(), m.number()) if k <= 3 else [m.float_(), m.int_()]
        if k == 6:
            return tuple(m.number() for _ in range(fdp.ConsumeIntInRange(0, 4)))
        return m.value(1)

    def pattern(m):
        d = {}
        for key in ("parallelization_potential", "cpu_intensity", "memory_intensity"):
            if m.fdp.ConsumeIntInRange(0, 9):
                d[key] = m.number() if m.fdp.ConsumeIntInRange(0, 5) else m.value(2, d)
        return d if m.fdp.ConsumeIntInRange(0, 9) else m.value(1)

    def listing(m, make):
        if not m.fdp.ConsumeIntInRange(0, 15):
            return m.value()
        out: list = []
        clean = m.fdp.ConsumeBool()
        for _ in range(m.fdp.ConsumeIntInRange(0, 14)):
            out.append(make(m, clean) if make is entry else make(m))
        # Sometimes an item mutates the very list while it is being read.
        if out and not m.fdp.ConsumeIntInRange(0, 5):
            out.append(m.odd(out))
        return out

    def is_plain(v):
        if type(v) in (int, float, str, bool, type(None)):
            return True
        if type(v) in (list, tuple):
            return all(map(is_plain, v))
        if type(v) is dict:
            return all(type(k) is str and is_plain(x) for k, x in v.items())
        return False

    def run(data):
        fdp = atheris.FuzzedDataProvider(data)
        m = Maker(fdp)
        for _ in range(fdp.ConsumeIntInRange(1, 4)):
            k = fdp.ConsumeIntInRange(0, 4)
            if k == 0:
                name, args = "calculate_performance_trend", (listing(m, entry), m.number())
            elif k == 1:
                name, args = "detect_performance_degradation", (
                    listing(m, entry), m.number(), m.float_(), m.number())
            elif k == 2:
                name, args = "detect_workload_characteristics_change", (
                    listing(m, pattern), m.float_())
            elif k == 3:
                name, args = "detect_dominant_pattern", (
                    listing(m, lambda m: m.pick(("a", "b", "cpu", None, "")) if
                            m.fdp.ConsumeIntInRange(0, 7) else m.value()), m.int_())
            else:
                name, args = "predict_resource_requirements", (listing(m, entry), m.number())
            fn = getattr(mod, name)
            bfn = getattr(base, name, None) if base and is_plain(args) else None
            got = differential(fn, bfn, *args)
            if name == "calculate_performance_trend" and not isinstance(got, Raised):
                assert -1.0 <= got <= 1.0, (args, got)
    return run


def device_memory_target(mod):
    base = _baseline(mod.__name__)

    def run(data):
        fdp = atheris.FuzzedDataProvider(data)
        m = Maker(fdp)

        def size():
            k = fdp.ConsumeIntInRange(0, 3)
            return m.pick(INTS) if k <= 1 else (m.int_() if k == 2 else m.float_())

        def ratio():
            return m.float_() if fdp.ConsumeIntInRange(0, 5) else m.int_()

        def op():
            return m.pick(("zeros", "random.randn", "matmul", "svd", "other", None, ""))

        def shape():
            n = fdp.ConsumeIntInRange(0, 4)
            if not fdp.ConsumeIntInRange(0, 9):
                return m.value()
            return tuple(size() if fdp.ConsumeBool() else fdp.ConsumeIntInRange(-2, 600)
                         for _ in range(n))

        for _ in range(fdp.ConsumeIntInRange(1, 6)):
            k = fdp.ConsumeIntInRange(0, 9)
            if k == 0:
                name, args = "estimate_allocation_bytes", (shape(), size(), ratio())
            elif k == 1:
                name, args = "calculate_safe_limit", (size(), ratio())
            elif k == 2:
                name, args = "calculate_memory_pressure", (size(), size())
            elif k == 3:
                name, args = "recommend_headroom", (ratio(), ratio())
            elif k == 4:
                name, args = "decide_allocation_strategy", (size(), size(), ratio(),
                                                            m.pick((True, False, 0, None)))
            elif k == 5:
                name, args = "calculate_optimal_chunks", (size(), size(), ratio(), size(), size())
            elif k == 6:
                name, args = "compute_chunk_shapes", (shape(), size(), size())
                if _chunk_guard({"shape": args[0]}) is SKIP:
                    continue
            elif k == 7:
                name, args = "score_gpu_suitability", (size(), op(), size(), ratio())
            elif k == 8:
                name, args = "is_oom_error", (m.text(80), m.pick(("", "RuntimeError",
                                                                  "OutOfMemoryError", None)))
            else:
                name, args = "is_chunkable_operation", (op(),)
            plain = all(type(a) in (int, float, str, bool, type(None), tuple) and
                        (type(a) is not tuple or all(type(x) in (int, float) for x in a))
                        for a in args)
            bfn = getattr(base, name, None) if base and plain else None
            got = differential(getattr(mod, name), bfn, *args)
            if isinstance(got, Raised):
                continue
            if name == "compute_chunk_shapes":
                first = int(args[0][0]) if args[0] else None
                rows = sum(c[0] for c in got) if args[0] else None
                assert not args[0] or rows == max(first, 0), (args, got)
                assert all(c[1:] == tuple(args[0][1:]) or not args[0] for c in got), (args, got)
            elif name == "calculate_optimal_chunks":
                lo, hi = peek_int(args[3]), peek_int(args[4])
                assert got == lo or got <= hi, (args, got)
    return run


FOCUSED = {
    "korvane.memory.slab_engine": [("slab_header", slab_header_target)],
    "korvane.plugins.analyzer.pattern_scoring": [("scoring_text", scoring_target),
                                                 ("framework_matches", framework_target)],
    "korvane.plugins.analyzer.adaptation_rules": [("histories", history_target)],
    "korvane.gpu.device_memory": [("memory_figures", device_memory_target)],
}


def targets():
    out = {}
    for spec in MODULES:
        mod = present(spec.name)
        if mod is None:
            continue
        out["args:" + spec.name] = lambda mod=mod, spec=spec: ArgsTarget(spec, mod)
        for name, make in FOCUSED.get(spec.name, ()):
            out[name] = lambda mod=mod, make=make: make(mod)
    return out


def main(argv):
    if "--list" in argv:
        print("\n".join(targets()))
        return
    if "--target" not in argv:
        sys.exit("usage: fuzz_korvane.py --list | --target NAME [libFuzzer args]")
    i = argv.index("--target")
    name = argv[i + 1]
    rest = argv[:i] + argv[i + 2:]
    table = targets()
    if name not in table:
        sys.exit(f"unknown or absent target {name!r}; present: {', '.join(table)}")
    one_input = table[name]()
    atheris.Setup(rest, one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main(sys.argv)
