import math
import os
import pickle
import subprocess
import sys

import pytest
from hypothesis import given, settings, strategies as st

from korvane._baselines import counter_hub as baseline
from korvane.monitoring import counter_hub
from korvane.monitoring.counter_hub import CounterAggregator, create_aggregator

import leakcheck
from leakcheck import I32_OVER, RaisingNumber, bad, cycle, native_class_cases, ok
from support import run_together

INF = float("inf")
FRESH = {"count": 0, "mean": 0.0, "variance": 0.0, "std": 0.0, "min": INF, "max": -INF}


def stats(count, mean, variance, std, lo, hi):
    return {"count": count, "mean": mean, "variance": variance, "std": std, "min": lo, "max": hi}


@pytest.fixture(params=["native", "baseline"])
def mod(request):
    return counter_hub if request.param == "native" else baseline


def same(a, b):
    """Equality with NaN == NaN, exact types and key order, on floats and stats dicts."""
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, float) and math.isnan(a):
        return isinstance(b, float) and math.isnan(b)
    return a == b and type(a) is type(b)


@pytest.mark.parametrize("samples, expected", [
    ([], FRESH),
    ([2.0, 4.0, 6.0], stats(3, 4.0, 2.666666666666668, 1.6329931618554525, 2.0, 6.0)),
    # rounding gives a variance of about -1.7e-18: reported as 0, never complex
    ([0.1, 0.1, 0.1], stats(3, 0.10000000000000002, 0.0, 0.0, 0.1, 0.1)),
    ([5, True, -1.5], stats(3, 1.5, 7.166666666666666, 2.6770630673681683, -1.5, 5.0)),
    ([INF], stats(1, INF, math.nan, math.nan, INF, INF)),
    # a NaN sample counts, poisons the sums, and never becomes min or max
    ([math.nan], stats(1, math.nan, math.nan, math.nan, INF, -INF)),
    ([math.nan, 1.0, -2.0], stats(3, math.nan, math.nan, math.nan, -2.0, 1.0)),
])
def test_stats(mod, samples, expected):
    agg = mod.CounterAggregator(4)
    for s in samples:
        agg.update(2, s)
    assert same(agg.get_stats(2), expected)


@pytest.mark.parametrize("method, args", [("update", (1.0,)), ("get_stats", ()), ("reset", ())])
@pytest.mark.parametrize("bad, exc", [
    (1000, IndexError), (-1, IndexError), (-2**31, IndexError), (2**31 - 1, IndexError),
    (2**31, OverflowError), ("1", TypeError),
])
def test_bad_id_changes_nothing(method, args, bad, exc):
    agg = CounterAggregator()
    agg.update(999, 1.0)
    with pytest.raises(exc, match=rf"^Counter ID {bad} out of range$" if exc is IndexError else None):
        getattr(agg, method)(bad, *args)
    assert agg.get_all_stats() == [(999, stats(1, 1.0, 0.0, 0.0, 1.0, 1.0))]


@pytest.mark.parametrize("n, exc, msg", [
    (-1, MemoryError, "^Failed to allocate counter storage$"),
    (-2**31, MemoryError, "^Failed to allocate counter storage$"),
    (2**31, OverflowError, None),
    ("5", TypeError, "an integer is required"),
])
@pytest.mark.parametrize("factory", [CounterAggregator, create_aggregator])
def test_constructor_errors(factory, n, exc, msg):
    with pytest.raises(exc, match=msg):
        factory(n)


@pytest.mark.parametrize("factory, args, n", [
    (CounterAggregator, (), 1000), (create_aggregator, (), 1000), (create_aggregator, (5,), 5),
    (CounterAggregator, (True,), 1), (CounterAggregator, (0,), 0),
])
def test_sizes(factory, args, n):
    agg = factory(*args)
    assert type(agg) is CounterAggregator
    if n:
        agg.update(n - 1, 1.0)
    with pytest.raises(IndexError, match=f"Counter ID {n} out of range"):
        agg.update(n, 1.0)
    agg.reset_all()
    assert agg.get_all_stats() == []


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_large_tables():
    # ~86 GB of records: refused cleanly on this kind of machine (or usable lazily).
    try:
        CounterAggregator(2**31 - 1).update(2**31 - 2, 1.0)
    except MemoryError as e:
        assert str(e) == "Failed to allocate counter storage"

    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    before = rss()
    agg = CounterAggregator(2**25)  # ~1.3 GB of records
    agg.update(2**25 - 1, 3.0)
    agg.reset(5)
    agg.reset_all()
    agg.update(2**24, -1.0)
    assert agg.get_stats(2**24) == stats(1, -1.0, 0.0, 0.0, -1.0, -1.0)
    assert agg.get_stats(12345) == FRESH
    assert rss() - before < 64 << 20


def test_stats_dicts_are_independent(mod):
    # Each result is a dict of its own: changing one leaves later ones whole.
    agg = mod.CounterAggregator(2)
    agg.update(1, 2.0)
    first = agg.get_stats(1)
    first["count"] = -1
    del first["mean"]
    first["extra"] = 0
    assert same(agg.get_stats(1), stats(1, 2.0, 0.0, 0.0, 2.0, 2.0))
    assert same(agg.get_stats(0), FRESH)
    assert agg.get_stats(0) is not agg.get_stats(0)


def test_reset_and_listing(mod):
    agg = mod.CounterAggregator(10)
    for i, v in [(7, 1.0), (3, 2.0), (7, 3.0)]:
        agg.update(i, v)
    assert agg.get_all_stats() == [(3, stats(1, 2.0, 0.0, 0.0, 2.0, 2.0)),
                                   (7, stats(2, 2.0, 1.0, 1.0, 1.0, 3.0))]
    agg.reset(3)
    assert agg.get_stats(3) == FRESH
    assert [i for i, _ in agg.get_all_stats()] == [7]
    agg.update(3, -4.0)  # a reset record starts over cleanly
    assert agg.get_stats(3) == stats(1, -4.0, 0.0, 0.0, -4.0, -4.0)
    agg.reset_all()
    assert agg.get_all_stats() == []
    assert all(agg.get_stats(i) == FRESH for i in range(10))


class DictSub(dict):
    pass


@pytest.mark.parametrize("override, expected", [
    (lambda self, i: {**CounterAggregator.get_stats(self, i), "count": 10 * i},
     [(1, stats(10, 1.0, 0.0, 0.0, 1.0, 1.0)), (2, stats(20, 2.0, 0.0, 0.0, 2.0, 2.0))]),
    (lambda self, i: None if i == 1 else CounterAggregator.get_stats(self, i),
     [(1, None), (2, stats(1, 2.0, 0.0, 0.0, 2.0, 2.0))]),
    (lambda self, i: DictSub(id=i), [(1, {"id": 1}), (2, {"id": 2})]),
    (lambda self, i: [i], TypeError("Expected dict, got list")),
    (lambda self, i: 42, TypeError("Expected dict, got int")),
    (lambda self, i: {}[i], KeyError(1)),
])
def test_get_all_stats_honours_override(override, expected):
    agg = type("Sub", (CounterAggregator,), {"get_stats": override})(3)
    agg.update(value=1.0, counter_id=1.9)  # keywords; ids truncate like any native int
    agg.update(2, 2)
    if isinstance(expected, Exception):
        with pytest.raises(type(expected), match=f"^{expected}$"):
            agg.get_all_stats()
        agg.update(1, 1.0)  # the lock was given back
    else:
        assert agg.get_all_stats() == expected


@pytest.mark.parametrize("call, msg", [
    (lambda a: a.update(0), r"update\(\) takes exactly 2 positional arguments \(1 given\)"),
    (lambda a: a.get_stats(), r"get_stats\(\) takes exactly 1 positional argument \(0 given\)"),
    (lambda a: a.reset_all(1), r"reset_all\(\) takes exactly 0 positional arguments \(1 given\)"),
    (lambda a: a.get_all_stats(x=1), r"get_all_stats\(\) got an unexpected keyword argument 'x'"),
    (lambda a: CounterAggregator(1, 2), r"__cinit__\(\) takes at most 1 positional argument \(2 given\)"),
    (lambda a: a.update(0, 1.0, counter_id=0), r"got multiple values for keyword argument 'counter_id'"),
    (lambda a: pickle.dumps(a), "no default __reduce__ due to non-trivial __cinit__"),
    (lambda a: a.update(0, "1.5"), "must be real number, not str"),
])
def test_surface_errors(call, msg):
    agg = CounterAggregator(2)
    with pytest.raises(TypeError, match=msg):
        call(agg)
    assert agg.get_stats(0) == FRESH


def test_refcounts(refcount):
    agg = CounterAggregator(2)
    value = 1234.5
    base = refcount(agg), refcount(value)
    for _ in range(100):
        agg.update(0, value)
        agg.get_stats(0)
        agg.get_all_stats()
    assert (refcount(agg), refcount(value)) == base
    marker = {"count": 1}
    h = type("Holder", (CounterAggregator,), {"get_stats": lambda self, i: marker})(1)
    h.update(0, 1.0)
    before = refcount(marker)
    listing = h.get_all_stats()
    assert refcount(marker) == before + 1
    del listing
    assert refcount(marker) == before


@pytest.mark.stress
@pytest.mark.timeout(60)
def test_threads_update_one_counter():
    agg = CounterAggregator(1)
    n_threads, per_thread = 4, 3000

    def work(k):
        for i in range(per_thread):
            agg.update(0, k * per_thread + i)
            if i % 500 == 0:
                agg.get_stats(0)

    run_together(work, n_threads)
    total = n_threads * per_thread
    s = agg.get_stats(0)
    assert s["count"] == total
    assert s["mean"] * total == total * (total - 1) / 2  # the sum, exact for these integers
    assert (s["min"], s["max"]) == (0.0, total - 1.0)


@pytest.mark.subprocess
def test_import_logs_nothing():
    code = ("import logging; logging.basicConfig(level=1)\n"
            "import korvane.monitoring.counter_hub as m\n"
            "print(m.threading.__name__, m.create_aggregator.__defaults__, hasattr(m, 'logger'))\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         env={**os.environ, "PYTHONPATH": os.environ.get("PYTHONPATH", "")})
    assert (out.returncode, out.stderr) == (0, "")
    assert out.stdout.split() == ["threading", "(1000,)", "False"]


ops = st.lists(st.one_of(
    st.tuples(st.just("update"), st.integers(0, 3), st.floats(width=64)),
    st.tuples(st.just("update"), st.integers(0, 3), st.integers(-10**6, 10**6)),
    st.tuples(st.just("reset"), st.integers(0, 3)),
    st.tuples(st.just("reset_all"),),
), max_size=40)


@settings(max_examples=60)
@given(ops)
def test_matches_baseline(program):
    native, model = CounterAggregator(4), baseline.CounterAggregator(4)
    for op in program:
        getattr(native, op[0])(*op[1:])
        getattr(model, op[0])(*op[1:])
    got, want = native.get_all_stats(), model.get_all_stats()
    assert [i for i, _ in got] == [i for i, _ in want]
    for (_, a), (_, b) in zip(got, want):
        assert same(a, b), (a, b)
        assert not a["variance"] < 0.0 and isinstance(a["std"], float)


# ---- reference leaks ---------------------------------------------------------------

def leak_cases(m):
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


test_no_leak = leakcheck.no_leak_test("korvane.monitoring.counter_hub", leak_cases)
test_every_public_callable_has_a_leak_case = leakcheck.coverage_test("korvane.monitoring.counter_hub", leak_cases)
