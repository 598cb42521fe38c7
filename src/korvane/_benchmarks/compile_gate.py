"""Compile policy: native CompileGate against the pure-Python policy.

Both sides get the same store, whose get_metrics returns one prepared
FunctionMetrics, so the store's own cost is small and equal on both sides.
DEBUG is disabled on both loggers, as in production.
"""
from __future__ import annotations

import logging
from functools import partial

from korvane._benchmarks.harness import Table, pick_level
import korvane._baselines.compile_gate as base
import korvane.jit.compile_gate as cg


class PreparedStore:
    def __init__(self, metrics):
        self.metrics = metrics

    def get_metrics(self, func_id):
        return self.metrics


class PlainMetrics:
    """A metrics object that is not a FunctionMetrics (the general path)."""

    def __init__(self):
        self.call_count = 5000
        self.compile_count = 1
        self.avg_speedup = 3.0
        self.last_compiled = 0.0


def rows(quick: bool = False, *, level: str | None = None) -> Table:
    t = Table.at("compile_gate: adaptive compile policy (ns per call)", pick_level(quick, level))
    for log in (cg.logger, base.logger):
        log.setLevel(logging.INFO)

    gates = {m: m.CompileGate() for m in (cg, base)}
    store = PreparedStore(cg.FunctionMetrics(call_count=5000, compile_count=1, avg_speedup=3.0,
                                             last_compiled=0.0))
    for gate in gates.values():
        gate.update("learned", store)

    def pair(method, *args):
        return [partial(getattr(gates[m], method), *args) for m in (cg, base)]

    t.add("floor: len(x), an empty 1-arg native call", partial(len, "x"))
    t.add("get_threshold(learned id)", *pair("get_threshold", "learned"), target="<= 100 ns")
    t.add("get_threshold(unknown id)", *pair("get_threshold", "new"), target="<= 100 ns")
    t.add("should_compile(id, store)", *pair("should_compile", "learned", store),
          target="<= 1 us, >= 2x")
    t.add("update(id, store), DEBUG off", *pair("update", "learned", store),
          target="<= 1 us, >= 2x")
    plain = PreparedStore(PlainMetrics())
    t.add("should_compile(id, store of plain objects)", *pair("should_compile", "learned", plain))
    t.add("update(id, store of plain objects)", *pair("update", "learned", plain))
    t.add("get_statistics() with 1 entry", *pair("get_statistics"))
    return t

