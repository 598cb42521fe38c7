"""Block size tree: native FastRedBlackTree against a sorted-list pool.

    python benchmarks/bench_block_index.py [--quick]

The rows live in the package (korvane._benchmarks.block_index), where the main job
(python -m korvane bench) uses them too.
"""
from __future__ import annotations

import sys

from korvane._benchmarks.block_index import rows

__all__ = ["rows"]

if __name__ == "__main__":
    print(rows(quick="--quick" in sys.argv).render())
