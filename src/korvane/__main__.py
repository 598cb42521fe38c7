"""python -m korvane: which native modules load, and what they buy."""
from __future__ import annotations

import importlib
import sys
import threading
import time

from korvane import NATIVE_MODULES


def _best_ns(fn, number: int = 200_000, repeat: int = 5) -> float:
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter_ns()
        for _ in range(number):
            fn()
        best = min(best, (time.perf_counter_ns() - t0) / number)
    return best


def main(argv: list[str] | None = None) -> int:
    failed = []
    print("korvane native modules")
    for name in NATIVE_MODULES:
        try:
            importlib.import_module(name)
        except ImportError as exc:
            failed.append((name, exc))
            print(f"  {name:45} NOT LOADED ({exc})")
        else:
            print(f"  {name:45} ok")

    try:
        from korvane.memory.lockless_ops import AtomicCounter
    except ImportError:
        print("korvane.memory.lockless_ops is not built; install with: pip install .", file=sys.stderr)
        return 1
    from korvane._baselines.lockless_ops import AtomicCounter as PyCounter

    native, python = AtomicCounter(), PyCounter()
    n = _best_ns(native.increment)
    p = _best_ns(python.increment)
    print()
    print(f"AtomicCounter.increment: {n:6.1f} ns/call native, {p:6.1f} ns/call with a threading.Lock "
          f"({p / n:.1f}x)")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
