"""Timing harness of the self-benchmarks (``python -m korvane bench``).

Each row times one call shape: the native call and, when given, its pure-Python
equivalent, in the same process, at fixed inputs. Times are the best of several
repeats of a calibrated loop, in nanoseconds per call.

Three levels of effort set the length and number of the timed loops:
"full" (``--level full``, for steadier numbers), "quick" (the main job's
default) and "glance" (its ``--quick``). A calibrated loop lasts between a
quarter of ``min_time`` and ``min_time`` whatever the machine's load, so a
level's run time depends on its row count, not on the speed of the calls.
"""
from __future__ import annotations

import time
from dataclasses import dataclass, field

# level: (min_time in seconds, timed loops per call)
LEVELS = {
    "full": (0.05, 5),
    "quick": (0.01, 5),
    "glance": (0.002, 3),
}


def pick_level(quick: bool = False, level: str | None = None) -> str:
    """The effort level of a benchmark run: ``level`` if given, else from ``quick``."""
    lv = level if level is not None else ("quick" if quick else "full")
    if lv not in LEVELS:
        raise ValueError(f"unknown benchmark level {lv!r} (choose from {', '.join(LEVELS)})")
    return lv


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
    repeat: int = 5
    level: str = "full"

    @classmethod
    def at(cls, title: str, level: str) -> "Table":
        """An empty table timed at the given effort level."""
        min_time, repeat = LEVELS[level]
        return cls(title, min_time=min_time, repeat=repeat, level=level)

    def time(self, fn) -> float:
        """ns per call of ``fn()`` with this table's loop settings."""
        return ns_per_call(fn, min_time=self.min_time, repeat=self.repeat)

    def add(self, call: str, native, python=None, target: str = "") -> Row:
        n = self.time(native)
        p = None if python is None else self.time(python)
        row = Row(call, n, p, target)
        self.rows.append(row)
        return row

    def render(self) -> str:
        width = max([44] + [len(r.call) for r in self.rows])
        head = f"{'call':{width}} {'native ns':>11} {'python ns':>11} {'speed-up':>9}  target"
        lines = [self.title, head, "-" * len(head)]
        for r in self.rows:
            p = "" if r.python_ns is None else _ns(r.python_ns)
            s = "" if r.speedup is None else f"{r.speedup:8.1f}x"
            lines.append(f"{r.call:{width}} {_ns(r.native_ns):>11} {p:>11} {s:>9}  {r.target}".rstrip())
        return "\n".join(lines)


def _ns(x: float) -> str:
    return f"{x:.1f}" if x < 1000 else f"{x:,.0f}"
