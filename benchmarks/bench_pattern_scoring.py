"""Workload scoring: native module against its pure-Python equivalent.

    python benchmarks/bench_pattern_scoring.py [--quick]

The rows live in the package (korvane._benchmarks.pattern_scoring), where the main job
(python -m korvane bench) uses them too.
"""
from __future__ import annotations

import sys

from korvane._benchmarks.pattern_scoring import rows

__all__ = ["rows"]

if __name__ == "__main__":
    print(rows(quick="--quick" in sys.argv).render())
