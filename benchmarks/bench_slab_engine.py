"""ns per call of korvane.memory.slab_engine against its pure-Python equivalent.

    python benchmarks/bench_slab_engine.py [--quick]

The rows live in the package (korvane._benchmarks.slab_engine), where the main job
(python -m korvane bench) uses them too.
"""
from __future__ import annotations

import sys

from korvane._benchmarks.slab_engine import rows

__all__ = ["rows"]

if __name__ == "__main__":
    print(rows(quick="--quick" in sys.argv).render())
