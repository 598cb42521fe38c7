"""Reference-total check on a debug interpreter (one built with Py_DEBUG).

sys.gettotalrefcount() is the sum of all reference counts. Every case of the
leak sweep's tables (valid and rejected calls, balanced cycles of stateful
objects) is warmed up and then run in three rounds; a round's growth is
compared with that of an empty call run as often just before it. As in
CPython's own refleak runs, a case leaks only when every round grows the
total: a reference kept per call shows as one per call in each round, while
caches that fill once do not grow in all three.
"""
import gc
import sys

import pytest

from leakcheck import Case, all_params, quiet_loggers

pytestmark = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"),
                                reason="needs a debug interpreter (sys.gettotalrefcount)")

PARAMS = all_params() if hasattr(sys, "gettotalrefcount") else []

WARMUP = 20
CALLS = 40      # per round
ROUNDS = 3


def _empty():
    return None


@pytest.fixture(scope="module")
def frozen_heap():
    """Everything that exists now is moved out of the collector's view, so
    that a collection after each round looks at that round's objects only."""
    gc.collect()
    gc.freeze()
    yield
    gc.unfreeze()
    gc.collect()


def _growth(fn, calls):
    gc.collect()
    before = sys.gettotalrefcount()
    for _ in range(calls):
        fn()
    gc.collect()
    return sys.gettotalrefcount() - before


def reference_growth(case):
    """The growth of each round beyond an empty call's."""
    calls = min(case.calls, CALLS)
    for _ in range(WARMUP):
        case.fn()
    rounds = []
    for _ in range(ROUNDS):
        empty = _growth(_empty, calls)
        rounds.append(_growth(case.fn, calls) - empty)
    return rounds


@pytest.mark.timeout(120)
@pytest.mark.parametrize("case", PARAMS or [pytest.param(None, marks=pytest.mark.skip(reason="not a debug build"))])
def test_no_reference_leak(case, frozen_heap):
    with quiet_loggers():
        rounds = reference_growth(case)
    assert not all(r >= 1 for r in rounds), f"{case.label}: the reference total grew in every round: {rounds}"


_kept = []


def test_the_check_sees_a_leak(frozen_heap):
    """One reference kept per call must show in every round."""
    keep = object()
    try:
        rounds = reference_growth(Case("keeps a reference", lambda: _kept.append(keep), ()))
    finally:
        _kept.clear()
    assert all(r >= CALLS for r in rounds), rounds
