"""Compile policy: native CompileGate against the pure-Python policy.

    python benchmarks/bench_compile_gate.py [--quick]

The rows live in the package (korvane._benchmarks.compile_gate), where the main job
(python -m korvane bench) uses them too.
"""
from __future__ import annotations

import sys

from korvane._benchmarks.compile_gate import rows

__all__ = ["rows"]

if __name__ == "__main__":
    print(rows(quick="--quick" in sys.argv).render())
