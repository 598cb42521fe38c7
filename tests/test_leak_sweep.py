"""Reference-leak sweep over every public function and method of the native modules.

Each case is one call, valid or rejected (wrong type, overflow, bad value, an error
raised by a callback; wrong argument counts and keywords are generated for every
function from its signature), or one balanced cycle of a stateful object (insert
then delete, push then pop, ...). A case is run many
times; afterwards the number of interpreter blocks in use (``sys.getallocatedblocks``
after a collection) must not have grown, and neither may the reference counts of
the objects the call was given (arguments, ``self``, its class).

Native allocations made with ``new``/``malloc`` are invisible here; the sanitizer
run covers those (and runs this file too, so every rejected-call path is also
exercised under ASan/UBSan). A module that is not built skips its cases. Adding a module is one entry in
``MODULES`` and one table function.
"""
import contextlib
import gc
import importlib
import inspect
import logging
import math
import pickle
import re
import sys
from typing import Callable, NamedTuple

import pytest

pytestmark = [
    pytest.mark.skipif(not hasattr(sys, "getallocatedblocks") or sys.getallocatedblocks() == 0,
                       reason="sys.getallocatedblocks() is not meaningful with this allocator"),
]

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


# ---- per-module tables --------------------------------------------------------------

def lockless_ops_cases(m):
    cases = []
    for cls in (m.AtomicCounter, m.AtomicPointer, m.LockFreeStack, m.LockFreeStatistics,
                m.PerformanceTimer):
        cases += native_class_cases(cls)

    AC = m.AtomicCounter
    c = AC(0)
    big = AC(2**62)
    cases += [
        ok("AtomicCounter(5)", AC, 5),
        ok("AtomicCounter(initial_value=-3)", AC, initial_value=-3),
        ok("AtomicCounter(2.9)", AC, 2.9),
        bad("AtomicCounter(1, 2)", TypeError, AC, 1, 2),
        bad("AtomicCounter(x=1)", TypeError, AC, x=1),
        bad("AtomicCounter(1, initial_value=2)", TypeError, AC, 1, initial_value=2),
        bad("AtomicCounter('1')", TypeError, AC, "1"),
        bad("AtomicCounter(2**63)", OverflowError, AC, I64_OVER),
        bad("AtomicCounter(BadInt())", TypeError, AC, BadInt()),
        bad("AtomicCounter(RaisingNumber())", ArithmeticError, AC, RaisingNumber()),
        ok("load", c.load),
        ok("load big", big.load),
        ok("store", c.store, 3),
        ok("store float", c.store, 2.9),
        ok("increment", c.increment),
        ok("increment big", big.increment, 0),
        ok("decrement", c.decrement, 1),
        ok("compare_and_swap miss", c.compare_and_swap, -7, 0),
        ok("fetch_and_add", big.fetch_and_add, 0),
        ok("py_increment", c.py_increment, 1),
        bad("store('1')", TypeError, c.store, "1"),
        bad("store(2**63)", OverflowError, c.store, I64_OVER),
        bad("store(-2**63-1)", OverflowError, c.store, -I64_OVER - 1),
        bad("store(BadInt())", TypeError, c.store, BadInt()),
        bad("increment(RaisingNumber())", ArithmeticError, c.increment, RaisingNumber()),
        bad("fetch_and_add(None)", TypeError, c.fetch_and_add, None),
    ]

    W = m.AtomicCounterWrapper
    w = W()
    cases += [
        ok("AtomicCounterWrapper()", W),
        ok("wrapper.load", w.load),
        ok("wrapper.store", w.store, 1),
        ok("wrapper.increment(2.5)", w.increment, 2.5),
        ok("wrapper.decrement", w.decrement),
        ok("wrapper.compare_and_swap", w.compare_and_swap, -5, 1),
        ok("wrapper.fetch_and_add", w.fetch_and_add, 0),
        bad("wrapper.increment('1')", TypeError, w.increment, "1"),
        bad("AtomicCounterWrapper(1, 2)", TypeError, W, 1, 2),
    ]

    AP = m.AtomicPointer
    held = [1]
    p = AP(held)
    cases += [
        ok("AtomicPointer(obj)", AP, [1]),
        ok("AtomicPointer(initial_value=obj)", AP, initial_value=held),
        bad("AtomicPointer(1, 2)", TypeError, AP, 1, 2),
        bad("AtomicPointer(x=1)", TypeError, AP, x=1),
        ok("pointer.load", p.load),
        ok("pointer.get_version", p.get_version),
        ok("pointer.compare_and_swap self", p.compare_and_swap, held, held),
        ok("pointer.compare_and_swap miss", p.compare_and_swap, [1], held),
    ]
    p2 = AP()
    cases.append(cycle("pointer.store(new object)", lambda: p2.store(object()), p2))

    def cas_replace(p=AP(None)):
        cur = p.load()
        p.compare_and_swap(cur, [cur])
        p.store(None)
    cases.append(cycle("pointer.compare_and_swap replace", cas_replace))

    S = m.LockFreeStack
    s = S()
    item = object()

    def push_pop():
        s.push(item)
        s.push(None)
        s.pop()
        s.pop()

    def filled_stack():
        t = S()
        t.push([1])
        t.push(item)
        t.push(None)
    cases += [
        ok("LockFreeStack(1, 2, key=3)", S, 1, 2, key=3),
        ok("stack.pop empty", s.pop),
        ok("stack.is_empty", s.is_empty),
        ok("stack.size", s.size),
        cycle("stack.push/pop", push_pop, s, item),
        cycle("stack destroyed holding items", filled_stack, item),
    ]

    LS = m.LockFreeStatistics
    st = LS()
    broken = LS()
    broken.total_allocations = None
    cases += [
        ok("LockFreeStatistics(1, x=2)", LS, 1, x=2),
        ok("record_allocation", st.record_allocation, 64),
        ok("record_allocation full", st.record_allocation, 32, False, 8, 100),
        ok("record_allocation negative padding", st.record_allocation, 10, padding=-5, time_ns=-1),
        ok("record_deallocation", st.record_deallocation, 64, 40),
        ok("py_record_allocation", st.py_record_allocation, 10, True, 4, 7),
        ok("py_record_deallocation", st.py_record_deallocation, 10, 3),
        ok("_update_peaks", st._update_peaks, 5, 200),
        ok("get_snapshot", st.get_snapshot),
        ok("reset", st.reset),
        ok("attribute get", getattr, st, "peak_allocations"),
        cycle("attribute set", lambda: setattr(st, "bytes_reserved", AC(0)), st),
        cycle("attribute delete/set",
              lambda: (delattr(st, "bytes_reserved"), setattr(st, "bytes_reserved", AC(0))), st),
        cycle("statistics in a reference cycle", lambda: _stats_cycle(LS)),
        bad("record_allocation('x')", TypeError, st.record_allocation, "x"),
        bad("record_allocation(2**63)", OverflowError, st.record_allocation, I64_OVER),
        bad("py_record_allocation(2**63, True)", OverflowError, st.py_record_allocation, I64_OVER, True),
        bad("py_record_deallocation('x')", TypeError, st.py_record_deallocation, "x"),
        bad("_update_peaks('a', 1)", TypeError, st._update_peaks, "a", 1),
        bad("record_allocation with a counter replaced by None", AttributeError, broken.record_allocation, 1),
        bad("get_snapshot with a counter replaced by None", AttributeError, broken.get_snapshot),
    ]

    PT = m.PerformanceTimer
    t = PT()
    cases += [
        ok("PerformanceTimer(1, x=2)", PT, 1, x=2),
        ok("timer.start", t.start),
        ok("timer.elapsed_ns", t.elapsed_ns),
        ok("timer.elapsed_us", t.elapsed_us),
        ok("timer.elapsed_ms", t.elapsed_ms),
    ]
    return cases


def _stats_cycle(LS):
    x = LS()
    x.bytes_reserved = x


def block_index_cases(m):
    T = m.FastRedBlackTree
    from korvane.memory.block_record import MemoryBlock

    cases = native_class_cases(T)
    cases += [
        ok("FastRedBlackTree(1)", T, 1),
        ok("FastRedBlackTree(sample_rate=0)", T, sample_rate=0),
        bad("FastRedBlackTree(-1)", OverflowError, T, -1),
        bad("FastRedBlackTree(2**32)", OverflowError, T, 2**32),
        bad("FastRedBlackTree(1, 2)", TypeError, T, 1, 2),
        bad("FastRedBlackTree(x=1)", TypeError, T, x=1),
        bad("FastRedBlackTree('a')", TypeError, T, "a"),
    ]

    t = T(sample_rate=1)
    blocks = {size: [MemoryBlock(size * k, size) for k in range(3)] for size in (16, 32, 64, 128)}
    for size, bs in blocks.items():
        for b in bs:
            t.insert(size, b)
    b = MemoryBlock(4096, 48)
    chained = MemoryBlock(1, 32)
    stranger = MemoryBlock(7, 7)
    cases += [
        ok("find_best_fit", t.find_best_fit, 20),
        ok("find_best_fit alignment", t.find_best_fit, 20, 8),
        ok("find_best_fit none fits", t.find_best_fit, 10**6),
        ok("find_best_fit float", t.find_best_fit, 20.5),
        ok("find_best_fit negative", t.find_best_fit, -1),
        ok("find_all_exact", t.find_all_exact, 32),
        ok("find_all_exact absent", t.find_all_exact, 5),
        ok("find_all_exact negative", t.find_all_exact, -1),
        ok("delete absent", t.delete, 32, stranger),
        ok("delete negative", t.delete, -1, stranger),
        ok("remove_ge negative", t.remove_ge, -1),
        ok("remove_ge none fits", t.remove_ge, 10**6),
        ok("get_stats", t.get_stats),
        ok("size", t.size),
        ok("len", len, t),
        ok("bool", bool, t),
        ok("repr", repr, t),
        ok("get_size_distribution", t.get_size_distribution),
        ok("reset_circuit_breaker", t.reset_circuit_breaker),
        ok("get_statistics", t.get_statistics),
        ok("_sanitize_size", t._sanitize_size, 5),
        ok("_sanitize_size on the class", T._sanitize_size, 0),
        bad("_sanitize_size(-5)", ValueError, T._sanitize_size, -5),
        bad("insert(-1, b)", ValueError, t.insert, -1, b),
        bad("insert('64', b)", TypeError, t.insert, "64", b),
        bad("insert(2**64, b)", OverflowError, t.insert, U64_OVER, b),
        bad("find_best_fit('a')", TypeError, t.find_best_fit, "a"),
        bad("find_best_fit(1, 'a')", TypeError, t.find_best_fit, 1, "a"),
        bad("find_best_fit(2**64)", OverflowError, t.find_best_fit, U64_OVER),
        bad("delete(RaisingNumber())", ArithmeticError, t.delete, RaisingNumber(), b),
        bad("delete with == raising", ArithmeticError, t.delete, 64, RaisingEq()),
        bad("remove_ge('a')", TypeError, t.remove_ge, "a"),
    ]

    def insert_delete():
        t.insert(48, b)          # a new tree node
        t.delete(48, b)
        t.insert(32, chained)    # a chain node
        t.delete(32, chained)

    def insert_remove_ge():
        t.insert(200, b)
        t.remove_ge(199)

    def promote():
        first = blocks[16][0]
        t.delete(16, first)      # promotes a chained block into the tree node
        t.insert(16, first)

    def fill_and_clear(u=T()):
        for k in range(8):
            u.insert(k * 8, MemoryBlock(k, k))
        u.clear()

    def fill_and_drop():
        u = T()
        for k in range(8):
            u.insert(k * 8, MemoryBlock(k, k))
        u.insert(8, b)

    class Odd(T):
        def _sanitize_size(self, size):
            return "x"
    odd = Odd()
    cases += [
        cycle("insert/delete", insert_delete, t, b, chained),
        cycle("insert/remove_ge", insert_remove_ge, t, b),
        cycle("delete promotes/insert", promote, t, *blocks[16]),
        cycle("fill/clear", fill_and_clear),
        cycle("tree destroyed holding blocks", fill_and_drop, b),
        bad("_sanitize_size override returning str", TypeError, odd.insert, 8, b),
    ]
    if hasattr(m, "_check_invariants"):
        cases.append(ok("_check_invariants", m._check_invariants, t))
    return cases


def slab_engine_cases(m):
    H = m.FastSlabHeaderOps
    A = m.FastBucketAllocator
    C = m.FastStatsCollector
    cases = native_class_cases(H, (3, 10)) + native_class_cases(A) + native_class_cases(C)

    h = H(3, 10)
    packed = h.pack_header()
    corrupt = bytes([packed[0] ^ 1]) + packed[1:]
    other = H(0, 64)
    cases += [
        bad("FastSlabHeaderOps(3)", TypeError, H, 3),
        bad("FastSlabHeaderOps(2**31, 1)", OverflowError, H, I32_OVER, 1),
        bad("FastSlabHeaderOps('a', 1)", TypeError, H, "a", 1),
        bad("FastSlabHeaderOps(x=1)", TypeError, H, 1, 2, x=1),
        ok("pack_header", h.pack_header),
        ok("unpack_header", other.unpack_header, packed),
        ok("unpack_header corrupted (logs)", other.unpack_header, corrupt),
        ok("py_is_object_free", h.py_is_object_free, 9),
        ok("py_is_object_free(64)", h.py_is_object_free, 64),
        ok("py_find_free_object", h.py_find_free_object),
        bad("unpack_header(None)", TypeError, other.unpack_header, None),
        bad("unpack_header(short)", ValueError, other.unpack_header, b"short"),
        bad("unpack_header(str)", TypeError, other.unpack_header, "x" * 16),
        bad("py_is_object_free(2**31)", OverflowError, h.py_is_object_free, I32_OVER),
        bad("py_is_object_free('a')", TypeError, h.py_is_object_free, "a"),
    ]

    def take_release():
        h.py_allocate_object_at(0)
        h.py_allocate_object_at(70)
        h.py_deallocate_object_at(0)
        h.py_deallocate_object_at(70)
    cases.append(cycle("py_allocate_object_at/py_deallocate_object_at", take_release, h))

    a = A()
    a.add_to_bucket(4, 64)      # misaligned for 16: tried and put back on every search
    cases += [
        ok("FastBucketAllocator(16, 128, 1024)", A, 16, 128, 1024),
        bad("FastBucketAllocator(0)", ValueError, A, 0),
        bad("FastBucketAllocator(2**31)", OverflowError, A, I32_OVER),
        bad("FastBucketAllocator('a')", TypeError, A, "a"),
        bad("FastBucketAllocator(1, 2, 3, 4)", TypeError, A, 1, 2, 3, 4),
        bad("FastBucketAllocator(x=1)", TypeError, A, x=1),
        ok("add_to_bucket not a bucket size", a.add_to_bucket, 64, 60),
        ok("add_to_bucket too large", a.add_to_bucket, 0, 5000),
        ok("remove_from_bucket too large", a.remove_from_bucket, 5000),
        ok("remove_from_bucket empty", a.remove_from_bucket, 128),
        ok("find_best_fit_bucket misaligned put back", a.find_best_fit_bucket, 64, 16),
        ok("find_best_fit_bucket too large", a.find_best_fit_bucket, 5000, 8),
        ok("_init_buckets", A(8, 64, 128)._init_buckets),
        bad("add_to_bucket('a', 1)", TypeError, a.add_to_bucket, "a", 1),
        bad("add_to_bucket(2**31, 8)", OverflowError, a.add_to_bucket, I32_OVER, 8),
    ]

    def add_remove():
        a.add_to_bucket(100, 64)
        a.add_to_bucket(200, 64)
        a.remove_from_bucket(57)
        a.remove_from_bucket(64)

    def add_best_fit():
        a.add_to_bucket(1000, 128)
        a.find_best_fit_bucket(60, 8)
    cases += [
        cycle("add/remove", add_remove, a),
        cycle("add/find_best_fit_bucket", add_best_fit, a),
    ]

    s = C()
    cases += [
        ok("py_record_allocation", s.py_record_allocation, 64, 8, True),
        ok("py_record_allocation falsy", s.py_record_allocation, 64, 0, []),
        ok("py_record_deallocation", s.py_record_deallocation),
        ok("get_stats", s.get_stats),
        ok("reset_stats", s.reset_stats),
        bad("py_record_allocation('a', 8, True)", TypeError, s.py_record_allocation, "a", 8, True),
        bad("py_record_allocation(2**31, 0, True)", OverflowError, s.py_record_allocation, I32_OVER, 0, True),
        bad("py_record_allocation raising truth", ArithmeticError, s.py_record_allocation, 1, 1, RaisingBool()),
    ]

    f = m
    cases += [
        ok("fast_align_size", f.fast_align_size, 13, 8),
        bad("fast_align_size(13, 6)", ValueError, f.fast_align_size, 13, 6),
        bad("fast_align_size(13, 0)", ValueError, f.fast_align_size, 13, 0),
        bad("fast_align_size('a', 8)", TypeError, f.fast_align_size, "a", 8),
        bad("fast_align_size(2**31, 8)", OverflowError, f.fast_align_size, I32_OVER, 8),
        ok("fast_get_bucket_size", f.fast_get_bucket_size, 13),
        ok("fast_get_bucket_size step", f.fast_get_bucket_size, 100, 32),
        bad("fast_get_bucket_size(13, 0)", (ValueError, ZeroDivisionError), f.fast_get_bucket_size, 13, 0),
        ok("fast_bitmap_operations is_set", f.fast_bitmap_operations, 0b1010, 1, "is_set"),
        ok("fast_bitmap_operations set", f.fast_bitmap_operations, 2**63, 0, "set"),
        ok("fast_bitmap_operations clear", f.fast_bitmap_operations, 0b1010, 3, "clear"),
        ok("fast_bitmap_operations find_first", f.fast_bitmap_operations, 0b1010, 0, "find_first"),
        bad("fast_bitmap_operations unknown", ValueError, f.fast_bitmap_operations, 1, 1, "bogus"),
        bad("fast_bitmap_operations None", ValueError, f.fast_bitmap_operations, 1, 1, None),
        bad("fast_bitmap_operations(-1, ...)", OverflowError, f.fast_bitmap_operations, -1, 0, "set"),
        bad("fast_bitmap_operations(2**64, ...)", OverflowError, f.fast_bitmap_operations, U64_OVER, 0, "set"),
        bad("fast_bitmap_operations operation 5", TypeError, f.fast_bitmap_operations, 1, 1, 5),
        ok("fast_can_fit_aligned", f.fast_can_fit_aligned, 4, 64, 56, 8),
        bad("fast_can_fit_aligned overflow", OverflowError, f.fast_can_fit_aligned, 1, 2, 3, I32_OVER),
    ]
    return cases


def compile_gate_cases(m):
    PC, FM, G = m.PolicyConfig, m.FunctionMetrics, m.CompileGate
    cases = native_class_cases(PC) + native_class_cases(FM) + native_class_cases(G)

    cfg = PC()
    cases += [
        ok("PolicyConfig(150.9)", PC, 150.9),
        ok("PolicyConfig(target_speedup=nan)", PC, target_speedup=math.nan),
        bad("PolicyConfig(min_threshold=0)", ValueError, PC, min_threshold=0, initial_threshold=5),
        bad("PolicyConfig(learning_rate=nan)", ValueError, PC, learning_rate=math.nan),
        bad("PolicyConfig(initial_threshold=9)", ValueError, PC, initial_threshold=9),
        bad("PolicyConfig(learning_rate='a')", TypeError, PC, learning_rate="a"),
        bad("PolicyConfig(2**31)", OverflowError, PC, I32_OVER),
        bad("PolicyConfig 6 args", TypeError, PC, 1, 2, 3, 4, 5, 6),
        bad("PolicyConfig(x=1)", TypeError, PC, x=1),
        ok("PolicyConfig property get", getattr, cfg, "learning_rate"),
        ok("PolicyConfig property set", setattr, cfg, "max_threshold", 10000),
        bad("PolicyConfig property set 'a'", TypeError, setattr, cfg, "min_threshold", "a"),
        bad("PolicyConfig property set 2**31", OverflowError, setattr, cfg, "min_threshold", I32_OVER),
        bad("PolicyConfig property delete", NotImplementedError, delattr, cfg, "learning_rate"),
    ]

    fm = FM()
    cases += [
        ok("FunctionMetrics(all)", FM, 1, 2, 3.0, 4.0, 5.0, 7.0),
        bad("FunctionMetrics(call_count=-1)", OverflowError, FM, call_count=-1),
        bad("FunctionMetrics(compile_count=2**32)", OverflowError, FM, compile_count=2**32),
        bad("FunctionMetrics(avg_speedup='x')", TypeError, FM, avg_speedup="x"),
        bad("FunctionMetrics 7 args", TypeError, FM, 1, 2, 3, 4, 5, 6, 7),
        bad("FunctionMetrics(x=1)", TypeError, FM, x=1),
        ok("FunctionMetrics property get", getattr, fm, "last_compiled"),
        ok("FunctionMetrics property set", setattr, fm, "call_count", 2**63),
        bad("FunctionMetrics property set -1", OverflowError, setattr, fm, "compile_count", -1),
        bad("FunctionMetrics property delete", NotImplementedError, delattr, fm, "avg_speedup"),
        ok("create_function_metrics", m.create_function_metrics, True, 2, 3, 4, 5),
        bad("create_function_metrics(call_count='5')", TypeError, m.create_function_metrics, call_count="5"),
        ok("create_policy_config", m.create_policy_config, 100, 10, 10000, 0.5, 3),
        bad("create_policy_config(min_threshold=0)", ValueError, m.create_policy_config, min_threshold=0),
        bad("create_policy_config('a')", TypeError, m.create_policy_config, "a"),
    ]

    class Store:
        def __init__(self, metrics):
            self.metrics = metrics

        def get_metrics(self, func_id):
            return self.metrics

    compiled = Store(FM(call_count=500, compile_count=1, avg_speedup=3.0, last_compile_time=0.0))
    fresh = Store(Obj(call_count=100, compile_count=0, avg_speedup=1.0))
    bad_count = Store(Obj(call_count="x", compile_count=0, avg_speedup=1.0))
    bad_speedup = Store(Obj(call_count=1, compile_count=2, avg_speedup="x"))
    nothing = Store(None)
    g = G(PC())
    g.update("f", compiled)
    cases += [
        ok("CompileGate(config)", G, cfg),
        ok("CompileGate(object())", G, config=object()),
        bad("CompileGate(bad config object)", ValueError, G, Obj(min_threshold=0)),
        bad("CompileGate(1, 2)", TypeError, G, 1, 2),
        bad("CompileGate(x=1)", TypeError, G, x=1),
        ok("config", getattr, g, "config"),
        ok("get_threshold learned", g.get_threshold, "f"),
        ok("get_threshold None", g.get_threshold, None),
        bad("get_threshold(5)", TypeError, g.get_threshold, 5),
        ok("should_compile", g.should_compile, "f", compiled),
        ok("should_compile never compiled", g.should_compile, "g", fresh),
        ok("update compile count 0", g.update, "g", fresh),
        ok("update (logs)", g.update, "f", compiled),
        ok("get_statistics", g.get_statistics),
        bad("should_compile store None", AttributeError, g.should_compile, "f", None),
        bad("should_compile metrics None", AttributeError, g.should_compile, "f", nothing),
        bad("should_compile bad call_count", TypeError, g.should_compile, "f", bad_count),
        bad("update bad avg_speedup", TypeError, g.update, "f", bad_speedup),
        bad("update(5, store)", TypeError, g.update, 5, compiled),
        ok("get_compile_gate", m.get_compile_gate),
        cycle("gate in a reference cycle through its config", lambda: _gate_cycle(PC, G)),
        cycle("reset_compile_gate/get_compile_gate",
              lambda: (m.reset_compile_gate(), m.get_compile_gate())),
    ]
    return cases


def _gate_cycle(PC, G):
    cfg = type("Cfg", (PC,), {})()
    cfg.gate = G(cfg)


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


def _raise(exc_type):
    def raiser(*args, **kw):
        raise exc_type("probe failed")
    return raiser


def hw_probe_cases(m):
    import types
    fake_subprocess = types.ModuleType("subprocess")
    fake_subprocess.run = lambda *a, **kw: Obj(returncode=0, stdout=b"GPU 0\nGPU 1\n")
    no_registry = {"korvane.gpu.device_registry": None, "subprocess": fake_subprocess}
    numa_os = Obj(path=Obj(exists=lambda p: True), listdir=lambda p: ["node0", "node1", "possible"])
    return [
        ok("detect_physical_cores", m.detect_physical_cores),
        ok("detect_numa_nodes", m.detect_numa_nodes),
        # these may start nvidia-smi on every call: fewer calls
        cycle("detect_gpu_backends", m.detect_gpu_backends, calls=100),
        ok("detect_python_version", m.detect_python_version),
        cycle("detect_capabilities", m.detect_capabilities, calls=100),
        cycle("detect_gpu_backends without the registry (nvidia-smi fallback)",
              patched(sys.modules, no_registry, m.detect_gpu_backends)),
        cycle("detect_capabilities fallback",
              patched(m, {"detect_python_version": _raise(RuntimeError)}, m.detect_capabilities)),
        cycle("detect_physical_cores fallback",
              patched(m, {"os": Obj(sched_getaffinity=_raise(OSError), cpu_count=lambda: 2)},
                      m.detect_physical_cores)),
        cycle("detect_numa_nodes from a directory listing",
              patched(m, {"os": numa_os}, m.detect_numa_nodes)),
    ]


def pattern_scoring_cases(m):
    code = "import numpy as np\nfor i in range(10):\n    x = np.array(df.groupby('a')) @ w + fit(x)\n"
    scores = (0.5, 0.5, 0.5, 0.5, 0.5, 0.1, 0.1, 0.1, 3, 0, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, True)
    return [
        ok("score_indicators", m.score_indicators, code, "benchmark_matmul"),
        ok("score_indicators name None", m.score_indicators, code, None),
        bad("score_indicators(None, None)", TypeError, m.score_indicators, None, None),
        bad("score_indicators(code, 5)", TypeError, m.score_indicators, code, 5),
        ok("score_framework_patterns", m.score_framework_patterns, code),
        bad("score_framework_patterns(None)", TypeError, m.score_framework_patterns, None),
        bad("score_framework_patterns(5)", TypeError, m.score_framework_patterns, 5),
        ok("quick_framework_score", m.quick_framework_score, code, "numpy"),
        ok("quick_framework_score unknown", m.quick_framework_score, code, "NumPy"),
        ok("quick_framework_score None", m.quick_framework_score, code, None),
        bad("quick_framework_score(None, 'numpy')", TypeError, m.quick_framework_score, None, "numpy"),
        bad("quick_framework_score(code, 5)", TypeError, m.quick_framework_score, code, 5),
        ok("normalize_scores", m.normalize_scores, 30, -1, 0, 18, 0),
        bad("normalize_scores(2**31, ...)", OverflowError, m.normalize_scores, I32_OVER, 0, 0, 0, 0),
        bad("normalize_scores('a', ...)", TypeError, m.normalize_scores, "a", 0, 0, 0, 0),
        ok("calculate_parallelization_potential", m.calculate_parallelization_potential, 0.5, 3.0, 0.0, 0.0),
        bad("calculate_parallelization_potential('a', ...)", TypeError,
            m.calculate_parallelization_potential, "a", 0, 0, 0),
        bad("calculate_parallelization_potential raising __float__", ArithmeticError,
            m.calculate_parallelization_potential, RaisingNumber(), 0, 0, 0),
        ok("calculate_gpu_suitability", m.calculate_gpu_suitability, 1.0, 1.0, 1.0, True, "8.6"),
        ok("calculate_gpu_suitability bad capability", m.calculate_gpu_suitability, 0.5, 0.5, 0, True, "x.1"),
        ok("calculate_gpu_suitability None", m.calculate_gpu_suitability, 0.5, 0.5, 0, True, None),
        ok("calculate_gpu_suitability no gpu", m.calculate_gpu_suitability, 0.5, 0.5, 0, False, "8.6"),
        bad("calculate_gpu_suitability huge major", OverflowError,
            m.calculate_gpu_suitability, 0.5, 0.5, 0, True, "99999999999.1"),
        bad("calculate_gpu_suitability capability 5", TypeError,
            m.calculate_gpu_suitability, 0.5, 0.5, 0, False, 5),
        bad("calculate_gpu_suitability raising truth", ArithmeticError,
            m.calculate_gpu_suitability, 0.5, 0.5, 0, RaisingBool(), None),
        ok("estimate_gpu_speedup", m.estimate_gpu_speedup, 0.9, 1.0, True),
        ok("determine_workload_pattern", m.determine_workload_pattern, *scores),
        bad("determine_workload_pattern count overflow", OverflowError,
            m.determine_workload_pattern, *scores[:8], I32_OVER, *scores[9:]),
        bad("determine_workload_pattern('a', ...)", TypeError, m.determine_workload_pattern, "a", *scores[1:]),
        ok("update_adaptive_threshold", m.update_adaptive_threshold, 0.5, 0.9, 0.1, 0.1, 0.55),
        bad("update_adaptive_threshold('a', ...)", TypeError, m.update_adaptive_threshold, "a", 0, 0, 0, 0),
    ]


def adaptation_rules_cases(m):
    hist = [(0, 10), (1, 20), (2, 40), [3, 41.5]]
    flat = [(i, 80) for i in range(6)]
    patterns = [{"parallelization_potential": p, "cpu_intensity": 0.2, "memory_intensity": 1}
                for p in (0.0, 0.0, 0.0, 0.5, 0.5, 0.5)]
    missing = patterns[:5] + [{"cpu_intensity": 0.1}]
    allocs = [(i, 1000) for i in range(12)]
    return [
        ok("calculate_performance_trend", m.calculate_performance_trend, hist, 0.0),
        ok("calculate_performance_trend None", m.calculate_performance_trend, None, 0),
        bad("calculate_performance_trend unpack", ValueError, m.calculate_performance_trend, [(0, 1, 2)] * 3, 0),
        bad("calculate_performance_trend short entry", ValueError, m.calculate_performance_trend, [(0,)] * 3, 0),
        bad("calculate_performance_trend bad metric", TypeError, m.calculate_performance_trend, [(0, "x")] * 3, 0),
        bad("calculate_performance_trend raising __float__", ArithmeticError,
            m.calculate_performance_trend, [(0, RaisingNumber())] * 3, 0),
        bad("calculate_performance_trend not a list", TypeError, m.calculate_performance_trend, (1, 2), 0),
        ok("detect_performance_degradation", m.detect_performance_degradation, flat, 100, 0.15, 0),
        ok("detect_performance_degradation baseline 0", m.detect_performance_degradation, flat, 0, 0.15, 0),
        bad("detect_performance_degradation unpack", ValueError,
            m.detect_performance_degradation, [(1,)] * 5, 100, 0.1, 0),
        bad("detect_performance_degradation('a')", TypeError, m.detect_performance_degradation, "a", 1, 1, 1),
        ok("detect_workload_characteristics_change", m.detect_workload_characteristics_change, patterns),
        ok("detect_workload_characteristics_change short", m.detect_workload_characteristics_change, patterns[:5]),
        ok("detect_workload_characteristics_change missing key",
           m.detect_workload_characteristics_change, missing, 0.1),
        bad("detect_workload_characteristics_change(None)", TypeError,
            m.detect_workload_characteristics_change, None),
        bad("detect_workload_characteristics_change not dicts", TypeError,
            m.detect_workload_characteristics_change, [1] * 6),
        bad("detect_workload_characteristics_change Nones", TypeError,
            m.detect_workload_characteristics_change, [None] * 6),
        bad("detect_workload_characteristics_change bad value", TypeError,
            m.detect_workload_characteristics_change, patterns[:5] + [dict(patterns[0], cpu_intensity="x")]),
        ok("detect_dominant_pattern", m.detect_dominant_pattern, ["a", "b", "b", None, "a"], 4),
        ok("detect_dominant_pattern empty", m.detect_dominant_pattern, []),
        bad("detect_dominant_pattern(None)", TypeError, m.detect_dominant_pattern, None),
        bad("detect_dominant_pattern([1])", TypeError, m.detect_dominant_pattern, [1]),
        bad("detect_dominant_pattern window 2**31", OverflowError, m.detect_dominant_pattern, ["a"], I32_OVER),
        ok("is_adaptation_beneficial", m.is_adaptation_beneficial, "a", "b", 0.56, 0.7, 0.5, 1),
        ok("is_adaptation_beneficial same pool", m.is_adaptation_beneficial, None, None, 1, 1, 1, 0),
        bad("is_adaptation_beneficial pool 5", TypeError, m.is_adaptation_beneficial, "a", 5, 1, 1, 1, 1),
        bad("is_adaptation_beneficial trigger 2**31", OverflowError,
            m.is_adaptation_beneficial, "a", "b", 1, 1, 1, I32_OVER),
        ok("should_skip_adaptation", m.should_skip_adaptation, 100, 150, 60),
        bad("should_skip_adaptation('a', ...)", TypeError, m.should_skip_adaptation, "a", 1, 1),
        ok("detect_memory_pressure", m.detect_memory_pressure, 81, 100),
        ok("detect_fragmentation_threshold", m.detect_fragmentation_threshold, 0.31),
        bad("detect_fragmentation_threshold('a')", TypeError, m.detect_fragmentation_threshold, "a"),
        ok("calculate_adaptation_urgency", m.calculate_adaptation_urgency, 1, 1, 1, True),
        bad("calculate_adaptation_urgency raising truth", ArithmeticError,
            m.calculate_adaptation_urgency, 1, 1, 1, RaisingBool()),
        ok("score_pool_recommendation", m.score_pool_recommendation, 2, 2, 2, 2),
        ok("predict_resource_requirements", m.predict_resource_requirements, allocs, 9.0),
        ok("predict_resource_requirements short", m.predict_resource_requirements, allocs[:9], 9.0),
        bad("predict_resource_requirements(None)", TypeError, m.predict_resource_requirements, None, 1),
        bad("predict_resource_requirements unpack", ValueError,
            m.predict_resource_requirements, [(i, 1, 2) for i in range(10)], 1),
        bad("predict_resource_requirements bad size", TypeError,
            m.predict_resource_requirements, [(i, "x") for i in range(10)], 1),
        bad("predict_resource_requirements empty entry", IndexError,
            m.predict_resource_requirements, [()] * 10, 1),
    ]


def counter_hub_cases(m):
    CA = m.CounterAggregator
    cases = native_class_cases(CA, (10,))
    a = CA(10)
    for v in (2.0, 4.0, 6.0):
        a.update(3, v)
    for _ in range(3):
        a.update(5, 0.1)       # a negative variance: "std" is complex
    a.update(7, math.nan)

    class Overriding(CA):
        def get_stats(self, counter_id):
            return self.answer
    wrong, silent = Overriding(4), Overriding(4)
    wrong.answer, silent.answer = 5, None
    wrong.update(1, 1.0)
    silent.update(1, 1.0)
    cases += [
        ok("CounterAggregator(0)", CA, 0),
        ok("CounterAggregator(num_counters=5)", CA, num_counters=5),
        bad("CounterAggregator(-1)", MemoryError, CA, -1),
        bad("CounterAggregator(2**31)", OverflowError, CA, I32_OVER),
        bad("CounterAggregator('a')", TypeError, CA, "a"),
        bad("CounterAggregator(1, 2)", TypeError, CA, 1, 2),
        bad("CounterAggregator(x=1)", TypeError, CA, x=1),
        ok("update", a.update, 3, 4.0),
        ok("update int", a.update, 3, 4),
        ok("get_stats", a.get_stats, 3),
        ok("get_stats complex std", a.get_stats, 5),
        ok("get_stats nan", a.get_stats, 7),
        ok("get_stats empty", a.get_stats, 9),
        ok("get_all_stats", a.get_all_stats),
        bad("update(10, 1.0)", IndexError, a.update, 10, 1.0),
        bad("update(-1, 1.0)", IndexError, a.update, -1, 1.0),
        bad("update(2**31, 1.0)", OverflowError, a.update, I32_OVER, 1.0),
        bad("update('a', 1)", TypeError, a.update, "a", 1),
        bad("update(0, 'x')", TypeError, a.update, 0, "x"),
        bad("update(0, RaisingNumber())", ArithmeticError, a.update, 0, RaisingNumber()),
        bad("get_stats(10)", IndexError, a.get_stats, 10),
        bad("reset(-1)", IndexError, a.reset, -1),
        bad("get_all_stats with get_stats returning 5", TypeError, wrong.get_all_stats),
        ok("get_all_stats with get_stats returning None", silent.get_all_stats),
        ok("create_aggregator", m.create_aggregator, 5),
        bad("create_aggregator('a')", TypeError, m.create_aggregator, "a"),
    ]

    b = CA(4)

    def update_reset():
        b.update(0, 1.5)
        b.update(2, 2.5)
        b.get_all_stats()
        b.reset(0)
        b.reset_all()
    cases.append(cycle("update/get_all_stats/reset/reset_all", update_reset, b))
    return cases


def device_memory_cases(m):
    return [
        ok("estimate_allocation_bytes", m.estimate_allocation_bytes, (1000, 1000), 8),
        ok("estimate_allocation_bytes overhead", m.estimate_allocation_bytes, (1000, 1000), 8, 1.5),
        ok("estimate_allocation_bytes empty shape", m.estimate_allocation_bytes, (), 8),
        ok("estimate_allocation_bytes zero dim", m.estimate_allocation_bytes, (0, 4), 8),
        ok("estimate_allocation_bytes saturates", m.estimate_allocation_bytes, (2**30, 2**30, 2**30), 8),
        bad("estimate_allocation_bytes(None, 8)", TypeError, m.estimate_allocation_bytes, None, 8),
        bad("estimate_allocation_bytes(list, 8)", TypeError, m.estimate_allocation_bytes, [1, 2], 8),
        bad("estimate_allocation_bytes bad dim", TypeError, m.estimate_allocation_bytes, (1, "a"), 8),
        bad("estimate_allocation_bytes dim 2**31", OverflowError, m.estimate_allocation_bytes, (I32_OVER,), 8),
        bad("estimate_allocation_bytes element 2**31", OverflowError, m.estimate_allocation_bytes, (1,), I32_OVER),
        ok("calculate_safe_limit", m.calculate_safe_limit, 1000, 0.2),
        ok("calculate_safe_limit big", m.calculate_safe_limit, U64_OVER - 1, -1),
        bad("calculate_safe_limit(-1, 0.2)", OverflowError, m.calculate_safe_limit, -1, 0.2),
        bad("calculate_safe_limit(2**64, 0.2)", OverflowError, m.calculate_safe_limit, U64_OVER, 0.2),
        bad("calculate_safe_limit('a', 0.2)", TypeError, m.calculate_safe_limit, "a", 0.2),
        ok("calculate_memory_pressure", m.calculate_memory_pressure, 25, 100),
        ok("calculate_memory_pressure total 0", m.calculate_memory_pressure, 5, 0),
        ok("recommend_headroom", m.recommend_headroom, 0.7),
        bad("recommend_headroom('a')", TypeError, m.recommend_headroom, "a"),
        ok("decide_allocation_strategy chunked", m.decide_allocation_strategy, 2500, 1000, 0.0, True),
        ok("decide_allocation_strategy fits", m.decide_allocation_strategy, 800, 1000, 0.2, False),
        ok("decide_allocation_strategy no memory", m.decide_allocation_strategy, 1, 0, 0.0, True),
        ok("decide_allocation_strategy not chunkable", m.decide_allocation_strategy, 2500, 1000, 0.0, 0),
        bad("decide_allocation_strategy raising truth", ArithmeticError,
            m.decide_allocation_strategy, 2500, 1000, 0.0, RaisingBool()),
        bad("decide_allocation_strategy(-1, ...)", OverflowError, m.decide_allocation_strategy, -1, 1, 0.0, True),
        ok("compute_chunk_shapes", m.compute_chunk_shapes, (10, 4), 8, 64),
        ok("compute_chunk_shapes 1-d", m.compute_chunk_shapes, (10,), 8, 24),
        ok("compute_chunk_shapes empty", m.compute_chunk_shapes, (), 8, 64),
        ok("compute_chunk_shapes zero rows", m.compute_chunk_shapes, (0, 4), 8, 64),
        bad("compute_chunk_shapes element 0", ValueError, m.compute_chunk_shapes, (10,), 0, 64),
        bad("compute_chunk_shapes max 0", ValueError, m.compute_chunk_shapes, (10,), 8, 0),
        bad("compute_chunk_shapes(None, ...)", TypeError, m.compute_chunk_shapes, None, 8, 64),
        bad("compute_chunk_shapes bad extent", TypeError, m.compute_chunk_shapes, (10, "a"), 8, 64),
        bad("compute_chunk_shapes negative extent", OverflowError, m.compute_chunk_shapes, (10, -1), 8, 64),
        bad("compute_chunk_shapes first extent 2**31", OverflowError,
            m.compute_chunk_shapes, (I32_OVER, 4), 8, 64),
        ok("calculate_optimal_chunks", m.calculate_optimal_chunks, 2500, 1000, 0.0),
        ok("calculate_optimal_chunks capped", m.calculate_optimal_chunks, 10**9, 1000, 0.0, 1, 50),
        ok("calculate_optimal_chunks no memory", m.calculate_optimal_chunks, 1, 0, 0.0),
        bad("calculate_optimal_chunks min 2**31", OverflowError,
            m.calculate_optimal_chunks, 1, 1, 0.0, I32_OVER),
        ok("is_chunkable_operation", m.is_chunkable_operation, "random.randn"),
        ok("is_chunkable_operation None", m.is_chunkable_operation, None),
        bad("is_chunkable_operation(5)", TypeError, m.is_chunkable_operation, 5),
        ok("is_oom_error", m.is_oom_error, "CUDA out of memory", "RuntimeError"),
        ok("is_oom_error no match", m.is_oom_error, "nothing here", "ValueError"),
        bad("is_oom_error(None, 'x')", AttributeError, m.is_oom_error, None, "x"),
        bad("is_oom_error(5, 'x')", TypeError, m.is_oom_error, 5, "x"),
        ok("score_gpu_suitability", m.score_gpu_suitability, 800, "zeros", 1000, 0.0),
        ok("score_gpu_suitability None", m.score_gpu_suitability, 400, None, 1000, 0.0),
        bad("score_gpu_suitability op 5", TypeError, m.score_gpu_suitability, 1, 5, 1, 0.0),
        bad("score_gpu_suitability(-1, ...)", OverflowError, m.score_gpu_suitability, -1, None, 1, 0.0),
    ]


# module short name -> (qualified name, table)
MODULES = {
    "lockless_ops": ("korvane.memory.lockless_ops", lockless_ops_cases),
    "block_index": ("korvane.memory.block_index", block_index_cases),
    "slab_engine": ("korvane.memory.slab_engine", slab_engine_cases),
    "compile_gate": ("korvane.jit.compile_gate", compile_gate_cases),
    "hw_probe": ("korvane.native.hw_probe", hw_probe_cases),
    "pattern_scoring": ("korvane.plugins.analyzer.pattern_scoring", pattern_scoring_cases),
    "adaptation_rules": ("korvane.plugins.analyzer.adaptation_rules", adaptation_rules_cases),
    "counter_hub": ("korvane.monitoring.counter_hub", counter_hub_cases),
    "device_memory": ("korvane.gpu.device_memory", device_memory_cases),
}

# Loggers that the calls below write to.
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


def _frame_cases(module, cases):
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


def _collect_params():
    params = []
    for short, (qualname, table) in MODULES.items():
        try:
            module = importlib.import_module(qualname)
        except ImportError as exc:
            params.append(pytest.param(None, id=f"{short}:not-built",
                                       marks=pytest.mark.skip(reason=f"{qualname}: {exc}")))
            continue
        cases = table(module)
        seen = set()
        for case in cases + _frame_cases(module, cases):
            assert case.label not in seen, f"{short}: duplicate label {case.label!r}"
            seen.add(case.label)
            params.append(pytest.param(case, id=f"{short}:{case.label}"))
    return params


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


@pytest.fixture(scope="module")
def young_collections():
    """Automatic collection off, so that every object a round makes stays in the
    youngest generation: a collection of that generation then finds the garbage
    the round made, at a fraction of the cost of a full collection."""
    was_enabled = gc.isenabled()
    gc.collect()
    gc.disable()
    yield
    if was_enabled:
        gc.enable()
    gc.collect()


def _collect(full):
    if full or sys.version_info >= (3, 12):
        gc.collect()
    else:
        gc.collect(0)


def _measure(case):
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


@pytest.mark.timeout(60)
@pytest.mark.parametrize("case", _collect_params())
def test_no_leak(case, young_collections):
    with quiet_loggers():
        blocks, refs = _measure(case)
    per_call = blocks / case.calls
    assert blocks <= BLOCK_TOL, (
        f"{case.label}: {blocks} blocks more after {case.calls} calls ({per_call:.2f} per call)")
    assert refs <= REF_TOL * case.calls // CALLS, (
        f"{case.label}: an argument's reference count changed by {refs} over {case.calls} calls")


_kept = []


@pytest.mark.parametrize("case, what", [
    (cycle("keeps a new object per call", lambda: _kept.append(object())), "blocks"),
    (cycle("keeps a reference to its argument", lambda arg=Obj(): _kept.append(arg)), "reference"),
], ids=["blocks", "reference"])
def test_the_sweep_sees_a_leak(case, what, young_collections):
    """The measurement itself must not be blind (for example to objects that a
    collection of the youngest generation would miss)."""
    if what == "reference":
        case = case._replace(watch=(case.fn.__defaults__[0],))
    try:
        blocks, refs = _measure(case)
    finally:
        _kept.clear()
    if what == "blocks":
        assert blocks >= 0.9 * case.calls
    else:
        assert refs >= 0.9 * case.calls


def _public_callables(module):
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


@pytest.mark.parametrize("short", MODULES)
def test_every_public_callable_has_a_case(short):
    qualname, table = MODULES[short]
    module = pytest.importorskip(qualname)
    words = {w for case in table(module) for w in re.findall(r"\w+", case.label)}
    missing = sorted(min(names) for names in _public_callables(module) if not names & words)
    assert not missing, f"{short}: no leak case names {missing}"
