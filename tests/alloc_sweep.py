"""Allocation-failure sweep: every call of the native modules with one failed allocation.

For each case a zygote process forks one child per allocation index k. The child
builds what the call needs, arms ``_testcapi.set_nomemory(k, k + 1)`` so that
only the k-th allocation from then on fails, makes the call and disarms. The
case holds at k when the call succeeded or raised a clean exception
(``MemoryError``, or what the call raises anyway), left no exception pending,
answered as without the failure where it answered at all, and when afterwards
the same call, the same call on new objects and a small workload of the module
all work. k grows until the call finishes before its k-th allocation.

Two tables:
  first   one case per public callable (constructors, methods, properties,
          functions, the import itself), each child being a process that has
          never run it, so lazy initialisation fails too;
  steady  every case of the leak sweep's table (valid and rejected calls), in a
          process that has built the table.

    python tests/alloc_sweep.py first lockless_ops
    python tests/alloc_sweep.py steady block_index
    python tests/alloc_sweep.py selftest
    python tests/alloc_sweep.py crashprobe      # does the interpreter crash by itself?

Each case is one JSON line on standard output.
"""
import ctypes
import gc
import importlib
import importlib.util
import json
import linecache
import os
import re
import signal
import sys
import tempfile
import time

import _testcapi

HERE = os.path.dirname(os.path.abspath(__file__))
KMAX = int(os.environ.get("KORVANE_ALLOC_KMAX", "4000"))   # indices per case, at most
CHILD_SECONDS = 30                                        # a child still running then is stuck
SENTINEL = 4000                                           # a size that always allocates
# An import makes one to three thousand allocations, most of them in the
# module body's calls into the interpreter (logging, re.compile): every index
# up to IMPORT_DENSE, then every STRIDE-th. KORVANE_ALLOC_FULL=1 takes them all.
FULL = os.environ.get("KORVANE_ALLOC_FULL") == "1"
IMPORT_DENSE = 400
STRIDE = 7
SENTINELS = tuple(range(STRIDE + 2))       # two allocations each

# tests/crash_site.c built as a shared object (test_alloc_failure.py builds it):
# a crashed child then says in which shared object it crashed.
CRASH_SITE_LIB = os.environ.get("KORVANE_CRASH_SITE_LIB")
_RUNTIME = ("libc.so", "libstdc++.so", "libgcc_s.so", "libm.so", "ld-linux", "libpthread.so")


def interpreter_crash(text):
    """Whether a crash report places the fault inside the interpreter: the
    first shared object of the faulting frame and its callers, past the C and
    C++ runtimes, is libpython or the python executable (and not a korvane
    extension, nor any other one)."""
    m = re.search(r"^crash-site:(.*)$", text, re.M)
    if not m:
        return False
    exe = os.path.realpath(sys.executable)
    for obj in m.group(1).split():
        base = os.path.basename(obj)
        if base.startswith(_RUNTIME):
            continue
        return base.startswith("libpython") or obj == "<main>" or os.path.realpath(obj) == exe
    return False


MODULES = {
    "lockless_ops": "korvane.memory.lockless_ops",
    "block_index": "korvane.memory.block_index",
    "slab_engine": "korvane.memory.slab_engine",
    "compile_gate": "korvane.jit.compile_gate",
    "hw_probe": "korvane.native.hw_probe",
    "pattern_scoring": "korvane.plugins.analyzer.pattern_scoring",
    "adaptation_rules": "korvane.plugins.analyzer.adaptation_rules",
    "counter_hub": "korvane.monitoring.counter_hub",
    "device_memory": "korvane.gpu.device_memory",
}


class Probe:
    """setup() builds the call's objects (no failure injected); bind(obj) gives
    (callable, args, kwargs), also before anything can fail, so that the call
    under test is made directly from the harness with no Python frame of its
    own. exact: the answer must equal the one given without a failure (None:
    whenever two runs without a failure agree). again: the call may be
    repeated on the same objects."""

    def __init__(self, label, setup, bind, exact=None, again=True, dense=None, fresh=True):
        self.label, self.setup, self.bind = label, setup or (lambda: None), bind
        self.exact, self.again = exact, again
        self.fresh = fresh      # setup() makes new objects (so a second call answers the same)
        self.dense = dense      # indices past this one are taken with a stride (long calls)

    def run(self, obj):
        f, args, kw = self.bind(obj)
        return f(*args, **kw)


def fn(label, f, *args, **kw):
    """A module function or constructor on fixed arguments."""
    return Probe(label, None, lambda _: (f, args, kw))


def meth(label, make, name, *args, again=True, **kw):
    """`make().name(*args)`: the method's first call on a new object."""
    return Probe(label, make, lambda o: (getattr(o, name), args, kw), again=again)


def on(label, make, f, *args, again=True):
    """`f(make(), *args)`, for builtins (len, getattr, setattr) and functions taking the object."""
    return Probe(label, make, lambda o: (f, (o,) + args, {}), again=again)


def _short_repr(x, limit=300):
    try:
        text = repr(x)
    except Exception as exc:          # noqa: BLE001 - reported, not raised
        text = f"<repr raised {type(exc).__name__}>"
    return text if limit is None or len(text) <= limit else text[:limit] + "..."


def _full_repr(x):
    return _short_repr(x, limit=None)


# ---- first calls, per module -------------------------------------------------------

def _subclass(cls):
    return lambda: type("Sub" + cls.__name__, (cls,), {})


def lockless_ops_first(m):
    AC, AP, S, LS, PT, W = (m.AtomicCounter, m.AtomicPointer, m.LockFreeStack, m.LockFreeStatistics,
                            m.PerformanceTimer, m.AtomicCounterWrapper)
    item = ("item",)

    def stats_with_events():
        s = LS()
        s.record_allocation(64)
        s.record_allocation(32, False, 8, 100)
        s.record_deallocation(64, 40)
        return s
    cases = [
        fn("AtomicCounter(5)", AC, 5),
        fn("AtomicCounter(initial_value=-3)", AC, initial_value=-3),
        on("AtomicCounter subclass", _subclass(AC), lambda cls: cls(1)),
        fn("AtomicPointer([1])", AP, [1]),
        fn("LockFreeStack()", S),
        fn("LockFreeStatistics()", LS),
        fn("PerformanceTimer()", PT),
        fn("AtomicCounterWrapper(4)", W, 4),
        meth("pickle refused (__reduce_cython__)", AC, "__reduce_cython__"),
        meth("pickle refused (__setstate_cython__)", AP, "__setstate_cython__", None),
    ]
    for name, args in [("load", ()), ("store", (3,)), ("increment", (2,)), ("decrement", ()),
                       ("compare_and_swap", (7, 1)), ("fetch_and_add", (4,))]:
        cases.append(meth(f"AtomicCounter.{name}", lambda: AC(7), name, *args))
        cases.append(meth(f"AtomicCounterWrapper.{name}", lambda: W(7), name, *args))
    cases += [
        meth("AtomicCounter.increment wraps", lambda: AC(2**63 - 1), "increment"),
        meth("AtomicPointer.load", lambda: AP(item), "load"),
        meth("AtomicPointer.store", AP, "store", item),
        meth("AtomicPointer.compare_and_swap", lambda: AP(item), "compare_and_swap", item, [2]),
        meth("AtomicPointer.get_version", lambda: AP(item), "get_version"),
        meth("LockFreeStack.push", S, "push", item),
        meth("LockFreeStack.pop", lambda: _pushed(S(), item), "pop", again=False),
        meth("LockFreeStack.is_empty", S, "is_empty"),
        meth("LockFreeStack.size", S, "size"),
        meth("record_allocation", LS, "record_allocation", 32, False, 8, 100),
        meth("record_deallocation", LS, "record_deallocation", 64, 40),
        meth("py_record_allocation", LS, "py_record_allocation", 10, True, 4, 7),
        meth("py_record_deallocation", LS, "py_record_deallocation", 10, 3),
        meth("_update_peaks", LS, "_update_peaks", 5, 200),
        meth("get_snapshot", LS, "get_snapshot"),
        meth("get_snapshot after events", stats_with_events, "get_snapshot"),
        meth("get_snapshot of big totals", lambda: _big_stats(LS, AC), "get_snapshot"),
        meth("reset", stats_with_events, "reset"),
        on("LockFreeStatistics attribute get", LS, getattr, "peak_allocations"),
        Probe("LockFreeStatistics attribute set", lambda: (LS(), AC(3)),
              lambda o: (setattr, (o[0], "bytes_reserved", o[1]), {})),
        on("LockFreeStatistics attribute delete", LS, delattr, "bytes_reserved", again=False),
        meth("PerformanceTimer.start", PT, "start"),
        meth("PerformanceTimer.elapsed_ns", PT, "elapsed_ns"),
        meth("PerformanceTimer.elapsed_us", PT, "elapsed_us"),
        meth("PerformanceTimer.elapsed_ms", PT, "elapsed_ms"),
    ]
    return cases


def _pushed(stack, item):
    stack.push(item)
    return stack


def _big_stats(LS, AC):
    """Totals past 2**53 take the exact big-number road of the snapshot."""
    s = LS()
    s.total_allocations = AC(2**60)
    s.bucketed_allocations = AC(2**59)
    s.total_allocation_time_ns = AC(2**61)
    return s


def lockless_ops_work(m):
    c = m.AtomicCounter()
    assert (c.increment(), c.increment(5), c.compare_and_swap(6, 10), c.load()) == (1, 6, True, 10)
    s = m.LockFreeStack()
    s.push("a")
    s.push("b")
    assert (s.size(), s.pop(), s.pop(), s.pop()) == (2, "b", "a", None)
    st = m.LockFreeStatistics()
    st.record_allocation(64)
    st.record_allocation(32, False, 8, 100)
    snap = st.get_snapshot()
    assert snap["bytes_allocated"] == 96 and snap["bucketed_allocation_ratio"] == "50.0%", snap
    assert list(snap)[-1] == "allocation_mode" and len(snap) == 14, snap
    st.reset()
    assert st.get_snapshot()["total_allocations"] == 0
    p = m.AtomicPointer([1])
    assert p.compare_and_swap(p.load(), None) and p.load() is None and p.get_version() == 1
    assert m.AtomicCounterWrapper(2).increment(3) == 5


def block_index_first(m):
    from korvane.memory.block_record import MemoryBlock
    T = m.FastRedBlackTree

    def filled(rate=100):
        t = T(rate)
        for k, size in enumerate((16, 64, 64, 256, 1024)):
            t.insert(size, MemoryBlock(k * 4096, size))
        return t

    def chained():
        t = T()
        t.insert(64, MemoryBlock(0, 64))
        return t
    return [
        fn("FastRedBlackTree()", T),
        fn("FastRedBlackTree(sample_rate=0)", T, sample_rate=0),
        on("FastRedBlackTree subclass", _subclass(T), lambda cls: cls(1)),
        meth("pickle refused (__reduce_cython__, __setstate_cython__)", T, "__reduce_cython__"),
        fn("_sanitize_size", T._sanitize_size, 5),
        Probe("insert", lambda: (T(), MemoryBlock(0, 64)), lambda o: (o[0].insert, (64, o[1]), {})),
        Probe("insert sampled (the first sampled operation)", lambda: (T(1), MemoryBlock(0, 64)),
              lambda o: (o[0].insert, (64, o[1]), {})),
        Probe("insert into a chain", lambda: (chained(), MemoryBlock(64, 64)),
              lambda o: (o[0].insert, (64, o[1]), {})),
        meth("find_best_fit", filled, "find_best_fit", 20),
        meth("find_best_fit alignment", filled, "find_best_fit", 20, 8),
        meth("find_all_exact", filled, "find_all_exact", 64),
        Probe("delete", lambda: (filled(), MemoryBlock(4096, 64)), lambda o: (o[0].delete, (64, o[1]), {}),
              again=False),
        meth("remove_ge", filled, "remove_ge", 100, again=False),
        meth("remove_ge sampled", lambda: filled(1), "remove_ge", 100, again=False),
        meth("get_stats", filled, "get_stats"),
        meth("get_stats sampled", lambda: filled(1), "get_stats"),
        meth("size", filled, "size"),
        on("len", filled, len),
        on("bool", filled, bool),
        on("repr", filled, repr),
        meth("clear", filled, "clear"),
        meth("get_size_distribution", filled, "get_size_distribution"),
        meth("reset_circuit_breaker", filled, "reset_circuit_breaker"),
        meth("get_statistics", filled, "get_statistics"),
        meth("get_statistics sampled", lambda: filled(1), "get_statistics"),
        on("_check_invariants", filled, m._check_invariants),
    ]


def block_index_work(m):
    from korvane.memory.block_record import MemoryBlock
    t = m.FastRedBlackTree(1)
    for offset, size in [(0, 4096), (4096, 1024), (8192, 2048), (10240, 2048)]:
        assert t.insert(size, MemoryBlock(offset, size))
    assert t.find_best_fit(1500) == MemoryBlock(8192, 2048)
    assert t.remove_ge(3000) == (4096, MemoryBlock(0, 4096))
    assert t.delete(2048, MemoryBlock(10240, 2048))
    assert (len(t), t.find_best_fit(5000)) == (2, None)
    assert m._check_invariants(t) == "", m._check_invariants(t)
    assert t.get_stats()["total_blocks"] == 2


def slab_engine_first(m):
    H, A, C = m.FastSlabHeaderOps, m.FastBucketAllocator, m.FastStatsCollector

    def header():
        h = H(3, 64)
        h.py_allocate_object_at(0)
        return h

    def buckets():
        a = A()
        a.add_to_bucket(0, 64)
        a.add_to_bucket(64, 128)
        return a

    def collector():
        c = C()
        c.py_record_allocation(64, 8, True)
        return c

    def packed(corrupt):
        def make():
            raw = H(3, 64).pack_header()
            return H(0, 64), bytes([raw[0] ^ 1]) + raw[1:] if corrupt else raw
        return make
    return [
        fn("FastSlabHeaderOps(3, 64)", H, 3, 64),
        fn("FastBucketAllocator()", A),
        fn("FastBucketAllocator(16, 128, 1024)", A, 16, 128, 1024),
        fn("FastStatsCollector()", C),
        meth("pickle refused (__reduce_cython__, __setstate_cython__)", C, "__setstate_cython__", None),
        meth("pack_header", header, "pack_header"),
        Probe("unpack_header", packed(False), lambda o: (o[0].unpack_header, (o[1],), {})),
        Probe("unpack_header corrupted (logs a warning)", packed(True), lambda o: (o[0].unpack_header, (o[1],), {})),
        meth("py_is_object_free", header, "py_is_object_free", 0),
        meth("py_find_free_object", header, "py_find_free_object"),
        meth("py_allocate_object_at", header, "py_allocate_object_at", 5),
        meth("py_deallocate_object_at", header, "py_deallocate_object_at", 0),
        meth("_init_buckets", A, "_init_buckets"),
        meth("add_to_bucket", A, "add_to_bucket", 0, 64),
        meth("remove_from_bucket", buckets, "remove_from_bucket", 64, again=False),
        meth("find_best_fit_bucket", buckets, "find_best_fit_bucket", 100, 8),
        meth("py_record_allocation", C, "py_record_allocation", 64, 8, True),
        meth("py_record_deallocation", collector, "py_record_deallocation"),
        meth("get_stats", collector, "get_stats"),
        meth("reset_stats", collector, "reset_stats"),
        fn("fast_align_size", m.fast_align_size, 13, 8),
        fn("fast_get_bucket_size", m.fast_get_bucket_size, 100, 32),
        fn("fast_bitmap_operations", m.fast_bitmap_operations, 2**63, 0, "set"),
        fn("fast_bitmap_operations find_first", m.fast_bitmap_operations, 0b1010, 0, "find_first"),
        fn("fast_can_fit_aligned", m.fast_can_fit_aligned, 4, 64, 56, 8),
    ]


def slab_engine_work(m):
    assert (m.fast_align_size(13, 8), m.fast_get_bucket_size(100, 32)) == (16, 128)
    a = m.FastBucketAllocator()
    assert (a.add_to_bucket(0, 64), a.add_to_bucket(64, 128)) == (True, True)
    assert a.find_best_fit_bucket(100, 8) == 64
    h = m.FastSlabHeaderOps(3, 64)
    h.py_allocate_object_at(0)
    assert h.py_find_free_object() == 1
    copy = m.FastSlabHeaderOps(3, 64)
    copy.unpack_header(h.pack_header())
    assert copy.py_is_object_free(0) is False
    c = m.FastStatsCollector()
    c.py_record_allocation(64, 8, True)
    assert c.get_stats()["total_allocations"] == 1


def compile_gate_first(m):
    from korvane.jit.telemetry import TelemetryStore
    PC, FM, G = m.PolicyConfig, m.FunctionMetrics, m.CompileGate

    def gate_and_store(speedup=None):
        def make():
            s = TelemetryStore()
            for _ in range(100):
                s.record_call("f")
            if speedup is not None:
                s.record_compilation("f", speedup=speedup)
            return G(PC(initial_threshold=100)), s
        return make

    def updated():
        g, s = gate_and_store(4.0)()
        g.update("f", s)
        return g
    return [
        fn("PolicyConfig()", PC),
        fn("PolicyConfig(150, 10, 500, 0.5, 3.0)", PC, 150, 10, 500, 0.5, 3.0),
        fn("FunctionMetrics(1, 2, 3.0, 4.0, 5.0, 7.0)", FM, 1, 2, 3.0, 4.0, 5.0, 7.0),
        fn("CompileGate()", G),
        on("CompileGate(config)", PC, G),
        Probe("CompileGate(object())", object, lambda o: (G, (), {"config": o})),
        meth("pickle refused (__reduce_cython__, __setstate_cython__)", PC, "__reduce_cython__"),
        fn("create_policy_config", m.create_policy_config, 100, 10, 10000, 0.5, 3),
        fn("create_function_metrics", m.create_function_metrics, True, 2, 3, 4, 5),
        fn("get_compile_gate", m.get_compile_gate),
        fn("reset_compile_gate", m.reset_compile_gate),
        on("PolicyConfig property get", PC, getattr, "learning_rate"),
        on("PolicyConfig property set", PC, setattr, "max_threshold", 5000),
        on("FunctionMetrics property get", FM, getattr, "last_compiled"),
        on("FunctionMetrics property set", FM, setattr, "call_count", 2**63),
        on("config", G, getattr, "config"),
        meth("get_threshold", G, "get_threshold", "f"),
        Probe("should_compile", gate_and_store(), lambda gs: (gs[0].should_compile, ("f", gs[1]), {})),
        Probe("update (logs the learned threshold)", gate_and_store(4.0),
              lambda gs: (gs[0].update, ("f", gs[1]), {}), again=False),
        meth("get_statistics", updated, "get_statistics"),
    ]


def compile_gate_work(m):
    from korvane.jit.telemetry import TelemetryStore
    gate, store = m.CompileGate(m.PolicyConfig(initial_threshold=100)), TelemetryStore()
    for _ in range(99):
        store.record_call("parse")
    assert gate.should_compile("parse", store) is False
    store.record_call("parse")
    assert gate.should_compile("parse", store) is True
    store.record_compilation("parse", speedup=4.0)
    gate.update("parse", store)
    assert gate.get_threshold("parse") == 91
    assert m.get_compile_gate() is m.get_compile_gate()


def hw_probe_first(m):
    # A probe's answer under a failure is its documented fallback, not the answer.
    return [Probe(name, None, lambda _, f=getattr(m, name): (f, (), {}), exact=False) for name in (
        "detect_physical_cores", "detect_numa_nodes", "detect_gpu_backends", "detect_python_version",
        "detect_capabilities")]


def hw_probe_work(m):
    caps = m.detect_capabilities()
    assert caps["detector"] == "native" and len(caps) == 16, caps
    assert m.detect_numa_nodes() >= 1 and m.detect_physical_cores() >= 1
    assert m.detect_python_version()[0].count(".") == 2


CODE = "import numpy as np\nfor i in range(10):\n    x = np.array(df.groupby('a')) @ w + fit(x)\n"
SCORES = (0.5, 0.5, 0.5, 0.5, 0.5, 0.1, 0.1, 0.1, 3, 0, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, True)


def pattern_scoring_first(m):
    return [
        fn("score_indicators", m.score_indicators, CODE, "benchmark_matmul"),
        fn("score_indicators wide text", m.score_indicators, CODE + "\u20ac", None),
        fn("score_framework_patterns", m.score_framework_patterns, CODE),
        fn("quick_framework_score", m.quick_framework_score, CODE, "numpy"),
        fn("quick_framework_score wide text (regular expression)", m.quick_framework_score,
           CODE + "\u20ac", "pandas"),
        fn("normalize_scores", m.normalize_scores, 30, -1, 0, 18, 0),
        fn("calculate_parallelization_potential", m.calculate_parallelization_potential, 0.5, 3.0, 0.0, 0.0),
        fn("calculate_gpu_suitability", m.calculate_gpu_suitability, 1.0, 1.0, 1.0, True, "8.6"),
        fn("calculate_gpu_suitability bad capability", m.calculate_gpu_suitability, 0.5, 0.5, 0, True, "x.1"),
        fn("estimate_gpu_speedup", m.estimate_gpu_speedup, 0.9, 1.0, True),
        fn("determine_workload_pattern", m.determine_workload_pattern, *SCORES),
        fn("update_adaptive_threshold", m.update_adaptive_threshold, 0.5, 0.9, 0.1, 0.1, 0.55),
    ]


def pattern_scoring_work(m):
    code = "import numpy as np\ndef gram(a):\n    return np.dot(a, a.T).sum()\n"
    assert m.score_indicators(code, "gram") == (3, 0, 0, 2, 0, 0, 0)
    assert (m.quick_framework_score(code, "numpy"), m.quick_framework_score(code, "pandas")) == (0.2, 0.0)


def adaptation_rules_first(m):
    hist = [(0, 10), (1, 20), (2, 40), [3, 41.5]]
    patterns = [{"parallelization_potential": p, "cpu_intensity": 0.2, "memory_intensity": 1}
                for p in (0.0, 0.0, 0.0, 0.5, 0.5, 0.5)]
    allocs = [(i, 1000) for i in range(12)]
    return [
        fn("calculate_performance_trend", m.calculate_performance_trend, hist, 0.0),
        fn("detect_performance_degradation", m.detect_performance_degradation,
           [(i, 80) for i in range(6)], 100, 0.15, 0),
        fn("detect_workload_characteristics_change", m.detect_workload_characteristics_change, patterns),
        fn("detect_workload_characteristics_change short", m.detect_workload_characteristics_change, patterns[:5]),
        fn("detect_dominant_pattern", m.detect_dominant_pattern, ["a", "b", "b", None, "a"], 4),
        fn("is_adaptation_beneficial", m.is_adaptation_beneficial, "a", "b", 0.56, 0.7, 0.5, 1),
        fn("should_skip_adaptation", m.should_skip_adaptation, 100, 150, 60),
        fn("detect_memory_pressure", m.detect_memory_pressure, 81, 100),
        fn("detect_fragmentation_threshold", m.detect_fragmentation_threshold, 0.31),
        fn("calculate_adaptation_urgency", m.calculate_adaptation_urgency, 1, 1, 1, True),
        fn("score_pool_recommendation", m.score_pool_recommendation, 2, 2, 2, 2),
        fn("predict_resource_requirements", m.predict_resource_requirements, allocs, 9.0),
        fn("predict_resource_requirements short", m.predict_resource_requirements, allocs[:9], 9.0),
    ]


def adaptation_rules_work(m):
    history = [(float(t), 100.0 - 2 * t) for t in range(10)]
    assert round(m.calculate_performance_trend(history, 0.0), 3) == -0.022
    assert m.should_skip_adaptation(100.0, 150.0, 60.0) is True
    assert m.detect_dominant_pattern(["cpu_bound", "io_bound", "cpu_bound"]) == "cpu_bound"


def counter_hub_first(m):
    CA = m.CounterAggregator

    def filled():
        a = CA(16)
        for v in (2.0, 4.0, 4.0, 4.0, 5.0, 5.0, 7.0, 9.0):
            a.update(3, v)
        return a
    return [
        fn("CounterAggregator(16)", CA, 16),
        fn("CounterAggregator()", CA),
        on("CounterAggregator subclass", _subclass(CA), lambda cls: cls(4)),
        meth("pickle refused (__reduce_cython__, __setstate_cython__)", lambda: CA(1), "__reduce_cython__"),
        fn("create_aggregator", m.create_aggregator, 5),
        meth("update", lambda: CA(16), "update", 3, 4.0),
        meth("get_stats", filled, "get_stats", 3),
        meth("get_stats empty", lambda: CA(16), "get_stats", 3),
        meth("get_all_stats", filled, "get_all_stats"),
        meth("reset", filled, "reset", 3),
        meth("reset_all", filled, "reset_all"),
    ]


def counter_hub_work(m):
    a = m.CounterAggregator(16)
    for value in (2.0, 4.0, 4.0, 4.0, 5.0, 5.0, 7.0, 9.0):
        a.update(3, value)
    assert a.get_stats(3) == {"count": 8, "mean": 5.0, "variance": 4.0, "std": 2.0, "min": 2.0, "max": 9.0}
    assert [c for c, _ in a.get_all_stats()] == [3]


def device_memory_first(m):
    return [
        fn("estimate_allocation_bytes", m.estimate_allocation_bytes, (1000, 1000), 8),
        fn("calculate_safe_limit", m.calculate_safe_limit, 1000, 0.2),
        fn("calculate_memory_pressure", m.calculate_memory_pressure, 25, 100),
        fn("recommend_headroom", m.recommend_headroom, 0.7),
        fn("decide_allocation_strategy fits", m.decide_allocation_strategy, 800, 1000, 0.2, False),
        fn("decide_allocation_strategy chunked", m.decide_allocation_strategy, 20 * 2**30, 8 * 2**30, 0.2, True),
        fn("decide_allocation_strategy not chunkable", m.decide_allocation_strategy, 2500, 1000, 0.0, 0),
        fn("decide_allocation_strategy no memory", m.decide_allocation_strategy, 1, 0, 0.0, True),
        fn("compute_chunk_shapes", m.compute_chunk_shapes, (10, 4), 8, 64),
        fn("calculate_optimal_chunks", m.calculate_optimal_chunks, 2500, 1000, 0.0),
        fn("is_chunkable_operation", m.is_chunkable_operation, "random.randn"),
        fn("is_oom_error", m.is_oom_error, "CUDA out of memory", "RuntimeError"),
        fn("is_oom_error wide text", m.is_oom_error, "\u0130 CUDA OUT OF MEMORY", "RuntimeError"),
        fn("score_gpu_suitability", m.score_gpu_suitability, 800, "zeros", 1000, 0.0),
    ]


def device_memory_work(m):
    assert m.estimate_allocation_bytes((1000, 1000), 8) == 8000000
    assert m.decide_allocation_strategy(2**30, 8 * 2**30, 0.2, True) == (0, 0, 1, "Allocation fits in GPU memory")
    assert m.compute_chunk_shapes((10, 4), 8, 64) == [(2, 4)] * 5
    assert m.is_oom_error("CUDA out of memory", "RuntimeError") is True


def _import_case(qualname):
    """The extension's own part of an import: create and execute the module
    (what importlib does once it has found the file), with a failed import
    taken out of sys.modules again as importlib does."""
    spec = importlib.util.find_spec(qualname)

    def load(spec):
        try:
            module = spec.loader.create_module(spec)
            module.__spec__ = spec
            spec.loader.exec_module(module)
        except BaseException:
            sys.modules.pop(qualname, None)
            raise
        return module.__name__
    return Probe("import", lambda: spec, lambda sp: (load, (sp,), {}), dense=IMPORT_DENSE)


def first_cases(short):
    m = sys.modules[MODULES[short]]
    return globals()[f"{short}_first"](m)


def workload(short):
    m = importlib.import_module(MODULES[short])
    globals()[f"{short}_work"](m)


def steady_cases(short):
    """Every case of the leak sweep's table. Its single calls are made
    directly; the balanced sequences (cycles) through their function."""
    sys.path.insert(0, HERE)
    import leakcheck
    importlib.import_module(MODULES[short])
    table = leakcheck.cases_of(short)
    # The probe's answers under a failure are its documented fallbacks.
    exact = False if short == "hw_probe" else None
    return [Probe(c.label, None, (lambda _, t=c.target: t) if c.target else (lambda _, f=c.fn: (f, (), {})),
                  exact=exact, fresh=False)
            for c in table]


# ---- the cases that misbehave on purpose (the sweep must see each) --------------------

def selftest_cases():
    def swallow():
        try:
            return len(bytearray(SENTINEL))
        except MemoryError:
            return -1                  # a failure reported as success

    def crash():
        try:
            bytearray(SENTINEL)
        except MemoryError:
            os.abort()

    def leave_pending():
        try:
            bytearray(SENTINEL)
        except MemoryError:
            # What a native function that returns a result with an error set looks like.
            return _testcapi.return_result_with_error()

    state = {"broken": False}

    def break_later():
        try:
            bytearray(SENTINEL)
        except MemoryError:
            state["broken"] = True
            raise
        if state["broken"]:
            raise KeyError("left broken")

    def wrong_type():
        try:
            bytearray(SENTINEL)
        except MemoryError:
            raise LookupError("not a MemoryError") from None

    def clean():
        return len(bytearray(SENTINEL))
    return [fn("swallowed failure", swallow), fn("crash", crash), fn("result with an error set", leave_pending),
            fn("broken after a failure", break_later), fn("another exception", wrong_type), fn("clean", clean)]


# ---- the harness ------------------------------------------------------------------------

_py_api_call = ctypes.pythonapi.Py_IsInitialized


def pending_error():
    """The exception left pending by native code, if any: a call through
    ctypes' Python API raises whatever error is set when it returns."""
    try:
        _py_api_call()
    except BaseException as exc:        # noqa: BLE001 - that is the finding
        return f"{type(exc).__name__}: {exc}"
    return None


def _trace(exc):
    """The exception's traceback, with KORVANE_ALLOC_TRACE=1 (for finding a fault)."""
    if not os.environ.get("KORVANE_ALLOC_TRACE"):
        return ""
    import traceback
    return "\n" + "".join(traceback.format_exception(type(exc), exc, exc.__traceback__))


def outcome(probe, obj):
    try:
        return "ok", probe.run(obj)
    except BaseException as exc:        # noqa: BLE001 - compared, not handled
        return type(exc).__name__, exc


# What the interpreter raises when it loses an exception: an allocation that
# fails while a Python frame unwinds can drop the exception on 3.11 and 3.12,
# and the eval loop then reports this. The frame's own report of native code
# failing without an exception is worded differently.
LOST_ERROR = "error return without exception set"


class Interpreter:
    """Faults of the interpreter itself, found by the control probes at start."""
    stat_fault = False      # os.stat() goes on after a failed allocation (a debug build aborts)
    loses_errors = False    # LOST_ERROR, above
    # The interpreter crashes by itself after a failed allocation (every
    # version here does, compiling plain Python; 3.13.0 also while creating a
    # type): a crash whose faulting frame lies inside the interpreter (see
    # interpreter_crash) is then counted as the interpreter's, a crash in a
    # korvane extension is always reported.
    crashes = False


def _clean(exc, ref_kind):
    """MemoryError, the interpreter's own report of a lock it could not
    allocate, or what the call raises anyway."""
    if isinstance(exc, SystemError):
        return False
    if isinstance(exc, MemoryError) or type(exc).__name__ == ref_kind:
        return True
    return type(exc) is RuntimeError and str(exc) in ("can't allocate lock", "can't allocate read lock")


# The same fault seen from the caller of the Python function or class that
# lost it (an exception dropped, or a MemoryError left set while the frame
# went on). Native functions of korvane never return NULL without an
# exception; a result with an exception set is theirs when they are named.
_LOST_NULL = re.compile(r"<(?:function \S+ at 0x[0-9a-f]+|class '[^']+')> returned NULL without setting an exception")
_LOST_RESULT = re.compile(r"<(?:function (?P<fn>\S+) at 0x[0-9a-f]+|class '(?P<cls>[^']+)')> "
                          r"returned a result with an exception set")
NATIVE_NAMES = set()    # __qualname__ of every function and method of the modules


# An extension module of the interpreter's own whose initialisation failed and
# lost its error (3.13.0's _interpreters does, after a failed allocation).
_LOST_INIT = re.compile(r"execution of module (\S+) failed without setting an exception")


def _lost(exc):
    if type(exc) is SystemError:
        m = _LOST_INIT.fullmatch(str(exc))
        if m and not m[1].startswith("korvane"):
            return True
    if not (Interpreter.loses_errors and type(exc) is SystemError):
        return False
    text = str(exc)
    if text == LOST_ERROR or _LOST_NULL.fullmatch(text):
        return True
    m = _LOST_RESULT.fullmatch(text)
    if m is None:
        return False
    return m["fn"] not in NATIVE_NAMES if m["fn"] else not m["cls"].startswith("korvane.")


# The same fault on a debug interpreter, which aborts instead of raising.
_LOST_FATAL = re.compile(r"_PyEval_EvalFrameDefault: Assertion `_PyErr_Occurred\(tstate\)' failed"
                         r"|_Py_CheckFunctionResult: a function returned NULL without setting an exception")
_LOST_FATAL_RESULT = re.compile(r"_Py_CheckFunctionResult: a function returned a result with an exception set"
                                r".*?\nSystemError: (.*?)\n", re.S)


def lost_fatal(text):
    if _LOST_FATAL.search(text):
        return True
    m = _LOST_FATAL_RESULT.search(text)
    return bool(m) and _lost(SystemError(m[1]))


def _native_names():
    for qualname in MODULES.values():
        module = sys.modules.get(qualname)
        for value in vars(module).values() if module else ():
            for v in [value] + (list(vars(value).values()) if isinstance(value, type) else []):
                if callable(v) and hasattr(v, "__qualname__"):
                    NATIVE_NAMES.add(v.__qualname__)


def child(probe, k, ref, work):
    """Runs in the forked child; returns {"injected", "excused", "problems",
    "answers" (answers unlike the reference's), "answer" (when nothing failed)}."""
    signal.alarm(CHILD_SECONDS)
    problems, answers = [], []
    # A MemoryError that nobody could raise (in a destructor, a weakref
    # callback) is reported as unraisable, which is all that can be done.
    sys.unraisablehook = lambda u: None if isinstance(u.exc_value, MemoryError) else problems.append(
        f"unraisable {type(u.exc_value).__name__}: {u.exc_value} ({u.err_msg or 'Exception ignored in'}"
        f" {_short_repr(u.object, 80)})")
    obj = probe.setup()
    f, args, kw = probe.bind(obj)
    # A case that substitutes module globals or sys.modules entries for its
    # call may not get to put them back when an allocation fails: they are
    # put back here (new entries stay), so that what follows sees the modules
    # as they were.
    namespaces = [sys.modules] + [vars(sys.modules[q]) for q in MODULES.values() if q in sys.modules]
    saved = [dict(ns) for ns in namespaces]
    result = exc = None
    sys._getframe()                     # this frame's object exists before anything can fail
    _testcapi.set_nomemory(k, k + 1)
    try:
        result = f(*args, **kw)
    except BaseException as e:          # noqa: BLE001 - judged below
        exc = e
    try:
        # The k-th allocation came before these (inside the call) unless one
        # of them fails; they reach further past the call than one stride.
        for _ in SENTINELS:
            bytearray(SENTINEL)
        injected = True
    except MemoryError:
        injected = False
    _testcapi.remove_mem_hooks()
    del f, args, kw
    for ns, was in zip(namespaces, saved):
        for key, value in was.items():
            if ns.get(key, ns) is not value:
                ns[key] = value

    excused = False
    pending = pending_error()
    if pending:
        problems.append(f"an exception was left pending: {pending}")
    if exc is not None:
        name = type(exc).__name__
        if _lost(exc):
            excused = True
        elif not _clean(exc, ref["kind"]):
            problems.append(f"raised {name}: {_short_repr(str(exc))}"
                            f" (without the failure: {ref['kind']})" + _trace(exc))
    elif ref["kind"] != "ok":
        problems.append(f"succeeded with {_short_repr(result)} although the call raises {ref['kind']}")
    elif ref["exact"] and _full_repr(result) != ref["repr"]:
        answers.append(f"answered {_short_repr(result)} instead of {_short_repr(ref['repr'])}")
    answer = _full_repr(result) if exc is None and not injected else None
    del result, exc

    checks = [("the same call again", lambda: outcome(probe, obj))] if probe.again else []
    checks.append(("the call on new objects", lambda: outcome(probe, probe.setup())))
    for what, run in checks:
        kind, value = run()
        if kind != ref["kind"]:
            problems.append(f"{what}: {kind}: {_short_repr(value)} (without the failure: {ref['kind']})")
        elif (kind == "ok" and ref["exact"] and probe.fresh and what.endswith("new objects")
              and _full_repr(value) != ref["repr"]):
            answers.append(f"{what} answered {_short_repr(value)} instead of {_short_repr(ref['repr'])}")
    try:
        if work:
            work()
        gc.collect()
    except BaseException as e:          # noqa: BLE001 - that is the finding
        problems.append(f"the module's workload afterwards: {type(e).__name__}: {_short_repr(str(e))}")
    pending = pending_error()
    if pending:
        problems.append(f"an exception was left pending after the workload: {pending}")
    return {"injected": injected, "excused": excused and not problems, "problems": problems,
            "answers": answers, "answer": answer}


def fork_run(body, errfile):
    """body() in a forked child; returns (decoded report or None, wait status)."""
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(r)
        code = 0
        try:
            fd = os.open(errfile, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
            os.dup2(fd, 2)
            data = json.dumps(body()).encode()
            os.write(w, data)
        except BaseException:            # noqa: BLE001 - the parent reports it
            import traceback
            traceback.print_exc()
            code = 3
        os._exit(code)
    os.close(w)
    chunks = []
    while True:
        chunk = os.read(r, 65536)
        if not chunk:
            break
        chunks.append(chunk)
    os.close(r)
    _, status = os.waitpid(pid, 0)
    data = b"".join(chunks)
    return (json.loads(data) if data else None), status


def reference(probe, errfile):
    """The call's answer without a failure (from the same zygote state)."""
    def body():
        kind, value = outcome(probe, probe.setup())
        return {"kind": kind, "repr": _full_repr(value) if kind == "ok" else None}
    report, status = fork_run(body, errfile)
    if report is None or status != 0:
        raise RuntimeError(f"{probe.label}: fails without a failure injected (status {status}): {_tail(errfile)}")
    exact = probe.exact if probe.exact is not None else " at 0x" not in (report["repr"] or "")
    return dict(report, exact=exact)


def _tail(path, n=1500):
    try:
        with open(path, errors="replace") as f:
            return f.read()[-n:]
    except OSError:
        return ""


_STAT_FAULT = re.compile(r"Fatal Python error: _Py_CheckSlotResult: Slot \S+ of type int "
                         r"succeeded with an exception set")


def stat_fault(text):
    """Whether a fatal error is the interpreter's own os.stat fault: on some
    versions stat() fills its result after a failed allocation without
    stopping, and a debug interpreter aborts on the next int operation. The
    innermost Python frame is then a line that calls stat() (a Python frame
    is never entered with an error pending: the debug interpreter asserts it)."""
    if not _STAT_FAULT.search(text):
        return False
    frames = re.findall(r'File "([^"]+)", line (\d+) in', text.split("most recent call first", 1)[-1])
    if not frames:
        return False
    path, line = frames[0]
    return re.search(r"\bl?stat\(", linecache.getline(path, int(line))) is not None


def _pop_empty():
    return [].pop()


def _pop_in_a_function():
    return _pop_empty()


_PROBE_SOURCE = """
d = {}
for i in range(40):
    try:
        d['k%d' % i] = i
    except MemoryError:
        pass
"""


def _compile_probe():
    compile(_PROBE_SOURCE, "<probe>", "exec")


def crash_probe(errfile):
    """Whether the interpreter itself crashes when an allocation fails while
    it compiles a few lines of plain Python."""
    compiling = Probe("compile", None, lambda _: (_compile_probe, (), {}))
    for k in range(1, 2000):
        report, status = fork_run(lambda: child(compiling, k, {"kind": "ok", "exact": False}, None), errfile)
        if report is None and os.WIFSIGNALED(status):
            return True
        if report is not None and not report["injected"]:
            return False
    return False


def control_probes(errfile):
    """Runs os.stat() and an exception raised through a Python frame under
    every failed allocation, to learn which faults this interpreter has."""
    stat = fn("os.path.exists", os.path.exists, HERE)     # a Python line that calls os.stat()
    for k in range(1, 40):
        report, _ = fork_run(lambda: child(stat, k, {"kind": "ok", "exact": False}, None), errfile)
        if report is None and stat_fault(_tail(errfile, 6000)):
            Interpreter.stat_fault = True
            break
        if report is not None and not report["injected"]:
            break
    Interpreter.loses_errors = True     # to see the report as it is, below
    raised = Probe("[].pop() two frames down", None, lambda _: (_pop_in_a_function, (), {}))
    found = False
    for k in range(1, 40):
        report, _ = fork_run(lambda: child(raised, k, {"kind": "IndexError", "exact": False}, None), errfile)
        if report is None:
            found = found or lost_fatal(_tail(errfile, 6000))
            continue
        if not report["injected"]:
            break
        found = found or report["excused"]
    Interpreter.loses_errors = found


def sweep(probe, work, errfile):
    ref = reference(probe, errfile)
    found, answers, excused, k, runs = [], [], 0, 0, 0
    only_k = int(os.environ.get("KORVANE_ALLOC_K", "0"))    # one index, for finding a fault
    while k < KMAX:
        k += 1 if FULL or probe.dense is None or k < probe.dense else STRIDE
        if only_k and k != only_k:
            if k > only_k:
                break
            continue
        runs += 1
        report, status = fork_run(lambda: child(probe, k, ref, work), errfile)
        if report is None or status != 0:
            text = _tail(errfile, 6000)
            if report is None and ((Interpreter.stat_fault and stat_fault(text))
                                   or (Interpreter.loses_errors and lost_fatal(text))
                                   or (Interpreter.crashes and os.WIFSIGNALED(status)
                                       and os.WTERMSIG(status) in (signal.SIGSEGV, signal.SIGBUS)
                                       and interpreter_crash(text))):
                excused += 1
                continue
            if os.WIFSIGNALED(status):
                sig = os.WTERMSIG(status)
                what = "stuck (no answer in time)" if sig == signal.SIGALRM else f"killed by {signal.Signals(sig).name}"
            else:
                what = f"exit status {os.WEXITSTATUS(status)}"
            found.append(f"k={k}: {what}: {text[-1200:]}")
            if os.WIFEXITED(status) and os.WEXITSTATUS(status) == 3:
                break                   # the harness itself failed: nothing more to learn
            continue
        excused += report["excused"]
        found += [f"k={k}: {p}" for p in report["problems"]]
        answers += [f"k={k}: {p}" for p in report["answers"]]
        if not report["injected"]:
            # The run in which nothing failed answers as the reference did,
            # unless the answer changes from run to run (times, addresses).
            if report["answer"] == ref["repr"] or ref["kind"] != "ok":
                found += answers
            break
    return {"case": probe.label, "indices": runs, "last": k, "capped": k >= KMAX, "excused": excused,
            "problems": found[:20]}


def zygote_prepare(short):
    """What every child may rely on having been imported and resolved before it forks."""
    import faulthandler
    import logging
    faulthandler.enable()
    if CRASH_SITE_LIB:
        ctypes.CDLL(CRASH_SITE_LIB).crash_site_install()   # after faulthandler, which it hands on to
    logging.getLogger().addHandler(logging.NullHandler())   # records are built, never printed
    logging.getLogger().setLevel(logging.DEBUG)
    # Records without the caller's file and line: finding them reads
    # frame.f_back, which on 3.11 answers None with a MemoryError set when it
    # cannot allocate the caller's frame object (an interpreter fault that
    # would be met inside every log call).
    logging._srcfile = None
    for name in ("threading", "time", "typing", "math", "re", "struct", "subprocess", "enum", "ctypes",
                 "ctypes.wintypes" if sys.platform == "win32" else "ctypes.util",
                 "korvane.memory.block_record", "korvane.gpu.device_registry"):
        importlib.import_module(name)
    from korvane.gpu.device_registry import GPUBackendRegistry
    GPUBackendRegistry.detect_available_backends()
    # The package around the module, registered without running its code: a
    # package may import the module itself (korvane.jit does), and the import
    # of the module is a case of its own.
    parent = MODULES[short].rsplit(".", 1)[0] if short else "korvane"
    importlib.import_module(parent.rsplit(".", 1)[0])
    if parent not in sys.modules:
        sys.modules[parent] = importlib.util.module_from_spec(importlib.util.find_spec(parent))
    if short == "block_index":
        importlib.import_module(MODULES["lockless_ops"])
    pending_error()


def main(argv):
    mode = argv[1]
    short = argv[2] if mode not in ("selftest", "crashprobe") else ""
    errfile = tempfile.mkstemp(prefix="alloc-sweep-", suffix=".err")[1]
    if mode == "crashprobe":
        try:
            print(crash_probe(errfile))
        finally:
            os.unlink(errfile)
        return 0
    try:
        zygote_prepare(short)
        control_probes(errfile)
        if mode != "selftest":
            known = os.environ.get("KORVANE_ALLOC_INTERP_CRASHES")
            Interpreter.crashes = known == "1" if known in ("0", "1") else crash_probe(errfile)
        print(json.dumps({"interpreter": sys.version.split()[0], "stat_fault": Interpreter.stat_fault,
                          "loses_errors": Interpreter.loses_errors, "crashes": Interpreter.crashes}),
              flush=True)
        probes, work = [], None
        if mode == "selftest":
            probes = selftest_cases()
        else:
            qualname = MODULES[short]
            work = lambda: workload(short)      # noqa: E731
            if mode == "first":
                # the import is a case of its own, in children that have not imported the module
                probes.append(_import_case(qualname))
            else:
                probes += steady_cases(short)
        _native_names()
        gc.collect()
        gc.freeze()
        only = os.environ.get("KORVANE_ALLOC_ONLY")
        i = 0
        while i < len(probes):
            probe = probes[i]
            i += 1
            if only and only not in probe.label:
                continue
            t0 = time.perf_counter()
            line = sweep(probe, work, errfile)
            line["seconds"] = round(time.perf_counter() - t0, 3)
            print(json.dumps(line), flush=True)
            if mode == "first" and probe.label == "import":
                # now the module is imported for the first calls, which have not run yet
                importlib.import_module(qualname)
                _native_names()
                gc.collect()
                gc.freeze()
                probes += first_cases(short)
    finally:
        os.unlink(errfile)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
