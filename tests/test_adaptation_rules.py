import math
from fractions import Fraction

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from korvane._baselines import adaptation_rules as base
from korvane.plugins.analyzer import adaptation_rules as ar

import leakcheck
from leakcheck import I32_OVER, RaisingBool, RaisingNumber, bad, ok

NO_CHANGE = (False, 0.0, 0.0, 0.0)
NO_PREDICTION = (0, 0, 0.0)


def series(*metrics, start=0):
    return [(start + i, m) for i, m in enumerate(metrics)]


def pattern(p, c=0.5, m=0.5):
    return {"parallelization_potential": p, "cpu_intensity": c, "memory_intensity": m}


# ---- module ---------------------------------------------------------------------

@pytest.mark.subprocess
def test_import_logs_once_and_binds_in_body_order(fresh_import):
    records, names = fresh_import("korvane.plugins.analyzer.adaptation_rules")
    assert records == [("korvane.plugins.analyzer.adaptation_rules", "INFO",
                        "Korvane Adaptation Rules Cython module loaded - IP protected")]
    assert names == ([
        "detect_performance_degradation", "calculate_performance_trend",
        "detect_workload_characteristics_change", "detect_dominant_pattern",
        "is_adaptation_beneficial", "should_skip_adaptation", "detect_memory_pressure",
        "detect_fragmentation_threshold", "calculate_adaptation_urgency",
        "score_pool_recommendation", "predict_resource_requirements", "logging", "logger"])


@pytest.mark.parametrize("call, exc, msg", [
    (lambda: ar.calculate_performance_trend((), 0.0), TypeError,
     "Argument 'performance_history' has incorrect type (expected list, got tuple)"),
    (lambda: ar.predict_resource_requirements("abc", 1.0), TypeError,
     "Argument 'allocation_history' has incorrect type (expected list, got str)"),
    (lambda: ar.detect_dominant_pattern([], 2**31), OverflowError, None),
    (lambda: ar.calculate_performance_trend([]), TypeError,
     "calculate_performance_trend() takes exactly 2 positional arguments (1 given)"),
    (lambda: ar.is_adaptation_beneficial(1, "b", 1.0, 1.0, 1.0, 0), TypeError,
     "Argument 'current_pool' has incorrect type (expected str, got int)"),
    (lambda: ar.is_adaptation_beneficial("a", b"b", 1.0, 1.0, 1.0, 0), TypeError,
     "Argument 'recommended_pool' has incorrect type (expected str, got bytes)"),
    (lambda: ar.detect_fragmentation_threshold("0.5"), TypeError, None),
    (lambda: ar.detect_memory_pressure(81, 100, pressure=0.9), TypeError,
     "detect_memory_pressure() got an unexpected keyword argument 'pressure'"),
    (lambda: ar.detect_workload_characteristics_change(None), TypeError,
     "object of type 'NoneType' has no len()"),
    (lambda: ar.detect_dominant_pattern(None), TypeError,
     "object of type 'NoneType' has no len()"),
    (lambda: ar.predict_resource_requirements(None, 1.0), TypeError,
     "object of type 'NoneType' has no len()"),
])
def test_argument_errors(call, exc, msg):
    with pytest.raises(exc) as e:
        call()
    if msg is not None:
        assert str(e.value) == msg


# ---- performance histories --------------------------------------------------------

@pytest.mark.parametrize("history, start, expected", [
    (series(10, 11, 12), 0, 1 / 11),
    (series(10, 20, 40), 0, 15 / (70 / 3)),
    (series(5, 5, 5, 5), 0, 0.0),
    (series(1, -1, 0), 0, 0.0),                       # mean zero
    ([(3, 1.0), (3, 2.0), (3, 4.0)], 0, 0.0),         # one timestamp: no slope
    (series(1000, 10, 1), 0, -1.0),
    (series(1, 10, 1000), 0, 1.0),
    (series(10, 11, 12), 5, 0.0),                     # window after every entry
    (series(99, 99, 10, 11, 12), 2, 1 / 11),          # window keeps the last three
    (series(10, 11), 0, 0.0),
    (None, 0, 0.0),
    ([[0, 10], iter((1, 11)), (x for x in (2, 12))], 0, 1 / 11),  # any two-item iterable
    ([(Fraction(0), 10), (1, Fraction(11)), (2.0, 12)], 0, 1 / 11),
])
def test_trend(history, start, expected):
    assert ar.calculate_performance_trend(history, start) == pytest.approx(expected, rel=1e-12)


@pytest.mark.parametrize("history, baseline, threshold, start, expected", [
    ([(i, 80) for i in range(5)], 100, 0.15, 0, True),
    ([(i, 80) for i in range(5)], 100, 0.2, 0, False),    # equality does not trigger
    ([(i, 120) for i in range(5)], 100, -0.3, 0, True),
    ([(i, 0) for i in range(4)], 100, 0.15, 0, False),    # four entries never trigger
    ([(i, 0) for i in range(8)], 100, 0.15, 4, False),    # four in the window
    ([(i, 0) for i in range(8)], 100, 0.15, 3, True),
    ([(i, 0) for i in range(8)], 100, 0.15, 9, False),
    ([], 100, 0.15, 0, False),
    (None, 100, 0.15, 0, False),
    ([None, "x", 1], -5, 0.15, 0, False),                # baseline <= 0: history unread
])
def test_degradation(history, baseline, threshold, start, expected):
    assert ar.detect_performance_degradation(history, baseline, threshold, start) is expected


def _trend(h):
    return ar.calculate_performance_trend(h, 100.0)


def _degraded(h):
    return ar.detect_performance_degradation(h, 1.0, 0.1, 100.0)


def _predict(h):
    return ar.predict_resource_requirements(h, 1.0)


@pytest.mark.parametrize("func", [_trend, _degraded, _predict])
@pytest.mark.parametrize("make_bad, exc, msg", [
    (lambda: (1, 2, 3), ValueError, "too many values to unpack (expected 2)"),
    (lambda: [1], ValueError, "need more than 1 value to unpack"),
    (lambda: (), ValueError, "need more than 0 values to unpack"),
    (lambda: iter([1, 2, 3]), ValueError, "too many values to unpack (expected 2)"),
    (lambda: iter([1]), ValueError, "need more than 1 value to unpack"),
    (lambda: 5, TypeError, None),
    (lambda: (1, "2"), TypeError, None),
    (lambda: ("1", 2), TypeError, None),
    (lambda: (1, None), TypeError, None),
    (lambda: (10**400, 1), OverflowError, None),
])
def test_entries_are_checked_outside_the_window(func, make_bad, exc, msg):
    # Every timestamp lies before the window start of 100, yet every entry is
    # unpacked and converted.
    history = [(i, 1.0) for i in range(11)] + [make_bad()] + [(12, 1.0)]
    with pytest.raises(exc) as e:
        func(history)
    if msg is not None:
        assert str(e.value) == msg


# ---- workload change and dominant pattern -------------------------------------------

@pytest.mark.parametrize("history, threshold, expected", [
    ([pattern(0.0)] * 5, 0.3, NO_CHANGE),
    ([pattern(x) for x in (0, 0, 0, 0.5, 0.5, 0.5)], 0.3, (True, 0.5, 0.0, 0.0)),
    ([pattern(x) for x in (0, 0, 0, 0.5, 0.5, 0.5)], 0.5, (False, 0.5, 0.0, 0.0)),
    ([pattern(0.5, c=1, m=x) for x in (1, 1, 1, 0, 0, 0)], 0.3, (True, 0.0, 0.0, 1.0)),
    ([pattern(0.5, c=True) for _ in range(6)], 0.3, (False, 0.0, 0.0, 0.0)),
    ([pattern(Fraction(x)) for x in (0, 0, 0, 1, 1, 1)], 0.3, (True, 1.0, 0.0, 0.0)),
    # a missing key anywhere in the last six wins over a visible change
    ([pattern(x) for x in (0, 0, 0, 1, 1)] + [{"cpu_intensity": 1}], 0.3, NO_CHANGE),
    ([pattern(x) for x in (0, 0, 0, 1, 1)] + [{}, 5], 0.3, NO_CHANGE),
    # entries before the last six are never read
    ([None, 5, "x"] + [pattern(0.1)] * 6, 0.3, (False, 0.0, 0.0, 0.0)),
])
def test_workload_change(history, threshold, expected):
    got = ar.detect_workload_characteristics_change(history, threshold)
    assert type(got) is tuple and got[0] is expected[0]
    assert got[1:] == pytest.approx(expected[1:], abs=1e-15)
    assert all(type(x) is float for x in got[1:])


@pytest.mark.parametrize("bad, exc, msg", [
    ([1], TypeError, "Expected dict, got list"),
    (None, TypeError, "'NoneType' object is not iterable"),
    (pattern("x"), TypeError, None),
    (pattern(1, c=None), TypeError, None),
])
def test_workload_change_errors(bad, exc, msg):
    history = [pattern(0.0)] * 5 + [bad]
    with pytest.raises(exc) as e:
        ar.detect_workload_characteristics_change(history)
    if msg is not None:
        assert str(e.value) == msg


@pytest.mark.parametrize("names, window, expected", [
    (["a", "b", "b", "a"], 4, "a"),           # tie: first seen wins
    (["a", "b", "b", "a"], 2, "b"),
    (["a", "b", "b", "a"], 100, "a"),
    (["a", "b", "b", "c", "c"], 5, "b"),
    ([], 5, "mixed"),
    (["a"], 0, "mixed"),
    (["a"], -3, "mixed"),
    ([None, None, "a"], 3, None),             # None counts like a name
    (["x" * 3, "".join(["x", "x", "x"]), "y", "y"], 4, "xxx"),  # equal, not identical
])
def test_dominant_pattern(names, window, expected):
    assert ar.detect_dominant_pattern(names, window) == expected


def test_dominant_pattern_rejects_other_names():
    with pytest.raises(TypeError, match=r"^Expected str, got int$"):
        ar.detect_dominant_pattern(["a", 3, "a"], 5)
    assert ar.detect_dominant_pattern([3, "a", "b"], 2) == "a"  # outside the window


@settings(max_examples=60)
@given(st.lists(st.sampled_from(["a", "b", "c", None] + [f"n{i}" for i in range(40)]), max_size=120),
       st.integers(-3, 130))
def test_dominant_pattern_matches_python(names, window):
    assert ar.detect_dominant_pattern(names, window) == base.detect_dominant_pattern(names, window)


# ---- decisions -----------------------------------------------------------------

@pytest.mark.parametrize("args, expected", [
    (("a", "a", 1.0, 1.0, 1.0, 0), False),
    ((None, None, 1.0, 1.0, 1.0, 0), False),
    ((None, "a", 1.0, 1.0, 1.0, 0), True),
    (("a", "b", 1.0, 0.59, 1.0, 0), False),
    (("a", "b", 0.51, 0.6, 1.0, 0), True),                 # confidence equality passes
    (("a", "b", 0.5, 0.6, 1.0, 0), False),
    (("a", "b", 0.56, 0.9, 0.5, 1), True),                 # bar 1.1 * 0.5
    (("a", "b", 0.55, 0.9, 0.5, 1), False),
    (("a", "b", 0.6, 0.9, 0.0, 1), False),                 # bar 0.6 without an estimate
    (("a", "b", 0.61, 0.9, -2.0, 7), True),
    (("a", "b", 0.61, 0.9, 0.0, 7, 1.1, 0.95), False),
    (("a", "b", 2.01, 0.9, 1.0, 1, 2.0), True),
])
def test_is_adaptation_beneficial(args, expected):
    assert ar.is_adaptation_beneficial(*args) is expected


@pytest.mark.parametrize("func, args, expected", [
    (ar.score_pool_recommendation, (2, 2, 2, 2), 1.0),
    (ar.score_pool_recommendation, (-1, 0, 0, 0), 0.0),
    (ar.score_pool_recommendation, (1, 0, 0, 0), 0.35),
    (ar.score_pool_recommendation, (0, 0, 0, 1), 0.15),
    (ar.score_pool_recommendation, (math.inf, -math.inf, 0, 0), 0.35),
    (ar.calculate_adaptation_urgency, (1, 1, 1, True), 1.0),
    (ar.calculate_adaptation_urgency, (0, 0, 0, True), 0.15),
    (ar.calculate_adaptation_urgency, (0.5, 0, 0, False), 0.2),
    (ar.calculate_adaptation_urgency, (5, -5, 0, []), 0.4),
])
def test_scores(func, args, expected):
    got = func(*args)
    assert type(got) is float and got == pytest.approx(expected, abs=1e-15)


@pytest.mark.parametrize("func, args, expected", [
    (ar.should_skip_adaptation, (100, 150, 60), True),
    (ar.should_skip_adaptation, (100, 160, 60), False),   # elapsed == interval
    (ar.detect_memory_pressure, (80, 100), False),
    (ar.detect_memory_pressure, (81, 100), True),
    (ar.detect_memory_pressure, (81, 0), False),
    (ar.detect_memory_pressure, (-1, 100, -5.0), False),
    (ar.detect_fragmentation_threshold, (0.3,), False),
    (ar.detect_fragmentation_threshold, (0.31,), True),
    (ar.detect_fragmentation_threshold, (-0.1, -1.0), False),
])
def test_predicates(func, args, expected):
    assert func(*args) is expected


# ---- resource forecast ---------------------------------------------------------

@pytest.mark.parametrize("history, horizon, expected", [
    ([(i, 1000) for i in range(9)], 9, NO_PREDICTION),
    ([(i, 1000) for i in range(10)], 9, (10, 10000, 0.1 * 0.8)),
    ([(i, 1000) for i in range(200)], 0.5, (0, 0, 0.8)),
    ([(i, 1000) for i in range(10)], -9, (-10, -10000, 0.1 * 0.8)),
    ([(5, 1000)] * 12, 9, NO_PREDICTION),                  # no time span
    ([(9 - i, 1000) for i in range(10)], 9, NO_PREDICTION),
    ([(i, 1e308) for i in range(10)], 9, NO_PREDICTION),   # size sum overflows
    ([(i, 1e307) for i in range(10)], 1e10, NO_PREDICTION),  # byte total overflows
    ([(i, 1000) for i in range(10)], math.inf, NO_PREDICTION),
    ([(i, 1000) for i in range(10)], math.nan, NO_PREDICTION),
    ([(i, 1000) for i in range(9)] + [(math.nan, 1)], 1.0, NO_PREDICTION),
    ([(i, 1000) for i in range(9)] + [(math.inf, 1)], 1.0, NO_PREDICTION),
    ([(i, 1000) for i in range(9)] + [(9, math.nan)], 1.0, NO_PREDICTION),
    ([(0, 1)] + [(i * 5e-324, 1) for i in range(1, 10)], 1.0, NO_PREDICTION),  # rate overflows
])
def test_predict(history, horizon, expected):
    got = ar.predict_resource_requirements(history, horizon)
    assert got == pytest.approx(expected, rel=1e-15) or got == expected
    assert type(got[0]) is int and type(got[1]) is int and type(got[2]) is float


def test_predict_widened_ints_are_exact():
    # beyond 32 bits: exact ints, neither wrapped nor saturated
    history = [(i * 1e-9, 4096) for i in range(10)]
    count, total, _ = ar.predict_resource_requirements(history, 10.0)
    assert count == int(10 / (9 * 1e-9) * 10.0) > 2**32
    assert total == int(4096.0 * count) > 2**32
    assert ar.predict_resource_requirements(history, -10.0)[:2] == (-count, -total)
    assert ar.predict_resource_requirements(history, 10.0) == base.predict_resource_requirements(history, 10.0)


@pytest.mark.parametrize("first, last, exc", [
    ((), (9, 1), IndexError),
    ((0, 1), [], IndexError),
    ((0, 1), {1: 2}, KeyError),
])
def test_predict_reads_first_and_last_by_index(first, last, exc):
    with pytest.raises(exc):
        ar.predict_resource_requirements([first] + [(i, 1) for i in range(1, 9)] + [last], 1.0)


# ---- equivalence with the Python version ------------------------------------------

finite = st.floats(-1e6, 1e6, allow_nan=False)
histories = st.lists(st.tuples(st.integers(0, 50) | finite, finite), max_size=40)


@settings(max_examples=80)
@given(histories, finite, finite, finite)
def test_histories_match_python(h, a, b, c):
    assert ar.calculate_performance_trend(h, a) == base.calculate_performance_trend(h, a)
    assert ar.detect_performance_degradation(h, a, b, c) == base.detect_performance_degradation(h, a, b, c)
    assert ar.predict_resource_requirements(h, b) == base.predict_resource_requirements(h, b)


@settings(max_examples=60)
@given(st.lists(st.builds(pattern, finite | st.integers(-5, 5), finite, st.integers(-3, 3)),
                min_size=6, max_size=9), finite)
def test_workload_change_matches_python(h, threshold):
    assert (ar.detect_workload_characteristics_change(h, threshold)
            == base.detect_workload_characteristics_change(h, threshold))


# ---- histories changed under the loop ---------------------------------------------

class Shrinking:
    """A number whose conversion empties the list that holds it."""

    def __init__(self, target, value=1.0):
        self.target, self.value = target, value

    def __float__(self):
        self.target.clear()
        return self.value

    def __add__(self, other):
        self.target.clear()
        return self.value + other

    __radd__ = __add__


class ClearingKey(str):
    """A dict key equal to our key names; comparing it empties the history."""

    target = None

    def __hash__(self):
        return hash("cpu_intensity")

    def __eq__(self, other):
        if ClearingKey.target is not None:
            ClearingKey.target.clear()
        return False


@pytest.mark.timeout(30)
def test_history_shrunk_while_read(refcount):
    h = [(i, float(i)) for i in range(20)]
    h[3] = (3, Shrinking(h, 7.0))
    assert ar.calculate_performance_trend(h, 0) == pytest.approx(0.88)  # stops after entry 3
    entry = [None, float("5.5")]
    entry[0] = Shrinking(entry, 2.0)                    # empties the entry itself
    assert ar.calculate_performance_trend([(0, 1.0), (1, 2.0), entry], 0) == \
        base.calculate_performance_trend([(0, 1.0), (1, 2.0), (2.0, 5.5)], 0)
    h = [(i, 80.0) for i in range(20)]
    h[5] = (Shrinking(h, 5.0), 80.0)
    assert ar.detect_performance_degradation(h, 100, 0.1, 0) is True
    h = [(i, 1000) for i in range(10)]
    h[0] = (Shrinking(h, 0.0), 1)
    with pytest.raises(IndexError):
        ar.predict_resource_requirements(h, 1.0)
    h = [(i, 1000) for i in range(10)]
    h[4] = (4, Shrinking(h, 1000.0))
    assert ar.predict_resource_requirements(h, 9.0) == (10, 5000, 0.1 * 0.8)  # five sizes summed

    h = [pattern(0.0) for _ in range(6)]
    h[5]["parallelization_potential"] = Shrinking(h, 1.5)
    assert ar.detect_workload_characteristics_change(h)[0] is True
    h = [{ClearingKey("x"): 1, **pattern(0.0)} for _ in range(6)]
    ClearingKey.target = h
    sentinel = h[5]
    before = refcount(sentinel)
    assert ar.detect_workload_characteristics_change(h) == NO_CHANGE
    assert h == []
    assert refcount(sentinel) == before - 1   # the list let go of it; we did not keep it


def test_results_hold_no_extra_references(refcount):
    name = "".join(["pat", "tern"])
    names = [name, "x", name]
    before = refcount(name)
    for _ in range(100):
        assert ar.detect_dominant_pattern(names, 5) is name
    assert refcount(name) == before
    entry = (1.0, 2.0)
    before = refcount(entry)
    for _ in range(100):
        ar.calculate_performance_trend([entry] * 5, 0.0)
    assert refcount(entry) == before


# ---- reference leaks ---------------------------------------------------------------

def leak_cases(m):
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


test_no_leak = leakcheck.no_leak_test("korvane.plugins.analyzer.adaptation_rules", leak_cases)
test_every_public_callable_has_a_leak_case = leakcheck.coverage_test("korvane.plugins.analyzer.adaptation_rules", leak_cases)
