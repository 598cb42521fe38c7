"""Adaptation rules: native module against its pure-Python equivalent.

History functions at 10 and 1,000 entries; the decision functions beside an
empty native call of the same arity (the builtin ``max`` over that many floats).
"""
from __future__ import annotations


from korvane._benchmarks.harness import Table, pick_level
from korvane._baselines import adaptation_rules as py
from korvane.plugins.analyzer import adaptation_rules as nat


def _perf_history(n):
    return [(1000.0 + i * 0.5, 100.0 + (i % 7) * 1.5 - i * 0.01) for i in range(n)]


def _patterns(n):
    return [{"parallelization_potential": (i % 5) / 5, "cpu_intensity": 0.5 + (i % 3) / 10,
             "memory_intensity": 0.25} for i in range(n)]


def _names(n):
    kinds = ["cpu_bound", "io_bound", "gpu_friendly", "mixed", "memory_bound"]
    return [kinds[(i * 7) % 5] for i in range(n)]


def _allocs(n):
    return [(1000.0 + i * 0.01, 4096 + (i % 11) * 64) for i in range(n)]


def rows(quick: bool = False, *, level: str | None = None) -> Table:
    t = Table.at("adaptation_rules", pick_level(quick, level))
    for n in (10, 1000):
        h, p, names, a = _perf_history(n), _patterns(n), _names(n), _allocs(n)
        start = h[n // 5][0]
        target = ">=3x python" if n == 1000 else ""
        t.add(f"calculate_performance_trend n={n}",
              lambda: nat.calculate_performance_trend(h, start),
              lambda: py.calculate_performance_trend(h, start), target)
        t.add(f"detect_performance_degradation n={n}",
              lambda: nat.detect_performance_degradation(h, 120.0, 0.1, start),
              lambda: py.detect_performance_degradation(h, 120.0, 0.1, start), target)
        t.add(f"detect_workload_characteristics_change n={n}",
              lambda: nat.detect_workload_characteristics_change(p),
              lambda: py.detect_workload_characteristics_change(p), target)
        t.add(f"detect_dominant_pattern n={n} window=5",
              lambda: nat.detect_dominant_pattern(names),
              lambda: py.detect_dominant_pattern(names))
        t.add(f"detect_dominant_pattern n={n} window=n",
              lambda: nat.detect_dominant_pattern(names, n),
              lambda: py.detect_dominant_pattern(names, n), target)
        t.add(f"predict_resource_requirements n={n}",
              lambda: nat.predict_resource_requirements(a, 60.0),
              lambda: py.predict_resource_requirements(a, 60.0), target)

    f2, f3, f4 = (0.25, 0.5), (100.0, 150.0, 60.0), (0.7, 0.6, 0.5, 0.9)
    t.add("floor: max() of 2 floats (empty native call)", lambda: max(0.25, 0.5))
    t.add("detect_fragmentation_threshold (2 args)",
          lambda: nat.detect_fragmentation_threshold(*f2),
          lambda: py.detect_fragmentation_threshold(*f2), "<=2x floor(2)")
    t.add("floor: max() of 3 floats (empty native call)", lambda: max(100.0, 150.0, 60.0))
    t.add("should_skip_adaptation (3 args)",
          lambda: nat.should_skip_adaptation(100.0, 150.0, 60.0),
          lambda: py.should_skip_adaptation(*f3), "<=2x floor(3)")
    t.add("detect_memory_pressure (3 args)",
          lambda: nat.detect_memory_pressure(81.0, 100.0, 0.8),
          lambda: py.detect_memory_pressure(81.0, 100.0, 0.8), "<=2x floor(3)")
    t.add("floor: max() of 4 floats (empty native call)", lambda: max(0.7, 0.6, 0.5, 0.9))
    t.add("score_pool_recommendation (4 args)",
          lambda: nat.score_pool_recommendation(0.7, 0.6, 0.5, 0.9),
          lambda: py.score_pool_recommendation(*f4), "<=2x floor(4)")
    t.add("calculate_adaptation_urgency (4 args)",
          lambda: nat.calculate_adaptation_urgency(0.2, 0.5, 0.1, True),
          lambda: py.calculate_adaptation_urgency(0.2, 0.5, 0.1, True), "<=2x floor(4)")
    t.add("floor: max() of 8 floats (empty native call)",
          lambda: max(0.1, 0.2, 0.7, 0.8, 1.0, 0.3, 1.1, 0.6))
    t.add("is_adaptation_beneficial (8 args)",
          lambda: nat.is_adaptation_beneficial("shared", "numa", 0.7, 0.8, 0.5, 1, 1.1, 0.6),
          lambda: py.is_adaptation_beneficial("shared", "numa", 0.7, 0.8, 0.5, 1, 1.1, 0.6),
          "<=2x floor(8)")
    return t

