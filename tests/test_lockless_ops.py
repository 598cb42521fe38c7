import gc
import importlib
import pickle
import subprocess
import sys

import pytest

from korvane.memory import lockless_ops as lo
from korvane.memory.lockless_ops import (
    AtomicCounter,
    AtomicCounterWrapper,
    AtomicPointer,
    LockFreeStack,
    LockFreeStatistics,
    PerformanceTimer,
)

import leakcheck
from leakcheck import BadInt, I64_OVER, RaisingNumber, bad, cycle, native_class_cases, ok
from support import run_together

I64_MIN, I64_MAX = -(2**63), 2**63 - 1


# ---- the frame: messages, conversions, function objects -----------------------------

@pytest.mark.parametrize("call, exc, msg", [
    (lambda: AtomicCounter(1, 2), TypeError, "__cinit__() takes at most 1 positional argument (2 given)"),
    (lambda: AtomicCounter(x=1), TypeError, "__cinit__() got an unexpected keyword argument 'x'"),
    (lambda: AtomicCounter(1, initial_value=2), TypeError,
     "__cinit__() got multiple values for keyword argument 'initial_value'"),
    (lambda: AtomicCounter().load(1), TypeError, "load() takes exactly 0 positional arguments (1 given)"),
    (lambda: AtomicCounter().load(x=1), TypeError, "load() got an unexpected keyword argument 'x'"),
    (lambda: AtomicCounter().store(), TypeError, "store() takes exactly 1 positional argument (0 given)"),
    (lambda: AtomicCounter().increment(1, 2), TypeError, "increment() takes at most 1 positional argument (2 given)"),
    (lambda: AtomicCounter().compare_and_swap(1), TypeError,
     "compare_and_swap() takes exactly 2 positional arguments (1 given)"),
    (lambda: AtomicCounter().compare_and_swap(new_value=1), TypeError,
     "compare_and_swap() takes exactly 2 positional arguments (0 given)"),
    (lambda: AtomicCounter().compare_and_swap(1, expected=1, new_value=2), TypeError,
     "compare_and_swap() got multiple values for keyword argument 'expected'"),
    (lambda: AtomicCounter().store("1"), TypeError, "an integer is required"),
    (lambda: AtomicCounter().store(2**63), OverflowError, None),
    (lambda: AtomicCounter().store(-(2**63) - 1), OverflowError, None),
    (lambda: AtomicCounter().increment(**{"delta": 1, "y": 2}), TypeError,
     "increment() got an unexpected keyword argument 'y'"),
    (lambda: LockFreeStack().push(), TypeError, "push() takes exactly 1 positional argument (0 given)"),
    (lambda: LockFreeStatistics().record_allocation(), TypeError,
     "record_allocation() takes at least 1 positional argument (0 given)"),
    (lambda: LockFreeStatistics().record_allocation("x"), TypeError,
     "Argument 'size' has incorrect type (expected int, got str)"),
    (lambda: AtomicCounterWrapper().increment("1"), TypeError,
     "Argument 'delta' has incorrect type (expected int, got str)"),
    (lambda: AtomicCounterWrapper().fetch_and_add(), TypeError,
     "fetch_and_add() takes exactly 2 positional arguments (1 given)"),
    (lambda: AtomicCounterWrapper(1, 2), TypeError, "__init__() takes at most 2 positional arguments (3 given)"),
])
def test_standard_messages(call, exc, msg):
    with pytest.raises(exc) as info:
        call()
    if msg is not None:
        assert str(info.value) == msg


class GoodInt:
    def __int__(self):
        return 7


@pytest.mark.parametrize("value, expected", [(2.9, 2), (-2.9, -2), (True, 1), (GoodInt(), 7), (I64_MIN, I64_MIN)])
def test_int64_conversion(value, expected):
    c = AtomicCounter()
    c.store(value)
    assert c.load() == expected


def test_int_returning_non_int_and_failed_store_leaves_value():
    c = AtomicCounter(5)
    with pytest.raises(TypeError, match=r"__int__ returned non-int \(type str\)"):
        c.store(BadInt())
    with pytest.raises(OverflowError):
        c.store(2**63)
    with pytest.raises(ValueError):
        c.store(float("nan"))
    assert c.load() == 5


@pytest.mark.parametrize("cls", [AtomicCounter, AtomicPointer, LockFreeStack, LockFreeStatistics, PerformanceTimer])
def test_native_classes_refuse_pickling_and_have_no_dict(cls):
    obj = cls()
    with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
        pickle.dumps(obj)
    with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
        obj.__setstate_cython__(None)
    assert not hasattr(obj, "__dict__")
    with pytest.raises(AttributeError):
        obj.anything = 1

    class Sub(cls):
        pass

    assert isinstance(Sub(), cls)


def test_function_objects_carry_metadata():
    inc = AtomicCounter.increment
    assert inc.__name__ == "increment"
    assert inc.__qualname__ == "AtomicCounter.increment"
    assert inc.__module__ == "korvane.memory.lockless_ops"
    assert inc.__defaults__ == (1,)
    assert inc.__annotations__ == {"return": "int"}
    assert inc.__doc__ == "Atomically increment and return new value."
    assert AtomicCounter.compare_and_swap.__annotations__ == {"return": "bool"}
    assert AtomicCounter.fetch_and_add.__defaults__ is None
    for name in ("load", "store", "increment", "decrement", "compare_and_swap", "fetch_and_add"):
        assert getattr(AtomicCounter, "py_" + name) is getattr(AtomicCounter, name)
    init = AtomicCounterWrapper.__init__
    assert init.__defaults__ == (0,)
    assert init.__annotations__ == {"initial_value": "int"}
    assert AtomicCounterWrapper.__module__ == "korvane.memory.lockless_ops"
    assert AtomicCounterWrapper.__bases__ == (object,)
    assert AtomicCounterWrapper.__doc__ == "Python wrapper for Cython AtomicCounter (backward compatibility)."


def test_methods_bind_and_check_self():
    c = AtomicCounter(3)
    bound = c.increment
    assert bound() == 4
    assert AtomicCounter.increment(c, 2) == 6
    with pytest.raises(TypeError, match="doesn't apply to a 'int' object"):
        AtomicCounter.load(5)
    with pytest.raises(TypeError, match="needs an argument"):
        AtomicCounter.load()


def test_module_body_names_and_order():
    names = [n for n in vars(lo) if not n.startswith("__")]
    assert names == ["AtomicCounter", "AtomicPointer", "LockFreeStack", "LockFreeStatistics", "PerformanceTimer",
                     "threading", "time", "Optional", "TypeVar", "Generic", "AtomicCounterWrapper", "logging",
                     "logger", "CYTHON_ATOMICS_AVAILABLE"]
    assert lo.CYTHON_ATOMICS_AVAILABLE is True
    assert lo.logger.name == "korvane.memory.lockless_ops"


def test_repeated_import_returns_same_module():
    before = dict(vars(lo))
    again = importlib.import_module("korvane.memory.lockless_ops")
    assert again is lo
    reloaded = importlib.reload(lo)
    assert reloaded is lo
    assert {k: v for k, v in vars(lo).items()} == before
    spec = lo.__spec__
    assert spec.loader.create_module(spec) is lo


@pytest.mark.subprocess
def test_load_line_logged_once_in_fresh_process(fresh_import):
    records, _ = fresh_import("korvane.memory.lockless_ops")
    assert records == [("korvane.memory.lockless_ops", "INFO",
                        "Korvane Cython Lockless Ops loaded - C11 atomics active (10-20\u00d7 speedup)")]


@pytest.mark.subprocess
def test_no_version_warning_on_matching_interpreter():
    code = "import warnings; warnings.simplefilter('error'); import korvane.memory.lockless_ops"
    subprocess.run([sys.executable, "-c", code], check=True)


# ---- AtomicCounter ----------------------------------------------------------------

def test_counter_operations():
    assert AtomicCounter().load() == 0
    assert AtomicCounter(5).load() == 5
    assert AtomicCounter(initial_value=-3).load() == -3
    c = AtomicCounter()
    assert [c.increment(), c.increment(10), c.decrement(), c.decrement(-5)] == [1, 11, 10, 15]
    assert c.fetch_and_add(4) == 15 and c.load() == 19
    assert c.compare_and_swap(19, 0) is True and c.load() == 0
    assert c.compare_and_swap(19, 7) is False and c.load() == 0
    assert c.store(3) is None and c.load() == 3


@pytest.mark.parametrize("start, op, arg, result, after", [
    (I64_MAX, "increment", 1, I64_MIN, I64_MIN),
    (I64_MIN, "decrement", 1, I64_MAX, I64_MAX),
    (0, "decrement", I64_MIN, I64_MIN, I64_MIN),  # -(-2**63) wraps to itself
    (5, "decrement", I64_MIN, 5 + I64_MIN, 5 + I64_MIN),
    (I64_MAX, "fetch_and_add", I64_MAX, I64_MAX, -2),
    (I64_MIN, "increment", I64_MIN, 0, 0),
])
def test_counter_wraps(start, op, arg, result, after):
    c = AtomicCounter(start)
    assert getattr(c, op)(arg) == result
    assert c.load() == after


def test_wrapper_delegates_through_py_names():
    w = AtomicCounterWrapper(2)
    assert w.increment(2.5) == 4
    assert w.decrement() == 3 and w.load() == 3
    assert w.compare_and_swap(3, 9) is True and w.fetch_and_add(1) == 9
    assert w.store(True) is None and w.load() == 1

    class Doubling(AtomicCounter):
        def py_increment(self, delta=1):
            return AtomicCounter.increment(self, 2 * delta)

    w._counter = Doubling(0)
    assert w.increment(5) == 10

    class Floaty:
        def py_load(self):
            return 7.9

        def py_increment(self, delta):
            return "no"

    w._counter = Floaty()
    assert w.load() == 7
    with pytest.raises(TypeError, match="Expected int, got str"):
        w.increment()


@pytest.mark.stress
@pytest.mark.timeout(60)
def test_counter_threads_exact():
    c = AtomicCounter()
    n_threads, m = 8, 20000

    def work(i):
        inc = c.increment
        for _ in range(m):
            inc()

    run_together(work, n_threads)
    assert c.load() == n_threads * m


def test_native_api_capsule():
    cap = AtomicCounter._native_api
    assert type(cap).__name__ == "PyCapsule"


# ---- AtomicPointer and LockFreeStack ------------------------------------------------

def test_pointer_behaviour_and_refcounts(refcount):
    p = AtomicPointer()
    assert p.load() is None and p.get_version() == 0
    a, b = [1], object()
    base_a, base_b = refcount(a), refcount(b)
    p.store(a)
    assert p.load() is a and p.get_version() == 1
    assert refcount(a) == base_a + 1
    assert p.compare_and_swap([1], b) is False and p.get_version() == 1
    assert p.compare_and_swap(a, a) is True and p.get_version() == 2
    assert refcount(a) == base_a + 1
    assert p.compare_and_swap(a, b) is True and p.get_version() == 3
    assert refcount(a) == base_a and refcount(b) == base_b + 1
    assert p.compare_and_swap(None, a) is False
    p.store(None)
    assert p.load() is None and refcount(b) == base_b
    assert p.compare_and_swap(None, a) is True
    assert p.load() is a
    del p
    assert refcount(a) == base_a
    q = AtomicPointer(initial_value=b)
    assert q.load() is b and q.get_version() == 0


def test_stack_behaviour_and_refcounts(refcount):
    s = LockFreeStack(1, 2, key=3)
    assert s.pop() is None and s.is_empty() and s.size() == 0
    s.push(1)
    s.push(2)
    assert s.size() == 2 and s.pop() == 2 and s.pop() == 1 and s.pop() is None and s.is_empty()
    s.push(None)
    assert s.size() == 1 and s.pop() is None and s.size() == 0
    item = object()
    base = refcount(item)
    for _ in range(3):
        s.push(item)
    assert refcount(item) == base + 3
    while s.pop() is not None:
        pass
    assert refcount(item) == base
    s.push(item)
    del s
    assert refcount(item) == base


@pytest.mark.timeout(120)
@pytest.mark.parametrize("make", [
    lambda inner: AtomicPointer(inner),
    lambda inner: (lambda s: (s.push(inner), s)[1])(LockFreeStack()),
])
def test_deep_chain_destruction_does_not_overflow_stack(make):
    head = None
    for _ in range(200_000):
        head = make(head)
    del head
    gc.collect()


def test_lock_released_when_destructor_reenters():
    p = AtomicPointer()

    class Reenter:
        def __del__(self):
            p.store(None)  # would deadlock if the old object were released under the lock

    p.store(Reenter())
    p.store(1)  # the replaced object's __del__ stores None after the lock is free
    assert p.load() is None and p.get_version() == 3


@pytest.mark.stress
@pytest.mark.timeout(60)
def test_stack_threads_lose_nothing():
    s = LockFreeStack()
    popped = []

    def producer(base):
        for i in range(2000):
            s.push(base + i)

    def consumer():
        got = []
        for _ in range(2000):
            v = s.pop()
            if v is not None:
                got.append(v)
        popped.extend(got)

    run_together(lambda k: producer(k * 10000) if k < 4 else consumer(), 4 + 2)
    while (v := s.pop()) is not None:
        popped.append(v)
    assert sorted(popped) == sorted(k * 10000 + i for k in range(4) for i in range(2000))
    assert s.size() == 0


# ---- LockFreeStatistics and PerformanceTimer --------------------------------------------

def snapshot_counts(st):
    snap = st.get_snapshot()
    return {k: v for k, v in snap.items() if isinstance(v, int)}


def test_statistics_example_sequence():
    st = LockFreeStatistics(1, x=2)
    snap = st.get_snapshot()
    assert list(snap) == ["total_allocations", "total_deallocations", "current_allocations", "bytes_allocated",
                          "bytes_reserved", "peak_allocations", "peak_bytes_allocated", "bucketed_allocations",
                          "fallback_allocations", "bucketed_allocation_ratio", "alignment_padding_bytes",
                          "average_allocation_time_ns", "average_deallocation_time_ns", "allocation_mode"]
    assert snap["bucketed_allocation_ratio"] == "0.0%" and snap["average_allocation_time_ns"] == 0.0
    assert snap["allocation_mode"] == "lock-free C11 atomics"
    st.record_allocation(64)
    st.record_allocation(32, False, 8, 100)
    snap = st.get_snapshot()
    assert (snap["total_allocations"], snap["current_allocations"], snap["bytes_allocated"]) == (2, 2, 96)
    assert (snap["bucketed_allocations"], snap["fallback_allocations"], snap["alignment_padding_bytes"]) == (1, 1, 8)
    assert snap["bucketed_allocation_ratio"] == "50.0%" and snap["average_allocation_time_ns"] == 50.0
    assert (snap["peak_allocations"], snap["peak_bytes_allocated"]) == (2, 96)
    st.record_deallocation(64, 40)
    snap = st.get_snapshot()
    assert (snap["total_deallocations"], snap["current_allocations"], snap["bytes_allocated"]) == (1, 1, 32)
    assert snap["average_deallocation_time_ns"] == 40.0 and snap["peak_bytes_allocated"] == 96
    st._update_peaks(1, 1)
    assert (st.peak_allocations.load(), st.peak_bytes_allocated.load()) == (2, 96)
    st._update_peaks(5, 200)
    assert (st.peak_allocations.load(), st.peak_bytes_allocated.load()) == (5, 200)
    before = st.get_snapshot()
    st.record_allocation(10, padding=-5, time_ns=-1)
    after = st.get_snapshot()
    assert after["alignment_padding_bytes"] == before["alignment_padding_bytes"]
    assert st.total_allocation_time_ns.load() == 100
    st.reset()
    assert all(v == 0 for v in snapshot_counts(st).values())


def test_py_record_forms_touch_only_three_counters():
    st = LockFreeStatistics()
    st.record_allocation(64)
    st.py_record_allocation(10, True)
    snap = st.get_snapshot()
    assert (snap["total_allocations"], snap["current_allocations"], snap["bytes_allocated"]) == (2, 2, 74)
    assert snap["bucketed_allocation_ratio"] == "50.0%"
    assert (snap["peak_allocations"], snap["peak_bytes_allocated"]) == (1, 64)
    st.py_record_deallocation(10)
    snap = st.get_snapshot()
    assert (snap["total_deallocations"], snap["current_allocations"], snap["bytes_allocated"]) == (1, 1, 64)
    assert LockFreeStatistics.py_record_allocation.__name__ == "record_allocation"
    with pytest.raises(TypeError, match=r"record_allocation\(\) takes at least 2 positional arguments \(1 given\)"):
        st.py_record_allocation(1)


def test_statistics_attributes_can_be_replaced_and_deleted():
    st = LockFreeStatistics()
    calls = []

    class Fake:
        def increment(self, d=1):
            calls.append(d)

        def load(self):
            return 0

    st.total_allocations = Fake()
    st.record_allocation(7)
    assert calls == [1]
    del st.fallback_allocations
    assert st.fallback_allocations is None
    with pytest.raises(AttributeError):
        st.record_allocation(1, False)
    assert st.current_allocations.load() == 2  # counters updated before the failure keep their values


@pytest.mark.parametrize("record", [
    lambda st: st._update_peaks(1, 1),
    lambda st: st.record_allocation(1),
])
def test_peak_calls_follow_an_attribute_replaced_midway(record):
    # A counter whose load() replaces the attribute drops its own last reference:
    # the following compare_and_swap must go to the object the attribute holds now.
    st = LockFreeStatistics()

    class Vanishing:
        def load(self):
            st.peak_allocations = AtomicCounter(0)
            return 0

        def compare_and_swap(self, expected, new_value):
            raise AssertionError("called on the replaced object")

    st.peak_allocations = Vanishing()
    record(st)
    assert type(st.peak_allocations) is AtomicCounter and st.peak_allocations.load() == 1


def test_record_allocation_passes_loaded_values_through_update_peaks_conversion():
    # Values loaded from replaced counters reach the peaks as _update_peaks converts them.
    st = LockFreeStatistics()
    seen = []

    class Loads:
        def __init__(self, value):
            self.value = value

        def increment(self, delta=1):
            pass

        def load(self):
            return self.value

    class Peak:
        def load(self):
            return 0

        def compare_and_swap(self, expected, new_value):
            seen.append(new_value)
            return True

    st.current_allocations, st.bytes_allocated = Loads(True), Loads(False)
    st.peak_allocations = st.peak_bytes_allocated = Peak()
    st.record_allocation(1)
    assert seen == [1] and type(seen[0]) is int  # False <= 0 stops the byte peak


def test_update_peaks_override_is_honoured():
    seen = []

    class Sub(LockFreeStatistics):
        def _update_peaks(self, a, b):
            seen.append((a, b))

    s = Sub()
    s.record_allocation(12)
    assert seen == [(1, 12)] and s.peak_allocations.load() == 0


def test_timer():
    t = PerformanceTimer(1, 2)
    raw = t.elapsed_ns()
    assert isinstance(raw, int) and raw > 0
    t.start()
    ns = t.elapsed_ns()
    assert 0 <= ns < 10**9
    assert isinstance(t.elapsed_ms(), float) and isinstance(t.elapsed_us(), float)

    class Fixed(PerformanceTimer):
        def elapsed_ns(self):
            return 5_000_000

    assert Fixed().elapsed_ms() == 5.0 and Fixed().elapsed_us() == 5000.0


def test_timer_reads_module_time_at_call(monkeypatch):
    class FakeTime:
        @staticmethod
        def perf_counter_ns():
            return 42

    monkeypatch.setattr(lo, "time", FakeTime)
    t = PerformanceTimer()
    assert t.elapsed_ns() == 42
    t.start()
    assert t.elapsed_ns() == 0


@pytest.mark.parametrize("start, now, expected_ns", [
    (None, 2**64 + 5, 2**64 + 5),               # never started: the clock itself, however large
    (-1, 2**63 - 1, 2**63),                     # the difference leaves 64 bits
    (-(2**63), 2**63 - 1, 2**64 - 1),
    (2**63 - 1, -(2**63), -(2**64 - 1)),
    (10, 3, -7),
    (5, 2**100, 2**100 - 5),
])
def test_timer_difference_is_exact(monkeypatch, start, now, expected_ns):
    clock = iter(([] if start is None else [start]) + [now] * 3)
    monkeypatch.setattr(lo, "time", type("Clock", (), {"perf_counter_ns": staticmethod(lambda: next(clock))}))
    t = PerformanceTimer()
    if start is not None:
        t.start()
    assert t.elapsed_ns() == expected_ns and type(t.elapsed_ns()) is int
    assert t.elapsed_us() == expected_ns / 1000.0


def test_timer_start_keeps_its_64_bit_field(monkeypatch):
    monkeypatch.setattr(lo, "time", type("Clock", (), {"perf_counter_ns": staticmethod(lambda: 2**63)}))
    with pytest.raises(OverflowError):
        PerformanceTimer().start()


@pytest.mark.stress
@pytest.mark.timeout(60)
def test_concurrent_recording_keeps_totals():
    st = LockFreeStatistics()

    def work(i):
        for _ in range(2000):
            st.record_allocation(8)
            st.record_deallocation(8)

    run_together(work, 4)
    snap = st.get_snapshot()
    assert snap["total_allocations"] == 8000 and snap["total_deallocations"] == 8000
    assert snap["current_allocations"] == 0 and snap["bytes_allocated"] == 0
    assert 1 <= snap["peak_allocations"] <= 4


# ---- reference leaks ---------------------------------------------------------------

def leak_cases(m):
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


test_no_leak = leakcheck.no_leak_test("korvane.memory.lockless_ops", leak_cases)
test_every_public_callable_has_a_leak_case = leakcheck.coverage_test("korvane.memory.lockless_ops", leak_cases)
