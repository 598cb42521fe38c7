"""CounterAggregator against its pure-Python equivalent (lock-guarded) and runstats."""
from __future__ import annotations

from functools import partial

from korvane._benchmarks.harness import Table, pick_level
from korvane._baselines import counter_hub as baseline
from korvane.monitoring import counter_hub


def rows(quick: bool = False, *, level: str | None = None) -> Table:
    t = Table.at("korvane.monitoring.counter_hub", pick_level(quick, level))
    native = counter_hub.CounterAggregator(1000)
    python = baseline.CounterAggregator(1000)
    for agg in (native, python):
        for i in range(0, 1000, 10):
            agg.update(i, float(i))

    # partial() rather than a lambda: a C-level wrapper, far lighter than a Python frame.
    t.add("update(17, 3.25)", partial(native.update, 17, 3.25), partial(python.update, 17, 3.25),
          target=">= 4x")
    t.add("get_stats(17)", partial(native.get_stats, 17), partial(python.get_stats, 17), target=">= 3x")
    t.add("get_all_stats() (100 of 1000 active)", native.get_all_stats, python.get_all_stats)
    t.add("reset_all() (1000 counters)", native.reset_all, python.reset_all)
    try:
        from runstats import Statistics
    except ImportError:
        pass
    else:
        t.add("runstats Statistics.push(3.25) (reference)", partial(Statistics().push, 3.25))
    t.add("floor: divmod(17, 3) via partial", partial(divmod, 17, 3))
    return t

