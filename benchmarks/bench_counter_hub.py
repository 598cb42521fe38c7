"""CounterAggregator against its pure-Python equivalent (lock-guarded) and runstats.

    python benchmarks/bench_counter_hub.py [--quick]

The rows live in the package (korvane._benchmarks.counter_hub), where the main job
(python -m korvane bench) uses them too.
"""
from __future__ import annotations

import sys

from korvane._benchmarks.counter_hub import rows

__all__ = ["rows"]

if __name__ == "__main__":
    print(rows(quick="--quick" in sys.argv).render())
