"""CounterAggregator against its pure-Python equivalent (lock-guarded) and runstats."""
from __future__ import annotations

import os
import sys
from functools import partial

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from _harness import Table  # noqa: E402

from korvane._baselines import counter_hub as baseline  # noqa: E402
from korvane.monitoring import counter_hub  # noqa: E402


def rows(quick: bool = False) -> Table:
    t = Table("korvane.monitoring.counter_hub", min_time=0.01 if quick else 0.05)
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


if __name__ == "__main__":
    print(rows("--quick" in sys.argv).render())
