"""The leak sweep's measurement must not be blind. The sweep itself is made in
each module's test file from that module's table (see leakcheck.py)."""
import pytest

from leakcheck import Obj, blocks_counted, cycle, measure, young_collections

_kept = []


@blocks_counted
@pytest.mark.parametrize("case, what", [
    (cycle("keeps a new object per call", lambda: _kept.append(object())), "blocks"),
    (cycle("keeps a reference to its argument", lambda arg=Obj(): _kept.append(arg)), "reference"),
], ids=["blocks", "reference"])
def test_the_sweep_sees_a_leak(case, what):
    """For example to objects that a collection of the youngest generation
    would miss."""
    if what == "reference":
        case = case._replace(watch=(case.fn.__defaults__[0],))
    try:
        with young_collections():
            blocks, refs = measure(case)
    finally:
        _kept.clear()
    if what == "blocks":
        assert blocks >= 0.9 * case.calls
    else:
        assert refs >= 0.9 * case.calls
