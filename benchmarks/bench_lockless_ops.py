"""ns per call of korvane.memory.lockless_ops against threading.Lock-guarded Python.

    python benchmarks/bench_lockless_ops.py [--quick]

The rows live in the package (korvane._benchmarks.lockless_ops), where the main job
(python -m korvane bench) uses them too.
"""
from __future__ import annotations

import sys

from korvane._benchmarks.lockless_ops import rows

__all__ = ["rows"]

if __name__ == "__main__":
    print(rows(quick="--quick" in sys.argv).render())
