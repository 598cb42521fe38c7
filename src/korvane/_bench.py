"""Timing harness shared by the benchmark scripts and the main job.

Each row times one call shape: the native call and, when given, its pure-Python
equivalent, in the same process, at fixed inputs. Times are the best of several
repeats of a calibrated loop, in nanoseconds per call.
"""
from __future__ import annotations

import time
from dataclasses import dataclass, field


def ns_per_call(fn, *, min_time: float = 0.05, repeat: int = 5) -> float:
    """Best time of one call of ``fn()`` in ns (loop overhead not subtracted)."""
    number = 1
    while True:
        t0 = time.perf_counter_ns()
        for _ in range(number):
            fn()
        dt = time.perf_counter_ns() - t0
        if dt >= min_time * 1e9 / 4 or number >= 1 << 24:
            break
        number *= 4
    best = dt / number
    for _ in range(repeat - 1):
        t0 = time.perf_counter_ns()
        for _ in range(number):
            fn()
        best = min(best, (time.perf_counter_ns() - t0) / number)
    return best


@dataclass
class Row:
    call: str
    native_ns: float
    python_ns: float | None = None
    target: str = ""

    @property
    def speedup(self) -> float | None:
        if self.python_ns is None or self.native_ns <= 0:
            return None
        return self.python_ns / self.native_ns

    def as_dict(self) -> dict:
        return {"call": self.call, "native_ns": round(self.native_ns, 1),
                "python_ns": None if self.python_ns is None else round(self.python_ns, 1),
                "speedup": None if self.speedup is None else round(self.speedup, 2),
                "target": self.target}


@dataclass
class Table:
    title: str
    rows: list = field(default_factory=list)
    min_time: float = 0.05

    def add(self, call: str, native, python=None, target: str = "") -> Row:
        n = ns_per_call(native, min_time=self.min_time)
        p = None if python is None else ns_per_call(python, min_time=self.min_time)
        row = Row(call, n, p, target)
        self.rows.append(row)
        return row

    def render(self) -> str:
        head = f"{'call':44} {'native ns':>10} {'python ns':>10} {'speed-up':>9}  target"
        lines = [self.title, head, "-" * len(head)]
        for r in self.rows:
            p = "" if r.python_ns is None else f"{r.python_ns:10.1f}"
            s = "" if r.speedup is None else f"{r.speedup:8.1f}x"
            lines.append(f"{r.call:44} {r.native_ns:10.1f} {p:>10} {s:>9}  {r.target}")
        return "\n".join(lines)
