import gc
import logging
import math
import os
import pickle
import subprocess
import sys
import threading
import weakref

import pytest
from hypothesis import given, settings, strategies as st

import korvane._baselines.compile_gate as base
import korvane.jit.compile_gate as cg
from korvane.jit.telemetry import TelemetryStore

import leakcheck
from leakcheck import I32_OVER, bad, cycle, native_class_cases, ok
from support import run_together

TYPE_MSG = "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
REENTRY_MSG = "CompileGate is already in use by this thread"
NAN, INF = float("nan"), float("inf")


@pytest.fixture(params=[cg, base], ids=["native", "python"])
def impl(request):
    return request.param


class Store:
    """Hands out one prepared metrics object; counts its calls."""

    def __init__(self, metrics):
        self.metrics, self.calls = metrics, 0

    def get_metrics(self, func_id):
        self.calls += 1
        return self.metrics


class Obj:
    def __init__(self, **kw):
        self.__dict__.update({k: v for k, v in kw.items() if v is not ...})


class Clock:
    def __init__(self, now):
        self.now = now

    def time(self):
        return self.now


def learned(impl, k, s, cfg=None, func_id="f"):
    gate = impl.CompileGate(cfg)
    gate.update(func_id, Store(impl.FunctionMetrics(compile_count=k, avg_speedup=s)))
    return gate.get_threshold(func_id)


def fields(c):
    return (c.initial_threshold, c.min_threshold, c.max_threshold, c.learning_rate, c.target_speedup)


# --- PolicyConfig and FunctionMetrics ------------------------------------------------

@pytest.mark.parametrize("kw, msg", [
    (dict(min_threshold=0, initial_threshold=5), "min_threshold must be positive"),
    (dict(min_threshold=10, max_threshold=10), "max_threshold must be greater than min_threshold"),
    (dict(learning_rate=0.0), "learning_rate must be in (0, 1]"),
    (dict(learning_rate=1.0000001), "learning_rate must be in (0, 1]"),
    (dict(learning_rate=NAN, target_speedup=0.0), "learning_rate must be in (0, 1]"),
    (dict(target_speedup=-INF, initial_threshold=1), "target_speedup must be positive"),
    (dict(initial_threshold=9), "initial_threshold must be within bounds"),
    (dict(initial_threshold=10001), "initial_threshold must be within bounds"),
    (dict(), None), (dict(learning_rate=1.0, initial_threshold=10), None),
    (dict(target_speedup=NAN, initial_threshold=10000), None),
])
def test_policy_config_validation(impl, kw, msg):
    for make in (impl.PolicyConfig, impl.create_policy_config):
        if msg is None:
            want = {**dict(initial_threshold=100, min_threshold=10, max_threshold=10000,
                           learning_rate=0.1, target_speedup=2.0), **kw}
            assert repr(fields(make(**kw))) == repr(tuple(want.values()))
        else:
            with pytest.raises(ValueError) as e:
                make(**kw)
            assert str(e.value) == msg


def test_policy_config_conversions_and_unchecked_setters(impl):
    assert impl.PolicyConfig(initial_threshold=150.9).initial_threshold == 150
    for bad, exc in ((2 ** 31, OverflowError), (-(2 ** 31) - 1, OverflowError), ("9", TypeError)):
        with pytest.raises(exc):
            impl.PolicyConfig(max_threshold=bad)
    with pytest.raises(TypeError):
        impl.PolicyConfig(learning_rate="0.1")
    c = impl.PolicyConfig()
    c.min_threshold, c.learning_rate, c.initial_threshold = -5, 7, 3.9
    assert fields(c) == (3, -5, 10000, 7.0, 2.0) and type(c.learning_rate) is float
    with pytest.raises(OverflowError):
        c.max_threshold = 2 ** 40
    with pytest.raises(TypeError):
        c.target_speedup = "x"
    assert (c.max_threshold, c.target_speedup) == (10000, 2.0)


@pytest.mark.parametrize("kw, stamp", [
    (dict(), 0.0), (dict(last_compile_time=5.0), 5.0),
    (dict(last_compile_time=5.0, last_compiled=7.0), 7.0),
    (dict(last_compile_time=5.0, last_compiled=0.0), 0.0),
    (dict(last_compile_time=5.0, last_compiled=NAN), 5.0),
    (dict(last_compile_time=5.0, last_compiled=-0.5), 5.0),
])
def test_function_metrics_timestamp(impl, kw, stamp):
    m = impl.FunctionMetrics(**kw)
    assert m.last_compiled == stamp and m.last_compile_time == stamp
    m.last_compile_time = 8.5
    assert m.last_compiled == 8.5
    m.last_compiled = 9
    assert m.last_compile_time == 9.0 and type(m.last_compile_time) is float


@pytest.mark.parametrize("kw, exc, msg", [
    (dict(call_count=-1), OverflowError, "can't convert negative value to uint64_t"),
    (dict(compile_count=-1), OverflowError, "can't convert negative value to uint32_t"),
    (dict(call_count=2 ** 64), OverflowError, None),
    (dict(compile_count=2 ** 32), OverflowError, None),
    (dict(call_count="5"), TypeError, None),
    (dict(avg_speedup="fast"), TypeError, None),
])
def test_function_metrics_conversion_errors(impl, kw, exc, msg):
    with pytest.raises(exc) as e:
        impl.FunctionMetrics(**kw)
    if msg:
        assert str(e.value) == msg
    m = impl.FunctionMetrics(2 ** 64 - 1, 2 ** 32 - 1, 2, 3)
    (name, value), = kw.items()
    before = getattr(m, name)
    with pytest.raises(exc):
        setattr(m, name, value)
    assert getattr(m, name) == before


@pytest.mark.parametrize("make, name", [(lambda m, v: m.PolicyConfig(max_threshold=v), "int32"),
                                        (lambda m, v: m.FunctionMetrics(compile_count=v), "uint32"),
                                        (lambda m, v: m.FunctionMetrics(call_count=v), "uint64")])
@pytest.mark.parametrize("value", [2 ** 31, -(2 ** 31) - 1, 2 ** 32, 2 ** 63, -(2 ** 63) - 1, 2 ** 64, 2 ** 70,
                                   -(2 ** 70)])
def test_baseline_overflow_messages_match(make, name, value):
    def outcome(m):
        try:
            make(m, value)
        except OverflowError as e:
            return str(e)
    assert outcome(cg) == outcome(base)


def test_factories(impl):
    with pytest.raises(TypeError) as e:
        impl.create_function_metrics(call_count="5")
    assert str(e.value) == TYPE_MSG % ("call_count", "int", "str")
    with pytest.raises(TypeError) as e:
        impl.create_policy_config(initial_threshold=[])
    assert str(e.value) == TYPE_MSG % ("initial_threshold", "int", "list")
    m = impl.create_function_metrics(True, 2.9, 3, 4, 5)
    assert (m.call_count, m.compile_count, m.avg_speedup, m.total_execution_time_ms,
            m.last_compiled) == (1, 2, 3.0, 4.0, 5.0)
    # the factory never passes last_compiled, so a negative time is kept
    assert impl.create_function_metrics(last_compile_time=-2.0).last_compiled == -2.0


# --- module and class surface --------------------------------------------------------

@pytest.mark.parametrize("name, prop", [
    ("PolicyConfig", "learning_rate"), ("FunctionMetrics", "last_compiled"), ("CompileGate", None)])
def test_native_class_surface(name, prop):
    cls = getattr(cg, name)
    obj = cls()
    with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
        pickle.dumps(obj)
    with pytest.raises(AttributeError):
        obj.anything = 1
    assert isinstance(type("Sub", (cls,), {})(), cls)
    if prop:
        with pytest.raises(NotImplementedError, match="^__del__$"):
            delattr(obj, prop)


def test_module_body():
    assert cg.__doc__.startswith("Adaptive JIT threshold policy.")
    wanted = ["PolicyConfig", "FunctionMetrics", "CompileGate", "time", "logging", "threading",
              "Dict", "Optional", "logger", "_policy_lock", "get_compile_gate",
              "reset_compile_gate", "create_function_metrics", "create_policy_config"]
    assert [n for n in vars(cg) if n in wanted] == wanted
    assert cg.logger.name == "korvane.jit.compile_gate"
    assert type(cg._policy_lock) is type(threading.Lock())


@pytest.mark.subprocess
def test_load_line_logged_once():
    code = ("import logging, sys; logging.basicConfig(level=logging.INFO, stream=sys.stdout, "
            "format='%(name)s|%(levelname)s|%(message)s'); import korvane.jit.compile_gate; "
            "import korvane.jit.telemetry")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         env=dict(os.environ), timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [
        "korvane.jit.compile_gate|INFO|Korvane Compile Gate Cython module loaded - IP protected"]


# --- CompileGate: decisions and learning ---------------------------------------------

def test_new_gate_and_func_id_check(impl):
    gate = impl.CompileGate()
    assert gate.get_threshold("f") == 100 and gate.get_threshold(None) == 100
    stats = gate.get_statistics()
    assert list(stats.items()) == [("tracked_functions", 0), ("avg_threshold", 100),
                                   ("min_threshold", 10), ("max_threshold", 10000)]
    store = Store(impl.FunctionMetrics())
    for bad in (5, b"f", type("S", (str,), {})("f")):
        for call in (lambda: gate.get_threshold(bad), lambda: gate.should_compile(bad, store),
                     lambda: gate.update(bad, store)):
            with pytest.raises(TypeError) as e:
                call()
            assert str(e.value) == TYPE_MSG % ("func_id", "str", type(bad).__name__)
    assert store.calls == 0


@pytest.mark.parametrize("calls, compiles, age, expected", [
    (99, 0, None, False), (100, 0, None, True), (2 ** 64 - 1, 0, None, True),
    (100, 1, 599.0, False), (100, 1, 600.0, True), (99, 1, 10_000.0, False),
    (100, 1, -50.0, False),          # last compile in the future
    (100, 1, "missing", True),       # no last_compiled attribute at all
    (100, 1, NAN, True),             # an undefined age allows recompilation
])
@pytest.mark.parametrize("speedup", [0.1, 3.0, NAN])
def test_should_compile(impl, monkeypatch, calls, compiles, age, expected, speedup):
    now = 1_000_000.0
    monkeypatch.setattr(impl, "time", Clock(now))
    if age == "missing":
        metrics = Obj(call_count=calls, compile_count=compiles, avg_speedup=speedup)
    else:
        metrics = impl.FunctionMetrics(calls, compiles, speedup, last_compiled=now - (age or 0.0))
    assert impl.CompileGate().should_compile("f", Store(metrics)) is expected


@pytest.mark.parametrize("k, s, expected", [
    (1, 3.0, 91), (1, 1.5, 109), (1, 2.0, 109), (5, 3.0, 95), (10, 3.0, 100),
    (11, 0.5, 100), (1, NAN, 109), (2 ** 32 - 1, 3.0, 100),
])
def test_update_worked_values(impl, k, s, expected):
    gate = impl.CompileGate()
    gate.update("f", Store(impl.FunctionMetrics(compile_count=k, avg_speedup=s)))
    assert gate.get_threshold("f") == expected
    assert gate.get_statistics()["tracked_functions"] == 1


def test_update_clamp_truncation_and_live_config(impl):
    assert learned(impl, 1, 3.0, impl.PolicyConfig(initial_threshold=10)) == 10      # 9.1
    assert learned(impl, 1, 1.5, impl.PolicyConfig(initial_threshold=10000)) == 10000
    assert learned(impl, 2, 3.0, impl.PolicyConfig(initial_threshold=15)) == 13       # 13.8
    c = impl.PolicyConfig()
    gate = impl.CompileGate(c)
    assert gate.config is c
    c.target_speedup = 0.0          # treated as 1.0: a speed-up of 1.5 is above target
    store = Store(impl.FunctionMetrics(compile_count=1, avg_speedup=1.5))
    gate.update("f", store)
    assert gate.get_threshold("f") == 91
    c.initial_threshold, c.learning_rate = 50, 0.5
    assert gate.get_threshold("g") == 50
    gate.update("g", store)
    assert gate.get_threshold("g") == 27  # 50 - 0.5 * 50 * 0.9 = 27.5


@pytest.mark.parametrize("rate, initial, s, expected", [
    (NAN, 100, 3.0, 100),    # NaN proposal keeps the threshold
    (INF, 0, 3.0, 0),        # inf * 0 is NaN too
    (INF, 100, 3.0, 10), (INF, 100, 1.0, 10000),
])
def test_unvalidated_rates(impl, rate, initial, s, expected):
    c = impl.PolicyConfig()
    c.learning_rate, c.initial_threshold = rate, initial
    assert learned(impl, 1, s, c) == expected


def test_negative_threshold_is_always_reached(impl):
    c = impl.PolicyConfig()
    c.initial_threshold = -5
    gate = impl.CompileGate(c)
    assert gate.should_compile("f", Store(impl.FunctionMetrics(0, 0))) is True
    c.initial_threshold = 2 ** 31 - 1
    assert gate.should_compile("f", Store(impl.FunctionMetrics(2 ** 31 - 2, 0))) is False


@pytest.mark.parametrize("zero", [0, 0.0, False])
def test_update_with_compile_count_zero_changes_nothing(impl, caplog, zero):
    gate = impl.CompileGate()
    caplog.set_level(logging.DEBUG, logger=impl.logger.name)
    gate.update("f", Store(Obj(compile_count=zero, avg_speedup="unread")))
    assert gate.get_statistics()["tracked_functions"] == 0 and caplog.records == []


def test_statistics_after_updates(impl):
    gate = impl.CompileGate()
    for func_id, s in (("a", 3.0), ("b", 1.0)):
        gate.update(func_id, Store(impl.FunctionMetrics(compile_count=1, avg_speedup=s)))
    stats = gate.get_statistics()
    assert stats == {"tracked_functions": 2, "avg_threshold": 100.0,
                     "min_threshold": 91, "max_threshold": 109}
    assert type(stats["avg_threshold"]) is float
    gate.update("c", Store(impl.FunctionMetrics(compile_count=1, avg_speedup=3.0)))
    assert gate.get_statistics()["avg_threshold"] == (91 + 109 + 91) / 3


@pytest.mark.parametrize("func_id", ["f", "", "fé", "函数", "\ud800", None])
@pytest.mark.parametrize("speedup", [3.0, 1e308, -0.0, 2.675, -NAN, -INF, 5e-324])
def test_update_debug_line(impl, func_id, speedup, caplog):
    caplog.set_level(logging.DEBUG, logger=impl.logger.name)
    gate = impl.CompileGate()
    gate.update(func_id, Store(impl.FunctionMetrics(compile_count=3, avg_speedup=speedup)))
    new = gate.get_threshold(func_id)
    assert [r.getMessage() for r in caplog.records] == [
        "Updated threshold for " + str(func_id) + ": 100 -> " + str(new)
        + " (speedup: " + format(speedup, ".2f") + "x)"]
    if speedup == 3.0:
        assert caplog.records[0].getMessage().endswith(": 100 -> 93 (speedup: 3.00x)")


def test_logger_error_propagates_after_store(impl, monkeypatch):
    class Boom:
        def debug(self, msg):
            raise KeyError(msg)

    monkeypatch.setattr(impl, "logger", Boom())
    gate = impl.CompileGate()
    with pytest.raises(KeyError):
        gate.update("f", Store(impl.FunctionMetrics(compile_count=1, avg_speedup=3.0)))
    assert gate.get_threshold("f") == 91


# --- construction --------------------------------------------------------------------

@pytest.mark.parametrize("source, expected", [
    (None, (100, 10, 10000, 0.1, 2.0)), (object(), (100, 10, 10000, 0.1, 2.0)),
    (Obj(initial_threshold=50, learning_rate=0.5), (50, 10, 10000, 0.5, 2.0)),
    (Obj(initial_threshold=20.7, min_threshold=20, max_threshold=30, learning_rate=1,
         target_speedup=3), (20, 20, 30, 1.0, 3.0)),
])
def test_construction_from_objects(impl, source, expected):
    c = impl.CompileGate(source).config
    assert type(c) is impl.PolicyConfig and fields(c) == expected


def test_construction_errors_and_sharing(impl):
    with pytest.raises(ValueError, match="^min_threshold must be positive$"):
        impl.CompileGate(Obj(min_threshold=0))
    with pytest.raises(TypeError):
        impl.CompileGate(Obj(learning_rate="x"))
    sub = type("Sub", (impl.PolicyConfig,), {})()
    assert impl.CompileGate(config=sub).config is sub


def test_lock_from_module_threading_used_through_context_protocol(monkeypatch):
    class Lock:
        def __init__(self):
            self.events = []

        def __enter__(self):
            self.events.append("enter")

        def __exit__(self, *exc):
            self.events.append("exit")

    made = []
    monkeypatch.setattr(cg, "threading", Obj(Lock=lambda: made.append(Lock()) or made[-1]))
    gate = cg.CompileGate()
    monkeypatch.undo()
    gate.get_threshold("f")
    with pytest.raises(AttributeError):
        gate.should_compile("f", Store(None))
    assert made[0].events == ["enter", "exit", "enter", "exit"]


# --- errors from the store, re-entry, threads ----------------------------------------

def _m(**kw):
    return Obj(**dict(dict(call_count=1, compile_count=1, avg_speedup=1.0), **kw))


@pytest.mark.timeout(20)
@pytest.mark.parametrize("method, metrics, exc", [
    ("should_compile", None, AttributeError),
    ("should_compile", _m(call_count=...), AttributeError),
    ("should_compile", _m(call_count=-1), OverflowError),
    ("should_compile", _m(call_count=2 ** 64), OverflowError),
    ("should_compile", _m(call_count="1"), TypeError),
    ("should_compile", _m(compile_count=2 ** 32), OverflowError),
    ("should_compile", _m(avg_speedup="x"), TypeError),
    ("should_compile", _m(last_compiled="x"), TypeError),
    ("update", None, AttributeError),
    ("update", _m(compile_count=-1), OverflowError),
    ("update", _m(compile_count="1"), TypeError),
    ("update", _m(avg_speedup=...), AttributeError),
])
def test_store_errors_release_lock_and_keep_table(impl, method, metrics, exc):
    gate = impl.CompileGate()
    ok = Store(impl.FunctionMetrics(compile_count=1, avg_speedup=3.0))
    gate.update("g", ok)
    with pytest.raises(exc):
        getattr(gate, method)("f", Store(metrics))
    assert gate.get_statistics()["tracked_functions"] == 1
    gate.update("g", ok)   # proceeds: the lock was released
    assert gate.get_threshold("g") == 82


@pytest.mark.timeout(20)
@pytest.mark.parametrize("inner", ["get_threshold", "should_compile", "update", "get_statistics"])
def test_reentrant_store_raises_instead_of_deadlocking(impl, inner):
    gate = impl.CompileGate()
    seen = []

    class Reentrant:
        def get_metrics(self, func_id):
            args = {"get_threshold": (func_id,), "get_statistics": ()}.get(inner, (func_id, self))
            try:
                getattr(gate, inner)(*args)
            except RuntimeError as e:
                seen.append(str(e))
                raise
            return impl.FunctionMetrics(100, 1, 3.0)

    for outer in (gate.should_compile, gate.update):
        with pytest.raises(RuntimeError, match=REENTRY_MSG):
            outer("f", Reentrant())
    assert seen == [REENTRY_MSG] * 2
    assert gate.get_statistics()["tracked_functions"] == 0
    assert learned(impl, 1, 3.0) == 91


@pytest.mark.timeout(20)
def test_reentrant_config_property():
    holder = []

    class Sneaky(cg.PolicyConfig):
        @property
        def initial_threshold(self):
            return holder[0].get_threshold("other")

    gate = cg.CompileGate(Sneaky())
    holder.append(gate)
    with pytest.raises(RuntimeError, match=REENTRY_MSG):
        gate.get_threshold("f")
    # the policy's own decisions read the native field, not the property
    assert gate.should_compile("f", Store(cg.FunctionMetrics(100, 0))) is True


@pytest.mark.stress
@pytest.mark.timeout(60)
def test_concurrent_updates_do_not_interleave(impl):
    gate = impl.CompileGate(impl.PolicyConfig(initial_threshold=10000))
    metrics = impl.FunctionMetrics(compile_count=1, avg_speedup=3.0)

    class Slow:
        def get_metrics(self, func_id):
            threading.Event().wait(0.0005)   # invite the other threads in
            return metrics

    n_threads, per_thread = 4, 10

    def work(i):
        for _ in range(per_thread):
            gate.update("f", Slow())

    run_together(work, n_threads)
    expected = 10000
    for _ in range(n_threads * per_thread):
        expected = int((-0.1 * expected) * 0.9 + expected)
    assert gate.get_threshold("f") == expected


@pytest.mark.stress
@pytest.mark.timeout(30)
def test_global_instance(impl):
    impl.reset_compile_gate()
    got = run_together(lambda i: impl.get_compile_gate(), 6)
    g = impl.get_compile_gate()
    assert all(x is g for x in got)
    g.update("f", Store(impl.FunctionMetrics(compile_count=1, avg_speedup=3.0)))
    assert impl.reset_compile_gate() is None
    h = impl.get_compile_gate()
    assert h is not g and h.get_statistics()["tracked_functions"] == 0
    assert g.get_threshold("f") == 91     # holders of the old instance keep a working object
    impl.reset_compile_gate()


# --- references ----------------------------------------------------------------------

def test_reference_counts(refcount):
    cfg, metrics = cg.PolicyConfig(), cg.FunctionMetrics(200, 1, 3.0)
    store, key = Store(metrics), "".join(["refcount", "-key"])
    before = [refcount(o) for o in (cfg, store, key, metrics)]
    gate = cg.CompileGate(cfg)
    for _ in range(50):
        gate.should_compile(key, store)
        gate.update(key, store)
        gate.get_threshold(key)
        gate.get_statistics()
    after = [refcount(o) for o in (cfg, store, key, metrics)]
    assert after == [before[0] + 1, before[1], before[2] + 1, before[3]]   # config and table key
    del gate
    assert [refcount(o) for o in (cfg, key)] == [before[0], before[2]]


def test_subclass_cycle_is_collected():
    g = type("Gate", (cg.CompileGate,), {})()
    g.me = g
    r = weakref.ref(g)
    del g
    gc.collect()
    assert r() is None


# --- agreement with the pure-Python policy -------------------------------------------

@settings(max_examples=80)
@given(
    lo=st.integers(1, 1000), span=st.integers(1, 100_000), frac=st.floats(0, 1),
    rate=st.floats(1e-6, 1.0), target=st.floats(0.01, 10) | st.just(NAN),
    steps=st.lists(st.tuples(st.sampled_from(["a", "b", None]), st.integers(0, 15),
                             st.floats(allow_nan=True, allow_infinity=True, width=32)),
                   max_size=12),
)
def test_native_agrees_with_python_policy(lo, span, frac, rate, target, steps):
    hi = lo + span
    init = lo + int(frac * span)
    gates = [m.CompileGate(m.PolicyConfig(init, lo, hi, rate, target)) for m in (cg, base)]
    for func_id, k, s in steps:
        for m, gate in zip((cg, base), gates):
            gate.update(func_id, Store(m.FunctionMetrics(compile_count=k, avg_speedup=s)))
        assert gates[0].get_threshold(func_id) == gates[1].get_threshold(func_id)
    assert gates[0].get_statistics() == gates[1].get_statistics()


# --- telemetry store -----------------------------------------------------------------

def test_telemetry_store_feeds_the_gate(monkeypatch):
    monkeypatch.setattr(cg, "time", Clock(5000.0))
    store = TelemetryStore()
    unknown = store.get_metrics("nobody")
    assert type(unknown) is cg.FunctionMetrics
    assert (unknown.call_count, unknown.compile_count, unknown.avg_speedup) == (0, 0, 1.0)
    gate = cg.CompileGate(cg.PolicyConfig(initial_threshold=10))
    for _ in range(10):
        assert gate.should_compile("f", store) is False
        store.record_call("f", 1.5)
    assert gate.should_compile("f", store) is True
    store.record_compilation("f", 3.0, timestamp=4000.0)
    store.record_compilation("f", 5.0, timestamp=4500.0)
    m = store.get_metrics("f")
    assert (m.call_count, m.compile_count, m.avg_speedup, m.total_execution_time_ms,
            m.last_compiled) == (10, 2, 4.0, 15.0, 4500.0)
    assert gate.should_compile("f", store) is False     # 500 s since the last compile
    gate.update("f", store)
    assert gate.get_threshold("f") == 10                 # 10 - 0.8 clamps at the minimum
    m.call_count = 99                                    # a snapshot: the store is unchanged
    assert store.get_metrics("f").call_count == 10
    store.clear()
    assert len(store) == 0


@pytest.mark.parametrize("stamp", [0.0, 1.5, -5.0, NAN, INF])
def test_telemetry_store_keeps_recorded_timestamp(stamp):
    store = TelemetryStore()
    store.record_compilation("f", 2.0, timestamp=stamp)
    assert repr(store.get_metrics("f").last_compiled) == repr(stamp)


# ---- reference leaks ---------------------------------------------------------------

def leak_cases(m):
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


test_no_leak = leakcheck.no_leak_test("korvane.jit.compile_gate", leak_cases)
test_every_public_callable_has_a_leak_case = leakcheck.coverage_test("korvane.jit.compile_gate", leak_cases)
